"""Benchmark the open-system methods of zenqa.Algebra against NumPy and QuTiP, in one run.

On the Gell-Mann basis with a random Hamiltonian and three dense jump operators:

lindblad        Algebra.lindblad against the NumPy route (every L(B_j) formed in
                one batch and projected with a precomputed pseudo-inverse) and
                against qutip.liouvillian followed by the change of basis;
lindblad_terms  Algebra.lindblad_terms against the NumPy Choi-matrix route
                (superoperator, reshuffle, projection on both sides);
dense           both again on a rotated Gell-Mann basis (U B U^H, every entry
                nonzero), where zenqa takes matrix products too, and on a
                unitary mix of it whose matrices are neither Hermitian nor
                anti-Hermitian, which takes the general complex products;
peak            how far each zenqa call raises the resident memory, in a fresh
                child process, against the size of its (n, n) result.

  python bench/bench_lindblad.py [--quick]
"""

import argparse
import ctypes
import json
import subprocess
import sys
import time
from functools import partial

import numpy as np
from bench_decomposition import fmt_seconds, rotated_gellmann, status_kib, timed

import zenqa

try:
    import qutip
except ImportError:
    qutip = None

REPEATS = 10
ROUNDS = 3
SETTLE = 0.3  # seconds


def equation(d, seed=2026):
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(d, d)) + 1j * rng.normal(size=(d, d))
    jumps = rng.normal(size=(3, d, d)) + 1j * rng.normal(size=(3, d, d))
    return x + x.conj().T, jumps, np.array([0.3, 1.0, 0.7])


class NumpyRoutes:
    """The matrix routes, with everything that depends only on the basis precomputed."""

    def __init__(self, basis):
        self.basis = np.array(basis)
        self.n, self.d = len(basis), self.basis.shape[1]
        self.columns = self.basis.reshape(self.n, -1).T  # row-major vec of each B_k
        self.pinv = np.linalg.pinv(self.columns)
        # The same in QuTiP's column-stacked vec.
        self.columns_stacked = self.basis.transpose(0, 2, 1).reshape(self.n, -1).T
        self.pinv_stacked = np.linalg.pinv(self.columns_stacked)

    def lindblad(self, hamiltonian, jumps, rates):
        d, stack = self.d, np.concatenate([self.basis, np.eye(self.d)[None] / self.d])
        images = -1j * (hamiltonian @ stack - stack @ hamiltonian)
        for jump, rate in zip(jumps, rates, strict=True):
            decay = jump.conj().T @ jump
            images += rate * (jump @ stack @ jump.conj().T - 0.5 * (decay @ stack + stack @ decay))
        coefficients = self.pinv @ images.reshape(-1, d * d).T
        return coefficients[:, :-1], coefficients[:, -1]

    def qutip_lindblad(self, hamiltonian, jumps, rates):
        c_ops = [qutip.Qobj(np.sqrt(rate) * jump) for jump, rate in zip(jumps, rates, strict=True)]
        superoperator = qutip.liouvillian(qutip.Qobj(hamiltonian), c_ops).full()
        mapped = superoperator @ self.columns_stacked
        return self.pinv_stacked @ mapped, self.pinv_stacked @ (superoperator @ np.eye(self.d).reshape(-1)) / self.d

    def lindblad_terms(self, a, b):
        d = self.d
        superoperator = self.columns @ a @ self.pinv + np.outer(self.columns @ b, np.eye(d).reshape(-1))
        choi = superoperator.reshape(d, d, d, d).transpose(0, 2, 1, 3).reshape(d * d, d * d)
        kossakowski = self.pinv @ choi @ self.pinv.conj().T
        g = (choi @ np.eye(d).reshape(-1)).reshape(d, d) / d
        hamiltonian = 0.5j * (g - g.conj().T)
        return hamiltonian - np.trace(hamiltonian) / d * np.eye(d), kossakowski


def child(workload):
    """Runs one call in this fresh process and prints how far it raised the resident memory."""
    method, d = workload.split(":")
    algebra = zenqa.Algebra(zenqa.gen_gellmann(int(d)))
    arguments = equation(algebra.dim)
    if method == "lindblad":
        call = lambda: algebra.lindblad(*arguments)  # noqa: E731
    else:
        generator = algebra.lindblad(*arguments)
        call = lambda: algebra.lindblad_terms(*generator)  # noqa: E731
    small = zenqa.Algebra(zenqa.gen_gellmann(2))
    small.lindblad_terms(*small.lindblad(*equation(2)))  # sets up what every later call shares
    # Freed heap pages go back to the system first, so that reusing them counts.
    ctypes.CDLL("libc.so.6").malloc_trim(0)
    with open("/proc/self/clear_refs", "w") as refs:
        refs.write("5")  # resets the high-water mark
    before = status_kib("VmRSS")
    result = call()
    print(json.dumps({"peak_bytes": (status_kib("VmHWM") - before) * 1024}))
    del result


def peak_ratio(method, d):
    run = subprocess.run(
        [sys.executable, __file__, "--child", f"{method}:{d}"], capture_output=True, text=True, check=True
    )
    peak = json.loads(run.stdout)["peak_bytes"]
    n = d * d - 1
    return peak / (n * n * 16)


def agree(got, want):
    return all(np.allclose(x, y, atol=1e-9 * max(1.0, np.abs(y).max())) for x, y in zip(got, want, strict=True))


def bench(d):
    basis = zenqa.gen_gellmann(d)
    algebra = zenqa.Algebra(basis)
    routes = NumpyRoutes(basis)
    arguments = equation(d)
    ours = timed(lambda: algebra.lindblad(*arguments), REPEATS)
    numpy_route = timed(lambda: routes.lindblad(*arguments), REPEATS)
    mark = "" if agree(ours.result, numpy_route.result) else "  MISMATCH"
    print(f"d={d} n={d * d - 1}")
    print(
        f"  lindblad        {fmt_seconds(ours.seconds):>8}  numpy route {fmt_seconds(numpy_route.seconds):>8}"
        f"  ratio {numpy_route.seconds / ours.seconds:6.1f}x{mark}"
    )
    if qutip is None:
        print("  lindblad        qutip route skipped: QuTiP is not installed")
    else:
        peer = timed(lambda: routes.qutip_lindblad(*arguments), REPEATS)
        mark = "" if agree(ours.result, peer.result) else "  MISMATCH"
        print(
            f"  lindblad        {fmt_seconds(ours.seconds):>8}  qutip route {fmt_seconds(peer.seconds):>8}"
            f"  ratio {peer.seconds / ours.seconds:6.1f}x{mark}"
        )
    generator = ours.result
    terms = timed(lambda: algebra.lindblad_terms(*generator), REPEATS)
    choi = timed(lambda: routes.lindblad_terms(*generator), REPEATS)
    mark = "" if agree(terms.result, choi.result) else "  MISMATCH"
    print(
        f"  lindblad_terms  {fmt_seconds(terms.seconds):>8}  choi route  {fmt_seconds(choi.seconds):>8}"
        f"  ratio {choi.seconds / terms.seconds:6.1f}x{mark}"
    )
    for method in ("lindblad", "lindblad_terms"):
        print(f"  peak {method:<15} {peak_ratio(method, d):4.2f}x the (n, n) result")


def complex_mix(basis, seed=7):
    """sum_j U_kj B_j for a random unitary U: orthonormal still, but neither Hermitian nor anti-Hermitian."""
    rng = np.random.default_rng(seed)
    n = len(basis)
    u, _ = np.linalg.qr(rng.standard_normal((n, n)) + 1j * rng.standard_normal((n, n)))
    return list(np.einsum("kj,jab->kab", u, np.array(basis)))


def alternated(calls):
    """The best time of each call over ROUNDS rounds that take them in turn.

    These calls last milliseconds, and a shared machine slows down for longer
    than that now and then: in turns, neither meets such a spell alone.
    """
    best = [None] * len(calls)
    for _ in range(ROUNDS):
        for k, call in enumerate(calls):
            # NumPy's OpenBLAS threads spin for a while after its products, on
            # the cores the next timing needs: each starts once they sleep.
            time.sleep(SETTLE)
            measured = timed(call, REPEATS)
            if best[k] is None or measured.seconds < best[k].seconds:
                best[k] = measured
    return best


def bench_dense(d, name, basis):
    algebra = zenqa.Algebra(basis)
    routes = NumpyRoutes(basis)
    arguments = equation(d)
    generator = algebra.lindblad(*arguments)
    print(f"d={d} {name} (dense)")
    for method in ("lindblad", "lindblad_terms"):
        inputs = arguments if method == "lindblad" else generator
        calls = partial(getattr(algebra, method), *inputs), partial(getattr(routes, method), *inputs)
        ours, numpy_route = alternated(calls)
        mark = "" if agree(ours.result, numpy_route.result) else "  MISMATCH"
        print(
            f"  {method:<15} {fmt_seconds(ours.seconds):>8}  numpy route {fmt_seconds(numpy_route.seconds):>8}"
            f"  ratio {numpy_route.seconds / ours.seconds:6.1f}x{mark}"
        )


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="tiny sizes, to check that the script runs")
    parser.add_argument("--child", help=argparse.SUPPRESS)
    options = parser.parse_args()
    if options.child:
        return child(options.child)
    for d in (3, 4) if options.quick else (16, 32):
        bench(d)
    for d in (3,) if options.quick else (16, 24):
        bench_dense(d, "rotated", rotated_gellmann(d))
        bench_dense(d, "complex mix", complex_mix(rotated_gellmann(d)))


if __name__ == "__main__":
    main()
