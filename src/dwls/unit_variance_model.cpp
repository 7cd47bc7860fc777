#include "dwls/unit_variance_model.hpp"

#include "model/implied_moments.hpp"
#include "model/lu_inverse.hpp"

namespace sem {

namespace {

// max(1e-5, 1 - explained) written so that a NaN explained variance stays
// NaN (std::max would return the floor) and the fit sees the NaN.
double unit_residual(double explained) {
    const double r = 1.0 - explained;
    return r < 1e-5 ? 1e-5 : r;
}

}  // namespace

UnitVarianceModel unit_variance_model(const DwlsEngine& engine,
                                      const Eigen::Ref<const Eigen::VectorXd>& params) {
    const ModelDims& d = engine.dims();
    const std::vector<bool>& ordinal = engine.is_ordinal();
    UnitVarianceModel u{build_model_matrices(engine.model(), params, /*with_means=*/false), {}, {},
                        {}};
    ModelMatrices& m = u.m;
    const Eigen::MatrixXd A = structural_inverse(m.Beta).inverse;
    const Eigen::MatrixXd C = latent_covariance(m);
    u.LYA.noalias() = m.LambdaY * A;
    u.Syy.noalias() = u.LYA * C * A.transpose() * m.LambdaY.transpose();
    u.Sxx.noalias() = m.LambdaX * m.Phi * m.LambdaX.transpose();
    for (int i = 0; i < d.ny; ++i) {
        if (ordinal[i]) m.ThetaEpsilon(i, i) = unit_residual(u.Syy(i, i));
    }
    for (int j = 0; j < d.nx; ++j) {
        if (ordinal[d.ny + j]) m.ThetaDelta(j, j) = unit_residual(u.Sxx(j, j));
    }
    return u;
}

Eigen::VectorXd get_diagonal_residuals(const DwlsEngine& engine,
                                       const Eigen::Ref<const Eigen::VectorXd>& params) {
    const ModelDims& d = engine.dims();
    const UnitVarianceModel u = unit_variance_model(engine, params);
    Eigen::VectorXd theta(d.n_observed());
    theta.head(d.ny) = u.m.ThetaEpsilon.diagonal();
    theta.tail(d.nx) = u.m.ThetaDelta.diagonal();
    return theta;
}

}  // namespace sem
