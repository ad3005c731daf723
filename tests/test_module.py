import os
import re
import subprocess
import sys
import textwrap
import types

import numpy as np
import pytest

import zenqa
from conftest import Index

FUNCTIONS = [
    "gen_sylvester",
    "gen_gellmann",
    "get_structure_constants",
    "get_d_coefficients",
    "su_commutator",
    "cross",
    "dot",
]


def test_module_attributes():
    assert type(zenqa.__all__) is list
    assert zenqa.__all__ == ["__doc__", *FUNCTIONS]
    assert zenqa.__doc__ == ""
    assert not hasattr(zenqa, "PanicException")


@pytest.mark.parametrize("name", FUNCTIONS)
def test_published_function(name):
    func = getattr(zenqa, name)
    assert type(func) is types.BuiltinFunctionType
    assert func.__name__ == name
    assert func.__module__ == "zenqa"
    assert func.__self__ is zenqa
    assert func.__doc__ is None


def test_import_and_first_call_without_numpy():
    code = textwrap.dedent("""
        import sys
        sys.modules["numpy"] = None
        import zenqa
        assert sys.modules["numpy"] is None and "numpy.core" not in sys.modules
        try:
            zenqa.gen_gellmann(2)
        except BaseException as exc:
            print(type(exc).__module__, type(exc).__name__, exc.args)
        # a failed lookup of the NumPy interface is retried on the next call
        del sys.modules["numpy"]
        print(len(zenqa.gen_gellmann(2)))
    """)
    path = os.pathsep.join([os.path.dirname(zenqa.__file__), os.environ.get("PYTHONPATH", "")])
    proc = subprocess.run(
        [sys.executable, "-W", "error", "-c", code],
        capture_output=True,
        text=True,
        timeout=120,
        env=dict(os.environ, PYTHONPATH=path),
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == ["kelm_runtime PanicException ('Failed to import numpy module',)", "3"]
    assert "Failed to import numpy module" in proc.stderr


def test_panic_exception_class(panic_type):
    assert panic_type.__name__ == "PanicException"
    assert panic_type.__module__ == "kelm_runtime"
    assert panic_type.__bases__ == (BaseException,)
    assert not issubclass(panic_type, Exception)


def test_panic_escapes_except_exception(panic_type):
    swallowed = False
    with pytest.raises(panic_type):
        try:
            zenqa.gen_sylvester(0)
        except Exception:
            swallowed = True
    assert not swallowed


@pytest.mark.parametrize(
    "func, d, check",
    [
        (zenqa.gen_sylvester, 0, lambda m: "out of bounds" in m),
        (zenqa.gen_gellmann, 2**64 - 1, lambda m: m == "capacity overflow"),
        (zenqa.gen_gellmann, np.uint64(2**64 - 1), lambda m: m == "capacity overflow"),
        (zenqa.gen_gellmann, Index(2**64 - 1), lambda m: m == "capacity overflow"),
        (zenqa.gen_sylvester, 2**64 - 1, lambda m: "shape" in m.lower() and "overflow" in m.lower()),
    ],
    ids=["sylvester-0", "gellmann-max", "gellmann-max-uint64", "gellmann-max-index", "sylvester-max"],
)
def test_internal_fault(panic_type, capfd, func, d, check):
    capfd.readouterr()
    with pytest.raises(BaseException) as info:
        func(d)
    # one class object for every fault, carrying the message as its only argument
    assert info.type is panic_type
    (message,) = info.value.args
    assert type(message) is str and check(message), message
    err = capfd.readouterr().err
    assert message in err
    assert re.search(r"src/\S+:\d+:\d+", err), err


def test_panic_raised_by_python_code_is_resumed(panic_type, capfd):
    original = panic_type("raised inside __index__")
    capfd.readouterr()
    with pytest.raises(panic_type) as info:
        zenqa.gen_gellmann(Index(original))
    assert info.value is not original
    assert info.value.args == ("Unwrapped panic from Python code",)
    err = capfd.readouterr().err
    assert (
        "--- Kelm is resuming a panic after fetching a PanicException from Python. ---\nPython stack trace below:\n"
    ) in err
    assert "PanicException: raised inside __index__" in err
    # the resumed panic is not reported again as a fresh fault
    assert "Unwrapped panic" not in err
