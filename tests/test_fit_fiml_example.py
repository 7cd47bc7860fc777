"""The FIML example: on the complete data (one pattern) it must reproduce the
classic ML solution of the political-democracy model (Bollen, 1989), whose
estimates and standard errors are published to three decimals."""
import numpy as np
import pytest

import fit_fiml
from semfront import political_democracy_data, political_democracy_model

PUBLISHED = {  # name: (estimate, standard error)
    "ind60 =~ x2": (2.180, 0.139),
    "ind60 =~ x3": (1.819, 0.152),
    "dem60 =~ y2": (1.257, 0.182),
    "dem60 =~ y3": (1.058, 0.151),
    "dem60 =~ y4": (1.265, 0.145),
    "dem65 =~ y6": (1.186, 0.169),
    "dem65 =~ y7": (1.280, 0.160),
    "dem65 =~ y8": (1.266, 0.158),
    "dem60 ~ ind60": (1.483, 0.399),
    "dem65 ~ ind60": (0.572, 0.221),
    "dem65 ~ dem60": (0.837, 0.098),
}


@pytest.fixture(scope="module")
def setting():
    model = political_democracy_model(meanstructure=True)
    engine = model.ml_engine(meanstructure=True)
    _, data = political_democracy_data()
    start = model.start_vector()
    start[-model.p:] = data.mean(axis=0)
    return model, engine, data, start


def test_complete_data_as_one_pattern_reproduces_published_solution(setting):
    model, engine, data, start = setting
    patterns = fit_fiml.group_patterns(data)
    assert patterns[0] == [list(range(11))] and patterns[1] == [75]
    theta, _, _ = fit_fiml.fit(engine, start, patterns)
    se = fit_fiml.standard_errors(engine, theta, patterns)
    for name, (est, err) in PUBLISHED.items():
        k = model.names.index(name)
        # Published to three decimals.
        assert theta[k] == pytest.approx(est, abs=6e-4), name
        assert se[k] == pytest.approx(err, abs=6e-4), name


def test_grouping_keeps_every_observed_value(setting, rng):
    _, _, data, _ = setting
    holes = data.copy()
    holes[rng.random(data.shape) < 0.2] = np.nan
    holes[3] = np.nan  # a case that observes nothing is left out
    lists, counts, means, covs = fit_fiml.group_patterns(holes)
    assert sum(counts) == 74
    # Pattern means weighted by their counts give back each column's mean.
    total = np.zeros(11)
    seen = np.zeros(11)
    for idx, n, xbar in zip(lists, counts, means):
        total[idx] += n * xbar
        seen[idx] += n
    np.testing.assert_allclose(total / seen, np.nanmean(holes, axis=0), rtol=1e-12)


def test_main_runs(capsys):
    fit_fiml.main([])
    out = capsys.readouterr().out
    assert "cov = 2/N * inv(expected_hessian_fiml)" in out
    assert "robust (sandwich)" in out


def test_complete_data_statistics_are_the_ml_ones(setting, capsys):
    """With nothing missing the saturated FIML model reproduces the sample
    moments, so N (F - F_saturated) is the ML statistic, 38.125 on 35 df,
    and the baseline's is N (sum log s_ii - log|S|) of the independence model."""
    _, _, data, _ = setting
    out = fit_fiml.main(["--missing", "0"])
    capsys.readouterr()
    assert out["patterns"][1] == [75]
    assert out["stat"] == pytest.approx(38.125, abs=1e-3) and out["df"] == 35
    S = np.cov(data, rowvar=False, bias=True)
    base = 75 * (np.log(np.diag(S)).sum() - np.linalg.slogdet(S)[1])
    assert out["base_stat"] == pytest.approx(base, rel=1e-8) and out["base_df"] == 55
