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

import zenqa
from conftest import rotated

CORES = len(os.sched_getaffinity(0))
LIBRARY = os.path.join(scipy_openblas32.get_lib_dir(), scipy_openblas32.get_library(fullname=True))


def run_python(code, path=(), **environment):
    """Runs code in a fresh interpreter that looks in the directories of path first; returns its output lines.

    OPENBLAS_NUM_THREADS is set only if given."""
    env = {key: value for key, value in os.environ.items() if key != "OPENBLAS_NUM_THREADS"}
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
    import ctypes, os, threading, time
    import zenqa
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
    zenqa.Algebra(basis)
    done.set()
    watcher.join()
    print(most - before - 1)  # not the watcher
    print(ctypes.CDLL({LIBRARY!r}).scipy_openblas_get_num_threads())
"""


@pytest.mark.parametrize(
    "setting, helpers",
    # A value that is no positive count is ignored, as an unset one.
    [(None, CORES - 1), ("1", 0), ("3", 2), ("", CORES - 1), ("0", CORES - 1), ("two", CORES - 1)],
    ids=["default", "one", "three", "empty", "zero", "word"],
)
def test_thread_count_follows_openblas_num_threads(setting, helpers):
    environment = {} if setting is None else {"OPENBLAS_NUM_THREADS": setting}
    assert run_python(COUNT_THREADS, **environment) == [str(helpers), "1"]


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
