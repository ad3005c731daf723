"""Print the structure constants and d-coefficients of su(d).

For the Gell-Mann basis B_a = i * lambda_a the values are shown in textbook
form: [B_a, B_b] = -2 f_abc B_c and the d-coefficient value is i d_abc, so
f_abc = -c / 2 and d_abc = Im(value). For the Sylvester basis the raw
coefficients are shown: [B_a, B_b] = c B_c and {B_a, B_b} = 2 v B_c + (identity).

    python examples/su_tables.py 3
    python examples/su_tables.py 3 --basis sylvester
"""

import argparse

import zenqa


def gellmann_labels(d):
    """(j, k) index pair of each Gell-Mann position: symmetric for j > k,
    antisymmetric for j < k, diagonal for j == k."""
    pairs = [(j, k) for j in range(1, d) for k in range(1, d + 1)]
    return pairs + [(d, k) for k in range(1, d)]


def print_tables(basis, structure_title, structure_line, d_title, d_line):
    """Each structure constant of a pair a < b, then each d-coefficient of a <= b."""
    print(f"\n{structure_title}:")
    for (a, b), (c, value) in zenqa.get_structure_constants(basis).items():
        if a < b:
            print("  " + structure_line(a, b, c, value))
    print(f"\n{d_title}:")
    for (a, b, c), value in zenqa.get_d_coefficients(basis).items():
        if a <= b:
            print("  " + d_line(a, b, c, value))


def print_gellmann_tables(d):
    basis = zenqa.gen_gellmann(d)
    print(f"su({d}) in the Gell-Mann basis, {len(basis)} elements B_a = i lambda_a")
    for position, (j, k) in enumerate(gellmann_labels(d)):
        kind = "symmetric" if j > k else "antisymmetric" if j < k else "diagonal"
        print(f"  B_{position}: pair ({j}, {k}), {kind}")
    print_tables(
        basis,
        "f_abc (from [B_a, B_b] = -2 f_abc B_c, lowest c, a < b)",
        lambda a, b, c, value: f"f[{a},{b},{c}] = {-value.real / 2:+.6f}",
        "d_abc (the dict value is i d_abc, a <= b)",
        lambda a, b, c, value: f"d[{a},{b},{c}] = {value.imag:+.6f}",
    )


def print_sylvester_tables(d):
    basis = zenqa.gen_sylvester(d)
    print(f"su({d}) in the Sylvester basis, {len(basis)} elements X, Z, X^j Z^m")
    print_tables(
        basis,
        "[B_a, B_b] = c B_k (lowest k, a < b)",
        lambda a, b, k, value: f"[{a},{b}] -> {k}: {value:.6f}",
        "{B_a, B_b} = 2 v B_k + (identity) (a <= b)",
        lambda a, b, k, value: f"{{{a},{b}}} -> {k}: {value:.6f}",
    )


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("d", type=int, nargs="?", default=3, help="matrix dimension (default 3)")
    parser.add_argument("--basis", choices=["gellmann", "sylvester"], default="gellmann")
    args = parser.parse_args()
    if args.basis == "gellmann":
        print_gellmann_tables(args.d)
    else:
        print_sylvester_tables(args.d)


if __name__ == "__main__":
    main()
