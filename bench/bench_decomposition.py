"""Benchmark zenqa's decomposition of basis products against NumPy.

For every workload (a basis of su(d)) and for both get_structure_constants and
get_d_coefficients, one line gives the time of

  zenqa  the native module;
  A      the reference algorithm in NumPy: one least-squares solve per pair;
  B      vectorized NumPy: one pseudo-inverse, all pair products at once;
  floor  pickle.loads of the same dict: the cost of creating its Python objects,

with zenqa's time over each of them, whether zenqa's dict agrees with the
baselines, and the peak resident memory of the process so far; zqMiB and BMiB are how far one
call of zenqa and of baseline B raises the resident memory. A and B are
checked against each other wherever both run. An opening section times the
products on coefficient vectors at two sizes of the Gell-Mann basis.

    python bench/bench_decomposition.py [--quick] [--max-d N]
"""

import argparse
import cmath
import gc
import pickle
import resource
import time
from collections.abc import Callable
from dataclasses import dataclass
from functools import partial
from typing import Any, NamedTuple

import numpy as np

import zenqa

NEGLIGIBLE = 1e-8  # coefficients with both parts at most this are zero
REL_TOL = 1e-10  # agreement required between two decompositions
REFERENCE_MAX_D = 7  # baseline A solves (d^2 - 1)^2 systems of d^2 rows
BLOCK_BYTES = 2**28  # working set of one block of rows in baseline B
MEMORY_LIMIT = 4 * 2**30  # baseline B is skipped when one row alone needs more
TIME_BUDGET = 1.0  # seconds per measurement, to choose the repeat count
MAX_REPEATS = 25
SETTLE = 0.2  # seconds for BLAS worker threads of the last measurement to stop spinning


@dataclass(frozen=True)
class Decomposition:
    label: str
    native: Callable
    product: np.ufunc  # combines B_i B_j with B_j B_i
    diagonal: bool  # pairs i == j are decomposed, less I/d
    record: Callable  # adds the entries of a batch of pairs to a dict


class Measurement(NamedTuple):
    seconds: float
    result: Any


def significant(x):
    # Written as "not negligible" so that NaN counts as significant.
    return ~((np.abs(x.real) <= NEGLIGIBLE) & (np.abs(x.imag) <= NEGLIGIBLE))


def record_first(out, i, j, x):
    """(i, j) -> (k, x[k]) for the lowest significant k of each row of x."""
    mask = significant(x)
    rows = np.flatnonzero(mask.any(axis=1))
    k = mask[rows].argmax(axis=1)
    keys = zip(i[rows].tolist(), j[rows].tolist(), strict=True)
    out.update(zip(keys, zip(k.tolist(), x[rows, k].tolist(), strict=True), strict=True))


def record_all(out, i, j, x):
    """(i, j, k) -> x[k] / 2 for every significant k of each row of x."""
    rows, k = np.nonzero(significant(x))
    keys = zip(i[rows].tolist(), j[rows].tolist(), k.tolist(), strict=True)
    out.update(zip(keys, (x[rows, k] / 2).tolist(), strict=True))


STRUCTURE = Decomposition("structure", zenqa.get_structure_constants, np.subtract, False, record_first)
D_COEFFS = Decomposition("d-coeffs", zenqa.get_d_coefficients, np.add, True, record_all)


def column_matrix(basis):
    """The d*d x n matrix whose column k is basis[k] flattened row-major."""
    return np.stack([b.ravel() for b in basis], axis=1)


def reference(basis, dec):
    """Baseline A: one least-squares solve per pair, as the algorithm is stated."""
    d = basis[0].shape[0]
    columns = column_matrix(basis)
    out = {}
    for i, bi in enumerate(basis):
        for j, bj in enumerate(basis):
            if i == j and not dec.diagonal:
                continue
            target = dec.product(bi @ bj, bj @ bi)
            if i == j:
                target -= np.eye(d) / d
            x = np.linalg.lstsq(columns, target.ravel(), rcond=-1)[0]
            dec.record(out, np.array([i]), np.array([j]), x[np.newaxis])
    return out


def bytes_per_row(n, d):
    # At most three (n, d, d) arrays live at once: two products and their combination.
    return 16 * n * (3 * d * d + n)


def vectorized_fits(n, d):
    return bytes_per_row(n, d) + 2 * 16 * d**4 <= MEMORY_LIMIT  # plus identity and pseudo-inverse


def vectorized(basis, dec):
    """Baseline B: one pseudo-inverse, pair products in blocks of rows i."""
    stack = np.array(basis)
    n, d, _ = stack.shape
    pinv = np.linalg.lstsq(column_matrix(basis), np.eye(d * d), rcond=-1)[0]
    step = max(1, BLOCK_BYTES // bytes_per_row(n, d))
    out = {}
    for start in range(0, n, step):
        rows = np.arange(start, min(start + step, n))
        targets = dec.product(  # one row per pair (i, j), released as soon as combined
            np.einsum("iab,jbc->ijac", stack[rows], stack, optimize=True),
            np.einsum("jab,ibc->ijac", stack, stack[rows], optimize=True),
        ).reshape(-1, d * d)
        i, j = (a.ravel() for a in np.meshgrid(rows, np.arange(n), indexing="ij"))
        if dec.diagonal:
            targets[i == j] -= np.eye(d).ravel() / d
        keep = (i != j) | dec.diagonal
        coefficients = targets[keep] @ pinv.T
        dec.record(out, i[keep], j[keep], coefficients)
    return out


def values_close(a, b):
    if isinstance(a, tuple):  # (k, c) of a structure constant
        return a[0] == b[0] and values_close(a[1], b[1])
    return cmath.isclose(a, b, rel_tol=REL_TOL)


def same_result(got, want):
    return got.keys() == want.keys() and all(values_close(got[key], want[key]) for key in want)


def timed(call, max_repeats, clock=time.perf_counter):
    """Best of up to max_repeats runs on clock, fewer for slow calls; keeps the first result."""
    gc.disable()  # as timeit does: collections triggered by fresh tuples are noise
    try:
        start = clock()
        result = call()
        best = clock() - start
        for _ in range(min(max_repeats, int(TIME_BUDGET / max(best, 1e-9))) - 1):
            start = clock()
            call()
            best = min(best, clock() - start)
    finally:
        gc.enable()
    return Measurement(best, result)


def rotated_gellmann(d, seed=20240601):
    """The Gell-Mann basis conjugated by a random unitary: same algebra, dense matrices."""
    rng = np.random.default_rng(seed)
    u, _ = np.linalg.qr(rng.standard_normal((d, d)) + 1j * rng.standard_normal((d, d)))
    return list(u @ np.array(zenqa.gen_gellmann(d)) @ u.conj().T)


def rank_deficient_gellmann(d):
    """The Gell-Mann basis with its last element replaced by the sum of the first two."""
    basis = zenqa.gen_gellmann(d)
    basis[-1] = basis[0] + basis[1]
    return basis


FAMILIES = [
    ("gellmann", zenqa.gen_gellmann, (3, 5, 7, 8, 12, 16, 24, 32)),
    ("sylvester", zenqa.gen_sylvester, (3, 5, 8, 12, 16, 24, 32)),
    ("dense", rotated_gellmann, (4, 6, 8)),
    ("rank-deficient", rank_deficient_gellmann, (4,)),
]


def workloads(max_d):
    """(d, family, factory) in increasing d, so that the peak memory grows with the sizes."""
    runs = [(d, name, make) for name, make, sizes in FAMILIES for d in sizes if d <= max_d]
    return sorted(runs, key=lambda run: run[0])


COLUMNS = "{:<15}{:<10}{:>3}{:>9}{:>9}{:>9}{:>8}{:>9}{:>8}{:>9}{:>8}{:>10}{:>8}{:>8}{:>9}"
HEADER = (
    "workload",
    "function",
    "d",
    "entries",
    "zenqa",
    "A",
    "zq/A",
    "B",
    "zq/B",
    "floor",
    "zq/fl",
    "check",
    "zqMiB",
    "BMiB",
    "peakMiB",
)


def fmt_seconds(seconds):
    if seconds >= 1:
        return f"{seconds:.3g}s"
    return f"{seconds * 1e3:.3g}ms" if seconds >= 1e-3 else f"{seconds * 1e6:.3g}us"


def fmt_time(m):
    return "-" if m is None else fmt_seconds(m.seconds)


def fmt_ratio(ours, theirs):
    return "-" if ours is None or theirs is None else f"{ours.seconds / theirs.seconds:.3g}"


def peak_mib():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss // 1024  # KiB on Linux


def status_kib(field):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise LookupError(field)


def call_peak_mib(call):
    """How far one call raises the resident set above where it started, in MiB.

    Writing 5 to clear_refs resets the kernel's high-water mark of this process."""
    with open("/proc/self/clear_refs", "w") as refs:
        refs.write("5")
    before = status_kib("VmRSS")
    call()
    return (status_kib("VmHWM") - before) / 1024


def run_workload(name, basis, dec, max_repeats):
    """Prints one line of timings for a decomposition of the basis."""
    n, d = len(basis), basis[0].shape[0]
    # zenqa first, once the baselines' BLAS threads of the previous workload are idle:
    # on two cores their spinning would otherwise take its time.
    time.sleep(SETTLE)
    ours = timed(lambda: dec.native(basis), max_repeats)
    a = timed(lambda: reference(basis, dec), max_repeats) if d <= REFERENCE_MAX_D else None
    b = timed(lambda: vectorized(basis, dec), max_repeats) if vectorized_fits(n, d) else None
    if a and b and not same_result(a.result, b.result):
        raise SystemExit(f"baselines A and B disagree: {name} d={d} {dec.label}")
    pickled = pickle.dumps(ours.result, pickle.HIGHEST_PROTOCOL)
    floor = timed(lambda: pickle.loads(pickled), max_repeats)
    check = "ok" if same_result(ours.result, (b or a).result) else "MISMATCH"
    ours_mib = f"{call_peak_mib(lambda: dec.native(basis)):.1f}"
    b_mib = f"{call_peak_mib(lambda: vectorized(basis, dec)):.1f}" if b else "-"
    print(
        COLUMNS.format(
            name,
            dec.label,
            d,
            len(ours.result),
            fmt_time(ours),
            fmt_time(a),
            fmt_ratio(ours, a),
            fmt_time(b),
            fmt_ratio(ours, b),
            fmt_time(floor),
            fmt_ratio(ours, floor),
            check,
            ours_mib,
            b_mib,
            peak_mib(),
        ),
        flush=True,
    )


def product_scaling(small, large, max_repeats):
    """Times cross, dot and su_commutator at two sizes of the Gell-Mann maps."""
    print("products on the Gell-Mann maps, random (n, 1) coefficients")
    print(f"{'product':<15}{f'd={small}':>9}{f'd={large}':>9}{'ratio':>8}")
    rng = np.random.default_rng(7)
    calls = {}
    for d in (small, large):
        basis, n = zenqa.gen_gellmann(d), d * d - 1
        f, dc = zenqa.get_structure_constants(basis), zenqa.get_d_coefficients(basis)
        la, lb = (rng.standard_normal((n, 1)) + 1j * rng.standard_normal((n, 1)) for _ in range(2))
        calls[d] = {
            "cross": partial(zenqa.cross, la, lb, f),
            "dot": partial(zenqa.dot, la, lb, dc),
            "su_commutator": partial(zenqa.su_commutator, la, lb, f, basis),
        }
    for name in calls[small]:
        t_small, t_large = (timed(calls[d][name], max_repeats) for d in (small, large))
        print(f"{name:<15}{fmt_time(t_small):>9}{fmt_time(t_large):>9}{fmt_ratio(t_large, t_small):>8}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="d up to 4, one repetition")
    parser.add_argument("--max-d", type=int, default=32, help="largest dimension to run")
    args = parser.parse_args()
    if args.max_d < 3:
        parser.error("--max-d must be at least 3")
    max_d = min(args.max_d, 4) if args.quick else args.max_d
    max_repeats = 1 if args.quick else MAX_REPEATS

    # The products first, while the process is small: the large workloads
    # leave a heap that slows every later allocation.
    large = min(24, max_d)
    product_scaling(max(2, large // 2), large, max_repeats)

    print("\n-: not run; check: zenqa against B, or A")
    print(COLUMNS.format(*HEADER))
    for d, name, make in workloads(max_d):
        basis = make(d)
        for dec in (STRUCTURE, D_COEFFS):
            run_workload(name, basis, dec, max_repeats)


if __name__ == "__main__":
    main()
