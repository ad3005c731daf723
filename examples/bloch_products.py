"""Products of Bloch vectors with cross, dot and su_commutator, checked
against plain matrix arithmetic.

An element of su(d) is A = sum_a a_a B_a over the Gell-Mann basis B_a = i lambda_a,
with a real Bloch vector a. Its coefficients come back from a matrix M by
projection: a_c = -trace(B_c M) / 2, since trace(B_a B_b) = -2 delta_ab.

    python examples/bloch_products.py
"""

import numpy as np

import zenqa


def element(coefficients, basis):
    return sum(c * b for c, b in zip(coefficients.ravel(), basis, strict=True))


def coefficients_of(matrix, basis):
    return np.array([[-np.trace(b @ matrix) / 2] for b in basis])


def main():
    rng = np.random.default_rng(7)

    # Qubit: [A, B] of two Bloch vectors is twice their vector cross product,
    # with the components in basis order (i*sigma_z, i*sigma_y, i*sigma_x).
    basis = zenqa.gen_gellmann(2)
    f = zenqa.get_structure_constants(basis)
    a = rng.normal(size=(3, 1)).astype(complex)
    b = rng.normal(size=(3, 1)).astype(complex)
    commutator = element(a, basis) @ element(b, basis) - element(b, basis) @ element(a, basis)

    matrix = zenqa.su_commutator(a, b, f, basis)
    x = zenqa.cross(a, b, f)
    print("qubit a      =", a.real.ravel().round(4))
    print("qubit b      =", b.real.ravel().round(4))
    print("cross(a, b)  =", x.real.ravel().round(4))
    print("2 a x b      =", (2 * np.cross(a.real.ravel(), b.real.ravel())).round(4))
    assert np.allclose(matrix, commutator, atol=1e-12)
    assert np.allclose(x, coefficients_of(commutator, basis), atol=1e-12)
    assert np.allclose(x.real.ravel(), 2 * np.cross(a.real.ravel(), b.real.ravel()), atol=1e-12)

    # Qutrit: the traceless part of {A, B} has coefficients 2 * dot(a, b),
    # since the d-coefficient values are i d_abc and {B_a, B_b} = 2i d_abc B_c + (identity).
    basis = zenqa.gen_gellmann(3)
    g = zenqa.get_d_coefficients(basis)
    a = rng.normal(size=(8, 1)).astype(complex)
    b = rng.normal(size=(8, 1)).astype(complex)
    anticommutator = element(a, basis) @ element(b, basis) + element(b, basis) @ element(a, basis)
    y = zenqa.dot(a, b, g)
    print("qutrit dot(a, b) / i =", (y.imag.ravel()).round(4))
    assert np.allclose(2 * y, coefficients_of(anticommutator, basis), atol=1e-12)

    print("cross, dot and su_commutator agree with matrix arithmetic")


if __name__ == "__main__":
    main()
