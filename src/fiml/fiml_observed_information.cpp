#include "fiml/fiml_observed_information.hpp"

#include <algorithm>
#include <cmath>

#include "fiml/pattern_basis.hpp"
#include "fiml/pattern_gather.hpp"
#include "model/free_cells.hpp"
#include "model/implied_moments.hpp"
#include "model/moment_adjoint.hpp"
#include "model/moment_terms.hpp"
#include "model/ram_form.hpp"

namespace sem {

// Per pattern, with X = Sigma_p^-1, W = X (Sigma_p - S_p - e e') X and
// vl = X e, the derivative of the gradient's pattern term along parameter j:
//   tr(X dSigma_j X dSigma_i) - tr(W dSigma_i X dSigma_j) - tr(W dSigma_j X dSigma_i)
//   + 2 dmu_i' X dmu_j + e' X dSigma_i X dmu_j + dmu_j' X dSigma_i vl
//   + 2 dmu_i' X dSigma_j vl,
// read from the tables w_p' X w_p and w_p' W w_p over the basis cut to the
// pattern, and averaged with its transpose: the mean terms are not symmetric
// in i and j when Sigma is not (a covariance placed in one triangle). The
// second derivatives of the moments enter as tr(W Sigma_ij) - 2 vl' mu_ij,
// linear in W and vl: their case-weighted scatters are summed over the
// patterns and swept once, with the adjoints of the gradient.
Eigen::MatrixXd fiml_observed_information(const ModelDescription& description,
                                          const Eigen::Ref<const Eigen::VectorXd>& params,
                                          const MissingPatterns& patterns, int n_free) {
    const ModelDims& dims = description.dims();
    const Eigen::Index p = dims.n_observed();
    const ModelAtParams pt = model_at(description, params);
    if (!pt.invertible) return Eigen::MatrixXd::Constant(n_free, n_free, 1e10);
    const ModelMatrices& m = pt.m;
    const Eigen::MatrixXd& Sigma = pt.moments.Sigma;
    const Eigen::VectorXd& mu = pt.moments.mu;

    long long N = 0;  // as in the objective: patterns that observe something
    for (std::size_t q = 0; q < patterns.obs_indices.size(); ++q) {
        if (!patterns.obs_indices[q].empty()) N += patterns.n_obs_list[q];
    }
    const double n_total = static_cast<double>(N);

    const std::vector<FreeCell> cells = free_cells(description, n_free);
    const RamForm ram = ram_form(dims, m, pt.A);
    const MomentTerms terms(dims, ram, cells, needs_mirror(dims, cells, m.Phi), true);
    const Eigen::Index k_max = max_pattern_size(patterns.obs_indices);
    PatternGather gather(Sigma, mu, k_max);
    PatternBasis basis(terms, k_max);
    const Eigen::Index nb = basis.max_size();
    Eigen::MatrixXd M_buf(nb, nb), Nw_buf(nb, nb);
    Eigen::VectorXd r_buf(nb), rl_buf(nb);
    Eigen::MatrixXd D(k_max, k_max), T(k_max, k_max), W(k_max, k_max);
    Eigen::VectorXd e_buf(k_max), v_buf(k_max), vt_buf(k_max);

    Eigen::MatrixXd Wsum = Eigen::MatrixXd::Zero(p, p);  // sum_p n_p scatter(W_p)
    Eigen::VectorXd vsum = Eigen::VectorXd::Zero(p);     // sum_p n_p scatter(vl_p)
    Eigen::MatrixXd H = Eigen::MatrixXd::Zero(n_free, n_free);

    const bool invertible = for_each_pattern(patterns.obs_indices, gather, [&](std::size_t pat) {
        if (!gather.invert()) return false;
        const Eigen::Index k = gather.size();
        const auto X = gather.SigmaInv_p();
        auto e = e_buf.head(k);
        e = patterns.means[pat] - gather.mu_p();
        auto Dk = D.topLeftCorner(k, k);
        Dk = gather.Sigma_p() - patterns.covs[pat];
        Dk.noalias() -= e * e.transpose();
        auto Tk = T.topLeftCorner(k, k);
        Tk.noalias() = X * Dk;
        auto Wk = W.topLeftCorner(k, k);
        Wk.noalias() = Tk * X;
        auto vl = v_buf.head(k);
        vl.noalias() = X * e;
        const double n = static_cast<double>(patterns.n_obs_list[pat]);
        gather.scatter_add(n, Wk, Wsum);
        gather.scatter_add(n, vl, vsum);

        const double w = n / n_total;
        basis.select(gather.index());
        const Eigen::Index size = basis.size();
        auto M = M_buf.topLeftCorner(size, size);
        auto Nw = Nw_buf.topLeftCorner(size, size);
        auto r = r_buf.head(size), rl = rl_buf.head(size);
        basis.table(X, M);
        basis.table(Wk, Nw);
        basis.project(vl, r);
        auto vt = vt_buf.head(k);
        vt.noalias() = X.transpose() * e;
        basis.project(vt, rl);

        add_term_pairs(
            basis.sigma(),
            [&](const SigmaTerm& t, const SigmaTerm& s) {
                const double Mts = M(t.b, s.a), Mst = M(s.b, t.a);
                return w * t.c * s.c * (Mts * (Mst - Nw(s.b, t.a)) - Mst * Nw(t.b, s.a));
            },
            H);
        add_term_pairs(
            basis.mean(),
            [&](const MeanTerm& t, const MeanTerm& s) {
                return w * t.c * s.c * (M(s.a, t.a) + M(t.a, s.a));
            },
            H);
        // Sigma term s of parameter k with mean term u of parameter l: half
        // of (e' X w_a)(w_b' X w_u) + 3 (w_u' X w_a)(w_b' vl) into H_kl, the
        // whole into H_kk.
        for (const SigmaTerm& s : basis.sigma()) {
            const double ls = 0.5 * w * s.c * rl[s.a], rs = 1.5 * w * s.c * r[s.b];
            if (ls == 0.0 && rs == 0.0) continue;
            for (const MeanTerm& u : basis.mean()) {
                const double v = u.c * (ls * M(s.b, u.a) + rs * M(u.a, s.a));
                if (s.param == u.param) {
                    H(s.param, s.param) += 2.0 * v;
                } else {
                    H(std::min(s.param, u.param), std::max(s.param, u.param)) += v;
                }
            }
        }
        return true;
    });
    if (!invertible) return Eigen::MatrixXd::Constant(n_free, n_free, 1e10);
    // No observed case: the discrepancy is 0/0, and so is every derivative.
    if (N == 0) return Eigen::MatrixXd::Constant(n_free, n_free, std::nan(""));

    // The gradient's adjoints, Wsum' / N for Sigma and -2 vsum / N for mu,
    // held while the moments are differentiated twice.
    Eigen::MatrixXd G = Wsum.transpose() / n_total;
    mirror_adjoint_in_place(dims, G);
    const Eigen::VectorXd gmu = (-2.0 / n_total) * vsum;
    MomentAdjoint(ram, G, gmu).add_second_order(cells, H);
    mirror_upper(H);
    return H;
}

}  // namespace sem
