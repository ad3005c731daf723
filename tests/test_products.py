import functools
import math
import sys

import numpy as np
import pytest

import zenqa
from conftest import (
    ORDERINGS,
    add,
    as_pairs,
    assert_bitwise,
    col,
    flat,
    mul,
    pair,
    ref_commutator,
    ref_cross,
    ref_dot,
    zero_rows,
)


@functools.cache
def algebra(kind, d):
    basis = getattr(zenqa, "gen_" + kind)(d)
    f, dmap = zenqa.get_structure_constants(basis), zenqa.get_d_coefficients(basis)
    # the comparisons below run on these maps; make sure they are not degenerate
    n = len(basis)
    noncommuting = {
        (i, j) for i in range(n) for j in range(n) if np.abs(basis[i] @ basis[j] - basis[j] @ basis[i]).max() > 1e-9
    }
    assert set(f) == noncommuting and (len(dmap) > 0) == (d > 2)
    return basis, f, dmap


def coefficients(shape, seed):
    """Random complex128 of widely spread magnitudes, with some exact zeros."""
    rng = np.random.default_rng(seed)
    size = shape[0] * shape[1]
    scale = 10.0 ** rng.integers(-9, 4, size=(2, size))
    z = rng.standard_normal(size) * scale[0] + 1j * rng.standard_normal(size) * scale[1]
    z[rng.random(size) < 0.15] = 0
    return z.reshape(shape)


def shape_cases(n):
    return {
        "column": ((n, 1), (n, 1)),
        "row-vs-longer": ((1, n), (n + 1, 1)),
        "two-columns": ((n // 2 + 1, 2), (1, n - 1)),
        "3x2": ((3, 2), (n, 1)),
        "empty-a-rows": ((0, 1), (n, 1)),
        "empty-a-cols": ((2, 0), (n, 1)),
        "empty-b": ((n, 1), (2, 0)),
    }


BASES = [(kind, d) for kind in ("gellmann", "sylvester") for d in (2, 3, 4)]


@pytest.mark.parametrize("func", ["cross", "dot", "su_commutator"])
@pytest.mark.parametrize("shapes", list(shape_cases(8)))
@pytest.mark.parametrize("kind, d", BASES)
def test_generated_maps_bitwise(func, shapes, kind, d):
    basis, f, dmap = algebra(kind, d)
    shape_a, shape_b = shape_cases(len(basis))[shapes]
    l_a, l_b = coefficients(shape_a, d), coefficients(shape_b, d + 10)
    if func == "cross":
        got, want = zenqa.cross(l_a, l_b, f), ref_cross(l_a, l_b, f)
    elif func == "dot":
        got, want = zenqa.dot(l_a, l_b, dmap), ref_dot(l_a, l_b, dmap)
    else:
        got, want = zenqa.su_commutator(l_a, l_b, f, basis), ref_commutator(l_a, l_b, f, basis)
    assert got.shape == (shape_a if func != "su_commutator" else (d, d))
    if got.size:
        assert_bitwise([got], [want])


@pytest.mark.parametrize("seed", range(4))
def test_random_maps_bitwise(seed):
    # hand-made maps: targets past the rows, keys past the coefficients, and
    # triples stored under several orderings with different values
    rng = np.random.default_rng(100 + seed)
    basis = algebra(("gellmann", "sylvester")[seed % 2], 3)[0]
    n = len(basis)
    l_a, l_b = coefficients((n, 1), seed), coefficients((n - 2, 1), seed + 50)

    def rand_c():
        return complex(*(rng.standard_normal(2) * 10.0 ** rng.integers(-10, 2, size=2)))

    keys = {(int(i), int(j)) for i, j in rng.integers(0, n + 2, size=(40, 2))}
    f_cross = {key: (int(rng.integers(0, n + 3)), rand_c()) for key in keys}
    f_comm = {key: (int(rng.integers(0, n)), rand_c()) for key in keys}
    f_dot = {tuple(int(x) for x in t): rand_c() for t in rng.integers(0, 5, size=(60, 3))}
    assert_bitwise([zenqa.cross(l_a, l_b, f_cross)], [ref_cross(l_a, l_b, f_cross)])
    assert_bitwise([zenqa.dot(l_a, l_b, f_dot)], [ref_dot(l_a, l_b, f_dot)])
    assert_bitwise([zenqa.dot(l_b, l_a, f_dot)], [ref_dot(l_b, l_a, f_dot)])
    assert_bitwise([zenqa.su_commutator(l_a, l_b, f_comm, basis)], [ref_commutator(l_a, l_b, f_comm, basis)])


@pytest.mark.parametrize("layout", ["fortran", "transposed", "negative", "strided"])
@pytest.mark.parametrize("shape", [(5, 3), (8, 1), (1, 8)])
def test_layouts_read_row_major(layout, shape):
    # the same logical values in other memory layouts
    def relaid(arr):
        wide = np.zeros((arr.shape[0], 2 * arr.shape[1]), complex)
        wide[:, ::2] = arr
        return {
            "fortran": np.asfortranarray(arr),
            "transposed": np.ascontiguousarray(arr.T).T,
            "negative": np.ascontiguousarray(arr[::-1, ::-1])[::-1, ::-1],
            "strided": wide[:, ::2],
        }[layout]

    basis, f, dmap = algebra("gellmann", 3)
    l_a, l_b = coefficients(shape, 7), coefficients((4, 2), 8)
    for run in (
        lambda x, y: zenqa.cross(x, y, f),
        lambda x, y: zenqa.dot(x, y, dmap),
        lambda x, y: zenqa.su_commutator(x, y, f, basis),
    ):
        assert_bitwise([run(relaid(l_a), relaid(l_b))], as_pairs([run(l_a, l_b)]))
    broadcast = np.broadcast_to(l_a[:1, :1], (4, 2))
    assert_bitwise([zenqa.cross(broadcast, l_b, f)], [ref_cross(broadcast, l_b, f)])


# --- documented cases ---------------------------------------------------------

C = 0.75 - 1.25j


@pytest.mark.parametrize(
    "shape_a, f, row, i",
    [
        ((3, 1), {(0, 1): (2, C)}, 2, 0),
        ((3, 1), {(0, 1): (3, C)}, None, 0),  # target row does not exist
        ((1, 3), {(2, 1): (0, C), (0, 1): (1, C)}, 0, 2),  # one row: only k = 0
        ((3, 2), {(1, 1): (2, C)}, 2, 1),  # flat index 1 is element (0, 1)
    ],
)
def test_cross_single_target(shape_a, f, row, i):
    l_a = np.arange(1, 1 + np.prod(shape_a)).reshape(shape_a) * (0.5 + 1j)
    l_b = col(2 - 1j, -3 + 0.25j, 1.5j)
    want = zero_rows(*shape_a)
    if row is not None:
        want[row][0] = add((0.0, 0.0), mul(mul(pair(C), pair(l_a.flat[i])), pair(l_b[1, 0])))
    assert_bitwise([zenqa.cross(l_a, l_b, f)], [want])


def test_cross_adds_tiny_terms():
    got = zenqa.cross(col(1e-20j), col(1), {(0, 0): (0, 1e-20 + 0j)})
    assert_bitwise([got], [[[add((0.0, 0.0), mul(mul((1e-20, 0.0), (0.0, 1e-20)), (1.0, 0.0)))]]])
    assert got[0, 0] != 0


def test_commutator_sylvester_2():
    basis = algebra("sylvester", 2)[0]
    e0, e1 = col(1, 0, 0), col(0, 1, 0)
    want = [[add((0.0, 0.0), mul(x, pair(C))) for x in row] for row in as_pairs([basis[2]])[0]]
    assert_bitwise([zenqa.su_commutator(e0, e1, {(0, 1): (2, C)}, basis)], [want])
    # (1, 0) is read for a_1 * b_0 = 0, never for the swapped pair
    assert_bitwise([zenqa.su_commutator(e0, e1, {(1, 0): (2, C)}, basis)], [zero_rows(2, 2)])
    # row or column form of l_a gives the same coefficients
    l_a, l_b, f = coefficients((3, 1), 1), coefficients((3, 1), 2), algebra("sylvester", 2)[1]
    assert_bitwise(
        [zenqa.su_commutator(l_a.reshape(1, 3), l_b, f, basis)], as_pairs([zenqa.su_commutator(l_a, l_b, f, basis)])
    )


UP = math.nextafter(1e-8, 1)


@pytest.mark.parametrize(
    "a, b, c, added",
    [
        (1e-8, 1, 1.0, False),
        (-1e-8, 1, 1.0, False),
        (1e-8j, 1, 1.0, False),
        (1.0, 1, -1e-8j, False),
        (UP, 1, 1.0, True),
        (1.0, 1, -UP * 1j, True),
        (1e-8, 1, 1.0 + 2**-52, True),
        (math.nan, 1, 1.0, False),
        (1e200, 1e200, 1.0, True),  # (inf, nan): hypot is inf
    ],
)
def test_commutator_threshold(a, b, c, added):
    basis = algebra("gellmann", 2)[0]
    f = {(0, 0): (1, c)}
    got = zenqa.su_commutator(col(a), col(b), f, basis)
    assert_bitwise([got], [ref_commutator(col(a), col(b), f, basis)])
    assert bool(np.any(got != 0) or np.isnan(got).any()) is added


@pytest.mark.parametrize("a_0, raises", [(1.0, True), (0.0, False), (1e-9, False)])
def test_commutator_target_past_basis(panic_type, capfd, a_0, raises):
    basis = algebra("gellmann", 2)[0]
    n = len(basis)
    f = {(0, 1): (n, 1.0), (n + 1, 0): (n, 1.0)}  # the second key is never visited

    def call():
        return zenqa.su_commutator(col(a_0, 0, 0), col(0, 1, 0), f, basis)

    if raises:
        with pytest.raises(panic_type) as info:
            call()
        assert info.value.args == ("called `Option::unwrap()` on a `None` value",)
    else:
        assert_bitwise([call()], [zero_rows(2, 2)])


@pytest.mark.parametrize(
    "l_a, f",
    [
        (col(1, 2), {(0, 0): (5, 1.0)}),
        (np.zeros((0, 1), complex), {}),
        (np.zeros((2, 0), complex), {(0, 0): (0, 1.0)}),
    ],
)
@pytest.mark.parametrize("basis", [[], ()])
def test_commutator_empty_basis(panic_type, capfd, l_a, f, basis):
    with pytest.raises(panic_type) as info:
        zenqa.su_commutator(l_a, l_a, f, basis)
    assert info.value.args == ("index out of bounds: the len is 0 but the index is 0",)


def test_commutator_broadcasts_terms(panic_type, capfd):
    eye = np.eye(3, dtype=complex)
    row, column, bad = np.array([[1, 2j, -3]]), np.array([[1j], [2], [3 - 1j]]), np.ones((2, 2), complex)
    basis = [eye, row.astype(complex), column.astype(complex), bad]
    l_a, l_b = coefficients((4, 1), 3), coefficients((4, 1), 4)
    f = {(0, 1): (1, 1.5 - 2j), (1, 0): (2, 0.5j), (2, 2): (0, -1.0), (3, 3): (3, 1e-20)}  # tiny term skipped
    assert_bitwise([zenqa.su_commutator(l_a, l_b, f, basis)], [ref_commutator(l_a, l_b, f, basis)])
    with pytest.raises(panic_type) as info:
        zenqa.su_commutator(l_a, l_b, {(3, 3): (3, 1.0)}, basis)
    assert "could not broadcast" in str(info.value)


@pytest.mark.parametrize("first, second", [(m1, m2) for m1 in range(6) for m2 in range(m1 + 1, 6)])
def test_dot_first_stored_ordering_wins(first, second):
    orderings = [tuple((0, 1, 2)[p] for p in order) for order in ORDERINGS]
    values = [complex(m + 1, -(m + 1) / 3) for m in range(6)]
    f = {orderings[second]: values[second], orderings[first]: values[first]}
    want = zero_rows(3, 1)
    want[2][0] = pair(values[first])
    assert_bitwise([zenqa.dot(col(1, 0, 0), col(0, 1, 0), f)], [want])


def test_dot_one_entry_serves_all_orderings():
    a, b = col(1 + 2j, -0.5j, 3), col(0.25, 2 - 1j, -1.5 + 0.5j)
    A, B = flat(a), flat(b)

    def t(i, j):
        return mul(mul(pair(C), A[i]), B[j])

    # rows collect (i, j) in loop order
    want = [
        [add(add((0.0, 0.0), t(1, 2)), t(2, 1))],
        [add(add((0.0, 0.0), t(0, 2)), t(2, 0))],
        [add(add((0.0, 0.0), t(0, 1)), t(1, 0))],
    ]
    assert_bitwise([zenqa.dot(a, b, {(0, 1, 2): C})], [want])


def test_dot_repeated_indices_counted_once():
    a, b = col(1 + 2j, -0.5j), col(0.25, 2 - 1j)
    A, B = flat(a), flat(b)

    def t(i, j):
        return mul(mul(pair(C), A[i]), B[j])

    want = [[add(add((0.0, 0.0), t(0, 1)), t(1, 0))], [add((0.0, 0.0), t(0, 0))]]
    assert_bitwise([zenqa.dot(a, b, {(1, 0, 0): C})], [want])


def test_dot_entries_outside_the_loops():
    a, b = col(1 + 2j, -0.5j), col(0.25, 2 - 1j, 1, 1j, -3 + 1j)
    f = {(2, 3, 4): 9.0, (3, 3, 3): 9.0, (4, 1, 0): C, (0, 0, 7): 9.0}

    # (4, 1, 0) is an ordering of (1, 4, 0) and of (0, 4, 1); the other entries of none
    def term(i):
        return [add((0.0, 0.0), mul(mul(pair(C), flat(a)[i]), flat(b)[4]))]

    assert_bitwise([zenqa.dot(a, b, f)], [[term(1), term(0)]])


# --- mathematical consistency -------------------------------------------------


def combine(coeffs, basis):
    return sum(c * b for c, b in zip(coeffs.ravel(), basis, strict=True))


@pytest.mark.parametrize("kind, d", [("gellmann", 3), ("gellmann", 4), ("sylvester", 3), ("sylvester", 4)])
def test_products_match_matrix_algebra(kind, d):
    basis, f, dmap = algebra(kind, d)
    n = len(basis)
    rng = np.random.default_rng(d)
    a, b = rng.standard_normal((n, 1)) + 1j * rng.standard_normal((n, 1)), rng.standard_normal((n, 1)) + 0j
    A, B = combine(a, basis), combine(b, basis)
    comm = zenqa.su_commutator(a, b, f, basis)
    # the map keeps one (k, c) per pair, so compare against the same truncation
    kept = sum(a[i, 0] * b[j, 0] * c * basis[k] for (i, j), (k, c) in f.items())
    np.testing.assert_allclose(comm, kept, rtol=0, atol=1e-12)
    if kind == "sylvester":  # every commutator of clock-and-shift words is a single word
        np.testing.assert_allclose(comm, A @ B - B @ A, rtol=0, atol=1e-12)
    else:  # a Gell-Mann commutator may spread over several matrices; only the lowest is kept
        assert np.abs(comm - (A @ B - B @ A)).max() > 1e-3
    # the coefficient form of the same commutator
    np.testing.assert_allclose(combine(zenqa.cross(a, b, f), basis), comm, rtol=0, atol=1e-12)
    if kind == "sylvester":
        return  # these d-coefficients are not symmetric, so the ordering fallback changes the sum
    # d-coefficients: {A, B} without its trace part is 2 sum_k y_k B_k
    anti = A @ B + B @ A
    anti -= np.trace(anti) / d * np.eye(d)
    np.testing.assert_allclose(2 * combine(zenqa.dot(a, b, dmap), basis), anti, rtol=0, atol=1e-12)


# --- result form ----------------------------------------------------------------


@pytest.mark.parametrize("shape", [(3, 1), (1, 3), (4, 2), (0, 1), (2, 0)])
@pytest.mark.parametrize("func", ["cross", "dot", "su_commutator"])
def test_result_form(shape, func):
    basis, f, dmap = algebra("gellmann", 2)
    l_a, l_b = np.asfortranarray(coefficients(shape, 1)), coefficients((3, 1), 2)
    args = {"cross": (f,), "dot": (dmap,), "su_commutator": (f, basis)}[func]
    result = getattr(zenqa, func)(l_a, l_b, *args)
    want_shape = (2, 2) if func == "su_commutator" else shape
    assert sys.getrefcount(result) == 2  # the name and the call's argument
    assert type(result) is np.ndarray and result.dtype == np.complex128 and result.dtype.isnative
    assert result.shape == want_shape and result.flags.c_contiguous
    assert result.size == 0 or result.strides == (16 * want_shape[1], 16)
    assert result.flags.c_contiguous and result.flags.owndata and result.flags.writeable
    assert result.base is None and not np.shares_memory(result, l_a)
