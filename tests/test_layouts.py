import numpy as np
import pytest
from hypothesis import HealthCheck, assume, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import zenqa
from conftest import ref_commutator, ref_cross, ref_dot

SETTINGS = settings(
    max_examples=150,
    deadline=None,
    database=None,
    derandomize=True,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)


@st.composite
def laid_out(draw, values):
    """A view reading the values of `values` from any layout: either byte order, C or F
    order, gaps and odd byte strides, reversed axes, an unaligned start, read-only. An axis
    of step 0 repeats one element: what the view then reads is returned as the values."""
    dtype = np.dtype(draw(st.sampled_from(["<c16", ">c16"])))
    order = draw(st.sampled_from(["C", "F", "any", "any"]))
    if order != "any":  # contiguous, though maybe unaligned or byte-swapped
        spacing, steps, outer, flips = 16, [1, 1], int(order == "F"), [False, False]
    else:
        spacing = 16 + draw(st.sampled_from([0, 1, 8]))  # bytes between neighbouring elements
        steps = [draw(st.sampled_from([1, 2, 3, 0])) for _ in range(2)]
        outer = draw(st.sampled_from([0, 1]))  # the axis whose neighbours lie farther apart
        flips = [draw(st.booleans()) for _ in range(2)]
    strides = [0, 0]
    strides[1 - outer] = steps[1 - outer] * spacing
    strides[outer] = steps[outer] * spacing * (1 + max(values.shape[1 - outer] - 1, 0) * steps[1 - outer])
    strides = [-s if flip else s for s, flip in zip(strides, flips, strict=True)]
    start = draw(st.integers(0, 15)) + sum(
        -s * (n - 1) for s, n in zip(strides, values.shape, strict=True) if s < 0 and n
    )
    extent = start + sum(s * (n - 1) for s, n in zip(strides, values.shape, strict=True) if s > 0 and n) + 16
    raw = np.zeros(extent + 16, np.uint8)
    view = np.ndarray(values.shape, dtype, buffer=raw, offset=start, strides=strides)
    view[...] = values
    seen = np.array(view, dtype=np.complex128, order="C")  # native
    if min(steps):
        assert np.array_equal(seen, values, equal_nan=True)
    view.flags.writeable = draw(st.booleans())
    return view, seen


def numbers(shape):
    return hnp.arrays(np.complex128, shape, elements=st.complex_numbers(max_magnitude=1e3, allow_nan=False))


shapes = st.tuples(*[st.sampled_from([0, 1, 1, 2, 2, 3, 3, 4, 5])] * 2)  # empty now and then


def pair_map(n_keys, n_targets):
    c = st.complex_numbers(max_magnitude=10, allow_nan=False)
    return st.dictionaries(
        st.tuples(st.integers(0, n_keys), st.integers(0, n_keys)), st.tuples(st.integers(0, n_targets), c), max_size=30
    )


def as_array(pairs, shape):
    """A reference result of (re, im) pairs as a complex array."""
    return np.array([complex(*z) for row in pairs for z in row], complex).reshape(shape)


def assert_close(got, want, *factors):
    """Equal up to rounding, which grows with the terms summed, not with their (cancelling) sum."""
    assert got.shape == want.shape and got.dtype == np.complex128
    scale = np.prod([1 + np.abs(x).max(initial=0) for x in factors]) * 100
    np.testing.assert_allclose(got, want, rtol=0, atol=1e-13 * scale)


def untouched(views_and_bytes):
    return all(v.base.tobytes() == raw for v, raw in views_and_bytes)


@SETTINGS
@given(st.data())
def test_coefficient_layouts(data):
    a, la = data.draw(shapes.flatmap(numbers).flatmap(laid_out))
    b, lb = data.draw(shapes.flatmap(numbers).flatmap(laid_out))
    basis = zenqa.gen_gellmann(3)
    f, f_comm = data.draw(pair_map(12, 12)), data.draw(pair_map(12, len(basis) - 1))
    dmap = data.draw(
        st.dictionaries(
            st.tuples(*[st.integers(0, 6)] * 3), st.complex_numbers(max_magnitude=10, allow_nan=False), max_size=30
        )
    )
    flags, memory = [a.flags.writeable, b.flags.writeable], [(a, a.base.tobytes()), (b, b.base.tobytes())]
    for got, plain, want in [
        (zenqa.cross(a, b, f), zenqa.cross(la, lb, f), as_array(ref_cross(la, lb, f), la.shape)),
        (zenqa.dot(a, b, dmap), zenqa.dot(la, lb, dmap), as_array(ref_dot(la, lb, dmap), la.shape)),
        (
            zenqa.su_commutator(a, b, f_comm, basis),
            zenqa.su_commutator(la, lb, f_comm, basis),
            as_array(ref_commutator(la, lb, f_comm, basis), basis[0].shape),
        ),
    ]:
        # the layout changes nothing, not even rounding
        assert got.tobytes() == plain.tobytes()
        assert_close(got, want, la, lb, 10)
    assert [a.flags.writeable, b.flags.writeable] == flags and untouched(memory)


@SETTINGS
@given(st.data())
def test_basis_layouts(panic_type, data):
    kind, d = data.draw(
        st.sampled_from([("gellmann", 2), ("gellmann", 3), ("sylvester", 1), ("sylvester", 2), ("sylvester", 3)])
    )
    plain = getattr(zenqa, "gen_" + kind)(d)
    pairs = [data.draw(laid_out(m)) for m in plain]
    views, plain = [v for v, _ in pairs], [p for _, p in pairs]  # a zero step repeats an element
    memory = [(v, v.base.tobytes()) for v in views]
    flags = [v.flags.writeable for v in views]
    l_a = np.arange(1, len(plain) + 1, dtype=complex).reshape(-1, 1) * (1 - 0.5j)
    f = zenqa.get_structure_constants(plain)
    got = zenqa.su_commutator(l_a, l_a[::-1], f, views)
    assert got.tobytes() == zenqa.su_commutator(l_a, l_a[::-1], f, plain).tobytes()
    biggest_c = max((abs(c) for _, c in f.values()), default=0)
    assert_close(got, as_array(ref_commutator(l_a, l_a[::-1], f, plain), plain[0].shape), l_a, l_a, biggest_c, *plain)
    for func in (zenqa.get_structure_constants, zenqa.get_d_coefficients):
        # a column-major copy is kept column-major, which the decompositions refuse
        if any(v.flags.f_contiguous and not v.flags.c_contiguous for v in views):
            with pytest.raises(panic_type) as info:
                func(views)
            assert info.value.args == ("called `Option::unwrap()` on a `None` value",)
        else:
            assert func(views) == func(plain)
    assert [v.flags.writeable for v in views] == flags and untouched(memory)


REJECTED = {
    "complex64": "Complex32",
    ">c8": "Complex32",
    "float64": "Float64",
    ">f8": "Float64",
    "int32": "Int32",
    "uint64": "Uint64",
    "bool": "Bool",
    "float16": "Unknown",
    "clongdouble": "Unknown",
}
MISMATCH = "argument '{}': Shape Mismatch:\n from=(dim={}, dtype={}), to=(dim=2, dtype=Complex64)"


@SETTINGS
@given(
    data=st.data(),
    dtype=st.sampled_from(sorted(REJECTED) + ["complex128", ">c16"]),
    shape=hnp.array_shapes(min_dims=0, max_dims=3, min_side=0, max_side=3),
    position=st.sampled_from(
        [
            "cross-l_a",
            "dot-l_b",
            "commutator-l_a",
            "commutator-l_b",
            "commutator-basis",
            "structure-basis",
            "d-coefficients-basis",
        ]
    ),
)
def test_rejected_arrays(data, dtype, shape, position):
    assume(len(shape) != 2 or dtype not in ("complex128", ">c16"))
    bad = data.draw(hnp.arrays(np.dtype(dtype), shape))
    good = zenqa.gen_gellmann(2)
    l_a = np.ones((3, 1), complex)
    name, call = {
        "cross-l_a": ("l_a", lambda: zenqa.cross(bad, l_a, {})),
        "dot-l_b": ("l_b", lambda: zenqa.dot(l_a, bad, {})),
        "commutator-l_a": ("l_a", lambda: zenqa.su_commutator(bad, l_a, {}, good)),
        "commutator-l_b": ("l_b", lambda: zenqa.su_commutator(l_a, bad, {}, good)),
        "commutator-basis": ("basis", lambda: zenqa.su_commutator(l_a, l_a, {}, good + [bad])),
        "structure-basis": ("basis", lambda: zenqa.get_structure_constants(good[:1] + [bad] + good[1:])),
        "d-coefficients-basis": ("basis", lambda: zenqa.get_d_coefficients(good + [bad])),
    }[position]
    with pytest.raises(TypeError) as info:
        call()
    element = REJECTED.get(dtype, "Complex64")
    assert str(info.value) == MISMATCH.format(name, len(shape), element)
    assert l_a.flags.writeable and all(m.flags.writeable for m in good)
