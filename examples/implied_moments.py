"""Implied moments of two models at fixed parameter values."""
import argparse
import sys

import numpy as np

from semfront import LAMBDA_Y, PSI, THETA_EPSILON, Model, political_democracy_model


def show(title, names, sigma, mu):
    print(title)
    width = max(len(n) for n in names)
    print(" " * (width + 1) + " ".join(f"{n:>7}" for n in names))
    for n, row in zip(names, sigma):
        print(f"{n:>{width}} " + " ".join(f"{v:7.3f}" for v in row))
    print(f"{'mu':>{width}} " + " ".join(f"{v:7.3f}" for v in mu))
    print()


def parser() -> argparse.ArgumentParser:
    return argparse.ArgumentParser(prog="implied_moments", description=__doc__)


def main(argv: list[str] | None = None) -> None:
    parser().parse_args([] if argv is None else argv)
    m = Model(nx=0, ny=4, nxi=0, neta=1)
    for i, lam in enumerate([1.0, 0.8, 1.2, 0.9]):
        m.free(LAMBDA_Y, i, 0, lam, f"f =~ y{i + 1}")
        m.free(THETA_EPSILON, i, i, 0.5, f"y{i + 1} ~~ y{i + 1}")
    m.fix(PSI, 0, 0, 1.0)
    sigma, mu = m.ml_engine().get_implied_moments(m.start_vector())
    show("One-factor model, loadings (1, .8, 1.2, .9), unit factor variance:",
         [f"y{i}" for i in range(1, 5)], sigma, mu)

    pd = political_democracy_model()
    sigma, mu = pd.ml_engine().get_implied_moments(pd.start_vector())
    names = [f"y{i}" for i in range(1, 9)] + [f"x{i}" for i in range(1, 4)]
    show("Political democracy model (ind60 -> dem60 -> dem65) at its start values:",
         names, sigma, mu)
    assert np.allclose(sigma, sigma.T)


if __name__ == "__main__":
    main(sys.argv[1:])
