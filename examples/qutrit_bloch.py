"""A qutrit's Bloch vector under a Hamiltonian, with zenqa.Algebra, checked
against the matrix evolution.

A state is rho = I/3 + sum_a r_a lambda_a / 2 over the Gell-Mann matrices
lambda_a = -i B_a, and H = sum_a h_a lambda_a. The von Neumann equation
rho' = -i [H, rho] becomes, with A = -i H = -sum_a h_a B_a, the linear
equation r' = ad(A) r on the Bloch vector: every component of the bracket
counts, not only the lowest one that get_structure_constants keeps.

    python examples/qutrit_bloch.py
"""

import numpy as np

import zenqa


def main():
    basis = zenqa.gen_gellmann(3)
    algebra = zenqa.Algebra(basis)
    index, _ = algebra.structure_constants()
    print(
        f"su(3): {len(algebra)} elements, {len(index)} structure constants in all, "
        f"{len(zenqa.get_structure_constants(basis))} in the lowest-index dict"
    )

    rng = np.random.default_rng(3)
    h = rng.standard_normal(len(algebra))
    generator = algebra.adjoint(-h).real  # r' = ad(A) r, real for the Gell-Mann basis
    values, vectors = np.linalg.eig(generator)

    # 1000 Bloch vectors of pure states, evolved for t = 0.7 in one batch.
    psi = rng.standard_normal((1000, 3)) + 1j * rng.standard_normal((1000, 3))
    psi /= np.linalg.norm(psi, axis=1, keepdims=True)
    rho = psi[:, :, None] * psi[:, None, :].conj()
    lambdas = -1j * algebra.basis
    r = np.einsum("mab,kba->mk", rho, lambdas).real  # r_k = trace(rho lambda_k)
    t = 0.7
    propagator = (vectors @ np.diag(np.exp(values * t)) @ np.linalg.inv(vectors)).real
    r_t = r @ propagator.T

    # The same evolution as matrices: rho(t) = U rho U^H with U = exp(-i H t).
    energies, states = np.linalg.eigh(np.tensordot(h, lambdas, 1))
    u = states @ np.diag(np.exp(-1j * energies * t)) @ states.conj().T
    rho_t = u @ rho @ u.conj().T
    r_matrix = np.einsum("mab,kba->mk", rho_t, lambdas).real
    error = np.abs(r_t - r_matrix).max()
    print(f"largest difference from the matrix evolution over 1000 states: {error:.1e}")
    # The bracket in batch is the right-hand side of the equation at every state at once.
    rates = algebra.bracket(-h, r).real
    print(f"r' = [A, r] for all 1000 states: largest |r'| = {np.abs(rates).max():.3f}")
    if error < 1e-10:
        print("Bloch-vector evolution and matrix evolution agree")


if __name__ == "__main__":
    main()
