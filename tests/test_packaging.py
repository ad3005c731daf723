"""The installed package: its version, and OpenBLAS found and set up at run time."""

import importlib.metadata
import os
import pickle
import shutil
import subprocess
import sys
import textwrap

import pytest
import scipy_openblas32
from test_algebra_products import vectors
from test_sizes import fake_system

import zenqa
from conftest import rotated

CORES = len(os.sched_getaffinity(0))
LIBRARY = os.path.join(scipy_openblas32.get_lib_dir(), scipy_openblas32.get_library(fullname=True))


def run_python(code, path=(), **environment):
    """Runs code in a fresh interpreter that looks in the directories of path first; returns its output lines.

    The thread-count variables are set only if given."""
    env = {key: value for key, value in os.environ.items() if key not in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS")}
    env.update(environment, PYTHONPATH=os.pathsep.join([*path, *sys.path]))
    proc = subprocess.run(
        [sys.executable, "-W", "error", "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=120,
        env=env,
    )
    assert proc.returncode == 0, proc.stderr
    return proc.stdout.splitlines()


def test_version_is_the_distribution_version():
    assert zenqa.__version__ == importlib.metadata.version("zenqa")
    assert "__version__" not in zenqa.__all__


def test_openblas_missing_is_an_import_error_that_says_how_to_install():
    lines = run_python("""
        import sys
        sys.modules["scipy_openblas32"] = None
        import zenqa
        basis = zenqa.gen_gellmann(2)  # needs no LAPACK
        for decompose in (zenqa.get_structure_constants, zenqa.get_d_coefficients):
            try:
                decompose(basis)
            except ImportError as error:
                print(error)
        del sys.modules["scipy_openblas32"]  # installed now: the next call loads it
        print(zenqa.get_structure_constants(basis)[0, 1])
    """)
    hint = (
        "zenqa needs the scipy-openblas32 package for LAPACK: pip install scipy-openblas32=="
        + scipy_openblas32.__version__
    )
    assert lines == [hint, hint, "(2, (2+0j))"]


def test_module_installed_apart_from_openblas(tmp_path):
    # As pip install --no-deps --target does: OpenBLAS stays in another directory of sys.path.
    shutil.copy(zenqa.__file__, tmp_path)
    lines = run_python(
        """
        import sys
        import zenqa
        print(zenqa.__file__)
        print("scipy_openblas32" in sys.modules)
        print(len(zenqa.get_structure_constants(zenqa.gen_sylvester(2))))
    """,
        path=[str(tmp_path)],
    )
    # OpenBLAS is loaded on first need, not on import
    assert lines == [str(tmp_path / os.path.basename(zenqa.__file__)), "False", "6"]


# Helper threads seen during one Algebra build, which releases the GIL so that a
# watching thread can count them; and OpenBLAS's own count, which stays 1.
COUNT_THREADS = f"""
    import ctypes, contextlib, os, threading, time
    {{before}}
    import zenqa
    {{after}}
    zenqa.Algebra(zenqa.gen_sylvester(2))  # opens OpenBLAS, whose own threads start now
    basis = zenqa.gen_sylvester(24)
    tasks = lambda: len(os.listdir("/proc/self/task"))
    before, most, done = tasks(), 0, threading.Event()
    def watch():
        global most
        while not done.is_set():
            most = max(most, tasks())
            time.sleep(0.001)
    watcher = threading.Thread(target=watch)
    watcher.start()
    with {{around}}:
        zenqa.Algebra(basis)
    done.set()
    watcher.join()
    print(most - before - 1)  # not the watcher
    print(ctypes.CDLL({LIBRARY!r}).scipy_openblas_get_num_threads())
"""


def thread_counts(environment=(), before="", after="", around="contextlib.nullcontext()"):
    """The helper threads of one large build, and OpenBLAS's own count."""
    code = COUNT_THREADS.format(before=before, after=after, around=around)
    return [int(line) for line in run_python(code, **dict(environment))]


def at_most(threads):
    return min(CORES, threads) - 1


# Thread-count variables and the helper threads a large build then starts: a value
# that is no positive count is ignored, as an unset one, and the least count wins.
ENVIRONMENTS = {
    "default": ({}, CORES - 1),
    "one": ({"OPENBLAS_NUM_THREADS": "1"}, 0),
    "three": ({"OPENBLAS_NUM_THREADS": "3"}, at_most(3)),
    "empty": ({"OPENBLAS_NUM_THREADS": ""}, CORES - 1),
    "zero": ({"OPENBLAS_NUM_THREADS": "0"}, CORES - 1),
    "word": ({"OPENBLAS_NUM_THREADS": "two"}, CORES - 1),
    "omp-one": ({"OMP_NUM_THREADS": "1"}, 0),
    "omp-list": ({"OMP_NUM_THREADS": "1,4"}, 0),
    "omp-negative": ({"OMP_NUM_THREADS": "-2"}, CORES - 1),
    "blas-less": ({"OMP_NUM_THREADS": "8", "OPENBLAS_NUM_THREADS": "1"}, 0),
    "omp-less": ({"OMP_NUM_THREADS": "1", "OPENBLAS_NUM_THREADS": "8"}, 0),
}


@pytest.mark.parametrize("name", list(ENVIRONMENTS))
def test_thread_count_follows_the_environment(name):
    environment, helpers = ENVIRONMENTS[name]
    assert thread_counts(environment) == [helpers, 1]


V2_JOB = "sys/fs/cgroup/batch/job/"
V1_JOB = "sys/fs/cgroup/cpu/docker/c1/"
# Fake cgroup files and the threads their CPU quota allows, rounded up.
QUOTAS = {
    "v2-half": ({V2_JOB + "cpu.max": "50000 100000\n"}, 1),
    "v2-one-and-a-half": ({V2_JOB + "cpu.max": "150000 100000\n"}, 2),
    "v2-none": ({V2_JOB + "cpu.max": "max 100000\n"}, CORES),
    "v2-parent": ({V2_JOB + "cpu.max": "max 100000\n", "sys/fs/cgroup/batch/cpu.max": "100000 100000\n"}, 1),
    "v2-garbage": ({V2_JOB + "cpu.max": "lots\n"}, CORES),
    "v1-one": ({V1_JOB + "cpu.cfs_quota_us": "100000\n", V1_JOB + "cpu.cfs_period_us": "100000\n"}, 1),
    "v1-unlimited": ({V1_JOB + "cpu.cfs_quota_us": "-1\n", V1_JOB + "cpu.cfs_period_us": "100000\n"}, CORES),
    "v1-own-mount": (
        {"sys/fs/cgroup/cpu/cpu.cfs_quota_us": "20000\n", "sys/fs/cgroup/cpu/cpu.cfs_period_us": "100000\n"},
        1,
    ),
}
CGROUP_LISTS = {"v2": "0::/batch/job\n", "v1": "12:pids:/docker/c1\n3:cpu,cpuacct:/docker/c1\n0::/\n"}


@pytest.mark.parametrize("name", list(QUOTAS))
def test_thread_count_follows_the_cgroup_cpu_quota(tmp_path, name):
    files, threads = QUOTAS[name]
    files = {"proc/self/cgroup": CGROUP_LISTS[name.split("-")[0]], **files}
    assert thread_counts({"ZENQA_TEST_SYSTEM_ROOT": fake_system(tmp_path, files)}) == [at_most(threads), 1]


THREADPOOLCTL = "from threadpoolctl import threadpool_info, threadpool_limits"


# A check that threadpoolctl is installed imports nothing, and leaves the import after it registering.
LOOKED_UP_THEN_IMPORTED = f"import importlib.util; importlib.util.find_spec('threadpoolctl'); {THREADPOOLCTL}"


@pytest.mark.parametrize(
    "imported, importing", [("before", THREADPOOLCTL), ("after", THREADPOOLCTL), ("after", LOOKED_UP_THEN_IMPORTED)]
)
def test_threadpoolctl_lists_and_limits_zenqa(imported, importing):
    # Registered whether threadpoolctl was imported before zenqa or after it.
    limited = {imported: importing, "around": "threadpool_limits(1)"}
    assert thread_counts(**limited) == [0, 1]
    assert thread_counts(**limited | {"around": "threadpool_limits(1, user_api='blas')"}) == [CORES - 1, 1]
    lines = run_python(f"""
        {importing if imported == "before" else ""}
        import zenqa
        {importing}
        counts = lambda: [(i["num_threads"], i["version"]) for i in threadpool_info() if i["user_api"] == "zenqa"]
        print(counts())
        with threadpool_limits(1):
            print(counts())
        print(counts())
    """)
    version = zenqa.__version__
    assert lines == [f"[({CORES}, {version!r})]", f"[(1, {version!r})]", f"[({CORES}, {version!r})]"]


def test_a_limit_on_every_library_leaves_zenqas_openblas_on_one_thread():
    # threadpoolctl lists zenqa's OpenBLAS as a BLAS of its own and raises its count
    # with the others', which would share each product out again inside zenqa's threads.
    lines = run_python(f"""
        import ctypes
        import numpy as np
        import zenqa
        {THREADPOOLCTL}
        zenqa.Algebra(zenqa.gen_sylvester(2))  # opens OpenBLAS
        rotation = np.linalg.qr(np.random.default_rng(0).normal(size=(15, 15)))[0]
        with threadpool_limits(4):
            zenqa.Algebra(np.einsum("ab,bij->aij", rotation, zenqa.gen_gellmann(4)))
            print(ctypes.CDLL({LIBRARY!r}).scipy_openblas_get_num_threads())
    """)
    assert lines == ["1"]


def test_threadpoolctl_stays_optional():
    lines = run_python("""
        import sys
        import zenqa
        print("threadpoolctl" in sys.modules)
        sys.modules["threadpoolctl"] = None  # as if not installed
        print(len(zenqa.Algebra(zenqa.gen_sylvester(24)).structure_constants()[0]) > 0)
    """)
    assert lines == ["False", "True"]


def test_results_do_not_depend_on_thread_count(monkeypatch):
    # Bases and batches large enough to be shared out over threads; the count is read at each call.
    bases = [rotated(zenqa.gen_gellmann(12), 5), zenqa.gen_sylvester(14)]
    batches = [(vectors((1000, len(b)), True, 4), vectors((1000, len(b)), False, 5)) for b in bases]
    runs = []
    for setting in ("1", "2", "3"):
        monkeypatch.setenv("OPENBLAS_NUM_THREADS", setting)
        algebras = [zenqa.Algebra(basis) for basis in bases]
        results = [
            (zenqa.get_structure_constants(b), zenqa.get_d_coefficients(b), a.structure_constants(), a.d_coefficients())
            for b, a in zip(bases, algebras, strict=True)
        ]
        for algebra, (a, b) in zip(algebras, batches, strict=True):
            results.append((algebra.bracket(a, b), algebra.anticommutator(b, a)))
        runs.append(pickle.dumps(results))
    assert runs[0] == runs[1] == runs[2]
