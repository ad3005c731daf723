"""zenqa.Algebra on bases of scipy.sparse matrices: the same tensors as the dense
basis, the basis given back in its own form, and clear refusals of bad input."""

import pickle
import subprocess
import sys
import threading
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest
import scipy.sparse as sp

import zenqa
from conftest import rotated, seconds_to_interrupt
from engine_values import ising_sentences, pauli_strings, sheared

FORMATS = ["csr_array", "csc_array", "coo_array", "dia_array", "lil_array", "dok_array", "bsr_array"]
FORMATS += ["csr_matrix", "csc_matrix", "coo_matrix"]
ELEMENT_TYPES = [bool, np.int8, np.uint8, np.int16, np.uint16, np.int32, np.uint32, np.int64, np.uint64]
ELEMENT_TYPES += [np.float32, np.float64, np.complex64, np.complex128]
TOLERANCE = 1e-15


def anticommute(a, b):
    return (bin(a[0] & b[1]).count("1") + bin(a[1] & b[0]).count("1")) % 2 == 1


def tfim_dla_words(n):
    """The Pauli words (x bits, z bits) spanning the DLA of X_q and Z_q Z_(q+1) on n qubits."""
    words = [(1 << q, 0) for q in range(n)] + [(0, 3 << q) for q in range(n - 1)]
    frontier, seen = list(words), set(words)
    while frontier:
        grown = [(a[0] ^ b[0], a[1] ^ b[1]) for a in frontier for b in words if anticommute(a, b)]
        frontier = [w for w in dict.fromkeys(grown) if w not in seen]
        seen.update(frontier)
        words += frontier
    return words


def pauli_word(word, n):
    """i^|x&z| X^x Z^z as a CSR array: column c holds its one entry in row c ^ x."""
    x, z = word
    c = np.arange(1 << n)
    signs = 1 - 2 * (np.array([bin(v).count("1") for v in c & z]) & 1)
    return sp.csr_array((1j ** bin(x & z).count("1") * signs, (c ^ x, c)), shape=(1 << n, 1 << n))


def tfim_dla(n):
    return [pauli_word(w, n) for w in tfim_dla_words(n)]


def dihedral_basis(half, count, seed):
    """Left multiplications by `count` elements of the dihedral group of order 2 half, a phase in each
    entry: monomial matrices whose patterns are disjoint and do not all commute."""
    rng = np.random.default_rng(seed)
    k, t = np.arange(half).repeat(2), np.tile([0, 1], half)  # element c = 2 k + t: rotation k, reflection t
    basis = []
    for g in rng.choice(np.arange(1, 2 * half), size=count, replace=False):
        r, s = divmod(int(g), 2)
        rows = 2 * ((r + (-1) ** s * k) % half) + (s ^ t)
        basis.append(sp.csr_array((np.exp(2j * np.pi * rng.random(2 * half)), (rows, 2 * k + t))))
    return basis


def as_sparse(basis):
    return [sp.csr_array(m) for m in basis]


SPARSE_BASES = {
    "gellmann-3": lambda: as_sparse(zenqa.gen_gellmann(3)),
    "gellmann-6": lambda: as_sparse(zenqa.gen_gellmann(6)),
    "sylvester-3": lambda: as_sparse(zenqa.gen_sylvester(3)),
    "sylvester-6": lambda: as_sparse(zenqa.gen_sylvester(6)),
    "pauli-2": lambda: as_sparse(pauli_strings(2)),
    "pauli-3": lambda: as_sparse(pauli_strings(3)),
    "tfim-dla-4": lambda: tfim_dla(4),
    "ising-sentences-5": lambda: as_sparse(ising_sentences(5)),
    "sheared-gellmann-4": lambda: as_sparse(sheared(zenqa.gen_gellmann(4))),
    "rotated-gellmann-3": lambda: as_sparse(rotated(zenqa.gen_gellmann(3), seed=5)),
}


def assert_same_tensor(got, want):
    np.testing.assert_array_equal(got[0], want[0])
    np.testing.assert_allclose(got[1], want[1], rtol=0, atol=TOLERANCE * np.abs(want[1]).max(initial=0))


def assert_same_algebra(got, want):
    for tensor in ("structure_constants", "d_coefficients"):
        assert_same_tensor(getattr(got, tensor)(), getattr(want, tensor)())


@pytest.mark.parametrize("name", list(SPARSE_BASES))
def test_sparse_basis_gives_the_tensors_of_the_dense_one(name):
    basis = SPARSE_BASES[name]()
    sparse, dense = zenqa.Algebra(basis), zenqa.Algebra([m.toarray() for m in basis])
    assert (len(sparse), sparse.dim) == (len(dense), dense.dim)
    assert_same_algebra(sparse, dense)
    a = np.random.default_rng(1).normal(size=(3, len(basis)))
    np.testing.assert_allclose(sparse.bracket(a, a[::-1]), dense.bracket(a, a[::-1]), rtol=0, atol=1e-13)


@pytest.mark.parametrize("n", [3, 4])
def test_tfim_dla_closes_and_brackets_agree_with_matrices(n):
    basis = tfim_dla(n)
    assert len(basis) == n * (2 * n - 1)
    algebra = zenqa.Algebra(basis)
    dense = [m.toarray() for m in basis]
    t = algebra.structure_constants(dense=True)
    for i, j in [(0, 1), (0, n), (1, len(basis) - 1), (n, len(basis) - 2)]:
        np.testing.assert_allclose(
            np.tensordot(t[i, j], dense, 1), dense[i] @ dense[j] - dense[j] @ dense[i], atol=1e-12
        )


def numpy_tensors(basis):
    """[B_a, B_b] and {B_a, B_b} / 2 projected by NumPy's pseudo-inverse of the basis, and the
    squares' halves with I/d taken off first, as the dictionaries take them."""
    dense = np.array([m.toarray() for m in basis])
    n, d = len(dense), len(dense[0])
    pinv = np.linalg.pinv(dense.reshape(n, -1).T)
    ab = np.einsum("aij,bjk->abik", dense, dense).reshape(n, n, -1)
    ba = ab.transpose(1, 0, 2)
    squares = ab[range(n), range(n)] - np.eye(d).ravel() / (2 * d)
    return [np.einsum("kp,...p->...k", pinv, p) for p in (ab - ba, (ab + ba) / 2, squares)]


EVERY_WORD_3 = [(x, z) for x in range(8) for z in range(8) if x or z]


@pytest.mark.parametrize(
    "words",
    [
        tfim_dla_words(3),
        [EVERY_WORD_3[k] for k in np.random.default_rng(4).choice(63, 24, replace=False)],
        [(0, 0), (1, 0), (0, 1), (1, 1)],
    ],
    ids=["tfim-dla-3", "24-pauli-strings-3", "identity-and-pauli-strings"],
)
def test_pauli_strings_with_factors_expand_as_their_matrices(words):
    # Products outside a set of Pauli strings are orthogonal to it, and each
    # string carries a complex factor of its own. With the identity in the
    # basis, the dictionaries' I/d is no longer projected away.
    factors = np.random.default_rng(3).normal(size=(len(words), 2)) @ [1, 1j]
    assert_expands_as_numpy([pauli_word(w, 3) * factor for w, factor in zip(words, factors, strict=True)])


@pytest.mark.parametrize("d", [32, 40])
def test_pauli_sentences_expand_as_their_matrices(d):
    # Sums of two Pauli strings on 5 qubits: not monomial, their entries at
    # fewer than an eighth of the positions, and many terms of their products
    # at positions where no basis matrix has an entry, or outside the basis'
    # words. At d = 32 they are expanded in their words; embedded in d = 40,
    # which has none, in their entries. The second string's factor, down to
    # 1e-11 of the first, is rounded into the entries, and no word of it may
    # be taken for a remainder: scaled by 1e5, it moves coefficients far
    # above the negligible.
    rng = np.random.default_rng(8)
    words = [(int(x), int(z)) for x, z in zip(rng.choice([0, 5, 18], 24), rng.integers(32, size=24), strict=True)]
    pairs = zip(words[::2], words[1::2], strict=True)
    factors = rng.normal(size=12) * 10.0 ** -np.arange(12)
    basis = [1e5 * (pauli_word(a, 5) + f * pauli_word(b, 5)) for (a, b), f in zip(pairs, factors, strict=True)]
    assert_expands_as_numpy([embedded(m, d, range(32)) for m in basis])


@pytest.mark.parametrize("qubits", [4, 5, 6])
def test_sums_of_pauli_strings_of_a_closed_set_expand_as_their_matrices(qubits):
    # Sums of up to four of the words X^x Z^z with x in <a, b> and z in
    # <c, e>, for random a, b, c, e: a set closed under products, so that the
    # products of 12 sums, some of them dependent, fall largely in their span.
    # Small integer factors; every bit of x and z meets the sign of the word
    # products. (Fewer qubits give bases dense enough for the dense engine.)
    rng = np.random.default_rng(qubits)
    a, b, c, e = (int(v) for v in rng.integers(1, 1 << qubits, size=4))
    words = [(x, z) for x in (0, a, b, a ^ b) for z in (0, c, e, c ^ e)]
    basis = []
    while len(basis) < 12:
        chosen = rng.choice(len(words), size=rng.integers(1, 5), replace=False)
        factors = rng.integers(-3, 4, size=len(chosen))
        m = sum(int(f) * pauli_word(words[w], qubits) for w, f in zip(chosen, factors, strict=True))
        if abs(m).sum() != 0:
            basis.append(1e5 * m)
    assert_expands_as_numpy(basis)


def test_groups_of_rows_without_entries_between_groups_with_them():
    # The commuting Z strings on 5 qubits, then X_0 and Y_0: the structure
    # constants fill the first row and the last two, and the groups of rows
    # expanded between them hold none.
    basis = [pauli_word((0, z), 5) for z in range(1, 32)] + [pauli_word((1, 0), 5), pauli_word((1, 1), 5)]
    assert zenqa.Algebra(basis).structure_constants()[0][:, 0].tolist() == [0, 0, 31, 31, 32, 32]
    assert_expands_as_numpy(basis)


def assert_expands_as_numpy(basis):
    """Both tensors, and the dictionaries' squares, against numpy_tensors."""
    algebra = zenqa.Algebra(basis)
    d_dict = zenqa.get_d_coefficients([m.toarray() for m in basis])
    squares = [[d_dict.get((a, a, k), 0) for k in range(len(basis))] for a in range(len(basis))]
    for got, want in zip(
        (algebra.structure_constants(dense=True), algebra.d_coefficients(dense=True), squares),
        numpy_tensors(basis),
        strict=True,
    ):
        np.testing.assert_allclose(got, np.where(abs(want) > 1e-12, want, 0), rtol=0, atol=1e-13 * abs(want).max())


@pytest.mark.parametrize("form", FORMATS)
def test_every_format_reads_the_same_basis(form):
    basis = zenqa.gen_gellmann(4)
    algebra = zenqa.Algebra([getattr(sp, form)(m) for m in basis])
    assert_same_algebra(algebra, zenqa.Algebra(basis))
    for got, want in zip(algebra.basis, basis, strict=True):
        assert isinstance(got, sp.csr_array)
        np.testing.assert_array_equal(got.toarray(), want)


@pytest.mark.parametrize("element_type", ELEMENT_TYPES)
def test_every_element_type_that_becomes_complex(element_type):
    # Symmetric 0/1 matrices, which every element type holds exactly.
    d = 3
    basis = [
        np.eye(d)[[r]].T @ np.eye(d)[[c]] + np.eye(d)[[c]].T @ np.eye(d)[[r]] for r in range(d) for c in range(r, d)
    ]
    basis = [np.minimum(m, 1) for m in basis]
    algebra = zenqa.Algebra([sp.csr_array(m.astype(element_type)) for m in basis])
    assert_same_algebra(algebra, zenqa.Algebra(basis))
    assert all(m.dtype == np.complex128 for m in algebra.basis)


def test_duplicates_are_summed_and_zeros_left_out():
    # (0, 1) stored three times, summing to 3; (1, 0) twice, summing to zero; an explicit zero at (1, 1).
    coo = sp.coo_array(([1.0, 4.0, -2.0, 1.0, -1.0, 0.0], ([0, 0, 0, 1, 1, 1], [1, 1, 1, 0, 0, 1])), shape=(2, 2))
    unsorted = sp.csr_array(([2.0, 1.0, 3.0], [1, 0, 1], [0, 3, 3]), shape=(2, 2))
    algebra = zenqa.Algebra([coo, unsorted, sp.csr_array(np.diag([1.0, -1.0]))])
    want = [np.array([[0, 3], [0, 0]]), np.array([[1, 5], [0, 0]]), np.diag([1, -1])]
    assert_same_algebra(algebra, zenqa.Algebra(want))
    first = algebra.basis[0]
    assert first.nnz == 1 and first.has_canonical_format
    assert [m.nnz for m in algebra.basis] == [1, 2, 2]


def test_basis_goes_back_sparse_and_pickles_sparse():
    basis = tfim_dla(3)
    algebra = zenqa.Algebra(basis)
    assert isinstance(algebra.basis, list)
    for got, want in zip(algebra.basis, basis, strict=True):
        assert (got != want).nnz == 0
    copy = pickle.loads(pickle.dumps(algebra))
    assert all(isinstance(m, sp.csr_array) for m in copy.basis)
    assert_same_algebra(copy, algebra)
    # Fresh matrices on every access: changing one leaves the algebra as it was.
    algebra.basis[0].data[:] = 7
    assert (algebra.basis[0] != basis[0]).nnz == 0


def test_a_basis_mixing_forms_counts_as_sparse():
    dense = zenqa.gen_sylvester(3)
    algebra = zenqa.Algebra([dense[0], sp.csr_array(dense[1]), *dense[2:]])
    assert all(isinstance(m, sp.csr_array) for m in algebra.basis)
    assert_same_algebra(algebra, zenqa.Algebra(dense))


@pytest.mark.parametrize("name", ["gellmann-6", "sheared-gellmann-4", "pauli-3", "tfim-dla-4"])
def test_coefficients_of_sparse_and_dense_matrices_agree(name):
    basis = SPARSE_BASES[name]()
    algebra = zenqa.Algebra(basis)
    d = algebra.dim
    m = np.random.default_rng(2).normal(size=(d, d)) + 1j * np.eye(d)
    m[0] = 0
    for form in ("csr_array", "coo_matrix"):
        got = algebra.coefficients(getattr(sp, form)(m))
        assert got.shape == (len(basis),)
        np.testing.assert_allclose(got, algebra.coefficients(m), rtol=0, atol=1e-13)
    m[1, 2] = np.nan  # propagates as it does from a dense matrix
    np.testing.assert_array_equal(np.isnan(algebra.coefficients(sp.csr_array(m))), np.isnan(algebra.coefficients(m)))
    with pytest.raises(ValueError, match=rf"m has shape \(2, 2\) but the algebra's matrices are {d} x {d}"):
        algebra.coefficients(sp.csr_array(np.eye(2)))
    # A sequence of sparse matrices is a batch, like a stack of dense ones.
    batch = np.stack([m, m.T, np.eye(d)])
    got = algebra.coefficients([sp.csr_array(x) for x in batch])
    np.testing.assert_allclose(got, algebra.coefficients(batch), rtol=0, atol=1e-13)
    with pytest.raises(ValueError, match=r"m\[1\] has shape \(2, 2\)"):
        algebra.coefficients((sp.csr_array(m), sp.csr_array(np.eye(2))))
    with pytest.raises(TypeError, match="m mixes scipy.sparse matrices with other items"):
        algebra.coefficients([sp.csr_array(m), m])


def test_dynamics_take_sparse_operators_as_their_dense_forms():
    algebra = zenqa.Algebra(SPARSE_BASES["gellmann-3"]())
    rng = np.random.default_rng(4)
    hamiltonian, jumps = rng.normal(size=(3, 3)), rng.normal(size=(2, 3, 3)) + 1j * rng.normal(size=(2, 3, 3))
    hamiltonian += hamiltonian.T
    a, b = algebra.lindblad(hamiltonian, jumps)
    superoperator = algebra.to_liouvillian(a, b)
    for got, want in [
        (algebra.lindblad(sp.csr_array(hamiltonian), [sp.coo_matrix(j) for j in jumps]), (a, b)),
        (algebra.from_liouvillian(sp.csc_array(superoperator)), algebra.from_liouvillian(superoperator)),
        (algebra.lindblad_terms(sp.csr_array(a), b), algebra.lindblad_terms(a, b)),
    ]:
        assert all(np.array_equal(x, y) for x, y in zip(got, want, strict=True))
    with pytest.raises(ValueError, match=r"hamiltonian has shape \(4, 4\) but must have shape \(3, 3\)"):
        algebra.lindblad(sp.csr_array((4, 4)))
    with pytest.raises(ValueError, match=r"jump_operators has shape \(3, 3\) but must be a sequence of 3 x 3"):
        algebra.lindblad(hamiltonian, sp.csr_array(jumps[0]))
    # Refused by their dtype as dense arrays are, before their dense forms are made.
    text = sp.csr_array((np.array(["1", "2"], dtype=object), [0, 1], [0, 1, 2, 2]), shape=(3, 3))
    with pytest.raises(TypeError, match="jump_operators.1. has dtype object, which does not cast safely"):
        algebra.lindblad(hamiltonian, [jumps[0], text])


@pytest.mark.parametrize("form", ["csr_array", "coo_matrix", "dia_array"])
def test_coefficient_batches_may_be_sparse(form):
    algebra = zenqa.Algebra(zenqa.gen_gellmann(3))
    rng = np.random.default_rng(5)
    a, b = rng.normal(size=(4, 8)), rng.normal(size=(4, 8)) + 1j * rng.normal(size=(4, 8))
    sparse = getattr(sp, form)
    for method, args in [("bracket", (a, b)), ("anticommutator", (a, b)), ("adjoint", (a,)), ("matrix", (b,))]:
        got = getattr(algebra, method)(*map(sparse, args))
        np.testing.assert_array_equal(got, getattr(algebra, method)(*args))
    # Refused by dtype, shape and size before their dense forms are made.
    with pytest.raises(TypeError, match="b has dtype complex256, which does not cast safely"):
        algebra.bracket(a, sparse(b.astype(np.clongdouble)))
    with pytest.raises(ValueError, match=r"a has shape \(1000000000, 7\) but the algebra has 8 elements"):
        algebra.bracket(sp.coo_array((10**9, 7)), b)
    with pytest.raises(MemoryError, match="the dense form of a needs"):
        algebra.bracket(sp.coo_array((2**60, 8)), b)


def test_matrix_stays_dense_and_too_large_is_refused():
    algebra = zenqa.Algebra(tfim_dla(3))
    a = np.eye(len(algebra))[:2]
    np.testing.assert_array_equal(algebra.matrix(a), [m.toarray() for m in algebra.basis[:2]])
    with pytest.raises(MemoryError):
        algebra.matrix(np.broadcast_to(np.ones(len(algebra)), (1 << 40, len(algebra))))


def nan_at(m, entry, value):
    m = sp.lil_array(m.astype(complex))
    m[entry] = value
    return sp.csr_array(m)


@pytest.mark.parametrize(
    ("basis", "error", "message"),
    [
        (
            [sp.csr_array(np.eye(3)), sp.csr_array(np.eye(4))],
            ValueError,
            r"basis\[1\] has shape \(4, 4\) but basis\[0\]",
        ),
        ([np.eye(3), sp.csr_array(np.eye(2))], ValueError, r"basis\[1\] has shape \(2, 2\) but basis\[0\]"),
        ([sp.csr_array(np.eye(2)), np.eye(3)], ValueError, r"basis\[1\] has shape \(3, 3\) but basis\[0\]"),
        ([sp.csr_array(np.ones((2, 3)))], ValueError, r"basis\[0\] has shape \(2, 3\) but must be a d x d matrix"),
        ([sp.csr_array((0, 0))], ValueError, r"basis\[0\] has shape \(0, 0\) but must be a d x d matrix, d >= 1"),
        ([np.eye(2), nan_at(np.eye(2), (0, 1), np.nan)], ValueError, r"basis matrix 1 holds NaN at \(0, 1\)"),
        ([nan_at(np.eye(2), (1, 0), -np.inf)], ValueError, r"basis matrix 0 holds .*inf.* at \(1, 0\)"),
        ([nan_at(np.eye(2), (1, 1), 1j * np.inf)], ValueError, r"basis matrix 0 holds .* at \(1, 1\)"),
        ([sp.csr_array(np.eye(2, dtype=np.clongdouble))], TypeError, r"basis\[0\] has dtype complex256, which does"),
        ([], ValueError, "basis is empty"),
        (sp.csr_array(np.eye(2)), TypeError, "basis must be a sequence of d x d matrices .* not csr_array"),
    ],
)
def test_bad_sparse_input_is_refused_naming_the_matrix(basis, error, message):
    with pytest.raises(error, match=message):
        zenqa.Algebra(basis)


def test_overflowing_duplicates_are_refused():
    big = sp.coo_array(([1e308, 1e308], ([0, 0], [1, 1])), shape=(2, 2))
    with pytest.raises(ValueError, match=r"basis matrix 0 holds .*inf.* at \(0, 1\)"):
        zenqa.Algebra([big])


def malformed(change):
    m = sp.csr_array(np.eye(3) + np.eye(3, k=1))
    change(m)
    return m


@pytest.mark.parametrize(
    ("change", "message"),
    [
        (lambda m: m.indices.__setitem__(0, 3), "a column index is out of range"),
        (lambda m: m.indices.__setitem__(1, -1), "a column index is out of range"),
        (lambda m: setattr(m, "indptr", np.array([0, 4, 2, 5])), "indptr is not increasing"),
        (
            lambda m: setattr(m, "indptr", np.array([0, 2, 4, 9])),
            "indptr reaches entry 9 but data holds 5 entries and indices 5",
        ),
        (lambda m: setattr(m, "indptr", np.array([1, 2, 4, 5])), "indptr does not start at 0"),
        (lambda m: setattr(m, "indptr", np.array([0, 5])), "indptr has 2 entries for 3 rows"),
        (lambda m: setattr(m, "data", m.data[:2]), "indptr reaches entry 4 but data holds 2 entries and indices 5"),
    ],
)
def test_malformed_csr_is_refused_without_reading_past_it(change, message):
    with pytest.raises(ValueError, match=r"basis\[1\] is not a valid CSR matrix: " + message):
        zenqa.Algebra([sp.csr_array(np.eye(3)), malformed(change)])


def test_zenqa_runs_without_importing_scipy():
    code = "import sys, zenqa; zenqa.Algebra(zenqa.gen_gellmann(3)); print('scipy' in sys.modules)"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert out.strip() == "False"


def test_dense_forms_read_as_before_once_scipy_is_loaded():
    basis = zenqa.gen_sylvester(3)
    want = zenqa.Algebra(basis)
    for form in (tuple(tuple(map(tuple, m.tolist())) for m in basis), [m.tolist() for m in basis], np.array(basis)):
        algebra = zenqa.Algebra(form)
        assert isinstance(algebra.basis, np.ndarray)
        assert_same_algebra(algebra, want)


# Pauli strings on 4 qubits and the Gell-Mann matrices of d = 16 (255 each) are
# expanded in several waves of row groups, whose parts of the tensors join in order.
THREADED = {
    "pauli-3": SPARSE_BASES["pauli-3"],
    "pauli-4": lambda: as_sparse(pauli_strings(4)),
    "tfim-dla-6": lambda: tfim_dla(6),
    "sylvester-8": lambda: as_sparse(zenqa.gen_sylvester(8)),
    "gellmann-16": lambda: as_sparse(zenqa.gen_gellmann(16)),
    "gellmann-24-dense": lambda: zenqa.gen_gellmann(24),  # a list, scanned in as many parts as threads
    # 64 patterns of d = 1024: which pairs of them meet the basis is found over the threads.
    "dihedral-1024": lambda: dihedral_basis(512, 64, seed=9),
    "ising-sentences-6": lambda: as_sparse(ising_sentences(6)),
}


@pytest.mark.parametrize("name", list(THREADED))
def test_same_bits_on_every_thread_count(monkeypatch, name):
    basis = THREADED[name]()
    results = set()
    for threads in ("1", "2", "3"):
        monkeypatch.setenv("OPENBLAS_NUM_THREADS", threads)
        algebra = zenqa.Algebra(basis)
        results.add(tuple(a.tobytes() for t in (algebra.structure_constants(), algebra.d_coefficients()) for a in t))
    assert len(results) == 1


@pytest.mark.parametrize(
    "make",
    [
        # 8 million stored entries per tensor: their blocks of memory are remapped
        # many times as they grow, past the size backed by huge pages.
        lambda: [pauli_word((x, z), 6) for x in range(64) for z in range(64) if x or z],
        # Products in the two orders with different patterns, most outside the basis.
        lambda: dihedral_basis(512, 64, seed=9),
    ],
    ids=["every-pauli-string-6", "dihedral-1024"],
)
def test_large_monomial_basis_brackets_as_its_matrices(make):
    basis = make()
    algebra = zenqa.Algebra(basis)
    a, b = np.random.default_rng(7).normal(size=(2, len(basis)))
    x, y = algebra.matrix(a), algebra.matrix(b)
    for got, product in [(algebra.bracket(a, b), x @ y - y @ x), (algebra.anticommutator(a, b), x @ y + y @ x)]:
        want = algebra.coefficients(product)
        np.testing.assert_allclose(got, want, rtol=0, atol=1e-12 * np.abs(want).max())


def test_large_monomial_basis_needs_no_table_of_positions():
    # d*d = 2**30 positions: a table of them, or a dense matrix, would not fit.
    d = 1 << 15
    characters = [sp.diags_array(np.exp(2j * np.pi * k * np.arange(d) / d)).tocsr() for k in (1, 2, 3)]
    algebra = zenqa.Algebra(characters)
    assert len(algebra.structure_constants()[1]) == 0  # diagonal matrices commute
    index, value = algebra.d_coefficients()
    # {D_1, D_1} = 2 D_2 and {D_1, D_2} = 2 D_3, halved.
    assert index.tolist() == [[0, 0, 1], [0, 1, 2], [1, 0, 2]]
    np.testing.assert_allclose(value, 1, rtol=0, atol=1e-12)


def embedded(m, d, at):
    """The small matrix m at the rows and columns `at` of a d x d sparse matrix."""
    m, at = sp.coo_array(m), np.asarray(at)
    return sp.csr_array((m.data, (at[m.row], at[m.col])), shape=(d, d))


def test_large_sparse_basis_that_is_not_monomial_costs_its_entries_not_d_squared():
    # 65535**2 positions: a table of them, or a dense matrix, would not fit.
    d, at = 65535, [0, 40000, 65534]
    small = sheared(zenqa.gen_gellmann(3))
    large = zenqa.Algebra([embedded(m, d, at) for m in small])
    assert_same_algebra(large, zenqa.Algebra(small))
    m = np.random.default_rng(4).normal(size=(3, 3))
    want = zenqa.Algebra(small).coefficients(m)
    np.testing.assert_allclose(large.coefficients(embedded(m, d, at)), want, rtol=0, atol=1e-14)


@pytest.mark.parametrize("name", ["gellmann-3", "sheared-gellmann-4", "rotated-gellmann-3"])
def test_rows_and_columns_left_empty_change_no_bit(name):
    # Spread over d = 8, the entries fill enough positions to be found by
    # marking a table of them all; over d = 200 they are sorted and looked up
    # by hash instead.
    small = [m.toarray() for m in SPARSE_BASES[name]()]
    m = np.random.default_rng(2).normal(size=small[0].shape)
    results = []
    for d in (8, 200):
        at = np.linspace(0, d - 1, len(m)).astype(int)
        algebra = zenqa.Algebra([embedded(b, d, at) for b in small])
        tensors = [a for tensor in (algebra.structure_constants(), algebra.d_coefficients()) for a in tensor]
        results.append([*tensors, algebra.coefficients(embedded(m, d, at))])
    for got, want in zip(*results, strict=True):
        np.testing.assert_array_equal(got, want)


def test_large_block_that_is_not_orthogonal_gets_the_least_squares_solution():
    # One block of 1500 diagonal positions and three matrices that are not orthogonal.
    d = 1500
    rng = np.random.default_rng(6)
    diagonals = rng.normal(size=(3, d)) + 1j * rng.normal(size=(3, d))
    algebra = zenqa.Algebra([sp.diags_array(v).tocsr() for v in diagonals])
    pinv = np.linalg.pinv(diagonals.T)
    products = diagonals[:, None] * diagonals[None, :]  # {D_a, D_b} / 2, diagonal
    want = np.einsum("kp,abp->abk", pinv, products)
    got = algebra.d_coefficients(dense=True)
    np.testing.assert_allclose(got, np.where(abs(want) > 1e-8, want, 0), rtol=0, atol=1e-10 * abs(want).max())
    m = np.diag(diagonals[0] - 2j * diagonals[2])
    np.testing.assert_allclose(algebra.coefficients(sp.csr_array(m)), [1, 0, -2j], atol=1e-10)


def z_signs(z, qubits=3):
    """The diagonal of the Pauli string Z^z."""
    return np.array([(-1) ** bin(c & z).count("1") for c in range(1 << qubits)])


@pytest.mark.parametrize("weight", [1e-7, 1j, 0.5])
def test_product_near_one_matrix_of_an_orthogonal_group_keeps_every_coefficient(weight):
    # The diagonal Pauli strings on three qubits, X on the first and
    # X (Z_2 + weight Z_1): their anticommutator is 2 (Z_2 + weight Z_1), a
    # combination of two diagonal strings, with 1e-7 close to a multiple of one.
    x = np.kron([[0, 1], [1, 0]], np.eye(4))
    basis = [np.diag(z_signs(z)) for z in range(1, 8)] + [x, x @ np.diag(z_signs(2) + weight * z_signs(1))]
    basis = [m.astype(complex) for m in basis]
    products = np.array([[(a @ b + b @ a).ravel() / 2 for b in basis] for a in basis])
    want = np.einsum("kp,ijp->ijk", np.linalg.pinv(np.array([m.ravel() for m in basis]).T), products)
    got = zenqa.Algebra(basis).d_coefficients(dense=True)
    pairs = ~np.eye(len(basis), dtype=bool)  # a square also takes off I/d
    np.testing.assert_allclose(got[pairs], np.where(abs(want) > 1e-8, want, 0)[pairs], rtol=0, atol=1e-14)
    np.testing.assert_allclose(got[-2, -1, [1, 0]], [1, weight], rtol=0, atol=1e-14)


def test_ctrl_c_stops_sorting_out_the_groups_of_a_monomial_basis():
    # 1500 cyclic shifts by distinct amounts whose sums mostly fall outside the
    # set: telling which pairs of them meet the basis takes d per pair.
    d = 2048
    shifts = np.random.default_rng(7).choice(np.arange(1, d), size=1500, replace=False)
    c = np.arange(d)
    basis = [sp.csr_array((np.ones(d), ((c + s) % d, c)), shape=(d, d)) for s in shifts]
    assert seconds_to_interrupt(lambda: zenqa.Algebra(basis), delay=0.3) < 1.5


@pytest.mark.parametrize("make", [lambda: as_sparse(ising_sentences(5)), lambda: tfim_dla(5)], ids=["sums", "strings"])
def test_first_projections_on_several_threads_agree(make):
    # Sums of Pauli strings form their products in words, and Pauli strings in
    # closed form; both leave the projector of their entries to the first call
    # that needs it, and calls racing to it wait for it.
    basis = make()
    m = np.random.default_rng(6).normal(size=(40, 32, 32))
    want = zenqa.Algebra(basis).coefficients(m)
    algebra, start = zenqa.Algebra(basis), threading.Barrier(4)

    def first_call(_):
        start.wait()
        return algebra.coefficients(m)

    with ThreadPoolExecutor(4) as pool:
        results = list(pool.map(first_call, range(4)))
    assert all(np.array_equal(got, want) for got in results)
