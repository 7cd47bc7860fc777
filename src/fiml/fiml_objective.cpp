#include "fiml/fiml_objective.hpp"

#include <Eigen/Cholesky>

#include "fiml/pattern_gather.hpp"
#include "model/implied_moments.hpp"
#include "model/lu_inverse.hpp"

namespace sem {

double fiml_objective(const ModelDescription& description,
                      const Eigen::Ref<const Eigen::VectorXd>& params,
                      const MissingPatterns& patterns) {
    const ModelMatrices m = build_model_matrices(description, params);
    // As in the complete-data discrepancy: the LU "inverse" of a singular
    // I - Beta is finite, so the Cholesky test alone would let a model without
    // implied moments report a plausible value.
    const LuInverse A = structural_inverse(m.Beta);
    if (!A.invertible) return 1e15;
    const ImpliedMoments moments = implied_moments(description.dims(), m, A.inverse);
    const Eigen::Index k_max = max_pattern_size(patterns.obs_indices);
    PatternGather gather(moments.Sigma, moments.mu, k_max);
    Eigen::MatrixXd SigmaInvS(k_max, k_max);
    Eigen::VectorXd z(k_max);

    double F = 0.0;
    long long N = 0;  // 64 bits: many large patterns must not overflow the count
    const bool positive_definite = for_each_pattern(patterns.obs_indices, gather, [&](std::size_t q) {
        const Eigen::Index k = gather.size();
        Eigen::Ref<Eigen::MatrixXd> L = gather.Sigma_p();  // factored in place
        const Eigen::LLT<Eigen::Ref<Eigen::MatrixXd>> llt(L);
        if (llt.info() != Eigen::Success) return false;
        const double logdet = 2.0 * L.diagonal().array().log().sum();

        // trace(S_p Sigma_p^-1) = trace(Sigma_p^-1 S_p): one solve, no inverse.
        auto X = SigmaInvS.topLeftCorner(k, k);
        X = patterns.covs[q];
        llt.solveInPlace(X);
        const double tr = X.trace();

        // e' Sigma_p^-1 e = |L^-1 e|^2
        auto e = z.head(k);
        e = patterns.means[q] - gather.mu_p();
        llt.matrixL().solveInPlace(e);
        const double quad = e.squaredNorm();

        const int n = patterns.n_obs_list[q];
        F += static_cast<double>(n) * ((tr + logdet) + quad);
        N += n;
        return true;
    });
    if (!positive_definite) return 1e15;
    return F / static_cast<double>(N);
}

}  // namespace sem
