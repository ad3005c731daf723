"""The decomposition benchmark runs end to end on tiny sizes."""

import os
import subprocess
import sys
from pathlib import Path

BENCH = Path(__file__).resolve().parents[1] / "bench"
QUICK_WORKLOADS = {("gellmann", "3"), ("sylvester", "3"), ("dense", "4"), ("rank-deficient", "4")}


def quick_run(script):
    """The output of a bench script's --quick run, which must succeed."""
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}  # find zenqa where pytest did
    run = subprocess.run(
        [sys.executable, str(BENCH / script), "--quick"], capture_output=True, text=True, timeout=600, env=env
    )
    assert run.returncode == 0, run.stderr
    return run.stdout


def test_quick_run_reports_every_workload():
    output = quick_run("bench_decomposition.py")
    rows = [line.split() for line in output.splitlines()]
    reported = {(r[0], r[2], r[1]) for r in rows if len(r) > 2 and (r[0], r[2]) in QUICK_WORKLOADS}
    assert reported == {(w, d, f) for w, d in QUICK_WORKLOADS for f in ("structure", "d-coeffs")}
    assert "MISMATCH" not in output
    for name in ("cross", "dot", "su_commutator"):
        assert any(r and r[0] == name for r in rows), name


def test_quick_algebra_run_reports_every_section():
    output = quick_run("bench_algebra.py")
    lines = output.splitlines()
    families = {line.split()[0] for line in lines if line.startswith(("gellmann ", "sylvester "))}
    assert families == {"gellmann", "sylvester"}
    for section in ("scaling:", "bracket:", "threads:"):
        assert any(line.startswith(section) for line in lines), section
    assert "MISMATCH" not in output


def test_fork_workers_quick_run_reports_every_workload():
    output = quick_run("bench_fork_workers.py")
    rows = [line.split() for line in output.splitlines()[2:]]
    assert [(r[0], r[1]) for r in rows] == [
        ("sylvester", "get_structure_constants"),
        ("dense", "get_structure_constants"),
        ("dense", "get_d_coefficients"),
    ]
    # single, cpu, workers, ideal, their ratio and its verdict
    assert all(len(r) == 9 and float(r[7]) > 0 and r[8] in ("ok", "SLOW") for r in rows), output


def test_lindblad_quick_run_reports_every_ratio():
    output = quick_run("bench_lindblad.py")
    lines = [line.split() for line in output.splitlines()]
    ratios = [line for line in lines if "ratio" in line]
    assert {(line[0], line[2]) for line in ratios} >= {("lindblad", "numpy"), ("lindblad_terms", "choi")}
    assert sum(line[:2] == ["peak", "lindblad"] for line in lines) == 2
    assert "MISMATCH" not in output


def test_structured_quick_run_reports_every_section():
    output = quick_run("bench_structured.py")
    lines = output.splitlines()
    for section in ("tfim:", "floor:", "dicts:", "memory:"):
        assert any(line.startswith(section) for line in lines), section
    assert sum("qubits sparse" in line for line in lines) == 2
