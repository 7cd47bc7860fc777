#include "dwls/implied_correlations.hpp"

#include <cmath>
#include <limits>

#include "dwls/unit_variance_model.hpp"

namespace sem {

ImpliedCorrelations::ImpliedCorrelations(const DwlsEngine& engine)
    : engine_(engine),
      Sigma_(engine.dims().n_observed(), engine.dims().n_observed()),
      d_(engine.dims().n_observed()) {}

void ImpliedCorrelations::evaluate(const Eigen::Ref<const Eigen::VectorXd>& params,
                                   Eigen::Ref<Eigen::VectorXd> out) {
    const ModelDims& dims = engine_.dims();
    const Eigen::Index ny = dims.ny, nx = dims.nx, p = dims.n_observed();
    const UnitVarianceModel u = unit_variance_model(engine_, params);
    const ModelMatrices& m = u.m;

    Sigma_.topLeftCorner(ny, ny) = u.Syy + m.ThetaEpsilon;
    if (ny > 0 && nx > 0) {
        Sigma_.topRightCorner(ny, nx).noalias() =
            u.LYA * m.Gamma * m.Phi * m.LambdaX.transpose();
        Sigma_.topRightCorner(ny, nx) += m.ThetaEpsilonDelta;
        Sigma_.bottomLeftCorner(nx, ny) = Sigma_.topRightCorner(ny, nx).transpose();
    }
    Sigma_.bottomRightCorner(nx, nx) = u.Sxx + m.ThetaDelta;

    // An infinite variance would standardise its correlations to 0 and an
    // infinite covariance give an infinite one that the fit's NaN test
    // misses: a model cell that is not finite leaves no correlation.
    if (!Sigma_.allFinite()) {
        Sigma_ = Sigma_.unaryExpr([](double v) {
            return std::isfinite(v) ? v : std::numeric_limits<double>::quiet_NaN();
        });
    }

    // Every variable is rescaled, ordinal ones too: an ordinal variance is
    // 1 only while its explained part stays below 1 - 1e-5.
    for (Eigen::Index i = 0; i < p; ++i) d_[i] = 1.0 / std::sqrt(Sigma_(i, i));
    Eigen::Index k = 0;
    for (Eigen::Index j = 0; j + 1 < p; ++j) {
        for (Eigen::Index i = j + 1; i < p; ++i) out[k++] = Sigma_(i, j) * d_[i] * d_[j];
    }
}

Eigen::VectorXd implied_corr(const DwlsEngine& engine,
                             const Eigen::Ref<const Eigen::VectorXd>& params) {
    Eigen::VectorXd sigma(engine.n_stats());
    ImpliedCorrelations(engine).evaluate(params, sigma);
    return sigma;
}

}  // namespace sem
