import numpy as np
import pytest
from numpy.lib.stride_tricks import as_strided

import zenqa
from conftest import downcast, outcome, rotated

FUNCTIONS = [zenqa.get_structure_constants, zenqa.get_d_coefficients]
MISMATCH = "Shape Mismatch:\n from=(dim={}, dtype={}), to=(dim=2, dtype=Complex64)"


BAD_ELEMENTS = {
    "list": ([[1j, 0], [0, 1j]], downcast("list")),
    "None": (None, downcast("NoneType")),
    "complex": (1j, downcast("complex")),
    "numpy-scalar": (np.complex128(1j), downcast("complex128")),
    "float64": (np.zeros((2, 2)), MISMATCH.format(2, "Float64")),
    "float32": (np.zeros((2, 2), np.float32), MISMATCH.format(2, "Float32")),
    "complex64": (np.zeros((2, 2), np.complex64), MISMATCH.format(2, "Complex32")),
    "int64": (np.zeros((2, 2), np.int64), MISMATCH.format(2, "Int64")),
    "uint8": (np.zeros((2, 2), np.uint8), MISMATCH.format(2, "Uint8")),
    "bool": (np.zeros((2, 2), bool), MISMATCH.format(2, "Bool")),
    "object": (np.zeros((2, 2), object), MISMATCH.format(2, "Object")),
    "clongdouble": (np.zeros((2, 2), np.clongdouble), MISMATCH.format(2, "Unknown")),
    "0-d": (np.zeros((), complex), MISMATCH.format(0, "Complex64")),
    "1-d": (np.zeros(4, complex), MISMATCH.format(1, "Complex64")),
    "3-d": (np.zeros((2, 2, 2), complex), MISMATCH.format(3, "Complex64")),
}


@pytest.mark.parametrize("func", FUNCTIONS)
@pytest.mark.parametrize("case", list(BAD_ELEMENTS))
@pytest.mark.parametrize("position", [0, 2])
def test_bad_basis_element(func, case, position):
    bad, message = BAD_ELEMENTS[case]
    good = zenqa.gen_gellmann(2)[:position]
    for call in (lambda: func([*good, bad]), lambda: func(basis=(*good, bad))):
        with pytest.raises(TypeError) as info:
            call()
        assert type(info.value) is TypeError
        assert info.value.args == ("argument 'basis': " + message,)
    # the arrays borrowed before the bad one are given back
    assert all(m.flags.writeable for m in good)


def gen():
    yield from zenqa.gen_gellmann(2)


@pytest.mark.parametrize("func", FUNCTIONS)
@pytest.mark.parametrize(
    "basis, message",
    [
        ({}, downcast("dict", "Sequence")),
        ({0: np.eye(2, dtype=complex)}, downcast("dict", "Sequence")),
        (3, downcast("int", "Sequence")),
        (None, downcast("NoneType", "Sequence")),
        ({1, 2}, downcast("set", "Sequence")),
        (gen(), downcast("generator", "Sequence")),
        ("ab", downcast("str")),  # a sequence, of strings
        (b"ab", downcast("int")),
        (np.zeros((3, 3), complex), MISMATCH.format(1, "Complex64")),
        (np.zeros((2, 2, 2, 2), complex), MISMATCH.format(3, "Complex64")),
    ],
    ids=["dict", "dict-of-arrays", "int", "None", "set", "generator", "str", "bytes", "2-d", "4-d"],
)
def test_bad_basis(func, basis, message):
    with pytest.raises(TypeError) as info:
        func(basis)
    assert type(info.value) is TypeError
    assert info.value.args == ("argument 'basis': " + message,)


class Items:
    """Sequence over a list whose length may lie and whose iteration may fail."""

    def __init__(self, items, length=None, fail_at=None, error=None):
        self.items, self.length, self.fail_at, self.error = items, length, fail_at, error
        self.flags_seen = []

    def __getitem__(self, n):
        return self.items[n]

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return len(self.items) if self.length is None else self.length

    def __iter__(self):
        if self.fail_at == "iter":
            raise self.error
        for n, item in enumerate(self.items):
            # what the arrays handed out so far look like from Python meanwhile
            self.flags_seen.append([a.flags.writeable for a in self.items[:n]])
            if n == self.fail_at:
                raise self.error
            yield item


class OldSequence:
    """Iterated through __getitem__ until IndexError; __len__ is wrong."""

    def __init__(self, items):
        self.items = items

    def __getitem__(self, n):
        return self.items[n]

    def __len__(self):
        return 1


class ListChild(list):
    pass


@pytest.mark.filterwarnings("ignore::PendingDeprecationWarning")  # np.matrix
@pytest.mark.parametrize("func", FUNCTIONS)
@pytest.mark.parametrize(
    "wrap",
    [
        tuple,
        ListChild,
        OldSequence,
        np.array,
        np.asfortranarray,
        lambda b: [np.asmatrix(m) for m in b],
        lambda b: Items(b, length=0),
        lambda b: Items(b, length=2),
        lambda b: Items(b, length=2**62),
        lambda b: Items(b, length=-1),
        lambda b: Items(b, length=2**70),
        lambda b: Items(b, length=ValueError("len")),
        lambda b: Items(b, length=KeyError("len")),
    ],
    ids=[
        "tuple",
        "list-child",
        "getitem",
        "3-d",
        "3-d-fortran",
        "matrix",
        "len-0",
        "len-short",
        "len-2**62",
        "len-negative",
        "len-overflow",
        "len-raises",
        "len-raises-keyerror",
    ],
)
def test_accepted_basis_forms(func, wrap):
    basis = rotated(zenqa.gen_gellmann(3), seed=1)
    expected = func(basis)
    assert len(expected) > 20
    wrapped = wrap([m.copy() for m in basis])
    assert func(wrapped) == expected
    if isinstance(wrapped, np.ndarray):
        assert wrapped.flags.writeable


def layouts(m):
    """Views with the values of m (C-contiguous, native) in other layouts."""
    d = len(m)
    out = {}
    big = np.zeros((2 * d, 3 * d), complex)
    big[::2, ::3] = m
    out["strided"] = big[::2, ::3]
    tall = np.zeros((3 * d, 2 * d), complex)
    tall[::3, ::2] = m.T
    out["transposed"] = tall[::3, ::2].T
    out["reversed"] = np.ascontiguousarray(m[::-1, ::-1])[::-1, ::-1]
    out["reversed-rows"] = np.ascontiguousarray(m[::-1])[::-1]
    padded = np.zeros((d, d), dtype=[("pad", "u1"), ("z", "c16")])
    padded["z"] = m
    out["stride-17"] = padded["z"]
    raw = np.zeros(d * d * 16 + 1, np.uint8)
    out["unaligned"] = np.ndarray((d, d), complex, buffer=raw, offset=1)
    out["unaligned"][...] = m
    floats = np.zeros(3 * d * d + 1)
    out["stride-24"] = np.ndarray((d, d), complex, buffer=floats, offset=8, strides=(24 * d, 24))
    out["stride-24"][...] = m
    out["big-endian"] = m.astype(">c16")
    out["big-endian-strided"] = np.ascontiguousarray(m[::-1]).astype(">c16")[::-1]
    return out


LAYOUTS = list(layouts(np.eye(2, dtype=complex))) + ["broadcast"]


@pytest.mark.parametrize("func", FUNCTIONS)
@pytest.mark.parametrize("layout", LAYOUTS)
def test_layouts_read_the_same_values(func, layout):
    basis = rotated(zenqa.gen_gellmann(3), seed=2)
    if layout == "broadcast":
        # zero strides repeat one row or one column
        rng = np.random.default_rng(3)
        row, column = rng.normal(size=(2, 3)) + 1j * rng.normal(size=(2, 3))
        basis[1], basis[5] = np.tile(row, (3, 1)), np.tile(column[:, None], (1, 3))
        views = list(basis)
        views[1], views[5] = np.broadcast_to(row, (3, 3)), np.broadcast_to(column[:, None], (3, 3))
    else:
        views = [layouts(m)[layout] for m in basis]
    for view, m in zip(views, basis, strict=True):
        assert np.array_equal(view, m)
    changed = [v for v, m in zip(views, basis, strict=True) if v is not m]
    assert changed and not any(v.flags.f_contiguous for v in changed)
    if layout not in ("unaligned", "big-endian"):
        assert not any(v.flags.c_contiguous for v in changed)
    expected = func(basis)
    assert len(expected) > 20
    assert func(views) == expected
    assert func(views[:3] + basis[3:]) == expected


@pytest.mark.parametrize("func", FUNCTIONS)
@pytest.mark.parametrize("position", [0, 4])
@pytest.mark.parametrize(
    "make", [np.asfortranarray, lambda m: np.ascontiguousarray(m.T).T], ids=["asfortranarray", "transposed"]
)
def test_column_major_basis_matrix(func, panic_type, capfd, position, make):
    basis = zenqa.gen_gellmann(3)
    expected = func(basis)
    basis[position] = make(basis[position])
    assert basis[position].flags.f_contiguous and not basis[position].flags.c_contiguous
    with pytest.raises(panic_type) as info:
        func(basis)
    assert info.value.args == ("called `Option::unwrap()` on a `None` value",)
    assert all(m.flags.writeable for m in basis)
    basis[position] = np.ascontiguousarray(basis[position])
    assert func(basis) == expected


@pytest.mark.parametrize("func", FUNCTIONS)
def test_writeable_flags_after_success(func):
    a, b, c = zenqa.gen_gellmann(2)
    c.flags.writeable = False
    items = Items([a, b, a, c, c, b])
    func(items)
    # each item was read-only from the moment it was taken
    assert items.flags_seen[-1] == [False] * 5
    assert a.flags.writeable and b.flags.writeable and not c.flags.writeable


class Boom(Exception):
    pass


@pytest.mark.parametrize("func", FUNCTIONS)
@pytest.mark.parametrize(
    "error", [Boom("midway"), TypeError("midway"), KeyboardInterrupt()], ids=["Boom", "TypeError", "KeyboardInterrupt"]
)
def test_iteration_fails_midway(func, error):
    a, b, c = zenqa.gen_gellmann(2)
    b.flags.writeable = False
    items = Items([a, b, c], fail_at=2, error=error)
    with pytest.raises(type(error)) as info:
        func(items)
    if type(error) is TypeError:
        assert info.value.args == ("argument 'basis': midway",)
    else:
        assert info.value is error
    assert items.flags_seen == [[], [False], [False, False]]
    assert a.flags.writeable and not b.flags.writeable and c.flags.writeable


@pytest.mark.parametrize("func", FUNCTIONS)
def test_iter_raises(func):
    error = Boom("no iterator")
    with pytest.raises(Boom) as info:
        func(Items(zenqa.gen_gellmann(2), fail_at="iter", error=error))
    assert info.value is error
    with pytest.raises(TypeError) as info:
        func(Items([], fail_at="iter", error=TypeError("no iterator")))
    assert info.value.args == ("argument 'basis': no iterator",)


@pytest.mark.parametrize("func", FUNCTIONS)
@pytest.mark.parametrize("position", [0, 1])
def test_writeable_flags_after_copy_fails(func, panic_type, capfd, position):
    # a zero-stride view of 4 PiB is cheap to make but cannot be copied
    huge = as_strided(np.zeros(1, complex), shape=(2**24, 2**24), strides=(0, 0))
    basis = zenqa.gen_gellmann(2)
    basis.insert(position, huge)
    assert huge.flags.writeable
    assert outcome(lambda: func(basis), panic_type) is not None
    assert [m.flags.writeable for m in basis] == [True] * 4
