#include "fiml/fiml_gradient.hpp"

#include "fiml/pattern_gather.hpp"
#include "model/implied_moments.hpp"
#include "model/lu_inverse.hpp"
#include "model/moment_derivatives.hpp"

namespace sem {

Eigen::VectorXd fiml_gradient(const ModelDescription& description,
                              const Eigen::Ref<const Eigen::VectorXd>& params,
                              const MissingPatterns& patterns, int n_free) {
    const ModelDims& dims = description.dims();
    const Eigen::Index p = dims.n_observed();
    const ModelMatrices m = build_model_matrices(description, params);
    const LuInverse A = structural_inverse(m.Beta);
    if (!A.invertible) return Eigen::VectorXd::Constant(n_free, 1e10);
    const Eigen::MatrixXd C = latent_covariance(m);
    const Eigen::MatrixXd Sigma = implied_sigma(dims, m, A.inverse, C);
    const Eigen::VectorXd mu = implied_mu(dims, m, A.inverse);
    const ImpliedMomentDerivatives d = implied_moment_derivatives(description, m, A.inverse, C, n_free);

    const Eigen::Index k_max = max_pattern_size(patterns.obs_indices);
    PatternGather gather(Sigma, mu, k_max);
    Eigen::MatrixXd D(k_max, k_max), T(k_max, k_max), W(k_max, k_max);
    Eigen::VectorXd e_buf(k_max), v_buf(k_max);

    // trace(W_p dSigma_p,i) = trace(scatter(W_p) dSigma_i) and the sum over
    // patterns is linear in W_p, so the case-weighted W_p and v_p are
    // scattered back to p x p and summed; no sub-derivative is gathered and
    // each parameter costs one pass over dSigma_i however many patterns.
    Eigen::MatrixXd Wsum = Eigen::MatrixXd::Zero(p, p);  // sum_p n_p scatter(W_p)
    Eigen::VectorXd vsum = Eigen::VectorXd::Zero(p);     // sum_p n_p scatter(Sigma_p^-1 e_p)
    long long N = 0;
    const bool invertible = for_each_pattern(patterns.obs_indices, gather, [&](std::size_t q) {
        if (!gather.invert()) return false;
        const Eigen::Index k = gather.size();
        const auto SigmaInv = gather.SigmaInv_p();
        auto e = e_buf.head(k);
        e = patterns.means[q] - gather.mu_p();
        auto Dk = D.topLeftCorner(k, k);
        Dk = gather.Sigma_p() - patterns.covs[q];
        Dk.noalias() -= e * e.transpose();
        auto Tk = T.topLeftCorner(k, k);
        Tk.noalias() = SigmaInv * Dk;
        auto Wk = W.topLeftCorner(k, k);
        Wk.noalias() = Tk * SigmaInv;
        auto v = v_buf.head(k);
        v.noalias() = SigmaInv * e;

        const int n = patterns.n_obs_list[q];
        gather.scatter_add(static_cast<double>(n), Wk, Wsum);
        gather.scatter_add(static_cast<double>(n), v, vsum);
        N += n;
        return true;
    });
    if (!invertible) return Eigen::VectorXd::Constant(n_free, 1e10);

    // trace(Wsum dSigma_i) = sum(Wsum' .* dSigma_i); neither factor is
    // assumed symmetric.
    const Eigen::MatrixXd WsumT = Wsum.transpose();
    const double n_total = static_cast<double>(N);
    Eigen::VectorXd g(n_free);
    for (int i = 0; i < n_free; ++i) {
        const double t = WsumT.cwiseProduct(d.dSigma[i]).sum();
        g[i] = (t - 2.0 * d.dmu[i].dot(vsum)) / n_total;
    }
    return g;
}

}  // namespace sem
