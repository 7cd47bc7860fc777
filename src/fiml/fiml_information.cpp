#include "fiml/fiml_information.hpp"

#include "fiml/pattern_gather.hpp"
#include "model/free_cells.hpp"
#include "model/implied_moments.hpp"
#include "model/lu_inverse.hpp"
#include "model/moment_terms.hpp"
#include "model/ram_form.hpp"

namespace sem {

// Each pattern adds w_p [tr(X_p dSigma_p,i X_p dSigma_p,j) + 2 dmu_p,i' X_p dmu_p,j]
// where dSigma_p is the cut of the same low-rank terms, so the whole
// pattern is read from one table w_p' X_p w_p over the basis restricted to
// its rows; unit vectors of unobserved variables drop out.
Eigen::MatrixXd fiml_expected_information(const ModelDescription& description,
                                          const Eigen::Ref<const Eigen::VectorXd>& params,
                                          const MissingPatterns& patterns, int n_free) {
    const ModelDims& dims = description.dims();
    const Eigen::Index p = dims.n_observed();
    const ModelMatrices m = build_model_matrices(description, params);
    const LuInverse A = structural_inverse(m.Beta);
    if (!A.invertible) return Eigen::MatrixXd::Constant(n_free, n_free, 1e10);
    const Eigen::MatrixXd C = latent_covariance(m);
    const Eigen::MatrixXd Sigma = implied_sigma(dims, m, A.inverse, C);
    const Eigen::VectorXd mu = implied_mu(dims, m, A.inverse);

    long long N = 0;  // every listed pattern, empty ones included
    for (std::size_t q = 0; q < patterns.obs_indices.size(); ++q) N += patterns.n_obs_list[q];
    const double n_total = static_cast<double>(N);

    const std::vector<FreeCell> cells = free_cells(description, n_free);
    const RamForm ram = ram_form(dims, m, A.inverse);
    const MomentTerms terms(dims, ram, cells, needs_mirror(dims, cells, m.Phi), true);
    const Eigen::MatrixXd& F = terms.factors();
    const Eigen::Index q = F.cols(), nb = terms.size();

    const Eigen::Index k_max = max_pattern_size(patterns.obs_indices);
    PatternGather gather(Sigma, mu, k_max);
    Eigen::MatrixXd table = Eigen::MatrixXd::Zero(nb, nb);
    Eigen::MatrixXd Fp(k_max, q), XF(k_max, q);
    std::vector<char> observed(static_cast<std::size_t>(p), 0);
    std::vector<SigmaTerm> sigma_p;
    std::vector<MeanTerm> mean_p;
    sigma_p.reserve(terms.sigma().size());
    mean_p.reserve(terms.mean().size());
    auto seen = [&](int a) { return a >= p || observed[static_cast<std::size_t>(a)]; };
    Eigen::MatrixXd H = Eigen::MatrixXd::Zero(n_free, n_free);

    const bool invertible = for_each_pattern(patterns.obs_indices, gather, [&](std::size_t pat) {
        if (!gather.invert()) return false;
        const Eigen::Index k = gather.size();
        const std::vector<int>& idx = gather.index();
        const auto X = gather.SigmaInv_p();
        const double w = static_cast<double>(patterns.n_obs_list[pat]) / n_total;

        table.setZero();
        for (Eigen::Index b = 0; b < k; ++b) {
            for (Eigen::Index a = 0; a < k; ++a) table(idx[a], idx[b]) = X(a, b);
        }
        if (q > 0) {
            auto Fk = Fp.topRows(k);
            for (Eigen::Index a = 0; a < k; ++a) Fk.row(a) = F.row(idx[a]);
            auto XFk = XF.topRows(k);
            XFk.noalias() = X * Fk;
            for (Eigen::Index a = 0; a < k; ++a) table.row(idx[a]).tail(q) = XFk.row(a);
            auto bottom = table.bottomRows(q);
            for (Eigen::Index a = 0; a < k; ++a) bottom.col(idx[a]).noalias() = Fk.transpose() * X.col(a);
            bottom.rightCols(q).noalias() = Fk.transpose() * XFk;
        }

        for (int i : idx) observed[static_cast<std::size_t>(i)] = 1;
        sigma_p.clear();
        for (const SigmaTerm& t : terms.sigma()) {
            if (seen(t.a) && seen(t.b)) sigma_p.push_back(t);
        }
        mean_p.clear();
        for (const MeanTerm& u : terms.mean()) {
            if (seen(u.a)) mean_p.push_back(u);
        }
        for (int i : idx) observed[static_cast<std::size_t>(i)] = 0;

        add_term_pairs(
            sigma_p,
            [&](const SigmaTerm& t, const SigmaTerm& s) {
                return w * t.c * s.c * table(t.b, s.a) * table(s.b, t.a);
            },
            H);
        add_term_pairs(
            mean_p,
            [&](const MeanTerm& t, const MeanTerm& s) {
                return 2.0 * w * t.c * s.c * table(s.a, t.a);
            },
            H);
        return true;
    });
    if (!invertible) return Eigen::MatrixXd::Constant(n_free, n_free, 1e10);
    mirror_upper(H);
    return H;
}

}  // namespace sem
