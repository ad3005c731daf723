"""The dynamical Lie algebra of the transverse-field Ising chain, from sparse Pauli strings.

The generators X_q and Z_q Z_(q+1) on n qubits close, under commutators, into a
Lie algebra of n (2n - 1) Pauli strings. A Pauli string is a monomial matrix
(one nonzero entry per row and column), so the basis goes to zenqa.Algebra as
scipy.sparse matrices and is never made dense.

    python examples/dla_structure.py [qubits]

Prints the DLA dimension and the number of structure constants, checks a few
brackets against matrix arithmetic (up to 6 qubits), and compares the time with
PennyLane's structure_constants when PennyLane is installed, and the constants
too (up to 6 qubits).
"""

import sys
import time

import numpy as np
import scipy.sparse as sp

import zenqa


def anticommute(a, b):
    """Whether the Pauli words a and b, each (x bits, z bits), anticommute."""
    return (bin(a[0] & b[1]).count("1") + bin(a[1] & b[0]).count("1")) % 2 == 1


def tfim_words(n):
    """The Pauli words spanning the DLA: the generators, then every new word that
    a commutator of two anticommuting words gives (up to its factor 2i or -2i)."""
    words = [(1 << q, 0) for q in range(n)] + [(0, 3 << q) for q in range(n - 1)]
    frontier, seen = list(words), set(words)
    while frontier:
        grown = [(a[0] ^ b[0], a[1] ^ b[1]) for a in frontier for b in words if anticommute(a, b)]
        frontier = [w for w in dict.fromkeys(grown) if w not in seen]
        seen.update(frontier)
        words += frontier
    return words


def pauli_matrix(word, n):
    """i^|x & z| X^x Z^z as a CSR array: column c has its one entry, +-1 or +-i, in row c ^ x."""
    x, z = word
    c = np.arange(1 << n)
    parity = np.zeros(1 << n, dtype=np.int64)
    for bit in range(n):
        parity ^= (c & z) >> bit & 1
    return sp.csr_array((1j ** bin(x & z).count("1") * (1 - 2 * parity), (c ^ x, c)), shape=(1 << n, 1 << n))


def pennylane_constants(words, n):
    """PennyLane's structure_constants on the same DLA, as Pauli sentences, and the
    seconds they took; None without PennyLane."""
    try:
        import pennylane as qml
    except ImportError:
        return None
    letters = {(0, 0): "I", (1, 0): "X", (1, 1): "Y", (0, 1): "Z"}

    def sentence(word):
        bits = [(word[0] >> (n - 1 - q) & 1, word[1] >> (n - 1 - q) & 1) for q in range(n)]
        return qml.pauli.PauliSentence({qml.pauli.PauliWord({q: letters[b] for q, b in enumerate(bits)}): 1.0})

    dla = [sentence(w) for w in words]
    start = time.perf_counter()
    adjoint = qml.structure_constants(dla)
    return adjoint, time.perf_counter() - start


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 8
    words = tfim_words(n)
    basis = [pauli_matrix(w, n) for w in words]
    start = time.perf_counter()
    algebra = zenqa.Algebra(basis)
    index, value = algebra.structure_constants()
    seconds = time.perf_counter() - start
    print(f"TFIM on {n} qubits: d = {algebra.dim}, DLA dimension {len(algebra)} (n (2n - 1) = {n * (2 * n - 1)})")
    print(f"{len(value)} structure constants in {seconds * 1e3:.1f} ms")

    if n <= 6:
        dense = np.array([m.toarray() for m in basis])
        f = algebra.structure_constants(dense=True)
        pairs = [(0, n), (1, len(basis) - 1), (n, len(basis) // 2), (len(basis) - 2, len(basis) - 1)]
        for i, j in pairs:
            bracket = dense[i] @ dense[j] - dense[j] @ dense[i]
            assert np.allclose(np.tensordot(f[i, j], dense, 1), bracket, atol=1e-12), (i, j)
        print(f"brackets of {len(pairs)} pairs agree with matrix arithmetic")

    peer = pennylane_constants(words, n)
    if peer is None:
        print("PennyLane is not installed: no comparison")
        return
    adjoint, peer_seconds = peer
    print(f"PennyLane structure_constants: {peer_seconds * 1e3:.1f} ms, zenqa {peer_seconds / seconds:.1f}x faster")
    if n <= 6:
        # PennyLane's adjoint[c, a, b] expands [iG_a, iG_b] in the iG_c: [G_a, G_b] = -i adjoint[c, a, b] G_c.
        assert np.allclose(algebra.structure_constants(dense=True), -1j * adjoint.transpose(1, 2, 0), atol=1e-12)
        print("constants agree with PennyLane's: f[a, b, c] = -1j * adjoint[c, a, b]")


if __name__ == "__main__":
    main()
