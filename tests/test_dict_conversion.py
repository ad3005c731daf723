import collections
import ctypes
import fractions
import gc
import operator
import sys
import types

import numpy as np
import pytest

import zenqa
from conftest import ChildTypeError, Index, col, downcast, outcome


class PyComplex(ctypes.Structure):
    _fields_ = [("real", ctypes.c_double), ("imag", ctypes.c_double)]


_as_complex = ctypes.pythonapi.PyComplex_AsCComplex
_as_complex.restype, _as_complex.argtypes = PyComplex, [ctypes.py_object]
_as_u64 = ctypes.pythonapi.PyLong_AsUnsignedLongLong
_as_u64.restype, _as_u64.argtypes = ctypes.c_ulonglong, [ctypes.py_object]


def c_complex(obj):
    """The interpreter's own conversion of a dict value; raises what it raises."""
    z = _as_complex(obj)
    return complex(z.real, z.imag)


def c_index(obj):
    return _as_u64(operator.index(obj))


def error_of(call):
    with pytest.raises(Exception) as info:
        call()
    return info.type, str(info.value)


def prefixed(exc_type, message):
    return exc_type, ("argument 'f_ijk': " + message if exc_type is TypeError else message)


BASIS = zenqa.gen_gellmann(2)
PRODUCTS = {
    "cross": lambda a, b, f: zenqa.cross(a, b, f),
    "dot": lambda a, b, f: zenqa.dot(a, b, f),
    "su_commutator": lambda a, b, f: zenqa.su_commutator(a, b, f, BASIS),
}
PAIR_MAPS = ["cross", "su_commutator"]


def refused(obj, target):
    return TypeError, f"argument 'f_ijk': {downcast(type(obj).__qualname__, target)}"


def length(want, got):
    return ValueError, f"Expected tuple of length {want}, but got tuple of length {got}."


@pytest.mark.parametrize("func", list(PRODUCTS))
@pytest.mark.parametrize(
    "bad",
    [[((0, 1), (2, 1.0))], None, ((0, 1),), types.MappingProxyType({}), 0, "f"],
    ids=["list", "None", "tuple", "mappingproxy", "int", "str"],
)
def test_not_a_dict(func, bad):
    with pytest.raises(TypeError) as info:
        PRODUCTS[func](col(1), col(1), bad)
    assert (type(info.value), str(info.value)) == refused(bad, "PyDict")


PAIR_ERRORS = {
    "key-int": lambda: ({0: (1, 1.0)}, refused(0, "PyTuple")),
    "key-str": lambda: ({"01": (1, 1.0)}, refused("01", "PyTuple")),
    "value-float": lambda: ({(0, 1): 1.5}, refused(1.5, "PyTuple")),
    "value-list": lambda: ({(0, 1): [2, 1.0]}, refused([], "PyTuple")),
    "key-length-0": lambda: ({(): (1, 1.0)}, length(2, 0)),
    "key-length-1": lambda: ({(0,): (1, 1.0)}, length(2, 1)),
    "key-length-3": lambda: ({(0, 1, 2): 1j}, length(2, 3)),  # the key is checked before the value
    "value-length-3": lambda: ({(0, 1): (1, 1.0, 0)}, length(2, 3)),
    "negative-i": lambda: ({(-1, 0): 1.5}, error_of(lambda: c_index(-1))),  # key indices before the value
    "too-big-j": lambda: ({(0, 2**64): (1, 1.0)}, error_of(lambda: c_index(2**64))),
    "negative-k": lambda: ({(0, 1): (Index(-3), 1.0)}, error_of(lambda: c_index(-3))),
    "float-j": lambda: ({(0, 1.0): (1, 1.0)}, prefixed(*error_of(lambda: c_index(1.0)))),
    "value-None": lambda: ({(0, 1): (1, None)}, prefixed(*error_of(lambda: c_complex(None)))),
    "value-str": lambda: ({(0, 1): (1, "1")}, prefixed(*error_of(lambda: c_complex("1")))),
    "later-entry": lambda: (
        {(0, 1): (1, 1.0), (1, 0): (1, object())},
        prefixed(*error_of(lambda: c_complex(object()))),
    ),
}
TRIPLE_ERRORS = {
    "key-int": lambda: ({0: 1.0}, refused(0, "PyTuple")),
    "key-length-2": lambda: ({(0, 1): (2, 1.0)}, length(3, 2)),
    "key-length-4": lambda: ({(0, 1, 2, 3): 1.0}, length(3, 4)),
    "negative-k": lambda: ({(0, 1, -2): 1.0}, error_of(lambda: c_index(-2))),
    "float-i": lambda: ({(0.5, 1, 2): 1.0}, prefixed(*error_of(lambda: c_index(0.5)))),
    "value-tuple": lambda: ({(0, 1, 2): (1, 2)}, prefixed(*error_of(lambda: c_complex((1, 2))))),
    "value-str": lambda: ({(0, 1, 2): "1j"}, prefixed(*error_of(lambda: c_complex("1j")))),
}


@pytest.mark.parametrize(
    "func, case", [(f, c) for f in PAIR_MAPS for c in PAIR_ERRORS] + [("dot", c) for c in TRIPLE_ERRORS]
)
def test_bad_entries(func, case):
    f, (exc_type, message) = (TRIPLE_ERRORS if func == "dot" else PAIR_ERRORS)[case]()
    l_a, l_b = col(1, 2), col(3, 4)
    with pytest.raises(Exception) as info:
        PRODUCTS[func](l_a, l_b, f)
    assert (type(info.value), str(info.value)) == (exc_type, message)
    assert l_a.flags.writeable and l_b.flags.writeable


class Complexish:
    def __init__(self, value):
        self.value = value

    def __complex__(self):
        return self.value


class Floatish:
    def __float__(self):
        return -2.5


VALUES = [
    3,
    -2.5,
    1.5 - 2j,
    True,
    np.float32(0.1),
    np.complex64(0.1 - 0.2j),
    np.int8(-7),
    np.float64(-1e300),
    np.complex128(complex(-0.0, 4.0)),
    fractions.Fraction(1, 3),
    Complexish(2 - 7j),
    Floatish(),
    Index(5),
]


@pytest.mark.parametrize("value", VALUES, ids=lambda v: type(v).__name__)
def test_values_convert_like_the_interpreter(value):
    want = c_complex(value)
    assert zenqa.cross(col(1), col(1), {(0, 0): (0, value)})[0, 0] == want
    assert zenqa.dot(col(1), col(1), {(0, 0, 0): value})[0, 0] == want
    ones = col(1, 1, 1)
    assert np.array_equal(zenqa.su_commutator(ones, ones, {(2, 1): (1, value)}, BASIS), want * BASIS[1])


Pair = collections.namedtuple("Pair", "i j")
Triple = collections.namedtuple("Triple", "i j k")
INTEGERS = [int, np.int64, np.uint8, Index, lambda x: bool(x) if x < 2 else x]


@pytest.mark.parametrize("make", INTEGERS, ids=["int", "int64", "uint8", "index", "bool"])
def test_index_forms_and_tuple_subclasses(make):
    l_a, l_b = col(1 + 1j, 2, -3j), col(0.5, -1, 4 + 1j)
    plain = zenqa.cross(l_a, l_b, {(0, 1): (2, 1.5j), (1, 0): (1, -2.0)})
    f = {Pair(make(0), make(1)): Pair(make(2), 1.5j), (make(1), make(0)): (make(1), -2.0)}
    assert np.array_equal(zenqa.cross(l_a, l_b, f), plain)
    d_plain = zenqa.dot(l_a, l_b, {(0, 1, 2): 1.5j, (1, 1, 0): -2.0})
    d = {Triple(make(0), make(1), make(2)): 1.5j, (make(1), make(1), make(0)): -2.0}
    assert np.array_equal(zenqa.dot(l_a, l_b, d), d_plain)


def test_largest_index_accepted():
    big = 2**64 - 1
    ones = col(1, 1)
    assert not zenqa.cross(ones, ones, {(big, 0): (0, 1.0), (0, 0): (big, 1.0)}).any()
    assert not zenqa.dot(ones, ones, {(big, 0, 0): 1.0, (0, big, big): 1.0}).any()
    assert not zenqa.su_commutator(ones, ones, {(0, big): (big, 1.0)}, BASIS).any()


class Dict(dict):
    def __iter__(self):
        raise AssertionError("the dict's own storage is read")

    def items(self):
        raise AssertionError("the dict's own storage is read")


@pytest.mark.parametrize("kind", [collections.OrderedDict, collections.defaultdict, Dict])
def test_dict_subclasses(kind):
    l_a, l_b = col(1 + 1j, 2, -3j), col(0.5, -1, 4 + 1j)
    f = {(0, 1): (2, 1.5j), (2, 2): (0, -2.0)}
    sub = kind(list) if kind is collections.defaultdict else kind()
    sub.update(f)
    assert np.array_equal(zenqa.cross(l_a, l_b, sub), zenqa.cross(l_a, l_b, f))
    assert np.array_equal(zenqa.su_commutator(l_a, l_b, sub, BASIS), zenqa.su_commutator(l_a, l_b, f, BASIS))


@pytest.mark.parametrize("last", [0, 1])
def test_duplicate_indices_last_wins(last):
    l_a, l_b = col(1, 2, 3), col(5, 7, 11)
    entries = [((1, 0), (0, 2.0)), ((Index(1), 0), (1, 3.0))]
    if last == 0:
        entries.reverse()
    k, c = entries[-1][1]
    got = zenqa.cross(l_a, l_b, dict(entries))
    assert got[k, 0] == c * 2 * 5 and got[1 - k, 0] == 0
    d = [((0, 0, 0), 2.0), ((Index(0), 0, 0), 3.0)][:: 1 if last else -1]
    assert zenqa.dot(col(1), col(1), dict(d))[0, 0] == d[-1][1]
    comm = zenqa.su_commutator(l_a, l_b, dict(entries), BASIS)
    assert np.array_equal(comm, (2 * 5 * c) * BASIS[k])


class Hook(Index):
    """An integer (and complex) argument whose conversion first runs an action."""

    def __init__(self, value, action):
        super().__init__(value)
        self.action = action

    def __index__(self):
        self.action()
        return super().__index__()

    def __complex__(self):
        self.action()
        return complex(super().__index__())


ACTIONS = {
    "add": lambda f: f.setdefault((9, 9, 9)[: len(next(iter(f)))], (0, 1.0)),
    "remove-other": lambda f: f.pop(next(k for k in f if 1 in k)),
    "clear": lambda f: f.clear(),
    "remove-self": lambda f: f.popitem(),
}


def mutating_map(action, where, pairs):
    """A map that changes itself while one of its entries converts."""
    f = {(1, 1): (0, 1.0)} if pairs else {(1, 1, 1): 1.0}
    hook = Hook(0, lambda: ACTIONS[action](f))
    key = (hook, 0) if where == "key" else (0, 0)
    value = (hook, 2.0) if where == "value-k" else (1, hook) if where == "value-c" else (1, 2.0)
    f[key if pairs else (*key, 0)] = value if pairs else value[1]
    return f


@pytest.mark.parametrize(
    "func, where",
    [
        (func, where)
        for func in PRODUCTS
        for where in ("key", "value-k", "value-c")
        if (func, where) != ("dot", "value-k")
    ],
)  # a triple map has no k
@pytest.mark.parametrize("action", list(ACTIONS))
def test_dict_changed_during_conversion(func, where, action):
    f = mutating_map(action, where, func != "dot")
    l_a = col(1, 2)
    with pytest.raises(RuntimeError) as info:
        PRODUCTS[func](l_a, l_a, f)
    assert type(info.value) is RuntimeError and info.value.args == ("dictionary changed size during iteration",)
    assert l_a.flags.writeable


def test_entry_dropped_while_it_converts():
    # the hook leaves the entry's tuples with no owner but the conversion, then
    # allocates look-alikes that would take over memory that was freed
    survivors = []

    def drop():
        f.clear()
        survivors.extend(Index(ValueError("freed object read")) for _ in range(64))

    f = {(Hook(0, drop), Index(1)): (Index(2), Index(3))}
    with pytest.raises(RuntimeError, match="changed size"):
        zenqa.cross(col(1, 2), col(1, 2), f)


@pytest.mark.parametrize("exc_type", [TypeError, ChildTypeError, ValueError, OverflowError, ZeroDivisionError])
@pytest.mark.parametrize("place", ["i", "k", "c", "dot-c"])
def test_errors_raised_by_hooks(exc_type, place):
    exc = exc_type("from the hook")

    def fail():
        raise exc

    hook = Hook(0, fail)
    maps = {
        "i": {(hook, 0): (0, 1.0)},
        "k": {(0, 0): (hook, 1.0)},
        "c": {(0, 0): (0, hook)},
        "dot-c": {(0, 0, 0): hook},
    }
    f = maps[place]
    func = zenqa.dot if place == "dot-c" else zenqa.cross
    l_a = col(1)
    with pytest.raises(exc_type) as info:
        func(l_a, l_a, f)
    if exc_type is TypeError:
        assert type(info.value) is TypeError and info.value.args == ("argument 'f_ijk': from the hook",)
    else:
        assert info.value is exc
    assert l_a.flags.writeable


def test_arrays_are_read_only_during_conversion():
    l_a, l_b = col(1, 2), col(3, 4)

    class Writer:
        def __complex__(self):
            l_b[0, 0] = 9

    with pytest.raises(ValueError, match="read-only"):
        zenqa.cross(l_a, l_b, {(0, 0): (0, Writer())})
    assert l_b[0, 0] == 3 and l_a.flags.writeable and l_b.flags.writeable


def test_values_written_before_the_copies_are_used():
    # the arrays are copied after every argument is converted; a conversion that
    # writes through another view of l_a changes what the product sees
    l_a = col(1, 2)
    alias = l_a[:]

    class Writer:
        def __complex__(self):
            alias[0, 0] = 5
            return 1j

    got = zenqa.cross(l_a, l_a, {(0, 0): (0, Writer())})
    assert got[0, 0] == (1j * 5) * 5


def spy_basis(seen):
    class Spy(list):
        def __iter__(self):
            seen.append("basis")
            return super().__iter__()

    return Spy(BASIS)


@pytest.mark.parametrize("func", list(PRODUCTS))
@pytest.mark.parametrize("bad", ["l_a", "l_b", "f_ijk"])
def test_first_failing_argument_decides(func, bad):
    seen = []
    ok_map = {(Hook(0, lambda: seen.append("f_ijk")), 0): (0, 1.0)}
    if func == "dot":
        ok_map = {(*k, 0): v[1] for k, v in ok_map.items()}
    l_a, l_b = col(1), col(1)
    args = {"l_a": l_a, "l_b": l_b, "f_ijk": ok_map, bad: [1]}
    with pytest.raises(TypeError) as info:
        if func == "su_commutator":
            zenqa.su_commutator(args["l_a"], args["l_b"], args["f_ijk"], spy_basis(seen))
        else:
            getattr(zenqa, func)(args["l_a"], args["l_b"], args["f_ijk"])
    target = "PyDict" if bad == "f_ijk" else "PyArray<T, D>"
    assert info.value.args == (f"argument '{bad}': 'list' object cannot be converted to '{target}'",)
    assert seen == [] and l_a.flags.writeable and l_b.flags.writeable


def test_basis_is_converted_after_the_map():
    seen = []
    l_a = col(1)
    with pytest.raises(TypeError) as info:
        zenqa.su_commutator(l_a, l_a, {(Hook(0, lambda: seen.append("f_ijk")), 0): (0, 1.0)}, 7)
    assert info.value.args == ("argument 'basis': 'int' object cannot be converted to 'Sequence'",)
    assert seen == ["f_ijk"] and l_a.flags.writeable


@pytest.mark.parametrize(
    "func, failure",
    [(func, failure) for func in PRODUCTS for failure in ("none", "later-entry")]
    + [("su_commutator", "basis"), ("su_commutator", "fault")],
)
def test_refcounts_and_flags(panic_type, capfd, func, failure):
    pairs = func != "dot"

    def t(*items):
        return tuple(list(items))  # a new tuple, not a shared constant

    keys = [t(Index(0), 1), t(1, Index(0)), t(0, 0)] if pairs else [t(Index(0), 1, 0), t(1, Index(0), 0), t(0, 0, 1)]
    values = [t(Index(1), 2.5 - 1j), t(0, Complexish(3j)), t(1, 1.0)] if pairs else [2.5 - 1j, Complexish(3j), 1.0]
    if failure == "later-entry":
        values[-1] = t(1, "x") if pairs else "x"
    if failure == "fault":
        values[-1] = t(len(BASIS), 1.0)
    f = dict(zip(keys, values, strict=True))
    l_a, l_b = col(1, 2), np.array([[3, 4]], complex)
    l_b.flags.writeable = False
    objects = [f, *keys, *values, *[x for t in keys + values if isinstance(t, tuple) for x in t]]
    objects = [x for x in objects if not isinstance(x, (int, float, complex, str))]
    before = [sys.getrefcount(x) for x in objects]
    basis = 7 if failure == "basis" else BASIS
    expected = {"none": None, "later-entry": TypeError, "basis": TypeError, "fault": panic_type}[failure]
    for _ in range(3):
        call = {
            "cross": lambda: zenqa.cross(l_a, l_b, f),
            "dot": lambda: zenqa.dot(l_a, l_b, f),
            "su_commutator": lambda: zenqa.su_commutator(l_a, l_b, f, basis),
        }[func]
        assert outcome(call, panic_type) is expected
    gc.collect()
    assert [sys.getrefcount(x) for x in objects] == before
    assert l_a.flags.writeable and not l_b.flags.writeable
    assert list(f) == keys
