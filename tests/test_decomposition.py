import itertools
import math
import sys
import time

import numpy as np
import pytest

import zenqa
from conftest import rotated, seconds_to_interrupt, textbook_su3


def negligible(z):
    return abs(z.real) <= 1e-8 and abs(z.imag) <= 1e-8


def reference(basis):
    """Both maps the slow way: one minimum-norm least-squares solve per ordered pair."""
    basis = [np.array(b, dtype=complex) for b in basis]
    n, d = len(basis), len(basis[0])
    columns = np.stack([b.reshape(-1) for b in basis], axis=1)

    def solve(target):
        return np.linalg.lstsq(columns, target.reshape(-1), rcond=-1)[0]

    structure, symmetric = {}, {}
    for i, j in itertools.product(range(n), repeat=2):
        p, q = basis[i] @ basis[j], basis[j] @ basis[i]
        if i != j:
            x = solve(p - q)
            k = next((k for k in range(n) if not negligible(x[k])), None)
            if k is not None:
                structure[i, j] = (k, complex(x[k]))
        x = solve(p + q - np.eye(d) / d if i == j else p + q)
        symmetric.update({(i, j, k): complex(x[k] / 2) for k in range(n) if not negligible(x[k])})
    return structure, symmetric


def close(got, want, rel=1e-10, tiny=1e-12):
    return abs(got - want) <= rel * abs(want) + tiny


def assert_same_maps(basis):
    structure, symmetric = reference(basis)
    got = zenqa.get_structure_constants(basis)
    assert set(got) == set(structure), set(got) ^ set(structure)
    wrong = [
        (key, got[key], structure[key])
        for key in structure
        if got[key][0] != structure[key][0] or not close(got[key][1], structure[key][1])
    ]
    assert not wrong, wrong[:5]
    got = zenqa.get_d_coefficients(basis)
    assert set(got) == set(symmetric), set(got) ^ set(symmetric)
    wrong = [(key, got[key], symmetric[key]) for key in symmetric if not close(got[key], symmetric[key])]
    assert not wrong, wrong[:5]


def gm3():
    return zenqa.gen_gellmann(3)


def replaced(basis, position, matrix):
    basis[position] = matrix
    return basis


def mixed(basis, seed):
    """Non-orthogonal full-rank basis: invertible combinations of the given one."""
    rng = np.random.default_rng(seed)
    n = len(basis)
    mixing = rng.normal(size=(n, n)) + 1j * rng.normal(size=(n, n)) + 3 * np.eye(n)
    assert np.linalg.matrix_rank(mixing) == n
    return list(np.tensordot(mixing, np.array(basis), axes=1))


def scaled(basis, position, factor):
    basis[position] = basis[position] * factor
    return basis


def extended(basis, *extra):
    return list(basis) + list(extra)


BASES = {
    **{f"gellmann-{d}": (lambda d=d: zenqa.gen_gellmann(d)) for d in range(2, 6)},
    **{f"sylvester-{d}": (lambda d=d: zenqa.gen_sylvester(d)) for d in range(2, 6)},
    "gellmann-3-reversed": lambda: gm3()[::-1],
    "rotated-3": lambda: rotated(gm3(), seed=5),
    "rotated-4": lambda: rotated(zenqa.gen_gellmann(4), seed=6),
    "rotated-sylvester-3": lambda: rotated(zenqa.gen_sylvester(3), seed=7),
    "sum-of-two": lambda: replaced(gm3(), 7, gm3()[0] + gm3()[1]),
    "duplicate": lambda: extended(gm3(), gm3()[2]),
    "rotated-duplicate": lambda: extended(rotated(gm3(), seed=8), rotated(gm3(), seed=8)[6]),
    # more matrices than entries; the identity makes the I/d term count
    "overcomplete": lambda: extended(
        zenqa.gen_gellmann(2), np.eye(2, dtype=complex), np.array([[1, 2j], [3, -1 + 1j]])
    ),
    "mixed-3": lambda: mixed(gm3(), seed=9),
    "mixed-sylvester-3": lambda: mixed(zenqa.gen_sylvester(3), seed=10),
    "with-zero": lambda: gm3()[:3] + [np.zeros((3, 3), complex)] + gm3()[3:],
    "small-element": lambda: scaled(gm3(), 2, 1e-6),
    # Dense and scaled: rounding grows with the condition (and with its square when I/d
    # leaves the span), for any solver; with I in the basis 1e-3 stays far inside 1e-10.
    "scaled-rotated": lambda: extended(
        scaled(scaled(rotated(gm3(), seed=11), 4, 1e-3), 6, 1e-2), np.eye(3, dtype=complex)
    ),
    # 1e-13 beside 1e5 is below the solver's precision: that element counts as zero
    "beyond-precision": lambda: scaled(scaled(gm3(), 0, 1e5), 1, 1e-13),
    "one-diagonal": lambda: [np.diag([1.0 + 0j, 2.0])],
    "one-1x1": lambda: [np.array([[2.0 + 0.5j]])],
    "with-identity": lambda: extended(gm3(), np.eye(3, dtype=complex)),
}


@pytest.mark.parametrize("name", list(BASES))
def test_matches_reference(name):
    assert_same_maps(BASES[name]())


def test_su2_documented_values():
    assert zenqa.get_d_coefficients(zenqa.gen_gellmann(2)) == {}
    got = zenqa.get_structure_constants(zenqa.gen_gellmann(2))
    want = {(0, 1): (2, 2), (1, 0): (2, -2), (0, 2): (1, -2), (2, 0): (1, 2), (1, 2): (0, 2), (2, 1): (0, -2)}
    assert set(got) == set(want)
    for key, (k, c) in want.items():
        assert got[key][0] == k and close(got[key][1], c, tiny=1e-14), (key, got[key])


def test_su3_documented_values():
    structure = zenqa.get_structure_constants(gm3())
    assert len(structure) == 50
    assert structure[2, 6][0] == 0 and close(structure[2, 6][1], 1)
    assert (0, 4) not in structure and (4, 0) not in structure
    for (i, j), (k, c) in structure.items():
        assert structure[j, i][0] == k and close(structure[j, i][1], -c)
    symmetric = zenqa.get_d_coefficients(gm3())
    assert len(symmetric) == 58
    assert all(abs(c.real) < 1e-14 for c in symmetric.values())
    assert close(symmetric[0, 0, 4], 1j / math.sqrt(3))
    assert close(symmetric[0, 2, 2], 0.5j) and close(symmetric[0, 5, 5], -0.5j)
    for (i, j, k), c in symmetric.items():
        assert close(symmetric[j, i, k], c)


def test_su3_textbook_constants():
    lam, f, d = textbook_su3()
    # the tables themselves: [l_a, l_b] = 2i f_abc l_c, {l_a, l_b} = 4/3 delta_ab + 2 d_abc l_c
    for a, b in itertools.product(range(1, 9), repeat=2):
        assert np.allclose(lam[a] @ lam[b] - lam[b] @ lam[a], 2j * np.tensordot(f[a, b], lam, 1))
        anti = lam[a] @ lam[b] + lam[b] @ lam[a]
        assert np.allclose(anti, 4 / 3 * (a == b) * np.eye(3) + 2 * np.tensordot(d[a, b], lam, 1))
    basis = gm3()
    # position of B = i lambda_a in the generated basis
    pos = {a: p for a in range(1, 9) for p, m in enumerate(basis) if np.allclose(m, 1j * lam[a])}
    assert sorted(pos.values()) == list(range(8))
    assert [pos[a] for a in range(1, 9)] == [3, 1, 0, 6, 2, 7, 5, 4]

    # [B_a, B_b] = -2 f_abc B_c; the entry keeps the lowest position
    want = {}
    for a, b in itertools.permutations(range(1, 9), 2):
        terms = sorted((pos[c], -2 * f[a, b, c]) for c in range(1, 9) if f[a, b, c])
        if terms:
            want[pos[a], pos[b]] = terms[0]
    got = zenqa.get_structure_constants(basis)
    assert set(got) == set(want)
    assert all(got[key][0] == k and close(got[key][1], c) for key, (k, c) in want.items())
    assert close(got[pos[1], pos[2]][1], -2 * 1)  # f_123 = 1
    assert close(got[pos[1], pos[4]][1], -2 * 0.5)  # f_147 = 1/2
    assert close(got[pos[4], pos[8]][1], 2 * math.sqrt(3) / 2)  # f_485 = -f_458

    # {B_a, B_b} / 2 = -2/3 delta_ab + i d_abc B_c
    want = {
        (pos[a], pos[b], pos[c]): 1j * d[a, b, c] for a, b, c in itertools.product(range(1, 9), repeat=3) if d[a, b, c]
    }
    got = zenqa.get_d_coefficients(basis)
    assert set(got) == set(want)
    assert all(close(got[key], c) for key, c in want.items())
    for a, b, c, v in [(1, 1, 8, 1 / math.sqrt(3)), (1, 4, 6, 0.5), (8, 8, 8, -1 / math.sqrt(3))]:
        assert close(got[pos[a], pos[b], pos[c]], 1j * v)


@pytest.mark.parametrize("func, arity", [(zenqa.get_structure_constants, 2), (zenqa.get_d_coefficients, 3)])
@pytest.mark.parametrize(
    "make", [lambda: zenqa.gen_sylvester(4), lambda: rotated(gm3(), seed=12)], ids=["sylvester", "rotated"]
)
def test_result_form(func, arity, make):
    result = func(make())
    assert type(result) is dict and len(result) > 20
    assert list(result) == sorted(result)
    for key, value in result.items():
        assert type(key) is tuple and len(key) == arity and all(type(i) is int for i in key)
        if arity == 2:
            assert type(value) is tuple and len(value) == 2
            assert type(value[0]) is int and type(value[1]) is complex
            assert key[0] != key[1]
        else:
            assert type(value) is complex
    del key, value
    assert sys.getrefcount(result) == 2
    keys, values = list(result), list(result.values())
    assert {sys.getrefcount(keys[n]) for n in range(len(keys))} == {3}  # dict, list, argument
    assert {sys.getrefcount(values[n]) for n in range(len(values))} == {3}
    if arity == 2:
        assert {sys.getrefcount(values[n][1]) for n in range(len(values))} == {2}


OUT_OF_BOUNDS = "called `Result::unwrap()` on an `Err` value: ShapeError/OutOfBounds: out of bounds indexing"


def incompatible(a, b):
    return f"inputs {a[0]} \u00d7 {a[1]} and {b[0]} \u00d7 {b[1]} are not compatible for matrix multiplication"


def z(*shape):
    return np.zeros(shape, complex)


@pytest.mark.parametrize(
    "basis, structure, symmetric",
    [
        ([], "index out of bounds: the len is 0 but the index is 0", None),
        ((), "index out of bounds: the len is 0 but the index is 0", None),
        (z(0, 3, 3), "index out of bounds: the len is 0 but the index is 0", None),
        ([z(3, 3), z(2, 2)], OUT_OF_BOUNDS, None),
        ([z(3, 3), z(1, 3)], OUT_OF_BOUNDS, None),
        ([z(3, 3), z(3, 3), z(8, 1)], OUT_OF_BOUNDS, None),
        ([z(3, 3), z(4, 4)], incompatible((3, 3), (4, 4)), None),
        ([z(2, 2), z(3, 3)], incompatible((2, 2), (3, 3)), None),
        ([z(3, 3), z(3, 4)], incompatible((3, 4), (3, 3)), None),
        ([z(3, 3), z(1, 9)], incompatible((3, 3), (1, 9)), None),
        ([z(2, 3)], {}, incompatible((2, 3), (2, 3))),
    ],
    ids=[
        "empty-list",
        "empty-tuple",
        "empty-3-d",
        "2x2-after-3x3",
        "1x3-after-3x3",
        "8x1-after-3x3",
        "4x4-after-3x3",
        "3x3-after-2x2",
        "3x4-after-3x3",
        "1x9-after-3x3",
        "one-2x3",
    ],
)
def test_faults(panic_type, capfd, basis, structure, symmetric):
    symmetric = structure if symmetric is None else symmetric
    for func, expected in [(zenqa.get_structure_constants, structure), (zenqa.get_d_coefficients, symmetric)]:
        if isinstance(expected, dict):
            assert func(basis) == expected
            continue
        with pytest.raises(panic_type) as info:
            func(basis)
        assert info.value.args == (expected,)


def test_single_matrix():
    assert zenqa.get_structure_constants(zenqa.gen_gellmann(2)[:1]) == {}
    # {B, B} - I/d = diag(1.5, 7.5), projected on B = diag(1, 2): 16.5 / 5, halved
    ((key, value),) = zenqa.get_d_coefficients([np.diag([1.0 + 0j, 2.0])]).items()
    assert key == (0, 0, 0) and close(value, 1.65)


def test_ctrl_c_stops_long_call():
    # The call holds the interpreter lock throughout, so no Python thread can run to
    # interrupt it; a kernel timer's signal does, as Ctrl-C's SIGINT would.
    basis = zenqa.gen_sylvester(32)
    start = time.perf_counter()
    zenqa.get_d_coefficients(basis)
    full = time.perf_counter() - start
    assert full > 0.2, "too quick to interrupt"
    elapsed = seconds_to_interrupt(lambda: zenqa.get_d_coefficients(basis))
    assert elapsed < 0.05 + full / 2, (elapsed, full)
    assert all(m.flags.writeable for m in basis)


DECOMPOSITIONS = [zenqa.get_structure_constants, zenqa.get_d_coefficients]


@pytest.mark.parametrize("func", DECOMPOSITIONS)
@pytest.mark.parametrize(
    "value, kind",
    [
        (np.nan, "NaN"),
        (complex(0, np.nan), "NaN"),
        (np.inf, "an infinity"),
        (complex(1, -np.inf), "an infinity"),
        (complex(np.inf, np.nan), "NaN"),
    ],
)
@pytest.mark.parametrize("where", [(0, 0, 0), (5, 2, 1), (7, 1, 2)])
def test_non_finite_basis_refused(capfd, func, value, kind, where):
    basis = gm3()
    p, r, c = where
    basis[p][r, c] = value
    basis[7][2, 2] = np.nan  # only the first is named
    with pytest.raises(ValueError) as info:
        func(basis)
    assert str(info.value) == f"basis matrix {p} holds {kind} at ({r}, {c})"
    assert capfd.readouterr() == ("", "")  # nothing from LAPACK
    assert all(m.flags.writeable for m in basis)


def test_shape_faults_before_values(panic_type, capfd):
    for func in DECOMPOSITIONS:
        with pytest.raises(panic_type):
            func([np.full((3, 3), np.nan, complex), z(2, 2)])
        # one matrix has no commutator to expand, but its values are still refused
        with pytest.raises(ValueError):
            func([np.full((2, 2), np.inf, complex)])


SCALES = [1e300, 2.0**600, 2.0**257, 2.0**-257, 1e-200, 1e-300, 2.0**-1000]


def assert_scaled(got, unscaled, scale, coefficient=lambda value: value):
    """Each coefficient of the scaled basis is `scale` times the unscaled one, or was rounding
    noise that the scale lifted above the negligible bound; none is NaN or infinite."""
    assert all(np.isfinite(coefficient(value)) for value in got.values())
    for key, value in got.items():
        if key in unscaled and not isinstance(value, tuple) or key in unscaled and value[0] == unscaled[key][0]:
            assert close(coefficient(value), scale * coefficient(unscaled[key]), 1e-12, 0), (key, value)
        else:
            assert abs(coefficient(value)) <= 1e-8 * scale, (key, value)
    lost = [key for key, value in unscaled.items() if not negligible(scale * coefficient(value)) and key not in got]
    assert not lost


@pytest.mark.parametrize("scale", SCALES)
@pytest.mark.parametrize("name", ["gellmann-2", "gellmann-3", "sylvester-3", "rotated-3", "mixed-sylvester-3"])
def test_scaled_basis(capfd, scale, name):
    # [sB_i, sB_j] = s^2 [B_i, B_j] = s^2 c B_k = s c (s B_k): the constants scale with s
    basis = BASES[name]()
    big = [scale * m for m in basis]
    assert_scaled(
        zenqa.get_structure_constants(big),
        zenqa.get_structure_constants(basis),
        scale,
        coefficient=lambda value: value[1],
    )
    # The I/d term of {sB_i, sB_i} adds coefficients of size 1/s times those of I/d
    # alone: nothing above rounding for these traceless bases when s is large.
    if scale > 1:
        assert_scaled(zenqa.get_d_coefficients(big), zenqa.get_d_coefficients(basis), scale)
    elif name.startswith("gellmann"):  # their traces cancel exactly
        assert zenqa.get_d_coefficients(big) == {}
    assert capfd.readouterr() == ("", "")


@pytest.mark.parametrize(
    "scale, expected",
    [(1e300, 1e300), (1e-300, -2.5e299), (2.0**1020, 2.0**1020), (2.0**1022, 2.0**1022), (2.0**-1020, -(2.0**1018))],
)
def test_scaled_identity(scale, expected):
    # {sI, sI} - I/2 = (2 s^2 - 1/2) I, so v = (2 s^2 - 1/2) / s / 2 = s - 1/(4 s); at
    # s = 2^1022 the coefficient 2^1023 it halves is finite, but not its double
    basis = [scale * np.eye(2, dtype=complex)]
    ((key, value),) = zenqa.get_d_coefficients(basis).items()
    assert key == (0, 0, 0) and value == expected
    if scale > 1:  # the tensor keeps the plain square, whose I/d term is negligible here
        index, values = zenqa.Algebra(basis).d_coefficients()
        assert index.tolist() == [[0, 0, 0]] and values.tolist() == [expected]


@pytest.mark.parametrize(
    "func, basis, k",
    [
        # [B_0, B_1] = 2 B_2 for su(2): 2^1024
        (zenqa.get_structure_constants, [2.0**1023 * m for m in zenqa.gen_gellmann(2)], 2),
        # the d-coefficient 2^1023 would fit, the coefficient 2^1024 it halves does not
        (zenqa.get_d_coefficients, [2.0**1023 * np.eye(2, dtype=complex)], 0),
        (zenqa.get_d_coefficients, [2.0**-1074 * np.eye(3, dtype=complex)], 0),
    ],
)
def test_coefficient_beyond_doubles(capfd, func, basis, k):
    with pytest.raises(OverflowError) as info:
        func(basis)
    assert str(info.value) == f"a coefficient of basis matrix {k} is too large for a double"
    assert capfd.readouterr() == ("", "")


def test_failure_on_many_threads_is_the_one_one_thread_meets(monkeypatch):
    # Coefficients overflow in every group of rows; the error must be the first in
    # row order, not whichever thread failed first, nor a group abandoned for it.
    basis = [2.0**1023 * m for m in zenqa.gen_gellmann(16)]
    messages = set()
    for threads in ("1", "2", "3"):
        monkeypatch.setenv("OPENBLAS_NUM_THREADS", threads)
        for func in (zenqa.get_structure_constants, zenqa.get_d_coefficients, zenqa.Algebra):
            with pytest.raises(OverflowError) as info:
                func(basis)
            messages.add((func.__name__, str(info.value)))
    assert len(messages) == 3
