#include "ml/ml_objective.hpp"

#include <cmath>

#include <Eigen/Cholesky>

#include "kernels/kernel_products.hpp"
#include "kernels/ml_kernels.hpp"
#include "ml/factor_inverse.hpp"
#include "model/implied_moments.hpp"
#include "model/lu_inverse.hpp"
#include "model/ram_form.hpp"

namespace sem {

namespace {

// 2 * sum log L(i, i) of a successful Cholesky factorisation.
double cholesky_logdet(const Eigen::LLT<Eigen::MatrixXd>& llt) {
    const auto L = llt.matrixLLT();
    double s = 0.0;
    for (Eigen::Index i = 0; i < L.rows(); ++i) s += std::log(L(i, i));
    return 2.0 * s;
}

// The terms by an explicit inverse, for an S whose symmetric part has no
// Cholesky factor (S itself has one, so this is rounding's borderline).
bool dense_terms(const Eigen::MatrixXd& Sigma, const Eigen::Ref<const Eigen::MatrixXd>& S,
                 const Eigen::VectorXd* d, double* terms) {
    const Eigen::LLT<Eigen::MatrixXd> llt(Sigma);
    if (llt.info() != Eigen::Success) return false;
    const Eigen::Index n = Sigma.rows();
    const Eigen::MatrixXd SigmaInv = llt.solve(Eigen::MatrixXd::Identity(n, n));
    double trace = 0.0;
    for (Eigen::Index i = 0; i < n; ++i) trace += S.row(i).dot(SigmaInv.col(i));
    terms[0] = cholesky_logdet(llt);
    terms[1] = trace;
    terms[2] = d == nullptr ? 0.0 : d->dot(SigmaInv * *d);
    return true;
}

double discrepancy_from_terms(const double* terms, const SampleCovCache& cache, bool with_mean) {
    double F = (terms[0] + terms[1] - cache.logdet_s) - static_cast<double>(cache.p);
    if (with_mean) F += terms[2];
    if (std::isnan(F)) return kNotPositiveDefinite;
    return F > 0.0 ? F : 0.0;
}

// Below this many variables the dense terms cost less than the set-up of
// the structured ones (measured on generated models).
constexpr int kStructuredFrom = 24;

// The terms through Sigma's structure (factor_inverse.hpp), with no p x p
// matrix formed but S U; false when that route does not apply.
bool structured_terms(const ModelDescription& description, const ModelMatrices& m,
                      const Eigen::MatrixXd& A, const Eigen::MatrixXd& S_sym,
                      const Eigen::VectorXd* d, double* terms) {
    const RamForm r = ram_factors(description.dims(), m, A);
    FactorInverse inverse;
    if (!inverse.compute(description, m, r.L, r.K)) return false;
    const Eigen::MatrixXd& U = inverse.U();
    const Eigen::MatrixXd SU = inverse.left_times_U(S_sym);
    const Eigen::MatrixXd UtSU = kernel_product_tn(U, SU);
    terms[0] = inverse.log_det();
    terms[1] = inverse.trace_DS(S_sym) - inverse.Z().cwiseProduct(UtSU).sum();
    terms[2] = 0.0;
    if (d != nullptr) {
        const Eigen::VectorXd Utd = U.transpose() * *d;
        terms[2] = d->dot(inverse.apply_D(*d).col(0)) - Utd.dot(inverse.Z() * Utd);
    }
    return true;
}

}  // namespace

bool cache_holds(const SampleCovCache& cache, const Eigen::Ref<const Eigen::MatrixXd>& S) {
    return cache.valid && cache.S.rows() == S.rows() && cache.S.cols() == S.cols() && cache.S == S;
}

bool refresh_sample_cov_cache(SampleCovCache& cache, const Eigen::Ref<const Eigen::MatrixXd>& S) {
    if (cache_holds(cache, S)) return true;
    const Eigen::LLT<Eigen::MatrixXd> llt(S);
    if (llt.info() != Eigen::Success) return false;
    const double logdet = cholesky_logdet(llt);
    // A NaN on the diagonal slips through the factorisation's pivot test.
    if (!std::isfinite(logdet)) return false;
    cache.S = S;
    cache.S_sym = 0.5 * (S + S.transpose());
    const int p = static_cast<int>(S.rows());
    cache.factor.resize(p, p);
    if (!ml_kernels().sample_factor(p, cache.S.data(), cache.factor.data())) {
        cache.factor.resize(0, 0);
    }
    cache.logdet_s = logdet;
    cache.p = p;
    cache.valid = true;
    return true;
}

double ml_discrepancy(const ModelDescription& description,
                      const Eigen::Ref<const Eigen::VectorXd>& params,
                      const Eigen::Ref<const Eigen::MatrixXd>& S, const OptionalMean& mean,
                      const SampleCovCache& cache) {
    const ModelMatrices m = build_model_matrices(description, params, mean.has_value());
    // A singular I - Beta leaves no implied Sigma. Its LU "inverse" is finite
    // (the null directions come out as zeros), so the Cholesky test alone
    // could report a plausible discrepancy for it.
    const LuInverse IminusBetaInv = structural_inverse(m.Beta);
    if (!IminusBetaInv.invertible) return kNotPositiveDefinite;
    const Eigen::MatrixXd& A = IminusBetaInv.inverse;
    Eigen::VectorXd d;
    if (mean) d = *mean - implied_mu(description.dims(), m, A);
    const Eigen::VectorXd* dp = mean ? &d : nullptr;
    double terms[3];  // log|Sigma|, tr(S Sigma^-1), d' Sigma^-1 d
    if (description.dims().n_observed() >= kStructuredFrom &&
        structured_terms(description, m, A, cache.S_sym, dp, terms)) {
        return discrepancy_from_terms(terms, cache, mean.has_value());
    }

    const Eigen::MatrixXd Sigma = implied_sigma(description.dims(), m, A, latent_covariance(m));
    const Eigen::MatrixXd* factor = sample_factor_of(cache);
    const int n = static_cast<int>(Sigma.rows());
    const bool pd = factor != nullptr
                        ? ml_kernels().discrepancy_terms(n, Sigma.data(), factor->data(),
                                                         dp ? dp->data() : nullptr, terms)
                        : dense_terms(Sigma, S, dp, terms);
    if (!pd) return kNotPositiveDefinite;
    return discrepancy_from_terms(terms, cache, mean.has_value());
}

}  // namespace sem
