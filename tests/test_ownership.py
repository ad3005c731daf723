import functools
import gc
import sys
import warnings
import weakref

import pytest

import zenqa
from conftest import ChildTypeError, Index, as_pairs, assert_bitwise, call_with_dict, outcome


def refcount_cases(panic):
    o = object
    return {
        "positional": ("gen_gellmann", (Index(2),), {}, None),
        "keyword": ("gen_sylvester", (), {"d": Index(3)}, None),
        "twice": ("gen_gellmann", (Index(2),), {"d": Index(2)}, TypeError),
        "unknown-keyword": ("gen_gellmann", (), {"d": Index(2), "e": o()}, TypeError),
        "too-many": ("gen_gellmann", (Index(2), o()), {}, TypeError),
        "float": ("gen_gellmann", (), {"d": float("2.5")}, TypeError),
        "overflow": ("gen_sylvester", (10**30,), {}, OverflowError),
        "index-type-error": ("gen_gellmann", (), {"d": Index(lambda: TypeError("x"))}, TypeError),
        "index-child-error": ("gen_gellmann", (Index(lambda: ChildTypeError("x")),), {}, ChildTypeError),
        "fault": ("gen_sylvester", (), {"d": Index(0)}, panic),
        "python-panic": ("gen_gellmann", (Index(lambda: panic("x")),), {}, panic),
        "cross": ("cross", (o(), o()), {"f_ijk": o(), "x": o()}, TypeError),
        "dot": ("dot", (), {"l_a": o(), "l_b": o(), "f_ijk": o(), "basis": o()}, TypeError),
        "su_commutator": ("su_commutator", (o(),) * 5, {}, TypeError),
        "structure": ("get_structure_constants", (o(),), {"basis": o()}, TypeError),
        "d-coefficients": ("get_d_coefficients", (), {"basis": o(), "e": o()}, TypeError),
    }


@pytest.mark.parametrize("case", list(refcount_cases(None)))
def test_argument_refcounts_unchanged(panic_type, capfd, case):
    name, args, kwargs, raised = refcount_cases(panic_type)[case]
    objects = [*args, *kwargs.values(), kwargs]
    before = [sys.getrefcount(x) for x in objects]
    for _ in range(3):
        assert outcome(lambda: getattr(zenqa, name)(*args, **kwargs), panic_type) is raised
        assert outcome(lambda: call_with_dict(getattr(zenqa, name), args, kwargs), panic_type) is raised
    gc.collect()
    assert [sys.getrefcount(x) for x in objects] == before


def test_failed_calls_keep_nothing_alive(panic_type, capfd):
    raised = []

    class Marker:
        pass

    def raising(exc_type):
        # exceptions take no weak references; follow one through its argument
        def make():
            marker = Marker()
            raised.append(weakref.ref(marker))
            return exc_type(marker)

        return make

    scenarios = [
        (zenqa.gen_gellmann, {"d": Index(2), "e": 1}, TypeError),
        (zenqa.gen_gellmann, {"d": Index("2")}, TypeError),
        (zenqa.gen_gellmann, {"d": Index(raising(TypeError))}, TypeError),
        (zenqa.gen_sylvester, {"d": Index(raising(OverflowError))}, OverflowError),
        (zenqa.gen_sylvester, {"d": Index(0)}, panic_type),
        (zenqa.gen_sylvester, {"d": Index(raising(panic_type))}, panic_type),
        (zenqa.gen_gellmann, {"d": Index(2)}, None),
    ]
    arguments = [weakref.ref(kwargs["d"]) for _, kwargs, _ in scenarios]
    for func, kwargs, expected in scenarios:
        assert outcome(functools.partial(func, **kwargs), panic_type) is expected
        assert outcome(functools.partial(call_with_dict, func, (), kwargs), panic_type) is expected
    del scenarios, kwargs
    gc.collect()
    assert len(raised) == 6
    assert [r() for r in arguments + raised] == [None] * len(arguments + raised)


def test_finaliser_reenters_during_conversion():
    nested = []

    class Reentrant(int):
        def __del__(self):
            nested.append(zenqa.gen_sylvester(2))

    with warnings.catch_warnings():
        # returning an int subclass from __index__ is deprecated; the temporary is what we want
        warnings.simplefilter("ignore", DeprecationWarning)
        result = zenqa.gen_gellmann(Index(lambda: Reentrant(3)))
    assert len(nested) == 1
    assert_bitwise(result, as_pairs(zenqa.gen_gellmann(3)))
    assert_bitwise(nested[0], as_pairs(zenqa.gen_sylvester(2)))


def test_finaliser_reenters_during_scope_release():
    nested = []
    kwargs = {}

    class DropsItself(Index):
        def __index__(self):
            # after this, the call's own reference is the last one
            kwargs.clear()
            return 2

        def __del__(self):
            nested.append(zenqa.gen_gellmann(2))
            nested.append(len(zenqa.gen_gellmann(3)))

    kwargs["d"] = DropsItself(None)
    result = call_with_dict(zenqa.gen_sylvester, (), kwargs)
    assert len(nested) == 2 and nested[1] == 8
    assert_bitwise(nested[0], as_pairs(zenqa.gen_gellmann(2)))
    assert_bitwise(result, as_pairs(zenqa.gen_sylvester(2)))
    # the module still works after the nested calls
    assert len(zenqa.gen_sylvester(3)) == 8
