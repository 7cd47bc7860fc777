#include "ml/ml_objective.hpp"

#include <cmath>

#include <Eigen/Cholesky>

#include "model/implied_moments.hpp"
#include "model/lu_inverse.hpp"

namespace sem {

namespace {

// 2 * sum log L(i, i) of a successful Cholesky factorisation.
double cholesky_logdet(const Eigen::LLT<Eigen::MatrixXd>& llt) {
    const auto L = llt.matrixLLT();
    double s = 0.0;
    for (Eigen::Index i = 0; i < L.rows(); ++i) s += std::log(L(i, i));
    return 2.0 * s;
}

}  // namespace

bool refresh_sample_cov_cache(SampleCovCache& cache, const Eigen::Ref<const Eigen::MatrixXd>& S) {
    if (cache.valid && cache.S.rows() == S.rows() && cache.S.cols() == S.cols() && cache.S == S) {
        return true;
    }
    const Eigen::LLT<Eigen::MatrixXd> llt(S);
    if (llt.info() != Eigen::Success) return false;
    const double logdet = cholesky_logdet(llt);
    // A NaN on the diagonal slips through the factorisation's pivot test.
    if (!std::isfinite(logdet)) return false;
    cache.S = S;
    cache.logdet_s = logdet;
    cache.p = static_cast<int>(S.rows());
    cache.valid = true;
    return true;
}

double ml_discrepancy(const ModelDescription& description,
                      const Eigen::Ref<const Eigen::VectorXd>& params,
                      const Eigen::Ref<const Eigen::MatrixXd>& S, const OptionalMean& mean,
                      double logdet_s, int p) {
    const ModelMatrices m = build_model_matrices(description, params, mean.has_value());
    // A singular I - Beta leaves no implied Sigma. Its LU "inverse" is finite
    // (the null directions come out as zeros), so the Cholesky test alone
    // could report a plausible discrepancy for it.
    const LuInverse IminusBetaInv = structural_inverse(m.Beta);
    if (!IminusBetaInv.invertible) return kNotPositiveDefinite;
    const Eigen::MatrixXd& A = IminusBetaInv.inverse;
    const Eigen::MatrixXd Sigma = implied_sigma(description.dims(), m, A, latent_covariance(m));

    const Eigen::LLT<Eigen::MatrixXd> llt(Sigma);
    if (llt.info() != Eigen::Success) return kNotPositiveDefinite;
    const Eigen::Index n = Sigma.rows();
    const Eigen::MatrixXd SigmaInv = llt.solve(Eigen::MatrixXd::Identity(n, n));

    double trace = 0.0;
    for (Eigen::Index i = 0; i < n; ++i) trace += S.row(i).dot(SigmaInv.col(i));
    double F = (cholesky_logdet(llt) + trace - logdet_s) - static_cast<double>(p);
    if (mean) {
        const Eigen::VectorXd d = *mean - implied_mu(description.dims(), m, A);
        F += d.dot(SigmaInv * d);
    }
    if (std::isnan(F)) return kNotPositiveDefinite;
    return F > 0.0 ? F : 0.0;
}

}  // namespace sem
