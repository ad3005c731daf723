import math

import numpy as np
import pytest

import zenqa
from conftest import assert_bitwise

# Reference arithmetic in plain Python floats: complex numbers are (re, im) pairs and
# every operation is written out in the order the native code must evaluate it.


def cmul(a, b):
    return (a[0] * b[0] - a[1] * b[1], a[0] * b[1] + a[1] * b[0])


def zeros(d):
    return [[(0.0, 0.0) for _ in range(d)] for _ in range(d)]


def matmul(a, b):
    out = []
    for i in range(len(a)):
        row = []
        for j in range(len(b[0])):
            sr, si = 0.0, 0.0
            for x in range(len(b)):
                p, q = a[i][x], b[x][j]
                sr, si = sr + (q[0] * p[0] - q[1] * p[1]), si + (q[0] * p[1] + q[1] * p[0])
            prev = (0.0 * 0.0 - 0.0 * 0.0, 0.0 * 0.0 + 0.0 * 0.0)
            row.append((sr * 1.0 - si * 0.0 + prev[0], si * 1.0 + sr * 0.0 + prev[1]))
        out.append(row)
    return out


def cpow(base, exp):
    if exp == 0:
        return (1.0, 0.0)
    while exp % 2 == 0:
        base = cmul(base, base)
        exp //= 2
    acc = base
    while exp > 1:
        exp //= 2
        base = cmul(base, base)
        if exp % 2 == 1:
            acc = cmul(acc, base)
    return acc


def gellmann_unit(j, k, d):
    m = zeros(d)
    if j > k:
        m[j - 1][k - 1] = m[k - 1][j - 1] = (1.0, 0.0)
    elif j < k:
        m[j - 1][k - 1] = (-0.0, -1.0)
        m[k - 1][j - 1] = (0.0, 1.0)
    else:
        for n in range(d):
            m[n][n] = (1.0, 0.0) if n < j else (-float(j), 0.0) if n == j else (0.0, 0.0)
        s = math.sqrt(2.0 / ((1.0 + j) * j))
        m = [[cmul(c, (s, 0.0)) for c in row] for row in m]
    return m


def gellmann_model(d):
    if d < 2:
        return []
    pairs = [(j, k) for j in range(1, d) for k in range(1, d + 1)] + [(d, k) for k in range(1, d)]
    return [[[cmul(c, (0.0, 1.0)) for c in row] for row in gellmann_unit(j, k, d)] for j, k in pairs]


def sylvester_model(d):
    x = zeros(d)
    for i in range(1, d):
        x[i][i - 1] = (1.0, 0.0)
    x[0][d - 1] = (1.0, 0.0)
    t, r = 6.283185307179586 / float(d), math.exp(0.0 / float(d))
    w = (r * math.cos(t), r * math.sin(t))
    z = zeros(d)
    for k in range(d):
        z[k][k] = cpow(w, k)
    out = [x, z]
    a = x
    for j in range(1, d + 1):
        c = z
        for m in range(1, d + 1):
            if not ((m == d and j == 1) or (m == 1 and j == d) or (m == d and j == d)):
                out.append(matmul(a, c))
            c = matmul(c, z)
        a = matmul(a, x)
    return out


@pytest.mark.parametrize("d", range(7))
def test_gellmann_bits(d):
    result = zenqa.gen_gellmann(d)
    assert len(result) == max(d * d - 1, 0)
    assert_bitwise(result, gellmann_model(d))


@pytest.mark.parametrize("d", range(1, 7))
def test_sylvester_bits(d):
    result = zenqa.gen_sylvester(d)
    assert len(result) == (2 if d == 1 else d * d - 1)
    assert_bitwise(result, sylvester_model(d))


def test_gellmann_2_documented():
    o, i, ni = (0.0, 0.0), (0.0, 1.0), (-0.0, -1.0)
    assert_bitwise(
        zenqa.gen_gellmann(2),
        [
            [[i, o], [o, ni]],  # i*sigma_z, the -0.0 real part included
            [[o, (1.0, -0.0)], [(-1.0, 0.0), o]],  # i*sigma_y
            [[o, i], [i, o]],  # i*sigma_x
        ],
    )


def test_gellmann_3_diagonal():
    s = math.sqrt(2.0 / 6.0)
    o = (0.0, 0.0)
    assert_bitwise([zenqa.gen_gellmann(3)[4]], [[[(0.0, s), o, o], [o, (0.0, s), o], [o, o, (-0.0, -2.0 * s)]]])


def test_sylvester_small_documented():
    one, o = (1.0, 0.0), (0.0, 0.0)
    assert_bitwise(zenqa.gen_sylvester(1), [[[one]], [[one]]])
    w = (-1.0, 1.2246467991473532e-16)
    assert_bitwise(zenqa.gen_sylvester(2), [[[o, one], [one, o]], [[one, o], [o, w]], [[o, w], [one, o]]])


@pytest.mark.parametrize("d", range(2, 7))
def test_gellmann_properties(d):
    basis = zenqa.gen_gellmann(d)
    gram = np.array([[np.trace(a @ b) for b in basis] for a in basis])
    np.testing.assert_allclose(gram, -2 * np.eye(len(basis)), atol=1e-12)
    for m in basis:
        assert abs(np.trace(m)) < 1e-12
        np.testing.assert_array_equal(m.conj().T, -m)


@pytest.mark.parametrize("d", range(2, 7))
def test_sylvester_properties(d):
    basis = zenqa.gen_sylvester(d)
    assert len(basis) == d * d - 1
    for m in basis:
        nonzero = m[m != 0]
        assert nonzero.size == d
        np.testing.assert_allclose(np.abs(nonzero), 1.0, atol=1e-12)
        assert abs(np.trace(m)) < 1e-12
    # distinct clock-and-shift words are orthogonal, which also rules out repeats and the identity
    gram = np.array([[np.trace(a.conj().T @ b) for b in basis] for a in basis])
    np.testing.assert_allclose(gram, d * np.eye(len(basis)), atol=1e-12)
    x, z = basis[0], basis[1]
    w = complex(math.cos(2 * math.pi / d), math.sin(2 * math.pi / d))
    np.testing.assert_allclose(z @ x, w * (x @ z), atol=1e-12)
