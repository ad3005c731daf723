"""zenqa.Algebra: the complete tensors against the dicts and against matrix arithmetic."""

import itertools

import numpy as np
import pytest

import zenqa
from conftest import rotated, textbook_su3
from engine_values import PAULI, ising_sentences, pauli_strings

NEGLIGIBLE = 1e-8


def with_identity(d):
    return [np.eye(d, dtype=complex), *zenqa.gen_gellmann(d)]


def rank_deficient(d):
    basis = zenqa.gen_gellmann(d)
    return [*basis[:-1], basis[0] + basis[1]]


def random_blocks(d, size):
    """Random matrices filling the size x size blocks on the diagonal: sparse, neither orthogonal nor traceless."""
    rng, basis = np.random.default_rng(size), []
    for start in range(0, d - size + 1, size):
        for _ in range(size * size):
            matrix = np.zeros((d, d), complex)
            matrix[start : start + size, start : start + size] = rng.normal(size=(size, size, 2)) @ [1, 1j]
            basis.append(matrix)
    return basis


def overcomplete(d):
    basis = zenqa.gen_gellmann(d)
    return [*basis, basis[0] - 2 * basis[-1], np.diag(np.arange(d, dtype=complex))]


def sheared_in_patterns(basis):
    """B_k + B_k' / 2, B_k' the next matrix with B_k's positions: monomial, not orthogonal."""
    groups = {}
    for k, b in enumerate(basis):
        groups.setdefault(tuple(np.argmax(abs(b), axis=0)), []).append(k)
    following = {k: g[(g.index(k) + 1) % len(g)] for g in groups.values() for k in g}
    return [b + basis[following[k]] / 2 for k, b in enumerate(basis)]


def phased_permutations(d):
    """Every fifth permutation matrix of d elements, a phase in each entry: monomial, their patterns overlap."""
    rng = np.random.default_rng(4)
    return [
        np.eye(d)[list(p)] * np.exp(1j * rng.uniform(0, 2 * np.pi, (d, 1)))
        for p in list(itertools.permutations(range(d)))[::5]
    ]


def regular_s3():
    """The left multiplications of S_3 on itself, each times three diagonal characters: monomial
    matrices whose patterns are disjoint but whose products in the two orders differ in pattern."""
    elements = list(itertools.permutations(range(3)))
    compose = {(g, h): elements.index(tuple(g[h[x]] for x in range(3))) for g in elements for h in elements}
    characters = [np.exp(2j * np.pi * m * np.arange(6) / 6) for m in range(3)]
    left = [np.eye(6)[[compose[g, h] for h in elements]].T for g in elements]
    return [np.ascontiguousarray(m * character) for m in left for character in characters]


def scaled(basis, seed):
    """Each matrix times its own complex factor."""
    factors = np.random.default_rng(seed).normal(size=(len(basis), 2)) @ [1, 1j]
    return [f * m for f, m in zip(factors, basis, strict=True)]


def weyl_by_pauli():
    """The Sylvester basis of d = 3 tensored with the Pauli matrices, identity left out: d = 6."""
    factors = [[np.eye(3), *zenqa.gen_sylvester(3)], [np.eye(2), *pauli_strings(1)]]
    return [np.kron(a, b) for a, b in itertools.product(*factors)][1:]


BASES = {
    **{f"gellmann-{d}": (lambda d=d: zenqa.gen_gellmann(d)) for d in range(2, 9)},
    **{f"sylvester-{d}": (lambda d=d: zenqa.gen_sylvester(d)) for d in range(2, 9)},
    "rotated-4": lambda: rotated(zenqa.gen_gellmann(4), seed=3),
    "rank-deficient-4": lambda: rank_deficient(4),
    "overcomplete-3": lambda: overcomplete(3),
    "identity-3": lambda: with_identity(3),
    # Two bases at once: the span's complement gives singular values a few roundings above zero
    **{f"gellmann-and-sylvester-{d}": (lambda d=d: zenqa.gen_gellmann(d) + zenqa.gen_sylvester(d)) for d in (2, 3)},
    "sylvester-and-rotated-2": lambda: zenqa.gen_sylvester(2) + rotated(zenqa.gen_sylvester(2), seed=5),
    "pauli-3": lambda: pauli_strings(3),
    "sheared-pauli-3": lambda: sheared_in_patterns(pauli_strings(3)),
    "sheared-gellmann-4": lambda: sheared_in_patterns(zenqa.gen_gellmann(4)),  # blocks of two, not orthogonal
    # blocks of 9 matrices are projected entry by entry, blocks of 36 in batches
    "blocks-of-9": lambda: random_blocks(9, 3),
    "blocks-of-36": lambda: random_blocks(14, 6),
    # Bases closed under products up to factors, and some that come close
    "scaled-pauli-3": lambda: scaled(pauli_strings(3), seed=8),
    "scaled-sylvester-5": lambda: scaled(zenqa.gen_sylvester(5), seed=9),
    "scaled-gellmann-5": lambda: scaled(zenqa.gen_gellmann(5), seed=10),  # entry by entry, weights of its own
    "weyl-by-pauli": weyl_by_pauli,
    "pauli-3-every-third-left-out": lambda: pauli_strings(3)[::3] + pauli_strings(3)[1::3],
    "identity-and-pauli-3": lambda: [np.eye(8, dtype=complex), *pauli_strings(3)],
    # The five other left multiplications of S_3: closed, B_i B_j and B_j B_i two different matrices
    "regular-s3-without-identity": lambda: regular_s3()[3::3],
    "identity-permutations-5": lambda: phased_permutations(5),
    "identity-regular-s3": regular_s3,
    # Sums of Pauli strings, expanded in their words: I among them is one more word. Normalised,
    # the entries are rounded and the words that cancel leave remainders.
    "ising-sentences-4": lambda: ising_sentences(4),
    "normalised-ising-sentences-4": lambda: [m / np.linalg.norm(m) for m in ising_sentences(4)],
    "rank-deficient-ising-sentences-4": lambda: [*ising_sentences(4), ising_sentences(4)[0] - ising_sentences(4)[3]],
    # An off-diagonal Gell-Mann matrix among them fills its pattern with words
    "ising-sentences-and-gellmann-4": lambda: [*ising_sentences(4), zenqa.gen_gellmann(16)[7]],
    "identity-and-ising-sentences-4": lambda: [np.eye(16, dtype=complex), *ising_sentences(4)],
}
# Bases whose tensors grow to hundreds of kilobytes and whose rows are shared
# out in groups: checked against the dicts only.
LARGE = {
    f"{name}-16": (lambda gen=gen: gen(16))
    for name, gen in [("gellmann", zenqa.gen_gellmann), ("sylvester", zenqa.gen_sylvester)]
} | {"ising-sentences-6": lambda: ising_sentences(6)}
TRACELESS = [name for name in {**BASES, **LARGE} if not name.startswith(("identity", "overcomplete", "blocks"))]


def built(name):
    basis = {**BASES, **LARGE}[name]()
    return name, basis, zenqa.Algebra(basis)


@pytest.fixture(scope="module", params=list(BASES))
def case(request):
    return built(request.param)


@pytest.fixture(scope="module", params=[*BASES, *LARGE])
def any_case(request):
    return built(request.param)


def entries(tensor):
    index, value = tensor
    return dict(zip(map(tuple, index.tolist()), value.tolist(), strict=True))


def assert_entries(tensor, i, j, k, values, atol):
    """The tensor holds exactly these entries, in its order: (i, j) increasing, then k."""
    index, value = tensor
    np.testing.assert_array_equal(index, np.column_stack([i, j, k]))
    np.testing.assert_allclose(value, values, rtol=0, atol=atol)


def projector(basis):
    """Minimum-norm least squares in the basis, as NumPy computes it."""
    pinv = np.linalg.pinv(np.stack([b.ravel() for b in basis], axis=1), rcond=1e-15)
    return lambda m: np.asarray(m).reshape(*np.shape(m)[:-2], -1) @ pinv.T


def test_structure_constants_hold_the_dict_bit_for_bit(any_case):
    _, basis, algebra = any_case
    full = entries(algebra.structure_constants())
    lowest = {}
    for (i, j, k), c in full.items():  # rows come sorted, so the first k of a pair is its lowest
        lowest.setdefault((i, j), (k, c))
    assert lowest == zenqa.get_structure_constants(basis)
    assert all(full[j, i, k] == -c for (i, j, k), c in full.items())


def test_d_coefficients_agree_with_the_dict(any_case):
    name, basis, algebra = any_case
    full, dict_ = entries(algebra.d_coefficients()), zenqa.get_d_coefficients(basis)
    off_diagonal = {key: v for key, v in full.items() if key[0] != key[1]}
    assert off_diagonal == {key: v for key, v in dict_.items() if key[0] != key[1]}
    if name in TRACELESS:
        assert full.keys() == dict_.keys()
        assert all(abs(full[key] - dict_[key]) <= 1e-14 for key in full)


@pytest.mark.parametrize("name", ["gellmann-3", "pauli-3"])
def test_far_scaled_basis_follows_the_dicts(name):
    # Products of such matrices leave the comfortable range of doubles; they are
    # decomposed scaled by a power of two, as the dicts are, and scaled back.
    basis, scale = BASES[name](), 2.0**300
    plain, huge = zenqa.Algebra(basis), zenqa.Algebra([scale * m for m in basis])
    for tensor in ("structure_constants", "d_coefficients"):
        (index, value), (huge_index, huge_value) = getattr(plain, tensor)(), getattr(huge, tensor)()
        assert np.array_equal(huge_index, index) and np.array_equal(huge_value, scale * value)
    matrices = np.array(basis) @ np.array(basis)[::-1]
    assert np.array_equal(huge.coefficients(scale * matrices), plain.coefficients(matrices))
    # Coefficients of a tiny basis fall under the absolute negligible bound, for both.
    tiny = [m / scale for m in basis]
    assert len(zenqa.Algebra(tiny).structure_constants()[1]) == len(zenqa.get_structure_constants(tiny)) == 0


@pytest.mark.parametrize(
    "tensor, product, half",
    [("structure_constants", lambda x, y: x @ y - y @ x, 1), ("d_coefficients", lambda x, y: x @ y + y @ x, 0.5)],
    ids=["structure", "d"],
)
def test_dense_tensor_is_the_decomposition_of_every_product(case, tensor, product, half):
    _, basis, algebra = case
    stack = np.array(basis)
    expected = half * projector(basis)(product(stack[:, None], stack[None, :]))
    dense = getattr(algebra, tensor)(dense=True)
    index, value = getattr(algebra, tensor)()
    assert dense.shape == (len(basis),) * 3 and dense.dtype == np.complex128
    assert np.array_equal(dense[tuple(index.T)], value)
    assert np.count_nonzero(dense) == len(value)
    sign = -1 if tensor == "structure_constants" else 1
    assert np.array_equal(dense, sign * dense.transpose(1, 0, 2))
    significant = (abs(expected.real) > 2 * NEGLIGIBLE) | (abs(expected.imag) > 2 * NEGLIGIBLE)
    assert np.all(dense[significant] != 0)
    assert np.allclose(dense, np.where(abs(dense) > 0, expected, 0), rtol=0, atol=1e-12 * max(1, abs(expected).max()))


@pytest.mark.parametrize("generate", [zenqa.gen_gellmann, zenqa.gen_sylvester], ids=["gellmann", "sylvester"])
def test_rows_in_many_waves_of_groups_hold_their_own_products(generate):
    # 195 rows go out in 25 groups, whose later waves reuse the room of the groups before them.
    basis, block = generate(14), 40
    stack, algebra, project = np.array(basis), zenqa.Algebra(basis), projector(basis)
    tensors = [algebra.structure_constants(), algebra.d_coefficients()]
    for first in range(0, len(basis), block):
        rows = stack[first : first + block]
        left = np.einsum("iab,jbc->ijac", rows, stack, optimize=True)
        right = np.einsum("jab,ibc->ijac", stack, rows, optimize=True)
        for (index, value), product in zip(tensors, [left - right, (left + right) / 2], strict=True):
            expected = project(product)
            got = np.zeros_like(expected)
            inside = (index[:, 0] >= first) & (index[:, 0] < first + block)
            got[tuple((index[inside] - [first, 0, 0]).T)] = value[inside]
            assert np.allclose(got, expected, rtol=0, atol=1e-12)


def test_entries_are_sorted_owned_arrays(any_case):
    _, _, algebra = any_case
    for index, value in (algebra.structure_constants(), algebra.d_coefficients()):
        assert index.dtype == np.int64 and index.shape == (len(value), 3) and value.dtype == np.complex128
        assert index.flags.owndata and value.flags.owndata and index.flags.writeable
        keys = [tuple(row) for row in index.tolist()]
        assert keys == sorted(set(keys))
        assert not np.any((abs(value.real) <= NEGLIGIBLE) & (abs(value.imag) <= NEGLIGIBLE))


def test_tensors_of_millions_of_entries_mirror_every_stored_row():
    # Mixing the Gell-Mann matrices of d = 12 fills nearly all 143**3 entries of both tensors, written
    # in parts larger than the caches, whose rows are filled a few at a time.
    basis = np.array(zenqa.gen_gellmann(12))
    mixing, _ = np.linalg.qr(np.random.default_rng(4).standard_normal((len(basis),) * 2))
    algebra = zenqa.Algebra(np.einsum("ab,bij->aij", mixing, basis))
    for tensor in (algebra.structure_constants, algebra.d_coefficients):
        (index, value), dense = tensor(), tensor(dense=True)
        keys = np.ravel_multi_index(index.T, dense.shape)
        assert np.all(np.diff(keys) > 0)
        assert np.array_equal(dense.ravel()[keys], value)
        assert np.count_nonzero(dense) == len(value) > 2_000_000


def test_gellmann_tensors_in_closed_form():
    """[B_a, B_b] = -2 f_abc B_c and {B_a, B_b} = -(4/3) delta_ab I + 2i d_abc B_c, B = i lambda."""
    positions = np.ix_(*[[3, 2, 5, 1, 8, 7, 4, 6]] * 3)  # the textbook lambda at each position (README)
    _, f, d = textbook_su3()
    algebra = zenqa.Algebra(zenqa.gen_gellmann(3))
    assert np.allclose(algebra.structure_constants(dense=True), -2 * f[positions], atol=1e-15)
    assert np.allclose(algebra.d_coefficients(dense=True), 1j * d[positions], atol=1e-15)


def test_sylvester_tensors_in_closed_form():
    """X^a Z^b X^c Z^e = w^(bc) X^(a+c) Z^(b+e): the commutator's coefficient is w^(bc) - w^(ea), the
    anticommutator's half (w^(bc) + w^(ea)) / 2. At d = 34 the tensors outgrow the heap blocks
    they start in (8 MiB) and move to mapped ones."""
    d = 34
    labels = [(1, 0), (0, 1)] + [
        (j % d, m % d) for j in range(1, d + 1) for m in range(1, d + 1) if (j, m) not in {(1, d), (d, 1), (d, d)}
    ]
    index_of = np.full((d, d), -1)
    for k, (a, b) in enumerate(labels):
        index_of[a, b] = k
    a, b = np.array(labels).T
    forward, backward = np.outer(b, a) % d, np.outer(a, b) % d  # the powers of w in B_i B_j and in B_j B_i
    product = index_of[(a[:, None] + a) % d, (b[:, None] + b) % d]  # -1 where B_i B_j is a multiple of I
    w = np.exp(2j * np.pi * np.arange(d) / d)
    algebra = zenqa.Algebra(zenqa.gen_sylvester(d))
    for tensor, coefficient, vanishes in [
        ("structure_constants", w[forward] - w[backward], forward == backward),
        ("d_coefficients", (w[forward] + w[backward]) / 2, 2 * ((forward - backward) % d) == d),
    ]:
        i, j = np.nonzero(~vanishes & (product >= 0))
        assert_entries(getattr(algebra, tensor)(), i, j, product[i, j], coefficient[i, j], atol=1e-12)


def test_sylvester_values_are_least_squares_sums_of_their_own_matrices():
    """<B_k, B_i B_j> / |B_k|^2 within a few roundings. Some Sylvester matrices differ in their last bits
    from the others of their character, and a value summed for the others would be 7e-15 off at d = 12."""
    d = 12
    basis = np.array(zenqa.gen_sylvester(d))
    n, flat = len(basis), basis.reshape(len(basis), d * d)
    products = np.einsum("iab,jbc->ijac", basis, basis).reshape(n * n, d * d)
    coefficients = (products @ flat.conj().T / np.einsum("kp,kp->k", flat.conj(), flat).real).reshape(n, n, n)
    backward = coefficients.transpose(1, 0, 2)
    algebra = zenqa.Algebra(basis)
    for tensor, expected in [
        ("structure_constants", coefficients - backward),
        ("d_coefficients", (coefficients + backward) / 2),
    ]:
        dense = getattr(algebra, tensor)(dense=True)
        kept = np.where(dense != 0, expected, 0)
        np.testing.assert_allclose(dense, kept, rtol=0, atol=2e-15 * abs(expected).max())


def test_pauli_tensors_are_their_products_letter_by_letter():
    """P_a P_b = w_ab P_c qubit by qubit: [P_a, P_b] = (w_ab - w_ba) P_c, {P_a, P_b} / 2 = (w_ab + w_ba) / 2 P_c."""
    qubits = 4
    letter_phase, letter_product = np.empty((4, 4), complex), np.empty((4, 4), int)
    for a, b in itertools.product(range(4), repeat=2):
        m = PAULI[a] @ PAULI[b]
        c = next(c for c in range(4) if abs(np.vdot(PAULI[c], m)) > 1)
        letter_product[a, b], letter_phase[a, b] = c, np.vdot(PAULI[c], m) / 2
    words = np.array(list(np.ndindex(*[4] * qubits))[1:])  # the order of pauli_strings, identity left out
    a, b = words[:, None, :], words[None, :, :]
    phase = letter_phase[a, b].prod(axis=-1)
    product = (letter_product[a, b] * 4 ** np.arange(qubits)[::-1]).sum(axis=-1) - 1  # its index, -1 for I
    algebra = zenqa.Algebra(pauli_strings(qubits))
    for tensor, coefficient in [("structure_constants", phase - phase.T), ("d_coefficients", (phase + phase.T) / 2)]:
        i, j = np.nonzero((coefficient != 0) & (product >= 0))
        assert_entries(getattr(algebra, tensor)(), i, j, product[i, j], coefficient[i, j], atol=1e-15)
