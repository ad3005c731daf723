import pathlib
import subprocess
import sys

import pytest

EXAMPLES = pathlib.Path(__file__).resolve().parent.parent / "examples"


def run_example(*args):
    result = subprocess.run([sys.executable, *map(str, args)], capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    return result.stdout


def test_su3_tables_show_textbook_values():
    out = run_example(EXAMPLES / "su_tables.py", "3")
    # f_123 = 1 is f[0,1,3] = -1 in basis positions (lambda_3, lambda_2, lambda_1);
    # f_458 = sqrt(3)/2 is f[2,4,6] = +0.866025 (lambda_5, lambda_8, lambda_4).
    assert "f[0,1,3] = -1.000000" in out
    assert "f[2,4,6] = +0.866025" in out
    # d_338 = 1/sqrt(3) is d[0,0,4] (lambda_3, lambda_3, lambda_8).
    assert "d[0,0,4] = +0.577350" in out


@pytest.mark.parametrize("d", [2, 4])
def test_sylvester_tables_run(d):
    out = run_example(EXAMPLES / "su_tables.py", d, "--basis", "sylvester")
    assert f"su({d}) in the Sylvester basis, {d * d - 1} elements" in out


def test_bloch_products_agree_with_matrices():
    out = run_example(EXAMPLES / "bloch_products.py")
    assert "agree with matrix arithmetic" in out


def test_qutrit_bloch_evolution_agrees_with_matrices():
    out = run_example(EXAMPLES / "qutrit_bloch.py")
    assert "RK4 on alg.bracket agrees with the exact evolution" in out
    assert "lowest-index dict (50 of 54 structure constants)" in out


def test_dla_structure_builds_the_tfim_algebra_from_sparse_pauli_strings():
    out = run_example(EXAMPLES / "dla_structure.py", 4)
    assert "TFIM on 4 qubits: d = 16, DLA dimension 28 (n (2n - 1) = 28)" in out
    assert "336 structure constants" in out
    assert "brackets of 4 pairs agree with matrix arithmetic" in out
