"""Open-system dynamics on coherence vectors, against superoperators built here with np.kron."""

from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

import zenqa
from conftest import random_unitary, rotated

SIGMA_Z = np.diag([1.0, -1.0]).astype(complex)
SIGMA_MINUS = np.array([[0, 0], [1, 0]], complex)  # |1><0|, |0> the excited state


def random_matrix(rng, *shape):
    return rng.normal(size=shape) + 1j * rng.normal(size=shape)


def random_hermitian(rng, d):
    x = random_matrix(rng, d, d)
    return x + x.conj().T


def mixed(basis, seed):
    """An invertible random mix of the matrices: a non-orthogonal basis of the same span."""
    rng = np.random.default_rng(seed)
    mix = np.eye(len(basis)) + 0.3 * rng.normal(size=(len(basis), len(basis)))
    return np.einsum("ij,jkl->ikl", mix, np.array(basis))


def mixed_off_diagonal(d, seed):
    """Gell-Mann with only its off-diagonal matrices mixed, unitarily: dense, but projected in two blocks."""
    basis = np.array(zenqa.gen_gellmann(d))
    off = [k for k, m in enumerate(basis) if not np.diagonal(m).any()]
    basis[off] = np.einsum("ij,jkl->ikl", random_unitary(len(off), seed), basis[off])
    return basis


BASES = {
    "gellmann-2": zenqa.gen_gellmann(2),
    "gellmann-3": zenqa.gen_gellmann(3),
    "gellmann-4": zenqa.gen_gellmann(4),
    "gellmann-6": zenqa.gen_gellmann(6),  # more than one chunk of work
    "sylvester-3": zenqa.gen_sylvester(3),
    "rotated-3": rotated(zenqa.gen_gellmann(3), seed=5),
    "rotated-6": rotated(zenqa.gen_gellmann(6), seed=7),  # dense: matrix products, more than one chunk of them
    "non-orthogonal-3": mixed(zenqa.gen_gellmann(3), seed=6),
    "two-blocks-4": mixed_off_diagonal(4, seed=8),
    "hermitian-3": [-1j * m for m in zenqa.gen_gellmann(3)],  # the lambda themselves
    "mixed-adjoints-3": [m * 1j**k for k, m in enumerate(zenqa.gen_gellmann(3))],  # some Hermitian, some anti-Hermitian
    # Dense, several pieces of every product.
    "dense-mixed-adjoints-9": [m * 1j**k for k, m in enumerate(rotated(zenqa.gen_gellmann(9), seed=9))],
}
# Spans holding more than the traceless matrices: only the generator and the
# superoperators are defined on them.
OVERCOMPLETE = {
    "gellmann-3-with-identity": [*zenqa.gen_gellmann(3), np.eye(3)],
    "sylvester-3-twice": [*zenqa.gen_sylvester(3), *zenqa.gen_sylvester(3)],
    "gellmann-and-sylvester-3": zenqa.gen_gellmann(3) + zenqa.gen_sylvester(3),
}


@pytest.fixture(params=list(BASES), scope="module")
def algebra(request):
    return zenqa.Algebra(BASES[request.param])


@pytest.fixture(params=list(BASES) + list(OVERCOMPLETE), scope="module")
def spanning_algebra(request):
    return zenqa.Algebra({**BASES, **OVERCOMPLETE}[request.param])


def lindblad_map(rho, hamiltonian, jumps, rates):
    """The right-hand side of the Lindblad equation, in matrix arithmetic."""
    out = -1j * (hamiltonian @ rho - rho @ hamiltonian)
    for jump, rate in zip(jumps, rates, strict=True):
        decay = jump.conj().T @ jump
        out += rate * (jump @ rho @ jump.conj().T - 0.5 * (decay @ rho + rho @ decay))
    return out


def column_stacked_superoperator(hamiltonian, jumps, rates):
    """The Liouvillian on the column-stacked vec: vec(X rho Y) = (Y^T kron X) vec(rho)."""
    eye = np.eye(len(hamiltonian))
    out = -1j * (np.kron(eye, hamiltonian) - np.kron(hamiltonian.T, eye))
    for jump, rate in zip(jumps, rates, strict=True):
        decay = jump.conj().T @ jump
        out += rate * (np.kron(jump.conj(), jump) - 0.5 * np.kron(eye, decay) - 0.5 * np.kron(decay.T, eye))
    return out


def column_vec(matrix):
    return matrix.reshape(-1, order="F")


def random_equation(d, m, seed, traceless=False):
    rng = np.random.default_rng(seed)
    jumps = random_matrix(rng, m, d, d)
    if traceless:
        jumps -= np.einsum("mii->m", jumps)[:, None, None] * np.eye(d) / d
    return random_hermitian(rng, d), jumps, rng.uniform(0.2, 2.0, size=m)


def random_density_matrix(d, seed):
    x = random_matrix(np.random.default_rng(seed), d, d)
    rho = x @ x.conj().T
    return rho / np.trace(rho)


def lstsq_coefficients(basis, matrices):
    columns = np.array(basis).reshape(len(basis), -1).T
    return np.linalg.lstsq(columns, np.array(matrices).reshape(len(matrices), -1).T, rcond=None)[0]


def test_generator_holds_the_coefficients_of_the_images(spanning_algebra):
    d, basis = spanning_algebra.dim, spanning_algebra.basis
    hamiltonian, jumps, rates = random_equation(d, 3, seed=1)
    a, b = spanning_algebra.lindblad(hamiltonian, jumps, rates)
    assert a.dtype == b.dtype == np.complex128 and a.shape == (len(basis),) * 2 and b.shape == (len(basis),)
    images = [lindblad_map(m, hamiltonian, jumps, rates) for m in [*basis, np.eye(d) / d]]
    want = lstsq_coefficients(basis, images)
    np.testing.assert_allclose(a, want[:, :-1], atol=1e-11)
    np.testing.assert_allclose(b, want[:, -1], atol=1e-11)
    # dx/dt = A x + b reproduces d rho/dt for the coherence vector of rho.
    rho = random_density_matrix(d, seed=2)
    x = spanning_algebra.coefficients(rho - np.eye(d) / d)
    np.testing.assert_allclose(
        spanning_algebra.matrix(a @ x + b), lindblad_map(rho, hamiltonian, jumps, rates), atol=1e-11
    )


@pytest.mark.parametrize("name", ["gellmann-4", "rotated-3", "sylvester-3"])
def test_jump_operators_in_every_form_and_default_rates(name):
    algebra = zenqa.Algebra(BASES[name])
    hamiltonian, jumps, _ = random_equation(algebra.dim, 2, seed=3)
    want = algebra.lindblad(hamiltonian, jumps, [1.0, 1.0])
    for form in (list(jumps), tuple(jumps), jumps):
        for got, expected in zip(algebra.lindblad(hamiltonian, form), want, strict=True):
            assert np.array_equal(got, expected)
    a, b = algebra.lindblad(hamiltonian)
    np.testing.assert_allclose(a, algebra.lindblad(hamiltonian, np.zeros((1, algebra.dim, algebra.dim)))[0])
    assert np.array_equal(b, np.zeros(len(algebra)))
    assert np.array_equal(algebra.lindblad(hamiltonian, [], [])[0], a)


@pytest.mark.parametrize(
    "name, b_part",
    [("gellmann-3", "imag"), ("rotated-3", "imag"), ("non-orthogonal-3", "imag"), ("hermitian-3", "real")],
)
def test_hermitian_or_anti_hermitian_basis_gives_a_real_generator(name, b_part):
    algebra = zenqa.Algebra(BASES[name])
    a, b = algebra.lindblad(*random_equation(3, 2, seed=4))
    # rho = I/d + sum x_k B_k is Hermitian for real x when the B_k are Hermitian,
    # for imaginary x when they are anti-Hermitian (B_k = i lambda_k): A maps either to itself.
    assert np.abs(a.imag).max() < 1e-12 * np.abs(a).max()
    assert np.abs(getattr(b, {"real": "imag", "imag": "real"}[b_part])).max() < 1e-12 * np.abs(b).max()


def test_qubit_bloch_equations():
    omega, gamma, dephasing = 1.3, 0.4, 0.15
    algebra = zenqa.Algebra(zenqa.gen_gellmann(2))  # i sigma_z, i sigma_y, i sigma_x
    jumps = [np.sqrt(gamma) * SIGMA_MINUS, np.sqrt(dephasing) * SIGMA_Z]
    a, b = algebra.lindblad(omega / 2 * SIGMA_Z, jumps)
    coherence = -(gamma / 2 + 2 * dephasing)
    want = np.sort_complex([-gamma, complex(coherence, omega), complex(coherence, -omega)])
    np.testing.assert_allclose(np.sort_complex(np.linalg.eigvals(a)), want, atol=1e-12)
    steady = np.linalg.solve(a, -b)
    np.testing.assert_allclose(np.eye(2) / 2 + algebra.matrix(steady), np.diag([0, 1]), atol=1e-12)
    # The textbook Bloch vector (z, y, x) = 2i x: dr/dt = A r + 2i b.
    # dr_z/dt = -gamma (r_z + 1): the population decays to the ground state, r_z = -1.
    np.testing.assert_allclose(2j * b, [-gamma, 0, 0], atol=1e-14)
    np.testing.assert_allclose(a[0], [-gamma, 0, 0], atol=1e-14)


def test_superoperator_round_trip_against_kron(spanning_algebra):
    d = spanning_algebra.dim
    equation = random_equation(d, 2, seed=8)
    superoperator = column_stacked_superoperator(*equation)
    a, b = spanning_algebra.lindblad(*equation)
    np.testing.assert_allclose(spanning_algebra.to_liouvillian(a, b), superoperator, atol=1e-10)
    a_back, b_back = spanning_algebra.from_liouvillian(superoperator)
    rho = random_density_matrix(d, seed=9)
    x = spanning_algebra.coefficients(rho - np.eye(d) / d)
    # The same dynamics; on overcomplete bases A itself is not unique.
    rate = column_vec(spanning_algebra.matrix(a_back @ x + b_back))
    np.testing.assert_allclose(rate, superoperator @ column_vec(rho), atol=1e-10)
    if spanning_algebra.basis.shape[0] == d * d - 1:
        np.testing.assert_allclose(a_back, a, atol=1e-10)
        np.testing.assert_allclose(b_back, b, atol=1e-10)


def test_terms_of_traceless_jumps_are_their_outer_products(algebra):
    d = algebra.dim
    hamiltonian, jumps, rates = random_equation(d, 3, seed=10, traceless=True)
    terms_h, kossakowski = algebra.lindblad_terms(*algebra.lindblad(hamiltonian, jumps, rates))
    coefficients = algebra.coefficients(jumps)
    want = np.einsum("m,mi,mj->ij", rates, coefficients, coefficients.conj())
    np.testing.assert_allclose(kossakowski, want, atol=1e-9 * np.abs(want).max())
    np.testing.assert_allclose(terms_h, hamiltonian - np.trace(hamiltonian) / d * np.eye(d), atol=1e-9)
    assert np.array_equal(kossakowski, kossakowski.conj().T)
    assert np.array_equal(terms_h, terms_h.conj().T)


def test_terms_round_trip_with_trace_parts_moved_into_the_hamiltonian(algebra):
    d = algebra.dim
    hamiltonian, jumps, rates = random_equation(d, 2, seed=11)
    rates[1] = -0.3
    a, b = algebra.lindblad(hamiltonian, jumps, rates)
    terms_h, kossakowski = algebra.lindblad_terms(a, b)
    assert abs(np.trace(terms_h)) < 1e-12
    # Back through jump operators from the eigenvectors of C.
    weights, vectors = np.linalg.eigh(kossakowski)
    a_back, b_back = algebra.lindblad(terms_h, algebra.matrix(vectors.T), weights)
    np.testing.assert_allclose(a_back, a, atol=1e-9 * np.abs(a).max())
    np.testing.assert_allclose(b_back, b, atol=1e-9 * np.abs(a).max())


@pytest.mark.parametrize("d", [4, 9])
@pytest.mark.parametrize("phased", [False, True], ids=["real-route", "complex-route"])
def test_terms_stay_accurate_on_a_basis_far_from_orthogonal(d, phased):
    basis = mixed(zenqa.gen_gellmann(d), seed=22)  # condition number 427 at d = 4
    if phased:  # no matrix Hermitian or anti-Hermitian: complex products, in three real ones each
        basis = basis * np.exp(1j * np.random.default_rng(d).uniform(0.1, 1.4, len(basis)))[:, None, None]
    algebra = zenqa.Algebra(basis)
    hamiltonian, jumps, rates = random_equation(d, 3, seed=11)
    terms_h, kossakowski = algebra.lindblad_terms(*algebra.lindblad(hamiltonian, jumps, rates))
    weights, vectors = np.linalg.eigh(kossakowski)
    want = column_stacked_superoperator(hamiltonian, jumps, rates)
    got = column_stacked_superoperator(terms_h, algebra.matrix(vectors.T), weights)
    # Within a few hundred roundings times the condition number, not its square.
    np.testing.assert_allclose(got, want, rtol=0, atol=1e-11 * np.abs(want).max())


@pytest.mark.parametrize("d", [3, 9])
def test_real_and_complex_routes_give_the_same_terms(d):
    # Phases that leave no matrix Hermitian or anti-Hermitian send the same
    # dense basis down the complex route; they scale C by a congruence.
    basis = np.array(rotated(zenqa.gen_gellmann(d), seed=d))
    phases = np.exp(1j * np.random.default_rng(d).uniform(0.1, 1.4, len(basis)))
    equation = random_equation(d, 3, seed=d)
    real = zenqa.Algebra(basis)
    real_h, real_c = real.lindblad_terms(*real.lindblad(*equation))
    phased = zenqa.Algebra(basis * phases[:, None, None])
    complex_h, complex_c = phased.lindblad_terms(*phased.lindblad(*equation))
    np.testing.assert_allclose(complex_h, real_h, atol=1e-12 * np.abs(real_h).max())
    want = real_c / np.outer(phases, phases.conj())
    np.testing.assert_allclose(complex_c, want, atol=1e-12 * np.abs(want).max())


def test_complete_positivity_found_and_refuted(algebra):
    d = algebra.dim
    hamiltonian, jumps, rates = random_equation(d, 3, seed=12)
    _, kossakowski = algebra.lindblad_terms(*algebra.lindblad(hamiltonian, jumps, rates))
    assert np.linalg.eigvalsh(kossakowski).min() > -1e-10
    rates[0] = -0.5
    _, kossakowski = algebra.lindblad_terms(*algebra.lindblad(hamiltonian, jumps, rates))
    assert np.linalg.eigvalsh(kossakowski).min() < -1e-3


@pytest.mark.parametrize("relaxation, completely_positive", [((1.0, 1.0, 1.5), True), ((1.0, 1.0, 3.0), False)])
def test_qubit_triangle_condition(relaxation, completely_positive):
    # Bloch components (x, y, z) relaxing at these rates: a Pauli channel with
    # gamma_k = (G_i + G_j - G_k) / 4, completely positive iff the G obey the triangle.
    algebra = zenqa.Algebra(zenqa.gen_gellmann(2))
    g_x, g_y, g_z = relaxation
    a = -np.diag([g_z, g_y, g_x]).astype(complex)
    hamiltonian, kossakowski = algebra.lindblad_terms(a, np.zeros(3))
    pauli = [(g_x + g_y - g_z) / 4, (g_x + g_z - g_y) / 4, (g_y + g_z - g_x) / 4]  # z, y, x
    np.testing.assert_allclose(kossakowski, np.diag(pauli), atol=1e-14)
    np.testing.assert_allclose(hamiltonian, 0, atol=1e-15)
    assert (np.linalg.eigvalsh(kossakowski).min() >= 0) == completely_positive


def hermitian_part(superoperator):
    """(S + S')/2 on the column-stacked vec, where S' maps X to S(X^H)^H."""
    d = round(len(superoperator) ** 0.5)
    transposed = np.arange(d * d).reshape(d, d).T.reshape(-1)  # vec(X^T)[i] = vec(X)[transposed[i]]
    return (superoperator + superoperator[transposed][:, transposed].conj()) / 2


# Breaking Hermiticity by 1e-11 of A stays within a bound that spares forming
# the whole Choi matrix R; by 3e-10, R itself shows it within the tolerance.
@pytest.mark.parametrize("size", [1e-11, 3e-10])
def test_terms_are_those_of_the_generators_hermitian_part(algebra, size):
    n = len(algebra.basis)
    a, b = algebra.lindblad(*random_equation(algebra.dim, 2, seed=18))
    rng = np.random.default_rng(19)
    scale = size * np.abs(a).max()
    a, b = a + scale * random_matrix(rng, n, n), b + scale * random_matrix(rng, n)
    hermitian = algebra.from_liouvillian(hermitian_part(algebra.to_liouvillian(a, b)))
    for got, want in zip(algebra.lindblad_terms(a, b), algebra.lindblad_terms(*hermitian), strict=True):
        np.testing.assert_allclose(got, want, rtol=0, atol=1e-13 * np.abs(want).max())


def test_generator_that_breaks_hermiticity_has_no_terms():
    algebra = zenqa.Algebra(zenqa.gen_gellmann(3))
    a, b = algebra.lindblad(*random_equation(3, 2, seed=13))
    algebra.lindblad_terms(a + 1e-12j, b)  # rounding passes
    # The Gell-Mann basis is anti-Hermitian: A and the L(I/d) term's i b are real.
    for broken in [(a + 0.01j, b), (a, b + 0.01)]:
        with pytest.raises(ValueError, match=r"does not preserve Hermiticity.* deviates from Hermitian by 0\.0[0-9]"):
            algebra.lindblad_terms(*broken)


@pytest.mark.parametrize("scale", [1e-170, 1e200])
@pytest.mark.parametrize("name", ["gellmann-3", "rotated-3", "phased-3"])
def test_refusals_hold_far_from_unit_scale(name, scale):
    # Squared entries this far from 1 leave the doubles; a deviation measured by
    # them read 0 or infinity, and let everything pass.
    basis = [m * np.exp(0.3j * k) for k, m in enumerate(zenqa.gen_gellmann(3))] if name == "phased-3" else BASES[name]
    algebra = zenqa.Algebra(basis)
    hamiltonian, jumps, rates = random_equation(3, 2, seed=14)
    a, b = algebra.lindblad(hamiltonian, jumps, rates)
    with pytest.raises(ValueError, match="hamiltonian of shape .* is not Hermitian"):
        algebra.lindblad(scale * (hamiltonian + 0.01j * np.eye(3)))
    # X -> i X on the traceless matrices breaks Hermiticity in any basis.
    with pytest.raises(ValueError, match="does not preserve Hermiticity"):
        algebra.lindblad_terms(scale * (a + 0.01j * np.eye(len(a))), scale * b)
    superoperator = algebra.to_liouvillian(a, b)
    superoperator[0, 0] += 0.01
    with pytest.raises(ValueError, match="does not preserve the trace"):
        algebra.from_liouvillian(scale * superoperator)
    for got, want in zip(algebra.lindblad_terms(scale * a, scale * b), algebra.lindblad_terms(a, b), strict=True):
        np.testing.assert_allclose(got / scale, want, rtol=0, atol=1e-12 * np.abs(want).max())


def test_a_generator_beyond_the_doubles_is_refused():
    # L^H L of entries 1e160 overflows; A would hold infinities and NaN.
    with pytest.raises(OverflowError, match="a coefficient of the generator A is too large for a double"):
        GELLMANN_3.lindblad(H3, [1e160 * np.eye(3, k=1)])


def test_bases_that_do_not_span_the_traceless_matrices():
    gellmann = zenqa.gen_gellmann(3)
    short = zenqa.Algebra(gellmann[:6])
    hamiltonian = np.diag([1.0, 0, -1])
    message = r"does not span the traceless matrices: its rank is 6, and its span holds 6 of the 8 dimensions"
    for call in (
        lambda: short.lindblad(hamiltonian),
        lambda: short.to_liouvillian(np.zeros((6, 6)), np.zeros(6)),
        lambda: short.from_liouvillian(np.zeros((9, 9))),
    ):
        with pytest.raises(ValueError, match=message):
            call()
    traced = zenqa.Algebra([*gellmann[:7], np.eye(3)])
    with pytest.raises(ValueError, match="its rank is 8, and its span holds 7 of the 8"):
        traced.lindblad(hamiltonian)
    with pytest.raises(ValueError, match="holds matrices with a trace"):
        traced.lindblad_terms(np.zeros((8, 8)), np.zeros(8))
    overcomplete = zenqa.Algebra(OVERCOMPLETE["gellmann-3-with-identity"])
    with pytest.raises(ValueError, match="exactly d\\*d - 1 = 8 independent traceless matrices, but the basis has 9"):
        overcomplete.lindblad_terms(np.zeros((9, 9)), np.zeros(9))
    dependent = zenqa.Algebra([*gellmann[:7], gellmann[0] + gellmann[1]])
    with pytest.raises(ValueError, match="has rank 7"):
        dependent.lindblad_terms(np.zeros((8, 8)), np.zeros(8))


def test_superoperator_that_breaks_the_trace_is_refused():
    algebra = zenqa.Algebra(zenqa.gen_gellmann(2))
    superoperator = column_stacked_superoperator(SIGMA_Z, [SIGMA_MINUS], [1.0])
    superoperator[0, 0] += 0.5
    with pytest.raises(ValueError, match=r"superoperator of shape \(4, 4\) does not preserve the trace.* 0\.5"):
        algebra.from_liouvillian(superoperator)


GELLMANN_3 = zenqa.Algebra(zenqa.gen_gellmann(3))
H3 = np.diag([1.0, 0.0, -1.0])
A3, B3 = GELLMANN_3.lindblad(H3, [np.eye(3, k=1)])


@pytest.mark.parametrize(
    "call, error, message",
    [
        (
            lambda: GELLMANN_3.lindblad(np.eye(4)),
            ValueError,
            r"hamiltonian has shape \(4, 4\) but must have shape \(3, 3\)",
        ),
        (lambda: GELLMANN_3.lindblad(np.eye(3)[None]), ValueError, r"hamiltonian has shape \(1, 3, 3\)"),
        (lambda: GELLMANN_3.lindblad("H"), TypeError, "hamiltonian has dtype <U1"),
        (
            lambda: GELLMANN_3.lindblad(np.eye(3, k=1)),
            ValueError,
            r"hamiltonian of shape \(3, 3\) is not Hermitian.* 1",
        ),
        (lambda: GELLMANN_3.lindblad(H3 * np.nan), ValueError, r"hamiltonian of shape \(3, 3\) holds a NaN"),
        (lambda: GELLMANN_3.lindblad(H3, np.eye(3)), ValueError, r"jump_operators has shape \(3, 3\) but must be"),
        (lambda: GELLMANN_3.lindblad(H3, [np.eye(2)]), ValueError, r"jump_operators\[0\] has shape \(2, 2\) but must"),
        (lambda: GELLMANN_3.lindblad(H3, np.ones((1, 2, 2))), ValueError, r"jump_operators has shape \(1, 2, 2\)"),
        (lambda: GELLMANN_3.lindblad(H3, [H3, np.eye(2)]), ValueError, r"jump_operators\[1\] has shape \(2, 2\)"),
        (lambda: GELLMANN_3.lindblad(H3, [H3, "L"]), TypeError, r"jump_operators\[1\] has dtype <U1"),
        (lambda: GELLMANN_3.lindblad(H3, 3.0), ValueError, r"jump_operators has shape \(\) but must be"),
        # Objects that hold no numbers are named by their type, not as arrays of dtype object.
        (lambda: GELLMANN_3.lindblad(H3, None), TypeError, "jump_operators must be an array of numbers, not NoneType"),
        (lambda: GELLMANN_3.lindblad(H3, (x for x in [H3])), TypeError, "jump_operators must be .* not generator"),
        (lambda: GELLMANN_3.lindblad(H3, [H3], {0: 1.0}), TypeError, "rates must be an array of numbers, not dict"),
        (lambda: GELLMANN_3.from_liouvillian(None), TypeError, "superoperator must be an array of numbers, not None"),
        (
            lambda: GELLMANN_3.lindblad(H3, np.full((1, 3, 3), np.inf)),
            ValueError,
            "jump_operators of shape .* NaN or an inf",
        ),
        (
            lambda: GELLMANN_3.lindblad(H3, [H3, H3 * np.nan]),
            ValueError,
            r"jump_operators\[1\] of shape \(3, 3\) holds a NaN",
        ),
        (lambda: GELLMANN_3.lindblad(H3, [np.eye(3)], [1, 2]), ValueError, r"rates has shape \(2,\) but there are 1"),
        (lambda: GELLMANN_3.lindblad(H3, [np.eye(3)], 1.0), ValueError, r"rates has shape \(\) but there are 1"),
        (
            lambda: GELLMANN_3.lindblad(H3, [np.eye(3)], [1j]),
            TypeError,
            "rates has dtype complex128, but rates are real",
        ),
        (lambda: GELLMANN_3.lindblad(H3, [np.eye(3)], ["a"]), TypeError, "rates has dtype <U1"),
        (lambda: GELLMANN_3.lindblad(H3, [np.eye(3)], [np.nan]), ValueError, r"rates of shape \(1,\) holds a NaN"),
        (lambda: GELLMANN_3.lindblad(H3, rates=[1.0]), ValueError, r"rates has shape \(1,\) but there are 0"),
        (
            lambda: GELLMANN_3.lindblad_terms(A3[:7], B3),
            ValueError,
            r"a has shape \(7, 8\) but must have shape \(8, 8\)",
        ),
        (lambda: GELLMANN_3.lindblad_terms(A3, B3[:, None]), ValueError, r"b has shape \(8, 1\)"),
        (
            lambda: GELLMANN_3.lindblad_terms(A3, np.full(8, np.inf)),
            ValueError,
            r"b of shape \(8,\) holds a NaN or an inf",
        ),
        (lambda: GELLMANN_3.to_liouvillian(A3.astype(object), B3), TypeError, "a has dtype object"),
        (lambda: GELLMANN_3.from_liouvillian(np.eye(3)), ValueError, r"superoperator has shape \(3, 3\).* \(9, 9\)"),
        (lambda: GELLMANN_3.from_liouvillian(np.full((9, 9), np.nan)), ValueError, "superoperator of shape"),
        (lambda: GELLMANN_3.lindblad(), TypeError, "hamiltonian"),
        (lambda: GELLMANN_3.lindblad_terms(A3), TypeError, "'b'"),
    ],
)
def test_bad_arguments_are_refused_by_name(call, error, message):
    with pytest.raises(error, match=message):
        call()


@pytest.mark.parametrize("threads", ["1", "3"])
@pytest.mark.parametrize("order", ["C", "F"])
def test_a_large_generator_is_read_in_parts_and_its_first_bad_entry_named(monkeypatch, order, threads):
    monkeypatch.setenv("OPENBLAS_NUM_THREADS", threads)
    algebra = zenqa.Algebra(zenqa.gen_gellmann(20))  # A of 399 x 399 entries is copied in parts
    a, b = algebra.lindblad(*random_equation(20, 2, seed=21))
    want = algebra.lindblad_terms(a, b)
    for got, expected in zip(algebra.lindblad_terms(np.asarray(a, order=order), b), want, strict=True):
        assert got.tobytes() == expected.tobytes()
    bad = np.array(a, order=order)
    # The first starts a part of its own; the later one lies in a part that may be read first.
    bad.flat[[16384, 150000]] = [np.inf, np.nan]
    with pytest.raises(ValueError, match=r"a of shape \(399, 399\) holds a NaN or an infinity at flat index 16384$"):
        algebra.lindblad_terms(bad, b)


# Entries are tested for NaN and infinity 256 doubles (128 entries) at a time.
@pytest.mark.parametrize("flat", [0, 127, 128, 255, 399])
@pytest.mark.parametrize("bad", [complex(np.nan, 0), complex(0, np.inf), complex(-np.inf, np.nan)])
def test_the_first_bad_entry_is_named_wherever_it_lies(flat, bad):
    algebra = zenqa.Algebra(zenqa.gen_gellmann(20))
    hamiltonian = random_hermitian(np.random.default_rng(22), 20)
    hamiltonian.flat[flat] = bad
    hamiltonian.flat[flat + 1 :] = np.nan  # later ones are not named
    with pytest.raises(ValueError, match=rf"hamiltonian of shape \(20, 20\) holds .* at flat index {flat}$"):
        algebra.lindblad(hamiltonian)


def test_results_too_large_are_refused_before_allocating():
    wide = np.zeros((2048, 2048))
    wide[0, 1] = 1.0
    algebra = zenqa.Algebra([wide])  # the superoperator of d = 2048 holds 2**44 entries
    with pytest.raises(MemoryError, match="the superoperator"):
        algebra.to_liouvillian(np.zeros((1, 1)), np.zeros(1))
    with pytest.raises(MemoryError, match="copying superoperator"):
        algebra.from_liouvillian(np.broadcast_to(np.zeros(1), (2048**2, 2048**2)))


def test_generator_is_the_same_on_any_rotation_of_the_state_space():
    # A rotated basis and rotated operators describe the same dynamics: the same A and b.
    u = random_unitary(3, seed=14)
    hamiltonian, jumps, rates = random_equation(3, 2, seed=15)
    plain = GELLMANN_3.lindblad(hamiltonian, jumps, rates)
    turned = zenqa.Algebra(rotated(zenqa.gen_gellmann(3), seed=14))
    moved = turned.lindblad(u @ hamiltonian @ u.conj().T, u @ jumps @ u.conj().T, rates)
    for got, want in zip(moved, plain, strict=True):
        np.testing.assert_allclose(got, want, atol=1e-12)


@pytest.mark.parametrize(
    "basis",
    [
        zenqa.gen_gellmann(16),
        # Dense: matrix products over ranges of columns that follow the number of threads.
        rotated(zenqa.gen_gellmann(14), seed=16),
        np.einsum("ij,jkl->ikl", random_unitary(195, seed=18), zenqa.gen_gellmann(14)),  # every image formed
    ],
    ids=["gellmann", "rotated", "complex-mix"],
)
def test_same_bits_on_any_number_of_threads(monkeypatch, basis):
    algebra = zenqa.Algebra(basis)
    equation = random_equation(algebra.dim, 3, seed=17)
    results = []
    for threads in ("1", "2", "3"):
        monkeypatch.setenv("OPENBLAS_NUM_THREADS", threads)
        a, b = algebra.lindblad(*equation)
        results.append([a, b, *algebra.lindblad_terms(a, b), algebra.to_liouvillian(a, b)])
        results[-1].extend(algebra.from_liouvillian(results[-1][-1]))
    for other in results[1:]:
        assert all(np.array_equal(x, y) for x, y in zip(other, results[0], strict=True))


def test_first_calls_on_several_threads_agree():
    # The first lindblad_terms finds what it needs of the basis; calls racing to it wait for it.
    algebra = zenqa.Algebra(rotated(zenqa.gen_gellmann(6), seed=20))
    a, b = algebra.lindblad(*random_equation(6, 2, seed=21))
    with ThreadPoolExecutor(4) as pool:
        results = list(pool.map(lambda _: algebra.lindblad_terms(a, b), range(4)))
    for other in results[1:]:
        assert all(np.array_equal(x, y) for x, y in zip(other, results[0], strict=True))
