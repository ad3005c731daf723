import importlib.util
import pathlib
import re
import subprocess
import sys

import numpy as np
import pytest

import zenqa

EXAMPLES = pathlib.Path(__file__).resolve().parent.parent / "examples"


def run_example(*args):
    result = subprocess.run([sys.executable, *map(str, args)], capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    return result.stdout


S3 = 3**0.5
# The textbook's nonzero f_abc (a < b < c) and d_abc (a <= b <= c) of su(3) and su(2).
TEXTBOOK = {
    3: {
        "f": {
            123: 1,
            147: 1 / 2,
            156: -1 / 2,
            246: 1 / 2,
            257: 1 / 2,
            345: 1 / 2,
            367: -1 / 2,
            458: S3 / 2,
            678: S3 / 2,
        },
        "d": {
            **dict.fromkeys([118, 228, 338], 1 / S3),
            **dict.fromkeys([146, 157, 256, 344, 355], 1 / 2),
            **dict.fromkeys([247, 366, 377], -1 / 2),
            **dict.fromkeys([448, 558, 668, 778], -1 / (2 * S3)),
            888: -1 / S3,
        },
    },
    2: {"f": {123: 1}, "d": {}},
}


def table_lines(out, symbol):
    return [line for line in out.splitlines() if line.startswith(symbol + "_")]


@pytest.mark.parametrize("d", [2, 3])
def test_gellmann_tables_are_the_textbook_ones(d):
    out = run_example(EXAMPLES / "su_tables.py", d)
    for symbol, values in TEXTBOOK[d].items():
        assert table_lines(out, symbol) == [f"{symbol}_{abc} = {value:+.6f}" for abc, value in sorted(values.items())]


def test_larger_gellmann_tables_say_how_they_are_labelled():
    out = run_example(EXAMPLES / "su_tables.py", 4)
    assert "labels are 1-based basis positions" in out
    assert "f_1,2,5 = -1.000000" in table_lines(out, "f")  # [B_0, B_1] = 2 B_4 in 0-based positions


@pytest.mark.parametrize("d", [2, 4])
def test_sylvester_tables_hold_every_component(d):
    # Each commutator [B_a, B_b] rebuilt from the printed lines equals the matrix one.
    out = run_example(EXAMPLES / "su_tables.py", d, "--basis", "sylvester")
    assert f"su({d}) in the Sylvester basis, {d * d - 1} elements" in out
    basis = np.array(zenqa.gen_sylvester(d))
    rebuilt = np.zeros((len(basis),) * 2 + (d, d), complex)
    pattern = re.compile(r"^\[(\d+),(\d+)\] -> (\d+): c = ([-+][\d.]+)([-+][\d.]+)i$")
    for a, b, k, re_c, im_c in (m.groups() for m in map(pattern.match, out.splitlines()) if m):
        rebuilt[int(a) - 1, int(b) - 1] += complex(float(re_c), float(im_c)) * basis[int(k) - 1]
    for a, b in zip(*np.triu_indices(len(basis), 1), strict=True):
        commutator = basis[a] @ basis[b] - basis[b] @ basis[a]
        np.testing.assert_allclose(rebuilt[a, b], commutator, atol=1e-5)


def test_bloch_products_agree_with_matrices():
    out = run_example(EXAMPLES / "bloch_products.py")
    assert "agree with matrix arithmetic" in out


def test_qutrit_bloch_evolution_agrees_with_matrices():
    out = run_example(EXAMPLES / "qutrit_bloch.py")
    assert "RK4 on alg.bracket agrees with the exact evolution" in out
    assert "lowest-index dict (50 of 54 structure constants)" in out


def test_open_qutrit_agrees_with_direct_integration(tmp_path):
    pytest.importorskip("scipy")
    plot = tmp_path / "populations.png"
    out = run_example(EXAMPLES / "open_qutrit.py", "--output", plot)
    assert "expm of the augmented generator agrees with direct integration" in out
    assert "steady state from A x = -b agrees with direct integration" in out
    assert out.count("completely positive: yes") == 1 and out.count("completely positive: no") == 1
    drew = importlib.util.find_spec("matplotlib") is not None
    assert plot.exists() == drew and ("drew nothing" in out) != drew


def test_open_qutrit_without_matplotlib_still_checks(tmp_path):
    pytest.importorskip("scipy")
    # matplotlib hidden from the example: None in sys.modules makes its import fail.
    hide = (
        "import runpy, sys; sys.modules['matplotlib'] = None; sys.argv = sys.argv[1:];"
        " runpy.run_path(sys.argv[0], run_name='__main__')"
    )
    out = run_example("-c", hide, EXAMPLES / "open_qutrit.py", "--output", tmp_path / "none.png")
    assert "matplotlib is not installed: drew nothing" in out
    assert "agrees with direct integration" in out and not (tmp_path / "none.png").exists()


def test_dla_structure_builds_the_tfim_algebra_from_sparse_pauli_strings():
    out = run_example(EXAMPLES / "dla_structure.py", 4)
    assert "TFIM on 4 qubits: d = 16, DLA dimension 28 (n (2n - 1) = 28)" in out
    assert "336 structure constants" in out
    assert "brackets of 4 pairs agree with matrix arithmetic" in out
