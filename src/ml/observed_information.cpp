#include "ml/observed_information.hpp"

#include <algorithm>

#include "kernels/ml_kernels.hpp"
#include "ml/model_point.hpp"
#include "model/free_cells.hpp"
#include "model/moment_adjoint.hpp"
#include "model/moment_terms.hpp"
#include "model/ram_form.hpp"

namespace sem {

// With X = Sigma^-1, Q = S + d d', W = X - X Q X and vl = X' d:
//   H_ij = tr(W Sigma_ij) - 2 vl' mu_ij                  (second derivatives)
//        + tr(X dSigma_i X dSigma_j) - tr(W dSigma_i X dSigma_j)
//        - tr(W dSigma_j X dSigma_i)                      (first derivatives)
//        + 2 dmu_j' X dmu_i + 2 (vl' dSigma_j X dmu_i + vl' dSigma_i X dmu_j).
Eigen::MatrixXd ml_observed_information(const ModelDescription& description,
                                        const Eigen::Ref<const Eigen::VectorXd>& params,
                                        const Eigen::Ref<const Eigen::MatrixXd>& S,
                                        const OptionalMean& mean, int n_free) {
    const bool with_means = mean.has_value();
    const ModelPoint pt = invert_model_point(description, params, with_means);
    if (!pt.invertible) return Eigen::MatrixXd::Constant(n_free, n_free, kNotInvertible);
    const ModelDims& dims = description.dims();
    const Eigen::MatrixXd& X = pt.SigmaInv;
    const Eigen::Index p = X.rows();

    Eigen::MatrixXd Q = S;
    Eigen::VectorXd vl = Eigen::VectorXd::Zero(p);
    if (with_means) {
        const Eigen::VectorXd d = *mean - pt.moments.mu;
        Q.noalias() += d * d.transpose();
        vl.noalias() = X.transpose() * d;
    }
    Eigen::MatrixXd W(p, p);
    ml_kernels().weight_matrix(static_cast<int>(p), X.data(), Q.data(), W.data());

    const std::vector<FreeCell> cells = free_cells(description, n_free);
    const RamForm ram = ram_form(dims, pt.m, pt.A);
    const MomentTerms terms(dims, ram, cells, needs_mirror(dims, cells, pt.m.Phi), with_means);
    Eigen::MatrixXd M, Nw;  // w' X w, w' W w
    basis_table(X, terms, M);
    basis_table(W, terms, Nw);

    Eigen::MatrixXd H = Eigen::MatrixXd::Zero(n_free, n_free);
    add_term_pairs(
        terms.sigma(),
        [&](const SigmaTerm& t, const SigmaTerm& s) {
            const double Mts = M(t.b, s.a), Mst = M(s.b, t.a);
            return t.c * s.c * (Mts * (Mst - Nw(s.b, t.a)) - Mst * Nw(t.b, s.a));
        },
        H);
    if (with_means) {
        add_term_pairs(
            terms.mean(),
            [&](const MeanTerm& t, const MeanTerm& s) { return 2.0 * t.c * s.c * M(s.a, t.a); },
            H);
        // 2 vl' dSigma_k X dmu_l enters H_kl and H_lk alike.
        Eigen::VectorXd r(terms.size());
        r.head(p) = vl;
        r.tail(terms.factors().cols()).noalias() = terms.factors().transpose() * vl;
        for (const SigmaTerm& s : terms.sigma()) {
            const double rs = 2.0 * s.c * r[s.a];
            if (rs == 0.0) continue;
            for (const MeanTerm& u : terms.mean()) {
                const double v = rs * u.c * M(s.b, u.a);
                if (s.param == u.param) {
                    H(s.param, s.param) += 2.0 * v;
                } else {
                    H(std::min(s.param, u.param), std::max(s.param, u.param)) += v;
                }
            }
        }
    }

    Eigen::MatrixXd G = W.transpose();
    mirror_adjoint_in_place(dims, G);
    const Eigen::VectorXd gmu = -2.0 * vl;
    MomentAdjoint(ram, G, gmu).add_second_order(cells, H);
    mirror_upper(H);
    return H;
}

}  // namespace sem
