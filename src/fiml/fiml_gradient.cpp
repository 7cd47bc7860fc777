#include "fiml/fiml_gradient.hpp"

#include <cmath>

#include "fiml/pattern_gather.hpp"
#include "model/implied_moments.hpp"
#include "model/free_cells.hpp"
#include "model/moment_adjoint.hpp"
#include "model/ram_form.hpp"

namespace sem {

Eigen::VectorXd fiml_gradient(const ModelDescription& description,
                              const Eigen::Ref<const Eigen::VectorXd>& params,
                              const MissingPatterns& patterns, int n_free) {
    const ModelDims& dims = description.dims();
    const Eigen::Index p = dims.n_observed();
    const ModelAtParams pt = model_at(description, params);
    if (!pt.invertible) return Eigen::VectorXd::Constant(n_free, 1e10);
    const ModelMatrices& m = pt.m;
    const Eigen::MatrixXd& Sigma = pt.moments.Sigma;
    const Eigen::VectorXd& mu = pt.moments.mu;

    const Eigen::Index k_max = max_pattern_size(patterns.obs_indices);
    PatternGather gather(Sigma, mu, k_max);
    Eigen::MatrixXd D(k_max, k_max), T(k_max, k_max), W(k_max, k_max);
    Eigen::VectorXd e_buf(k_max), v_buf(k_max);

    // trace(W_p dSigma_p,i) = trace(scatter(W_p) dSigma_i) and the sum over
    // patterns is linear in W_p, so the case-weighted W_p and v_p are
    // scattered back to p x p and summed, and one reverse pass serves all.
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
    // No observed case: the discrepancy is 0/0, and so is every entry, also
    // that of a parameter no cell reads (the reverse pass would leave it 0).
    if (N == 0) return Eigen::VectorXd::Constant(n_free, std::nan(""));

    // The discrepancy's adjoints: Wsum' / N for Sigma, -2 vsum / N for mu.
    const double n_total = static_cast<double>(N);
    Eigen::MatrixXd G = Wsum.transpose() / n_total;
    mirror_adjoint_in_place(dims, G);
    const Eigen::VectorXd gmu = (-2.0 / n_total) * vsum;
    const RamForm ram = ram_form(dims, m, pt.A);
    Eigen::VectorXd g = Eigen::VectorXd::Zero(n_free);
    MomentAdjoint(ram, G, gmu).add_gradient(free_cells(description, n_free), g);
    return g;
}

}  // namespace sem
