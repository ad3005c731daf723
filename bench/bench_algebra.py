"""Benchmark zenqa.Algebra against the dict functions and NumPy, in one run.

build      Algebra(basis) with both complete tensors as arrays, against
           get_structure_constants + get_d_coefficients on the same basis:
           times, their ratio, and how far each raises the resident memory
           (each measured in a fresh child process);
scaling    the same build for the Gell-Mann basis at d and 2d: the ratio of
           times next to the ratio of entries;
bracket    the bracket of many coefficient vectors, against einsum over the
           dense structure constants and against the matrix route (form the
           matrices, commute, project back with the pseudo-inverse);
threads    two Python threads sharing the work against one doing all of it, for
           the build and for the bracket, with one compute thread per call (the
           speed-up from releasing the GIL) and with the default, one per core.

  python bench/bench_algebra.py [--quick]
"""

import argparse
import json
import os
import subprocess
import sys
import threading
import time

import numpy as np
from bench_decomposition import fmt_seconds, status_kib, timed

import zenqa

MAX_REPEATS = 10
# The bracket takes milliseconds, so a steady best of it needs more runs on a
# shared machine; both sides get the same number (within the time budget).
BRACKET_REPEATS = 50
QUIET_SECONDS = 0.5


def build_algebra(basis):
    algebra = zenqa.Algebra(basis)
    return algebra.structure_constants(), algebra.d_coefficients()


def build_dicts(basis):
    return zenqa.get_structure_constants(basis), zenqa.get_d_coefficients(basis)


BUILDS = {"algebra": build_algebra, "dicts": build_dicts}
FAMILIES = {"gellmann": zenqa.gen_gellmann, "sylvester": zenqa.gen_sylvester}


def child(workload):
    """Runs one build in this fresh process: prints its time and how far it raised the resident memory."""
    family, d, build, repeats = workload.split(":")
    basis = FAMILIES[family](int(d))
    # The first call of a process sets up what every later one shares (OpenBLAS's work buffer,
    # NumPy's casts): done on a tiny basis, so that the figure is the build's own.
    BUILDS[build](FAMILIES[family](2))
    with open("/proc/self/clear_refs", "w") as refs:
        refs.write("5")  # resets the high-water mark
    before = status_kib("VmRSS")
    result = BUILDS[build](basis)
    peak = (status_kib("VmHWM") - before) / 1024
    del result
    seconds, (first, second) = timed(lambda: BUILDS[build](basis), int(repeats))
    entries = len(first[1]) + len(second[1]) if build == "algebra" else len(first) + len(second)
    print(json.dumps({"seconds": seconds, "peak_mib": peak, "entries": entries}))


def in_child(family, d, build, repeats):
    run = subprocess.run(
        [sys.executable, __file__, "--child", f"{family}:{d}:{build}:{repeats}"],
        capture_output=True,
        text=True,
        check=True,
    )
    return json.loads(run.stdout)


def build_section(d, repeats):
    print(f"build: Algebra + both tensors as arrays, against both dicts (d = {d})")
    print(
        f"{'basis':<11}{'entries':>9}{'algebra':>10}{'dicts':>10}{'speed-up':>10}{'MiB':>8}{'dict MiB':>10}"
        f"{'memory':>8}"
    )
    for family in FAMILIES:
        ours, theirs = in_child(family, d, "algebra", repeats), in_child(family, d, "dicts", repeats)
        print(
            f"{family:<11}{ours['entries']:>9}{fmt_seconds(ours['seconds']):>10}{fmt_seconds(theirs['seconds']):>10}"
            f"{theirs['seconds'] / ours['seconds']:>9.1f}x{ours['peak_mib']:>8.1f}{theirs['peak_mib']:>10.1f}"
            # Small bases may raise neither build's resident memory by a whole page.
            + (f"{ours['peak_mib'] / theirs['peak_mib']:>8.2f}" if theirs["peak_mib"] > 0 else f"{'-':>8}")
        )


def scaling_section(d, repeats):
    small, large = in_child("gellmann", d, "algebra", repeats), in_child("gellmann", 2 * d, "algebra", repeats)
    print(f"\nscaling: Gell-Mann build, d = {d} -> {2 * d}")
    print(
        f"time {fmt_seconds(small['seconds'])} -> {fmt_seconds(large['seconds'])}:"
        f" ratio {large['seconds'] / small['seconds']:.1f}"
        f" (entries {large['entries'] / small['entries']:.1f}x, all pairs 16x)"
    )


def matrix_route(stack, pinv):
    def bracket(a, b):
        a_m, b_m = np.tensordot(a, stack, 1), np.tensordot(b, stack, 1)
        return (a_m @ b_m - b_m @ a_m).reshape(len(a), -1) @ pinv.T

    return bracket


def bracket_section(d, count, repeats):
    basis = zenqa.gen_gellmann(d)
    algebra, n = zenqa.Algebra(basis), len(basis)
    rng = np.random.default_rng(1)
    a, b = rng.standard_normal((count, n)), rng.standard_normal((count, n))
    dense = algebra.structure_constants(dense=True)
    stack = np.array(basis)
    route = matrix_route(stack, np.linalg.pinv(stack.reshape(n, -1).T))
    # NumPy's BLAS threads spin for a while after its last product (the pseudo-inverse
    # above), taking the cores from whatever runs next.
    time.sleep(QUIET_SECONDS)
    ours, got = timed(lambda: algebra.bracket(a, b), repeats)
    matrices, want = timed(lambda: route(a, b), repeats)
    einsum, want_einsum = timed(lambda: np.einsum("ijk,mi,mj->mk", dense, a, b, optimize=True), 1)
    check = "ok" if np.allclose(got, want, atol=1e-12) and np.allclose(got, want_einsum, atol=1e-12) else "MISMATCH"
    print(f"\nbracket: Gell-Mann d = {d}, {count} real vectors")
    print(
        f"zenqa {fmt_seconds(ours)}; matrix route {fmt_seconds(matrices)} ({matrices / ours:.1f}x); "
        f"einsum {fmt_seconds(einsum)} ({einsum / ours:.0f}x); {check}"
    )


def two_threads(work):
    """Time of two calls of work in one thread, and in two threads at once."""

    def both_in_one():
        work()
        work()

    def one_each():
        threads = [threading.Thread(target=work) for _ in range(2)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()

    return timed(both_in_one, MAX_REPEATS)[0], timed(one_each, MAX_REPEATS)[0]


def threads_child(sizes):
    """Times the two-thread workloads in this process: prints one JSON line per workload."""
    build_d, bracket_d, count = (int(size) for size in sizes.split(":"))
    basis = zenqa.gen_sylvester(build_d)
    algebra = zenqa.Algebra(zenqa.gen_gellmann(bracket_d))
    rng = np.random.default_rng(1)
    a, b = rng.standard_normal((count, len(algebra))), rng.standard_normal((count, len(algebra)))
    for name, work in [
        (f"Algebra(sylvester {build_d})", lambda: zenqa.Algebra(basis)),
        (f"bracket({count} vectors)", lambda: algebra.bracket(a, b)),
    ]:
        one, two = two_threads(work)
        print(json.dumps({"name": name, "one": one, "two": two}))


def threads_section(build_d, bracket_d, count):
    print("\nthreads: two calls in one Python thread against one call in each of two")
    cores = len(os.sched_getaffinity(0))
    for setting in ("1", None):
        environment = {key: value for key, value in os.environ.items() if key != "OPENBLAS_NUM_THREADS"}
        if setting is not None:
            environment["OPENBLAS_NUM_THREADS"] = setting
        run = subprocess.run(
            [sys.executable, __file__, "--threads-child", f"{build_d}:{bracket_d}:{count}"],
            capture_output=True,
            text=True,
            check=True,
            env=environment,
        )
        label = f"{setting or cores} compute thread{'s' if (setting or cores) != '1' else ''} per call"
        for line in run.stdout.splitlines():
            row = json.loads(line)
            print(
                f"{row['name']:<28}{label:<28} one thread {fmt_seconds(row['one'])},"
                f" two threads {fmt_seconds(row['two'])}:"
                f" speed-up {row['one'] / row['two']:.2f}"
            )


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="tiny sizes, one repetition")
    parser.add_argument("--child", help=argparse.SUPPRESS)
    parser.add_argument("--threads-child", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        return child(args.child)
    if args.threads_child:
        return threads_child(args.threads_child)
    repeats = 1 if args.quick else MAX_REPEATS
    build_section(4 if args.quick else 32, repeats)
    scaling_section(4 if args.quick else 32, repeats)
    bracket_d, count = (3, 100) if args.quick else (8, 10_000)
    bracket_section(bracket_d, count, 1 if args.quick else BRACKET_REPEATS)
    threads_section(4 if args.quick else 24, bracket_d, count)


if __name__ == "__main__":
    main()
