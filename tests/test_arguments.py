import operator

import numpy as np
import pytest

import zenqa
from conftest import ChildTypeError, Index, IntChild, as_pairs, assert_bitwise, call_with_dict

PARAMETERS = {
    "gen_sylvester": ("d",),
    "gen_gellmann": ("d",),
    "get_structure_constants": ("basis",),
    "get_d_coefficients": ("basis",),
    "su_commutator": ("l_a", "l_b", "f_ijk", "basis"),
    "cross": ("l_a", "l_b", "f_ijk"),
    "dot": ("l_a", "l_b", "f_ijk"),
}


def matching_failures(name, params):
    """(id, args, kwargs, message without the location) for calls that fail while matching."""
    n = len(params)
    full = tuple(range(n))
    by_name = {p: 0 for p in params}
    missing, multiple, unexpected = (
        "missing required positional argument: ",
        "got multiple values for argument: ",
        "got an unexpected keyword argument: ",
    )
    plural = "" if n == 1 else "s"
    return [
        ("none", (), {}, missing + params[0]),
        ("last-missing", full[:-1], {}, missing + params[-1]),
        ("first-missing", (), {p: 0 for p in params[1:]}, missing + params[0]),
        ("missing-before-unknown", (), {"e": 0}, missing + params[0]),
        ("first-twice", (0,), {params[0]: 0}, multiple + params[0]),
        ("last-twice", full, {params[-1]: 0}, multiple + params[-1]),
        ("twice-before-too-many", full + (0,), {params[0]: 0}, multiple + params[0]),
        ("unknown", full, {"e": 0}, unexpected + "e"),
        ("unknown-x-y", (), {**by_name, "x": 1, "y": 2}, unexpected + "x"),
        ("unknown-y-x", (), {"y": 1, **by_name, "x": 2}, unexpected + "y"),
        ("unknown-before-too-many", full + (0,), {"e": 0}, unexpected + "e"),
        ("one-too-many", full + (0,), {}, f"takes at most {n} positional argument{plural} ({n + 1} given)"),
        ("three-too-many", full + (0, 0, 0), {}, f"takes at most {n} positional argument{plural} ({n + 3} given)"),
    ]


CASES = [
    pytest.param(name, args, kwargs, tail, id=f"{name}-{case}")
    for name, params in PARAMETERS.items()
    for case, args, kwargs, tail in matching_failures(name, params)
]


@pytest.mark.parametrize("name, args, kwargs, tail", CASES)
def test_argument_matching(name, args, kwargs, tail):
    with pytest.raises(TypeError) as info:
        getattr(zenqa, name)(*args, **kwargs)
    assert type(info.value) is TypeError
    assert info.value.args == (f"{name}_py() {tail}",)


D_FUNCTIONS = [zenqa.gen_gellmann, zenqa.gen_sylvester]


@pytest.mark.parametrize("func", D_FUNCTIONS)
@pytest.mark.parametrize(
    "bad",
    [3.0, "3", None, [3], Index("3"), Index(3.0)],
    ids=["float", "str", "None", "list", "index-str", "index-float"],
)
def test_type_error_gets_argument_prefix(func, bad):
    with pytest.raises(TypeError) as native:
        operator.index(bad)
    for call in (lambda: func(bad), lambda: func(d=bad)):
        with pytest.raises(TypeError) as info:
            call()
        assert type(info.value) is TypeError
        assert info.value.args == ("argument 'd': " + str(native.value),)


@pytest.mark.parametrize("func", D_FUNCTIONS)
@pytest.mark.parametrize("exc_type", [ChildTypeError, ValueError, ZeroDivisionError, OverflowError])
def test_other_conversion_errors_pass_through(func, exc_type):
    exc = exc_type("raised by __index__")
    with pytest.raises(exc_type) as info:
        func(d=Index(exc))
    assert info.value is exc
    assert str(info.value) == "raised by __index__"


@pytest.mark.parametrize("func", D_FUNCTIONS)
@pytest.mark.parametrize(
    "d",
    [-1, -(2**70), 2**64, 2**100, Index(-1), Index(2**64)],
    ids=["-1", "-2**70", "2**64", "2**100", "index-neg", "index-big"],
)
def test_out_of_range_d(func, d):
    with pytest.raises(OverflowError) as info:
        func(d)
    assert type(info.value) is OverflowError
    assert "argument" not in str(info.value)


@pytest.mark.parametrize("func", D_FUNCTIONS)
@pytest.mark.parametrize("make", [np.int64, np.uint8, np.int32, np.uint64, Index, IntChild])
def test_integer_like_d(func, make):
    expected = as_pairs(func(3))
    assert_bitwise(func(make(3)), expected)
    assert_bitwise(func(d=make(3)), expected)


@pytest.mark.parametrize("func", D_FUNCTIONS)
def test_bool_d(func):
    assert_bitwise(func(True), as_pairs(func(1)))
    assert_bitwise(func(d=True), as_pairs(func(1)))


@pytest.mark.parametrize(
    "kwargs, raised",
    [
        ({"d": 2}, None),
        ({"d": Index(2)}, None),
        ({"d": 2, "e": 1}, TypeError),
        ({"e": 1, "d": 2}, TypeError),
        ({"d": 2.0}, TypeError),
        ({"d": -1}, OverflowError),
    ],
)
def test_caller_keyword_dict_untouched(kwargs, raised):
    snapshot = list(kwargs.items())
    if raised is None:
        assert len(call_with_dict(zenqa.gen_gellmann, (), kwargs)) == 3
    else:
        with pytest.raises(raised):
            call_with_dict(zenqa.gen_gellmann, (), kwargs)
    assert list(kwargs.items()) == snapshot
    assert all(kwargs[k] is v for k, v in snapshot)
