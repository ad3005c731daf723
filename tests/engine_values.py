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
