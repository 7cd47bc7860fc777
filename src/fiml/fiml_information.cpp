#include "fiml/fiml_information.hpp"

#include "fiml/pattern_gather.hpp"
#include "model/implied_moments.hpp"
#include "model/lu_inverse.hpp"
#include "model/moment_derivatives.hpp"

namespace sem {

Eigen::MatrixXd fiml_expected_information(const ModelDescription& description,
                                          const Eigen::Ref<const Eigen::VectorXd>& params,
                                          const MissingPatterns& patterns, int n_free) {
    const ModelDims& dims = description.dims();
    const ModelMatrices m = build_model_matrices(description, params);
    const LuInverse A = structural_inverse(m.Beta);
    if (!A.invertible) return Eigen::MatrixXd::Constant(n_free, n_free, 1e10);
    const Eigen::MatrixXd C = latent_covariance(m);
    const Eigen::MatrixXd Sigma = implied_sigma(dims, m, A.inverse, C);
    const Eigen::VectorXd mu = implied_mu(dims, m, A.inverse);
    const ImpliedMomentDerivatives d = implied_moment_derivatives(description, m, A.inverse, C, n_free);

    long long N = 0;  // every listed pattern, empty ones included
    for (std::size_t q = 0; q < patterns.obs_indices.size(); ++q) N += patterns.n_obs_list[q];
    const double n_total = static_cast<double>(N);

    // With B_i = Sigma_p^-1 dSigma_p,i, trace(B_j B_i) = vec(B_j) . vec(B_i'),
    // so one pattern's whole trace block is a single product of the stacked
    // vec(B_i) with the stacked vec(B_i'): n_free k^3 + n_free^2 k^2 work
    // instead of a k^3 product for every pair.
    const Eigen::Index k_max = max_pattern_size(patterns.obs_indices);
    PatternGather gather(Sigma, mu, k_max);
    Eigen::MatrixXd D(k_max, k_max);
    Eigen::MatrixXd B(k_max * k_max, n_free), Bt(k_max * k_max, n_free);  // vec(B_i), w vec(B_i')
    Eigen::MatrixXd M(k_max, n_free), SM(k_max, n_free);  // dmu_p,i and 2w Sigma_p^-1 dmu_p,i
    Eigen::MatrixXd H = Eigen::MatrixXd::Zero(n_free, n_free);  // upper triangle accumulates

    const bool invertible = for_each_pattern(patterns.obs_indices, gather, [&](std::size_t q) {
        if (!gather.invert()) return false;
        const Eigen::Index k = gather.size();
        const auto SigmaInv = gather.SigmaInv_p();
        const double w = static_cast<double>(patterns.n_obs_list[q]) / n_total;
        auto Dk = D.topLeftCorner(k, k);
        for (int i = 0; i < n_free; ++i) {
            gather.gather(d.dSigma[i], Dk);
            Eigen::Map<Eigen::MatrixXd> Bi(B.col(i).data(), k, k);
            Bi.noalias() = SigmaInv * Dk;
            Eigen::Map<Eigen::MatrixXd>(Bt.col(i).data(), k, k) = w * Bi.transpose();
            gather.gather(d.dmu[i], M.col(i).head(k));
        }
        H.triangularView<Eigen::Upper>() += B.topRows(k * k).transpose() * Bt.topRows(k * k);
        auto SMk = SM.topRows(k);
        SMk.noalias() = SigmaInv * M.topRows(k);
        SMk *= 2.0 * w;
        H.triangularView<Eigen::Upper>() += M.topRows(k).transpose() * SMk;
        return true;
    });
    if (!invertible) return Eigen::MatrixXd::Constant(n_free, n_free, 1e10);

    for (Eigen::Index j = 0; j < n_free; ++j) {
        for (Eigen::Index i = j + 1; i < n_free; ++i) H(i, j) = H(j, i);
    }
    return H;
}

}  // namespace sem
