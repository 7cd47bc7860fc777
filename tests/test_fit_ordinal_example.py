"""The ordinal example's fit block: T = (N - 1) F and the scaled-shifted
statistic with its scaling factor and shift.

Oracle for the adjustment: N F behaves as z' U z with z ~ N(0, Gamma) and
U = W - W Delta (Delta' W Delta)^-1 Delta' W; U is built here from an
orthogonal projection (QR of W^1/2 Delta) and the moments of a T + shift are
checked by Monte Carlo draws of z."""
import numpy as np
import pytest

import fit_ordinal


@pytest.fixture(scope="module")
def result():
    return fit_ordinal.main([])


def residual_weight(result):
    root_w = np.sqrt(result["weights"])
    q, _ = np.linalg.qr(root_w[:, None] * result["jacobian"])
    return root_w[:, None] * (np.eye(q.shape[0]) - q @ q.T) * root_w[None, :]


def test_statistic_is_n_minus_one_times_f(result):
    assert result["converged"]
    assert result["stat"] == pytest.approx(300 * result["objective"], rel=1e-12)
    assert result["df"] == 36 - 12
    assert np.all(result["se"] > 0) and np.all(result["robust"] > 0)


def test_the_adjustment_leaves_df_directions(result):
    # U Delta = 0, so U Gamma has rank df: the mixture has df chi-square terms.
    eig = np.linalg.eigvals(residual_weight(result) @ result["gamma"])
    assert np.sum(np.abs(eig) > 1e-10 * np.abs(eig).max()) == result["df"]
    assert np.all(eig.real > -1e-12)


def test_scaled_shifted_statistic_has_the_moments_of_chi_square_df(result, rng):
    df, a, shift = result["df"], result["scaling"], result["shift"]
    z = rng.multivariate_normal(np.zeros(len(result["weights"])), result["gamma"], size=200_000)
    t = a * np.einsum("ij,jk,ik->i", z, residual_weight(result), z) + shift
    # Monte Carlo standard errors: sqrt(2 df / M) = 0.015 for the mean, and
    # 2 df sqrt((2 + 12 / df) / M) = 0.15 for the variance; allowed: 5 of them.
    assert t.mean() == pytest.approx(df, abs=0.08)
    assert t.var() == pytest.approx(2 * df, abs=0.8)
    assert result["stat_scaled_shifted"] == pytest.approx(a * result["stat"] + shift, rel=1e-12)


def test_fit_block_prints_both_statistics(capsys):
    out = fit_ordinal.main([])
    text = capsys.readouterr().out
    for label, values in [("DWLS F, T = (N - 1) F", (out["stat"],)),
                          ("scaled-shifted T, p-value", (out["stat_scaled_shifted"],)),
                          ("scaling factor, shift", (out["scaling"], out["shift"]))]:
        [line] = [ln for ln in text.splitlines() if label in ln]
        assert all(f"{v:.3f}" in line for v in values)
