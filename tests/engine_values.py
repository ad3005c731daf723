"""The tensors of a few small bases as the dense block engine computed them, kept
in data/engine_values.npz so that later engines are checked against them.

Run `python tests/engine_values.py` to write the file again; it is not meant to
change.
"""

import functools
import pathlib

import numpy as np

import zenqa

PATH = pathlib.Path(__file__).resolve().parent / "data" / "engine_values.npz"
PAULI = [np.eye(2), np.array([[0, 1], [1, 0]]), np.array([[0, -1j], [1j, 0]]), np.diag([1, -1])]


def pauli_strings(qubits):
    """The 4**qubits - 1 Pauli strings other than the identity, as dense matrices."""
    words = np.ndindex(*[4] * qubits)
    next(words)
    return [functools.reduce(np.kron, [PAULI[p] for p in word]).astype(complex) for word in words]


def ising_sentences(qubits):
    """The dynamical Lie algebra of sum X_q and sum Z_q Z_(q+1) as a Lie closure gives it: each new
    element the commutator of one before with a generator, a sum of Pauli strings with integer
    factors, here scaled by a power of two, exactly, to entries of about 1."""

    def string(letters):
        return functools.reduce(np.kron, [PAULI[letters.get(q, 0)] for q in range(qubits)]).astype(complex)

    generators = [sum(string({q: 1}) for q in range(qubits)), sum(string({q: 3, q + 1: 3}) for q in range(qubits - 1))]
    algebra = list(generators)
    for a in algebra:  # grows as it goes
        for g in generators:
            c = a @ g - g @ a
            if np.linalg.matrix_rank(np.array([m.ravel() for m in [*algebra, c]])) > len(algebra):
                algebra.append(c)
    return [m / 2.0 ** np.floor(np.log2(abs(m).max())) for m in algebra]


def sheared(basis):
    """A basis of the same span that is not orthogonal: B_k + B_(k+1) / 2."""
    return [b + basis[(k + 1) % len(basis)] / 2 for k, b in enumerate(basis)]


BASES = {
    **{f"gellmann-{d}": (lambda d=d: zenqa.gen_gellmann(d)) for d in (3, 4, 5)},
    **{f"sylvester-{d}": (lambda d=d: zenqa.gen_sylvester(d)) for d in (3, 4, 6)},
    **{f"pauli-{n}": (lambda n=n: pauli_strings(n)) for n in (2, 3)},
    "sheared-gellmann-3": lambda: sheared(zenqa.gen_gellmann(3)),
}


def main():
    arrays = {}
    for name, make in BASES.items():
        algebra = zenqa.Algebra(make())
        arrays[f"{name}/basis"] = algebra.basis
        for tensor in ("structure_constants", "d_coefficients"):
            index, value = getattr(algebra, tensor)()
            arrays[f"{name}/{tensor}/index"] = index.astype(np.int16)
            arrays[f"{name}/{tensor}/value"] = value
    np.savez_compressed(PATH, **arrays)


if __name__ == "__main__":
    main()
