"""PLS path model of Bollen's industrialization and political democracy data.

Three composites in Mode A: ind60 (x1-x3), dem60 (y1-y4) and dem65 (y5-y8),
with the structural paths ind60 -> dem60, ind60 -> dem65 and dem60 -> dem65.

Run with the built module on the path, e.g.
    PYTHONPATH=build/dev python examples/fit_pls.py
"""
import argparse
import sys

import numpy as np

import _backend
from semfront import political_democracy_data

LATENT = ["ind60", "dem60", "dem65"]
INDICATORS = {"ind60": ["x1", "x2", "x3"], "dem60": ["y1", "y2", "y3", "y4"],
              "dem65": ["y5", "y6", "y7", "y8"]}
PATHS = [("ind60", "dem60"), ("ind60", "dem65"), ("dem60", "dem65")]


def fit(max_iter: int = 300, tol: float = 1e-7) -> tuple[list[str], list[list[int]], dict]:
    names, data = political_democracy_data()
    blocks = [[names.index(v) for v in INDICATORS[lv]] for lv in LATENT]
    # path_matrix(j, i) = 1: latent variable i predicts latent variable j
    path_matrix = np.zeros((len(LATENT), len(LATENT)))
    for source, target in PATHS:
        path_matrix[LATENT.index(target), LATENT.index(source)] = 1.0
    result = _backend.PlsEngine().run_algorithm(data, blocks, ["A"] * len(LATENT), path_matrix,
                                                max_iter, tol)
    return names, blocks, result


def parser() -> argparse.ArgumentParser:
    ap = argparse.ArgumentParser(prog="fit_pls", description=__doc__.split("\n\n")[0])
    ap.add_argument("--max-iter", type=int, default=300, help="default %(default)s")
    ap.add_argument("--tol", type=float, default=1e-7,
                    help="largest change of an outer weight at convergence (default %(default)s)")
    return ap


def main(argv: list[str] | None = None) -> None:
    args = parser().parse_args([] if argv is None else argv)
    names, blocks, res = fit(args.max_iter, args.tol)
    W, L, B = res["outer_weights"], res["outer_loadings"], res["inner_paths"]
    state = "converged" if res["converged"] else "did not converge"
    print(f"PLS path model, political democracy data (n = {res['latent_scores'].shape[0]}), "
          f"Mode A, factorial inner weighting:\n{state} after {res['iterations']} iterations\n")
    print("Outer weights are the raw Mode A weights (correlations with the inner estimate).")
    print(f"{'composite':<10}{'indicator':<11}{'weight':>9}{'loading':>9}")
    for j, lv in enumerate(LATENT):
        for r in blocks[j]:
            print(f"{lv:<10}{names[r]:<11}{W[r, j]:9.4f}{L[r, j]:9.4f}")
    print(f"\n{'path':<20}{'coefficient':>12}")
    for source, target in PATHS:
        coef = B[LATENT.index(source), LATENT.index(target)]
        print(f"{source + ' -> ' + target:<20}{coef:12.4f}")
    Y = res["latent_scores"]
    print("\nR-squared: " + ", ".join(
        f"{lv} {1 - np.var(Y[:, j] - Y @ B[:, j], ddof=1):.4f}"
        for j, lv in enumerate(LATENT) if B[:, j].any()))


if __name__ == "__main__":
    main(sys.argv[1:])
