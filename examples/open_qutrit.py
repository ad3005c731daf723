"""A driven, damped Lambda system on coherence vectors, with zenqa.Algebra.lindblad.

Two ground states |0>, |1> are coupled to the excited state |2> by a probe and a
control field; |2> decays into both ground states, and the ground-state
coherence dephases. With rho = I/3 + sum_k x_k B_k in the Gell-Mann basis the
Lindblad equation becomes dx/dt = A x + b, so

- the evolution is the exponential of the augmented 9 x 9 matrix [[A, b], [0, 0]],
- the steady state solves A x = -b,

both checked here against direct integration of the density matrix. Then a
secular, Bloch-Redfield-like generator is brought in as a superoperator and
tested for complete positivity through its Kossakowski matrix.

  python examples/open_qutrit.py [--output open_qutrit.png]

Needs SciPy; draws the populations and coherences with matplotlib when it is installed.
"""

import argparse
import pathlib

import numpy as np
from scipy.integrate import solve_ivp
from scipy.linalg import expm

import zenqa

D = 3
KET = np.eye(D)


def projector(i, j):
    """|i><j|."""
    return np.outer(KET[i], KET[j]).astype(complex)


def lambda_system(probe=1.0, control=2.5, detuning=0.4, decay=(0.6, 0.4), dephasing=0.05):
    hamiltonian = detuning * projector(2, 2)
    hamiltonian += probe / 2 * (projector(0, 2) + projector(2, 0))
    hamiltonian += control / 2 * (projector(1, 2) + projector(2, 1))
    jumps = [projector(0, 2), projector(1, 2), projector(0, 0) - projector(1, 1)]
    return hamiltonian, jumps, [*decay, dephasing]


def lindblad_rhs(rho, hamiltonian, jumps, rates):
    out = -1j * (hamiltonian @ rho - rho @ hamiltonian)
    for jump, rate in zip(jumps, rates, strict=True):
        decay = jump.conj().T @ jump
        out += rate * (jump @ rho @ jump.conj().T - 0.5 * (decay @ rho + rho @ decay))
    return out


def integrate(rho0, times, equation):
    """Direct integration of d rho/dt, the d x d matrix as 2 d^2 real numbers."""

    def rhs(_, y):
        rho = (y[: D * D] + 1j * y[D * D :]).reshape(D, D)
        rate = lindblad_rhs(rho, *equation).ravel()
        return np.concatenate([rate.real, rate.imag])

    y0 = np.concatenate([rho0.ravel().real, rho0.ravel().imag])
    solution = solve_ivp(rhs, (times[0], times[-1]), y0, t_eval=times, rtol=1e-10, atol=1e-12, method="DOP853")
    return (solution.y[: D * D] + 1j * solution.y[D * D :]).T.reshape(-1, D, D)


def evolve(algebra, generator, rho0, times):
    """rho(t) from the exponential of the augmented generator [[A, b], [0, 0]]."""
    a, b = generator
    n = len(algebra)
    augmented = np.zeros((n + 1, n + 1), complex)
    augmented[:n, :n], augmented[:n, n] = a, b
    start = np.append(algebra.coefficients(rho0 - np.eye(D) / D), 1.0)
    states = np.array([expm(augmented * t) @ start for t in times])
    return np.eye(D) / D + algebra.matrix(states[:, :n])


def steady_state(algebra, generator):
    a, b = generator
    return np.eye(D) / D + algebra.matrix(np.linalg.solve(a, -b))


def column_stacked_superoperator(hamiltonian, jumps, rates):
    """The Liouvillian on the column-stacked vec(rho), as qutip.liouvillian(...).full() gives it."""
    eye = np.eye(D)
    out = -1j * (np.kron(eye, hamiltonian) - np.kron(hamiltonian.T, eye))
    for jump, rate in zip(jumps, rates, strict=True):
        decay = jump.conj().T @ jump
        out += rate * (np.kron(jump.conj(), jump) - 0.5 * np.kron(eye, decay) - 0.5 * np.kron(decay.T, eye))
    return out


def secular_redfield(energies=(0.0, 1.0, 2.3), coupling=0.1, temperature=0.8, dephasing=(0.02, -0.06)):
    """A secular Bloch-Redfield-like generator: transitions between energy levels at
    rates J(w) (n(w) + 1) down and J(w) n(w) up for an ohmic bath, and pure dephasing
    of levels 1 and 2 at the given rates (a negative one, as a time-local
    non-Markovian equation may carry, breaks complete positivity)."""
    hamiltonian = np.diag(energies).astype(complex)
    jumps, rates = [], []
    for upper in range(D):
        for lower in range(upper):
            gap = energies[upper] - energies[lower]
            occupation = 1 / np.expm1(gap / temperature)
            jumps += [projector(lower, upper), projector(upper, lower)]
            rates += [coupling * gap * (occupation + 1), coupling * gap * occupation]
    for level, rate in zip((1, 2), dephasing, strict=True):
        jumps.append(projector(level, level))
        rates.append(rate)
    return column_stacked_superoperator(hamiltonian, jumps, rates)


def draw(times, rho, path):
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("matplotlib is not installed: drew nothing")
        return
    figure, (populations, coherences) = plt.subplots(1, 2, figsize=(10, 4), sharex=True)
    for i in range(D):
        populations.plot(times, rho[:, i, i].real, label=f"rho_{i}{i}")
    for i, j in ((0, 1), (0, 2), (1, 2)):
        coherences.plot(times, abs(rho[:, i, j]), label=f"|rho_{i}{j}|")
    populations.set(xlabel="time", ylabel="population", title="Populations")
    coherences.set(xlabel="time", ylabel="modulus", title="Coherences")
    populations.legend()
    coherences.legend()
    figure.tight_layout()
    figure.savefig(path, dpi=120)
    plt.close(figure)
    print(f"saved the plot to {path.resolve()}")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--output", type=pathlib.Path, default=pathlib.Path("open_qutrit.png"))
    options = parser.parse_args()

    algebra = zenqa.Algebra(zenqa.gen_gellmann(D))
    equation = lambda_system()
    generator = algebra.lindblad(*equation)
    print(f"Lambda system in the Gell-Mann basis: A is {generator[0].shape[0]} x {generator[0].shape[1]}")

    times = np.linspace(0.0, 20.0, 201)
    rho0 = projector(0, 0)
    rho = evolve(algebra, generator, rho0, times)
    reference = integrate(rho0, times, equation)
    gap = abs(rho - reference).max()
    assert gap < 1e-7, gap
    print(f"expm of the augmented generator agrees with direct integration (largest gap {gap:.1e})")

    steady = steady_state(algebra, generator)
    late = integrate(rho0, np.array([0.0, 400.0]), equation)[-1]
    gap = abs(steady - late).max()
    assert gap < 1e-7 and abs(lindblad_rhs(steady, *equation)).max() < 1e-12, gap
    populations = ", ".join(f"{p:.4f}" for p in np.diag(steady).real)
    print(f"steady state from A x = -b agrees with direct integration (gap {gap:.1e}): populations {populations}")
    draw(times, rho, options.output)

    for label, dephasing in (("positive dephasing", (0.02, 0.05)), ("a negative dephasing rate", (0.02, -0.06))):
        redfield = algebra.from_liouvillian(secular_redfield(dephasing=dephasing))
        _, kossakowski = algebra.lindblad_terms(*redfield)
        eigenvalues = np.linalg.eigvalsh(kossakowski)
        positive = eigenvalues.min() >= -1e-12 * abs(eigenvalues).max()
        print(f"secular Redfield-like generator, {label}:")
        print("  Kossakowski eigenvalues " + " ".join(f"{e:+.4f}" for e in eigenvalues))
        print(f"  completely positive: {'yes' if positive else 'no'}")


if __name__ == "__main__":
    main()
