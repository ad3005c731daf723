"""Print the complete tables of structure constants and d-coefficients of su(d).

Every component of every product comes from zenqa.Algebra. For the Gell-Mann
basis B_a = i lambda_a the tables are the textbook ones,

    [lambda_a, lambda_b] = 2i f_abc lambda_c,
    {lambda_a, lambda_b} = (4/d) delta_ab I + 2 d_abc lambda_c,

one line per nonzero f_abc with a < b < c and per nonzero d_abc with
a <= b <= c (both are totally (anti)symmetric). Since [B_a, B_b] = -2 f_abc B_c
and half the coefficients of {B_a, B_b} are i d_abc, f_abc = -c/2 and
d_abc = Im(value) for the tensors' values. For su(2) and su(3) the labels are
the textbook's (Pauli 1..3, lambda_1..lambda_8); for larger d they are the
1-based basis positions.

For the Sylvester basis the raw coefficients are printed: [B_a, B_b] = sum c B_k
and {B_a, B_b} = sum 2 v B_k + (identity), for a < b and a <= b.

    python examples/su_tables.py 3
    python examples/su_tables.py 3 --basis sylvester
"""

import argparse

import zenqa

# Textbook label of each Gell-Mann basis position (see the README's table).
TEXTBOOK_LABELS = {2: [3, 2, 1], 3: [3, 2, 5, 1, 8, 7, 4, 6]}


def components(index, value, labels):
    """{(labels of i, j, k): value} for every stored component."""
    return {tuple(labels[p] for p in row): v for row, v in zip(index.tolist(), value.tolist(), strict=True)}


def print_lines(lines):
    for line in lines:
        print(line)
    if not lines:
        print("(all zero)")


def print_gellmann_tables(d):
    algebra = zenqa.Algebra(zenqa.gen_gellmann(d))
    labels = TEXTBOOK_LABELS.get(d) or list(range(1, len(algebra) + 1))
    naming = "textbook labels" if d in TEXTBOOK_LABELS else "labels are 1-based basis positions"
    print(f"su({d}) in the Gell-Mann basis, {len(algebra)} elements B_a = i lambda_a ({naming})")
    between = "" if len(algebra) < 10 else ","  # f_123, or f_1,12,13 once labels have two digits
    f = components(*algebra.structure_constants(), labels)
    print("\nstructure constants, [lambda_a, lambda_b] = 2i f_abc lambda_c:")
    print_lines(
        [f"f_{a}{between}{b}{between}{c} = {-v.real / 2:+.6f}" for (a, b, c), v in sorted(f.items()) if a < b < c]
    )
    d_abc = components(*algebra.d_coefficients(), labels)
    print("\nd-coefficients, {lambda_a, lambda_b} = (4/d) delta_ab I + 2 d_abc lambda_c:")
    print_lines(
        [f"d_{a}{between}{b}{between}{c} = {v.imag:+.6f}" for (a, b, c), v in sorted(d_abc.items()) if a <= b <= c]
    )


def print_sylvester_tables(d):
    algebra = zenqa.Algebra(zenqa.gen_sylvester(d))
    labels = list(range(1, len(algebra) + 1))
    print(f"su({d}) in the Sylvester basis, {len(algebra)} elements X, Z, X^j Z^m (labels are 1-based positions)")
    f = components(*algebra.structure_constants(), labels)
    print("\n[B_a, B_b] = sum over k of c B_k, a < b:")
    print_lines([f"[{a},{b}] -> {k}: c = {c.real:+.6f}{c.imag:+.6f}i" for (a, b, k), c in sorted(f.items()) if a < b])
    v = components(*algebra.d_coefficients(), labels)
    print("\n{B_a, B_b} = sum over k of 2 v B_k + (identity), a <= b:")
    print_lines(
        [f"{{{a},{b}}} -> {k}: v = {x.real:+.6f}{x.imag:+.6f}i" for (a, b, k), x in sorted(v.items()) if a <= b]
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
