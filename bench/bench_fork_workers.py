"""Benchmark zenqa in forked worker processes that share the machine's cores.

For every workload, one line gives

  single   the best wall time of one call in this process;
  cpu      the processor time of one call, over all its threads: the work it takes;
  workers  the wall time of WORKERS forked processes, each making the same CALLS calls;
  ideal    the total work spread evenly over the cores: cpu * CALLS * WORKERS / cores;

with workers / ideal and whether it stays within LIMIT. Threads that spin
while they wait, as a BLAS's own may, oversubscribe the cores and miss it.

    python bench/bench_fork_workers.py [--quick]
"""

import argparse
import os
import time
from functools import partial

from bench_decomposition import Measurement, fmt_time, rotated_gellmann, timed

import zenqa

WORKERS = 4
CALLS = 3  # per worker: the first call of a fresh process also pays for faulting in its heap
LIMIT = 1.5  # workers / ideal
REPEATS = 5

WORKLOADS = [
    ("sylvester", zenqa.gen_sylvester, 24, zenqa.get_structure_constants),
    ("dense", rotated_gellmann, 16, zenqa.get_structure_constants),
    ("dense", rotated_gellmann, 16, zenqa.get_d_coefficients),
]
QUICK_SIZES = {"sylvester": 8, "dense": 4}


def run_forked(call):
    """Wall time of WORKERS forked processes each making the call CALLS times."""
    start = time.perf_counter()
    children = []
    for _ in range(WORKERS):
        pid = os.fork()
        if pid == 0:
            status = 1
            try:
                for _ in range(CALLS):
                    call()
                status = 0
            finally:
                os._exit(status)
        children.append(pid)
    failed = [pid for pid in children if os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]) != 0]
    if failed:
        raise SystemExit(f"{len(failed)} of {WORKERS} workers failed")
    return time.perf_counter() - start


COLUMNS = "{:<11}{:<25}{:>4}{:>10}{:>10}{:>10}{:>10}{:>9}{:>6}"
HEADER = ("workload", "function", "d", "single", "cpu", "workers", "ideal", "w/ideal", "")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="small sizes, one repetition")
    args = parser.parse_args()
    repeats = 1 if args.quick else REPEATS
    cores = len(os.sched_getaffinity(0))
    print(f"{WORKERS} workers on {cores} cores, OPENBLAS_NUM_THREADS={os.environ.get('OPENBLAS_NUM_THREADS', '-')}")
    print(COLUMNS.format(*HEADER))
    for name, make, d, function in WORKLOADS:
        basis = make(QUICK_SIZES[name] if args.quick else d)
        call = partial(function, basis)
        # The processor time of all the process's threads: the work a call takes.
        single, work = timed(call, repeats), timed(call, repeats, clock=time.process_time)
        workers = Measurement(min(run_forked(call) for _ in range(repeats)), None)
        ideal = Measurement(work.seconds * CALLS * WORKERS / cores, None)
        ratio = workers.seconds / ideal.seconds
        print(
            COLUMNS.format(
                name,
                function.__name__,
                len(basis[0]),
                fmt_time(single),
                fmt_time(work),
                fmt_time(workers),
                fmt_time(ideal),
                f"{ratio:.2f}",
                "ok" if ratio <= LIMIT else "SLOW",
            ),
            flush=True,
        )


if __name__ == "__main__":
    main()
