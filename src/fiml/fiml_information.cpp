#include "fiml/fiml_information.hpp"

#include "fiml/pattern_gather.hpp"
#include "model/implied_moments.hpp"
#include "model/lu_inverse.hpp"
#include "model/moment_derivatives.hpp"

namespace sem {

namespace {

// The parameters whose derivative is not identically zero: intercepts leave
// Sigma alone and most covariance parameters leave mu alone, and their rows
// and columns of either block are exactly zero, so they stay out of the
// products. NaN counts as non-zero.
template <class Derivatives>
std::vector<int> nonzero_derivatives(const Derivatives& d) {
    std::vector<int> which;
    for (std::size_t i = 0; i < d.size(); ++i) {
        if ((d[i].array() != 0.0).any()) which.push_back(static_cast<int>(i));
    }
    return which;
}

}  // namespace

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
    // instead of a k^3 product for every pair. The mean block likewise.
    const std::vector<int> cov_params = nonzero_derivatives(d.dSigma);
    const std::vector<int> mean_params = nonzero_derivatives(d.dmu);
    const Eigen::Index ns = static_cast<Eigen::Index>(cov_params.size());
    const Eigen::Index nm = static_cast<Eigen::Index>(mean_params.size());
    const Eigen::Index k_max = max_pattern_size(patterns.obs_indices);
    PatternGather gather(Sigma, mu, k_max);
    Eigen::MatrixXd D(k_max, k_max);
    Eigen::MatrixXd B(k_max * k_max, ns), Bt(k_max * k_max, ns);  // vec(B_i), w vec(B_i')
    Eigen::MatrixXd M(k_max, nm), SM(k_max, nm);  // dmu_p,i and 2w Sigma_p^-1 dmu_p,i
    // Upper triangles accumulate, over cov_params and mean_params.
    Eigen::MatrixXd Hs = Eigen::MatrixXd::Zero(ns, ns), Hm = Eigen::MatrixXd::Zero(nm, nm);

    const bool invertible = for_each_pattern(patterns.obs_indices, gather, [&](std::size_t q) {
        if (!gather.invert()) return false;
        const Eigen::Index k = gather.size();
        const auto SigmaInv = gather.SigmaInv_p();
        const double w = static_cast<double>(patterns.n_obs_list[q]) / n_total;
        auto Dk = D.topLeftCorner(k, k);
        for (Eigen::Index a = 0; a < ns; ++a) {
            gather.gather(d.dSigma[cov_params[a]], Dk);
            Eigen::Map<Eigen::MatrixXd> Ba(B.col(a).data(), k, k);
            Ba.noalias() = SigmaInv * Dk;
            Eigen::Map<Eigen::MatrixXd>(Bt.col(a).data(), k, k) = w * Ba.transpose();
        }
        // Empty products are skipped: Eigen's kernels would bind references
        // to the null data of a 0-column block.
        if (ns > 0) {
            Hs.triangularView<Eigen::Upper>() += B.topRows(k * k).transpose() * Bt.topRows(k * k);
        }
        if (nm > 0) {
            for (Eigen::Index a = 0; a < nm; ++a) gather.gather(d.dmu[mean_params[a]], M.col(a).head(k));
            auto SMk = SM.topRows(k);
            SMk.noalias() = SigmaInv * M.topRows(k);
            SMk *= 2.0 * w;
            Hm.triangularView<Eigen::Upper>() += M.topRows(k).transpose() * SMk;
        }
        return true;
    });
    if (!invertible) return Eigen::MatrixXd::Constant(n_free, n_free, 1e10);

    // Both index lists are increasing, so upper stays upper.
    Eigen::MatrixXd H = Eigen::MatrixXd::Zero(n_free, n_free);
    for (Eigen::Index b = 0; b < ns; ++b) {
        for (Eigen::Index a = 0; a <= b; ++a) H(cov_params[a], cov_params[b]) += Hs(a, b);
    }
    for (Eigen::Index b = 0; b < nm; ++b) {
        for (Eigen::Index a = 0; a <= b; ++a) H(mean_params[a], mean_params[b]) += Hm(a, b);
    }
    for (Eigen::Index j = 0; j < n_free; ++j) {
        for (Eigen::Index i = j + 1; i < n_free; ++i) H(i, j) = H(j, i);
    }
    return H;
}

}  // namespace sem
