import ctypes
import gc
import itertools
import math
import os
import signal
import struct
import time
import warnings

import numpy as np
import pytest

import zenqa


class Index:
    """Integer-like argument. An exception (or a callable producing one) is raised from __index__."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        value = self.value() if callable(self.value) else self.value
        if isinstance(value, BaseException):
            raise value
        return value


@pytest.fixture(scope="session")
def panic_type():
    # The module does not publish the class; take it from a fault.
    with pytest.raises(BaseException) as info:
        zenqa.gen_sylvester(0)
    return info.type


def outcome(call, panic_type):
    """Type of the exception raised by call(), or None; the exception itself is dropped here."""
    try:
        call()
    except (Exception, panic_type) as exc:
        return type(exc)
    return None


_object_call = ctypes.pythonapi.PyObject_Call
_object_call.restype = ctypes.py_object
_object_call.argtypes = [ctypes.py_object] * 3


def call_with_dict(func, args, kwargs):
    """Call func with this very keyword dict (a Python-level **kwargs call would copy it first)."""
    return _object_call(func, tuple(args), kwargs)


def bits(re, im):
    return struct.pack("<dd", re, im)


def assert_bitwise(arrays, expected):
    """arrays: list of 2-D arrays; expected: list of matrices of (re, im) float pairs."""
    assert len(arrays) == len(expected)
    diffs = []
    for p, (arr, ref) in enumerate(zip(arrays, expected, strict=True)):
        assert arr.shape == (len(ref), len(ref[0]) if ref else 0), f"matrix {p}"
        for i, (row, ref_row) in enumerate(zip(arr.tolist(), ref, strict=True)):
            for j, (z, (re, im)) in enumerate(zip(row, ref_row, strict=True)):
                if bits(z.real, z.imag) != bits(re, im):
                    diffs.append((p, i, j, z, complex(re, im)))
    assert not diffs, f"{len(diffs)} elements differ (matrix, row, col, got, want): {diffs[:8]}"


def as_pairs(arrays):
    return [[[(z.real, z.imag) for z in row] for row in arr.tolist()] for arr in arrays]


def random_unitary(d, seed):
    rng = np.random.default_rng(seed)
    q, r = np.linalg.qr(rng.normal(size=(d, d)) + 1j * rng.normal(size=(d, d)))
    return q * (np.diag(r) / abs(np.diag(r)))


def rotated(basis, seed):
    """U B U^H for every basis matrix: same algebra, dense complex entries."""
    u = random_unitary(len(basis[0]), seed)
    return [u @ b @ u.conj().T for b in basis]


def col(*values):
    return np.array(values, complex).reshape(-1, 1)


def downcast(type_name, target="PyArray<T, D>"):
    return f"'{type_name}' object cannot be converted to '{target}'"


class ChildTypeError(TypeError):
    pass


class IntChild(int):
    pass


# Reference loops in plain Python floats: a complex number is an (re, im) pair and
# every product and sum is written out in the order the module must evaluate it.


def mul(x, y):
    return (x[0] * y[0] - x[1] * y[1], x[0] * y[1] + x[1] * y[0])


def add(x, y):
    return (x[0] + y[0], x[1] + y[1])


def pair(z):
    z = complex(z)
    return (z.real, z.imag)


def flat(arr):
    return [pair(z) for row in arr.tolist() for z in row]


def zero_rows(rows, cols):
    return [[(0.0, 0.0)] * cols for _ in range(rows)]


ORDERINGS = ((0, 1, 2), (0, 2, 1), (1, 0, 2), (1, 2, 0), (2, 0, 1), (2, 1, 0))


def ref_cross(l_a, l_b, f):
    rows, cols = l_a.shape
    out = zero_rows(rows, cols)
    for i, a in enumerate(flat(l_a)):
        for j, b in enumerate(flat(l_b)):
            for k in range(rows):
                entry = f.get((i, j))
                if entry is not None and entry[0] == k:
                    out[k][0] = add(out[k][0], mul(mul(pair(entry[1]), a), b))
    return out


def ref_dot(l_a, l_b, f):
    rows, cols = l_a.shape
    out = zero_rows(rows, cols)
    for i, a in enumerate(flat(l_a)):
        for j, b in enumerate(flat(l_b)):
            for k in range(rows):
                triple = (i, j, k)
                for order in ORDERINGS:
                    c = f.get(tuple(triple[p] for p in order))
                    if c is not None:
                        out[k][0] = add(out[k][0], mul(mul(pair(c), a), b))
                        break
    return out


def ref_commutator(l_a, l_b, f, basis):
    m = basis[0].shape[0]
    terms = as_pairs(basis)
    out = zero_rows(m, m)
    for i, a in enumerate(flat(l_a)):
        for j, b in enumerate(flat(l_b)):
            if (i, j) not in f:
                continue
            k, c = f[(i, j)]
            s = mul(mul(a, b), pair(c))
            if not math.hypot(*s) > 1e-8:
                continue
            term = terms[k]
            for r in range(m):
                for q in range(m):
                    x = term[r if len(term) > 1 else 0][q if len(term[0]) > 1 else 0]
                    out[r][q] = add(out[r][q], mul(x, s))
    return out


# AddressSanitizer reserves terabytes of address space and keeps freed memory in
# quarantine: address-space limits and resident-size figures mean nothing under it.
sanitized = "libasan" in os.environ.get("LD_PRELOAD", "")
skip_if_sanitized = pytest.mark.skipif(sanitized, reason="memory limits and RSS are meaningless under AddressSanitizer")


def seconds_to_interrupt(call, delay=0.05):
    """Runs call() with a KeyboardInterrupt raised from a kernel timer's signal `delay` s in, as
    Ctrl-C's SIGINT would be (the call holds the interpreter lock, so no Python thread could);
    returns the seconds until the call was stopped."""
    armed = [True]

    def interrupt(signum, frame):
        if armed[0]:  # a late signal must not abort the whole session
            raise KeyboardInterrupt

    # Garbage left by earlier tests goes first: a finaliser that the collector runs
    # during the call would take the signal, and its KeyboardInterrupt is only reported.
    gc.collect()
    previous = signal.signal(signal.SIGALRM, interrupt)
    try:
        start = time.perf_counter()
        signal.setitimer(signal.ITIMER_REAL, delay)
        with pytest.raises(KeyboardInterrupt):
            call()
        return time.perf_counter() - start
    finally:
        armed[0] = False
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


# NumPy 2.5 deprecates setting an existing array's shape or dtype; hostile code may still do it
SETTING_DEPRECATED = np.lib.NumpyVersion(np.__version__) >= "2.5.0"


def set_in_place(array, attr, value):
    """Reshape or retype the array object itself, with the deprecation warning where this NumPy gives one."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        setattr(array, attr, value)
    expected = [(DeprecationWarning, f"Setting the {attr}")] if SETTING_DEPRECATED else []
    assert [(w.category, str(w.message).partition(" on ")[0]) for w in caught] == expected


def textbook_su3():
    """lambda_1..lambda_8 and the totally (anti)symmetric f_abc, d_abc (indices from 1)."""
    lam = np.zeros((9, 3, 3), complex)
    for a, (r, c) in zip((1, 4, 6), ((0, 1), (0, 2), (1, 2)), strict=True):
        lam[a][r, c] = lam[a][c, r] = 1
        lam[a + 1][r, c], lam[a + 1][c, r] = -1j, 1j
    lam[3] = np.diag([1, -1, 0])
    lam[8] = np.diag([1, 1, -2]) / math.sqrt(3)
    s3 = math.sqrt(3)
    f_values = {
        (1, 2, 3): 1,
        (1, 4, 7): 0.5,
        (1, 5, 6): -0.5,
        (2, 4, 6): 0.5,
        (2, 5, 7): 0.5,
        (3, 4, 5): 0.5,
        (3, 6, 7): -0.5,
        (4, 5, 8): s3 / 2,
        (6, 7, 8): s3 / 2,
    }
    d_values = {
        (1, 1, 8): 1 / s3,
        (2, 2, 8): 1 / s3,
        (3, 3, 8): 1 / s3,
        (8, 8, 8): -1 / s3,
        (4, 4, 8): -0.5 / s3,
        (5, 5, 8): -0.5 / s3,
        (6, 6, 8): -0.5 / s3,
        (7, 7, 8): -0.5 / s3,
        (1, 4, 6): 0.5,
        (1, 5, 7): 0.5,
        (2, 5, 6): 0.5,
        (3, 4, 4): 0.5,
        (3, 5, 5): 0.5,
        (2, 4, 7): -0.5,
        (3, 6, 6): -0.5,
        (3, 7, 7): -0.5,
    }
    f, d = np.zeros((9, 9, 9)), np.zeros((9, 9, 9))
    for (a, b, c), v in f_values.items():
        for perm in itertools.permutations(range(3)):
            sign = np.linalg.det(np.eye(3)[list(perm)])
            f[tuple((a, b, c)[p] for p in perm)] = sign * v
    for (a, b, c), v in d_values.items():
        for perm in itertools.permutations((a, b, c)):
            d[perm] = v
    return lam, f, d
