import os
import subprocess
import sys
import textwrap
import time

import numpy as np
import pytest

import zenqa
from conftest import seconds_to_interrupt

COLUMN = np.ones((40, 1), complex)
DENSE = [np.ones((500, 500), complex)]
PAIRS = {(i, j): (0, 1.0) for i in range(40) for j in range(40)}

# Calls that run for many seconds, several times longer than the bound below; if
# one were not interrupted it would still finish, just late.
LONG_CALLS = {
    "gen_gellmann": lambda: zenqa.gen_gellmann(100),
    "gen_sylvester": lambda: zenqa.gen_sylvester(100),
    "get_structure_constants": lambda: zenqa.get_structure_constants(zenqa.gen_sylvester(32)),
    "su_commutator": lambda: zenqa.su_commutator(COLUMN, COLUMN, PAIRS, DENSE),
}


@pytest.mark.parametrize("name", list(LONG_CALLS))
def test_long_call_stops_at_once(name):
    call = LONG_CALLS[name]
    assert seconds_to_interrupt(call) < 1.0


SHARED_OUT = zenqa.gen_sylvester(32)


# The signal may find the calling thread in a group of rows of its own, waiting for
# the other threads' groups, or filling the dict of a million entries: KeyboardInterrupt
# each way, never the threads' abandonment.
@pytest.mark.parametrize("delay", [0.03, 0.06, 0.09, 0.12, 0.15])
def test_ctrl_c_while_rows_are_shared_out_over_threads(delay):
    assert seconds_to_interrupt(lambda: zenqa.get_structure_constants(SHARED_OUT), delay=delay) < delay + 0.5


# cross and dot are quick for their size; they are measured against a full run.
@pytest.mark.parametrize(
    "name, f",
    [
        ("cross", lambda n: {(i, i + 1): (i, 1.0) for i in range(n)}),
        ("dot", lambda n: {(i, i + 1, i): 1.0 for i in range(n // 4)}),
    ],
)
def test_products_of_huge_maps_stop_early(name, f):
    n = 1_000_000
    f, l_a = f(n), np.ones((n + 1, 1), complex)
    func = getattr(zenqa, name)
    start = time.perf_counter()
    func(l_a, l_a, f)
    full = time.perf_counter() - start
    # The signal comes a fifth of the way in, whatever the machine's speed.
    delay = full / 5
    elapsed = seconds_to_interrupt(lambda: func(l_a, l_a, f), delay=delay)
    assert elapsed < delay + full / 2, (elapsed, full)


CHILD = textwrap.dedent("""
    import sys

    class Trap:
        # Raises while NumPy's compiled core is imported, as Ctrl-C or a broken install would.
        def find_spec(self, name, path=None, target=None):
            if name.endswith("multiarray_umath"):
                raise {raised}
            return None

    trap = Trap()
    sys.meta_path.insert(0, trap)
    import zenqa
    try:
        zenqa.gen_gellmann(2)
    except BaseException as exc:
        print(type(exc).__name__, exc.args)
    sys.meta_path.remove(trap)
    for name in [n for n in sys.modules if n == "numpy" or n.startswith("numpy.")]:
        del sys.modules[name]
    print(len(zenqa.gen_gellmann(2)))  # the next call loads NumPy
""")


def run_python(code):
    """Runs code in a fresh interpreter that imports this zenqa."""
    path = os.pathsep.join([os.path.dirname(zenqa.__file__), os.environ.get("PYTHONPATH", "")])
    return subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, timeout=120, env=dict(os.environ, PYTHONPATH=path)
    )


@pytest.mark.parametrize(
    "raised, expected",
    [
        ("KeyboardInterrupt", "KeyboardInterrupt ()"),
        ("MemoryError('import')", "MemoryError ('import',)"),
        ("ImportError('no core')", "PanicException ('Failed to import numpy module',)"),
    ],
)
def test_exception_while_numpy_loads(raised, expected):
    proc = run_python(CHILD.format(raised=raised))
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == [expected, "3"]
    assert ("Failed to import numpy module" in proc.stderr) == ("Panic" in expected)


@pytest.mark.parametrize("method", ["lindblad_terms", "to_liouvillian"])
def test_ctrl_c_stops_open_system_methods(method):
    d = 56  # where each call takes a few tenths of a second
    algebra = zenqa.Algebra(zenqa.gen_gellmann(d))
    rng = np.random.default_rng(3)
    jumps = rng.normal(size=(2, d, d)) + 1j * rng.normal(size=(2, d, d))
    generator = algebra.lindblad(np.diag(np.arange(float(d))), jumps)
    call = getattr(algebra, method)
    # The first C++ exception after libraries are loaded sets up the unwinder,
    # which under the sanitizers takes longer than these calls themselves.
    with pytest.raises(ValueError):
        call(generator[0], generator[1][:-1])
    start = time.perf_counter()
    call(*generator)
    full = time.perf_counter() - start
    delay = 0.02
    # A shared machine may stall one try past the bound; a call that does not stop fails all three.
    assert any(seconds_to_interrupt(lambda: call(*generator), delay=delay) < delay + full / 2 for _ in range(3))


DAEMON_CHILD = """
import threading, time, numpy as np, zenqa
rng = np.random.default_rng(1)
if "{work}" == "bracket":
    algebra = zenqa.Algebra(zenqa.gen_gellmann(8))
    a = np.ones((200_000, len(algebra)))
    work = lambda: algebra.bracket(a, a)
elif "{work}" == "dense construction":
    basis = rng.normal(size=(255, 16, 16)) + 1j * rng.normal(size=(255, 16, 16))
    work = lambda: zenqa.Algebra(basis)
else:
    algebra = zenqa.Algebra(zenqa.gen_gellmann(24))
    jumps = rng.normal(size=(2, 24, 24)) + 1j * rng.normal(size=(2, 24, 24))
    generator = algebra.lindblad(np.diag(np.arange(24.0)), jumps)
    work = lambda: algebra.lindblad_terms(*generator)
threading.Thread(target=lambda: [work() for _ in iter(int, 1)], daemon=True).start()
time.sleep(0.3)
"""


# CPython ends a daemon thread at shutdown as it takes the GIL back, inside
# zenqa's call or inside NumPy's, and the exit unloads OpenBLAS while the
# thread's helpers may be inside it: the process still exits quietly.
@pytest.mark.parametrize("work", ["bracket", "lindblad_terms", "dense construction"])
def test_exit_while_a_daemon_thread_computes(work):
    for _ in range(5):
        proc = run_python(DAEMON_CHILD.format(work=work))
        assert (proc.returncode, proc.stderr) == (0, "")


# A child forked while a thread computes holds only the thread that forked:
# its exit has nothing to wait for.
@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_exit_of_a_child_forked_while_a_thread_computes():
    fork = """
import os
pid = os.fork()
if pid == 0:
    raise SystemExit(3)
print(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]))
"""
    proc = run_python(DAEMON_CHILD.format(work="dense construction") + fork)
    assert (proc.returncode, proc.stdout) == (0, "3\n"), proc.stderr
