import operator
import warnings

import numpy as np
import pytest

import zenqa
from conftest import IntChild, col, set_in_place


class Hook:
    """Integer and complex value: runs action(), then returns value, or raises it (a callable makes it)."""

    def __init__(self, value, action=None):
        self.value, self.action, self.calls = value, action, 0

    def produce(self):
        self.calls += 1
        if self.action is not None:
            self.action()
        value = self.value() if callable(self.value) else self.value
        if isinstance(value, BaseException):
            raise value
        return value

    __index__ = __complex__ = produce


class Seq(list):
    """A list whose __len__ returns a hook's value and whose iteration runs a hook before the second item."""

    def __init__(self, items, length=None, before=None):
        super().__init__(items)
        self.length, self.before, self.yielded = length, before, []

    def __len__(self):
        return list.__len__(self) if self.length is None else operator.index(self.length)

    def __iter__(self):
        n = 0
        while True:
            if n == 1 and self.before is not None:
                self.before.produce()
            if n >= list.__len__(self):  # the list as it is now
                return
            self.yielded.append(list.__getitem__(self, n).copy())
            yield list.__getitem__(self, n)
            n += 1


def skip_where_numpy_refuses(change, *scratch):
    """Make the change on scratch arguments first: a NumPy that can no longer make it in place skips the case."""
    try:
        change(*scratch)
    except AttributeError as exc:
        pytest.skip(f"NumPy {np.__version__} cannot make this change in place: {exc}")


def gm(d=2):
    return [m.copy() for m in zenqa.gen_gellmann(d)]


def arrays():
    return col(1 + 2j, -1, 0.5j).copy(), col(2, 1j, -3).copy()


# place -> (function, arguments) with the hook h converted there
SITES = {
    "d": lambda h: (zenqa.gen_gellmann, [h]),
    "cross-i": lambda h: (zenqa.cross, [*arrays(), {(h, 1): (2, 1j), (1, 0): (0, 2.0)}]),
    "cross-k": lambda h: (zenqa.cross, [*arrays(), {(0, 1): (h, 1j), (1, 0): (0, 2.0)}]),
    "cross-c": lambda h: (zenqa.cross, [*arrays(), {(0, 1): (2, h), (1, 0): (0, 2.0)}]),
    "dot-j": lambda h: (zenqa.dot, [*arrays(), {(0, h, 2): 1j, (1, 1, 0): 2.0}]),
    "dot-c": lambda h: (zenqa.dot, [*arrays(), {(0, 1, 2): h, (1, 1, 0): 2.0}]),
    "commutator-c": lambda h: (zenqa.su_commutator, [*arrays(), {(0, 1): (2, h), (1, 0): (0, 2.0)}, gm()]),
    "basis-next": lambda h: (zenqa.get_structure_constants, [Seq(gm(3), before=h)]),
    "commutator-basis": lambda h: (zenqa.su_commutator, [*arrays(), {(0, 1): (2, 1j)}, Seq(gm(), before=h)]),
    "basis-len": lambda h: (zenqa.get_d_coefficients, [Seq(gm(3), length=h)]),
}
PLAIN = {"d": 3, "cross-i": 0, "cross-k": 2, "cross-c": 1.5j, "dot-j": 1, "dot-c": 1.5j, "commutator-c": 1.5j}


def plain_result(site, *value):
    func, args = SITES[site](*(value or [PLAIN.get(site)]))  # None: a sequence without hooks
    return func(*args)


def state(args):
    """What the caller sees of its arguments: array bytes and flags, the members of dicts and lists."""

    def seen(x):
        if isinstance(x, np.ndarray):
            return x.shape, x.dtype.str, x.flags.writeable, x.tobytes()
        if isinstance(x, dict):
            return [(id(k), id(v)) for k, v in x.items()]
        return [(id(m), seen(m)) for m in list.copy(x)] if isinstance(x, list) else id(x)

    return [seen(x) for x in args]


def same(got, want):
    if isinstance(want, list):
        return len(got) == len(want) and all(np.array_equal(g, w) for g, w in zip(got, want, strict=True))
    return np.array_equal(got, want) if isinstance(want, np.ndarray) else got == want


def assert_same_outcome(call, reference):
    """Both return equal results, or both raise the same exception type with the same arguments."""
    outcomes = []
    for run in (call, reference):
        try:
            outcomes.append(("returned", run()))
        except BaseException as exc:  # faults are not Exceptions
            outcomes.append((type(exc), exc.args))
    (kind, got), (want_kind, want) = outcomes
    assert kind == want_kind and (same(got, want) if kind == "returned" else got == want), outcomes


class Abort(BaseException):
    pass


@pytest.mark.parametrize("site", list(SITES))
@pytest.mark.parametrize(
    "make",
    [
        KeyboardInterrupt,
        lambda: SystemExit(3),
        GeneratorExit,
        lambda: Abort("stop"),
        MemoryError,
        lambda: RecursionError("deep"),
        "panic",
    ],
    ids=[
        "KeyboardInterrupt",
        "SystemExit",
        "GeneratorExit",
        "Abort",
        "MemoryError",
        "RecursionError",
        "PanicException",
    ],
)
def test_hook_raises(panic_type, capfd, site, make):
    exc = panic_type("from a hook") if make == "panic" else make()
    func, args = SITES[site](Hook(exc))
    before = state(args)
    if site == "basis-len":  # a failing __len__ only takes away a size hint
        assert same(func(*args), plain_result(site))
    else:
        with pytest.raises(BaseException) as info:
            func(*args)
        if make == "panic":
            assert info.type is panic_type and info.value.args == ("Unwrapped panic from Python code",)
        else:
            assert info.value is exc
    assert state(args) == before


class ComplexChild(complex):
    pass


@pytest.mark.parametrize("site", ["d", "cross-i", "cross-k", "dot-j", "cross-c", "dot-c", "commutator-c"])
@pytest.mark.parametrize(
    "value",
    [2.5, "1", None, IntChild(2), True, 2**64, -1, 2, 1.5, 3j, ComplexChild(2j), np.complex128(-1j), np.float64(0.5)],
    ids=repr,
)
def test_hook_returns_wrong_type(site, value):
    index = site in ("d", "cross-i", "cross-k", "dot-j")
    func, args = SITES[site](Hook(value))
    before = state(args)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # an int or complex subclass from the hook
        try:
            plain = operator.index(Hook(value)) if index else complex(Hook(value))
        except TypeError as exc:
            with pytest.raises(TypeError) as info:
                func(*args)
            assert type(info.value) is TypeError
            assert str(info.value) == f"argument '{'d' if site == 'd' else 'f_ijk'}': {exc}"
        else:
            if index and not 0 <= plain < 2**64:
                with pytest.raises(OverflowError):
                    func(*args)
            else:
                assert same(func(*args), plain_result(site, plain))
    assert state(args) == before


@pytest.mark.parametrize("made", [[], None, 3, "ab"], ids=repr)
def test_iter_returns_non_iterator(made):
    class Odd(list):
        def __iter__(self):
            return made

    with pytest.raises(TypeError) as native:
        iter(Odd())
    basis = Odd(gm())
    for call in (lambda: zenqa.get_structure_constants(basis), lambda: zenqa.su_commutator(*arrays(), {}, basis)):
        with pytest.raises(TypeError, match="^argument 'basis': ") as info:
            call()
        assert str(info.value).endswith(str(native.value))


SEQUENCE_ACTIONS = {
    "clear": lambda s: s.clear(),
    "extend": lambda s: s.extend(gm(2)[:2]),
    "reverse": lambda s: s.reverse(),
    "temporaries": lambda s: s.__setitem__(slice(None), [m.copy() for m in list.copy(s)]),  # old items die
    "reshape-first": lambda s: set_in_place(list.__getitem__(s, 0), "shape", (1, -1)),
}


@pytest.mark.parametrize("func", ["get_structure_constants", "get_d_coefficients", "su_commutator"])
@pytest.mark.parametrize("where", ["len", "iter"])
@pytest.mark.parametrize("action", list(SEQUENCE_ACTIONS))
def test_basis_changed_while_converted(panic_type, capfd, func, where, action):
    skip_where_numpy_refuses(SEQUENCE_ACTIONS[action], Seq(gm(3)))
    seq = Seq(gm(3))
    hook = Hook(3, lambda: SEQUENCE_ACTIONS[action](seq))
    seq.length, seq.before = (hook, None) if where == "len" else (None, hook)
    run = getattr(zenqa, func)
    if func == "su_commutator":

        def run(basis):
            return zenqa.su_commutator(*arrays(), {(0, 1): (2, 1j), (2, 0): (0, 1.0)}, basis)

    # the basis is what iteration handed out, in the shape it had when the matrices were copied
    def shape(n, m):
        return list.__getitem__(seq, 0).shape if action == "reshape-first" and n == 0 else m.shape

    assert_same_outcome(lambda: run(seq), lambda: run([m.reshape(shape(n, m)) for n, m in enumerate(seq.yielded)]))
    assert hook.calls == 1 and all(m.flags.writeable for m in list.copy(seq))


class Dies:
    """A complex value whose finaliser runs action()."""

    def __init__(self, value, action):
        self.value, self.action = value, action

    def __complex__(self):
        return self.value

    def __del__(self):
        self.action()


nested = []
ORIGINAL, LATER = {(0, 1): (2, 1.5j), (1, 0): (0, 2.0)}, {(0, 1): (2, 1.5j), (1, 0): (0, 7.0)}
DICT_CHANGES = {
    # run while (0, 1) converts; run when the value (0, 1) had dies; what the call must act on
    "replace-current": (lambda f: f.update({(0, 1): (2, 5.0)}), None, ORIGINAL),
    "replace-later": (lambda f: f.update({(1, 0): (0, 7.0)}), None, LATER),
    "pop-and-insert": (
        lambda f: (f.pop((1, 0)), f.update({(2, 2): (1, 7.0)})),
        None,
        {(0, 1): (2, 1.5j), (2, 2): (1, 7.0)},
    ),
    "finaliser-replaces-later": (lambda f: f.update({(0, 1): (2, 5.0)}), lambda f: f.update({(1, 0): (0, 7.0)}), LATER),
    "finaliser-reenters": (
        lambda f: f.update({(0, 1): (2, 5.0)}),
        lambda f: nested.append(zenqa.cross(col(1), col(2), {(0, 0): (0, 1j)})),
        ORIGINAL,
    ),
    # a Python loop over the dict stops at these
    "finaliser-adds": (lambda f: f.update({(0, 1): (2, 5.0)}), lambda f: f.update({(2, 2): (1, 1.0)}), RuntimeError),
    "finaliser-clears": (lambda f: f.update({(0, 1): (2, 5.0)}), lambda f: f.clear(), RuntimeError),
    "finaliser-pops-last": (lambda f: f.update({(0, 1): (2, 5.0)}), lambda f: f.pop((1, 0)), RuntimeError),
}


@pytest.mark.parametrize("case", list(DICT_CHANGES))
def test_dict_changed_by_hooks_and_finalisers(case):
    change, finaliser, expected = DICT_CHANGES[case]
    f = {}
    f[(0, 1)] = (Hook(2, lambda: change(f)), Dies(1.5j, lambda: finaliser and finaliser(f)))
    f[(1, 0)] = (0, 2.0)
    l_a, l_b = arrays()
    nested.clear()
    if expected is RuntimeError:
        with pytest.raises(RuntimeError, match="changed size during iteration"):
            zenqa.cross(l_a, l_b, f)
    else:
        assert np.array_equal(zenqa.cross(l_a, l_b, f), zenqa.cross(l_a, l_b, expected))
    assert l_a.flags.writeable and l_b.flags.writeable
    assert [n[0, 0] for n in nested] == ([2j] if case == "finaliser-reenters" else [])


ARRAY_CHANGES = {
    "reshape-2d": lambda a, b, basis: set_in_place(a, "shape", (1, 3)),
    "reshape-1d": lambda a, b, basis: set_in_place(a, "shape", (3,)),
    "reshape-3d": lambda a, b, basis: set_in_place(b, "shape", (3, 1, 1)),
    "dtype": lambda a, b, basis: set_in_place(b, "dtype", np.float64),
    "byte-order": lambda a, b, basis: set_in_place(a, "dtype", np.dtype(">c16")),
    "resize-bigger": lambda a, b, basis: a.resize((4, 2), refcheck=False),  # moves the data
    "resize-smaller": lambda a, b, basis: b.resize((1, 1), refcheck=False),
    "basis-reshape": lambda a, b, basis: set_in_place(basis[1], "shape", (1, 4)),
    "basis-resize": lambda a, b, basis: basis[2].resize((3, 3), refcheck=False),
}


@pytest.mark.parametrize(
    "func, change",
    [
        (func, change)
        for func in ["cross", "dot", "su_commutator"]
        for change in ARRAY_CHANGES
        if func == "su_commutator" or "basis" not in change
    ],
)
def test_arrays_changed_by_hooks(panic_type, capfd, func, change):
    # The arrays are copied once every argument has converted: the call acts on what they
    # are then, or fails cleanly, and never reads memory they gave up.
    skip_where_numpy_refuses(ARRAY_CHANGES[change], *arrays(), gm())
    l_a, l_b, basis = col(1 + 2j, -1, 0.5j).copy(), col(2, 1j, -3).copy(), [np.array(m) for m in zenqa.gen_gellmann(2)]
    hook = Hook(1.5j, lambda: ARRAY_CHANGES[change](l_a, l_b, basis))
    f = {(0, 1, 2): hook, (1, 1, 0): 2.0} if func == "dot" else {(0, 1): (2, hook), (1, 0): (0, 2.0), (2, 2): (1, 1j)}
    plain = (
        {k: 1.5j if v is hook else v for k, v in f.items()}
        if func == "dot"
        else {k: (v[0], 1.5j) if v[1] is hook else v for k, v in f.items()}
    )

    def run(m):
        return getattr(zenqa, func)(l_a, l_b, m, *([basis] if func == "su_commutator" else []))

    assert_same_outcome(lambda: run(f), lambda: run(plain))
    assert hook.calls == 1
    assert l_a.flags.writeable and l_b.flags.writeable and all(m.flags.writeable for m in basis)


@pytest.mark.parametrize("site", list(SITES))
@pytest.mark.parametrize("nested_call", ["same-arguments", "fault-caught", "error-escapes"])
def test_reentry_during_conversion(panic_type, capfd, site, nested_call):
    seen = []

    def reenter():
        if hook.calls > 1:
            return
        flags = [a.flags.writeable for a in args if isinstance(a, np.ndarray)]
        if nested_call == "same-arguments":
            seen.append(func(*args))
        elif nested_call == "fault-caught":
            with pytest.raises(panic_type):
                zenqa.gen_sylvester(0)
        else:
            zenqa.gen_gellmann(-1)
        # the nested call gives back nothing the outer call still borrows
        assert [a.flags.writeable for a in args if isinstance(a, np.ndarray)] == flags

    hook = Hook(PLAIN.get(site, 3), reenter)
    func, args = SITES[site](hook)
    before = state(args)
    if nested_call == "error-escapes" and site != "basis-len":
        with pytest.raises(OverflowError):
            func(*args)
    else:
        want = plain_result(site)
        assert same(func(*args), want) and all(same(s, want) for s in seen)
    assert state(args) == before


class Finalised(np.ndarray):
    """A basis matrix whose finaliser runs the module on itself."""

    log = []

    def __del__(self):
        Finalised.log.append(zenqa.get_d_coefficients([np.asarray(self)]))


def test_borrowed_temporaries_finalised_after_the_call():
    base = zenqa.gen_gellmann(2) + [np.diag([1.0 + 0j, 2.0])]
    Finalised.log.clear()
    during = []

    class Fresh(list):
        def __iter__(self):
            for m in base:
                yield m.copy().view(Finalised)  # only the call holds it
            during.append(len(Finalised.log))

    assert zenqa.get_structure_constants(Fresh()) == zenqa.get_structure_constants(base)
    assert during == [0] and Finalised.log == [zenqa.get_d_coefficients([m]) for m in base]
