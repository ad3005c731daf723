"""The Bloch vector of a qutrit under a Hamiltonian, integrated with
zenqa.Algebra.bracket and checked against the exact evolution.

The traceless part of the density matrix, X = rho - I/3, evolves as
dX/dt = [-iH, X]. In the coefficients of the Gell-Mann basis B_a = i lambda_a
that reads dx/dt = bracket(h, x), h the coefficients of -iH. A plain RK4 step
integrates a batch of initial states at once; the exact rho(t) = U rho U^H,
with U = exp(-iHt) from the eigendecomposition of H, checks it. The Bloch
vector r of rho = I/3 + (1/2) sum_a r_a lambda_a is r = 2i x. For contrast,
state 0 is integrated again with `cross` on the dict of get_structure_constants,
which keeps only the lowest-index component of each commutator.

    python examples/qutrit_bloch.py [--time T] [--steps N] [--states M]
"""

import argparse

import numpy as np

import zenqa


def random_hamiltonian(d, rng):
    z = rng.normal(size=(d, d)) + 1j * rng.normal(size=(d, d))
    h = (z + z.conj().T) / 2
    return h / np.linalg.norm(h, 2)


def random_density_matrices(count, d, rng):
    z = rng.normal(size=(count, d, d)) + 1j * rng.normal(size=(count, d, d))
    rho = z @ z.conj().transpose(0, 2, 1)
    return rho / np.trace(rho, axis1=1, axis2=2)[:, None, None].real


def rk4(derivative, x, dt, steps):
    for _ in range(steps):
        k1 = derivative(x)
        k2 = derivative(x + dt / 2 * k1)
        k3 = derivative(x + dt / 2 * k2)
        k4 = derivative(x + dt * k3)
        x = x + dt / 6 * (k1 + 2 * k2 + 2 * k3 + k4)
    return x


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--time", type=float, default=3.0)
    parser.add_argument("--steps", type=int, default=600)
    parser.add_argument("--states", type=int, default=4)
    args = parser.parse_args()

    d = 3
    rng = np.random.default_rng(3)
    alg = zenqa.Algebra(zenqa.gen_gellmann(d))
    hamiltonian = random_hamiltonian(d, rng)
    rho = random_density_matrices(args.states, d, rng)
    centre = np.eye(d) / d

    h = alg.coefficients(-1j * hamiltonian)
    x0 = alg.coefficients(rho - centre)
    x = rk4(lambda x: alg.bracket(h, x), x0, args.time / args.steps, args.steps)

    energies, vectors = np.linalg.eigh(hamiltonian)
    u = vectors @ np.diag(np.exp(-1j * energies * args.time)) @ vectors.conj().T
    exact = alg.coefficients(u @ rho @ u.conj().T - centre)

    # The lowest-index dict drives cross with part of the bracket only.
    f = zenqa.get_structure_constants(zenqa.gen_gellmann(d))
    complete = len(alg.structure_constants()[0])
    column = h.reshape(-1, 1)
    partial = rk4(lambda x: zenqa.cross(column, x.reshape(-1, 1), f).ravel(), x0[0], args.time / args.steps, args.steps)

    print(f"{len(alg)} Gell-Mann elements, {args.states} states, t = {args.time}, {args.steps} RK4 steps")
    print("state 0, Bloch vector r = 2i x:")
    for name, value in [("r(0)", x0[0]), ("r(t), RK4", x[0]), ("r(t), exact", exact[0])]:
        print(f"  {name:12}" + " ".join(f"{v:+.6f}" for v in (2j * value).real))
    error = np.abs(x - exact).max()
    purity_drift = np.abs(np.linalg.norm(x, axis=-1) - np.linalg.norm(x0, axis=-1)).max()
    print(f"largest deviation from the exact evolution: {error:.2e}")
    print(
        f"state 0 with cross on the lowest-index dict ({len(f)} of {complete} structure constants): "
        f"deviation {np.abs(partial - exact[0]).max():.2e}"
    )
    print(f"largest change of |r|, conserved by unitary evolution: {purity_drift:.2e}")
    if error > 1e-8:
        raise SystemExit("RK4 and the exact evolution disagree")
    print("RK4 on alg.bracket agrees with the exact evolution")


if __name__ == "__main__":
    main()
