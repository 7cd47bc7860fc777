#include "fiml/fiml_casewise_scores.hpp"

#include <algorithm>

#include "fiml/case_patterns.hpp"
#include "fiml/missing_patterns.hpp"
#include "fiml/pattern_basis.hpp"
#include "fiml/pattern_gather.hpp"
#include "model/free_cells.hpp"
#include "model/implied_moments.hpp"
#include "model/moment_terms.hpp"
#include "model/ram_form.hpp"

namespace sem {

// As the complete-data scores, pattern by pattern: for dSigma = w_a w_b' a
// case scores -1/2 w_b' X w_a + 1/2 (d' X w_a)(w_b' X d) and for dmu = w_a
// it scores d' X w_a, with the basis cut to the pattern, so two products of
// the pattern's cases with the basis cover every parameter.
Eigen::MatrixXd fiml_casewise_scores(const ModelDescription& description,
                                     const Eigen::Ref<const Eigen::MatrixXd>& data,
                                     const Eigen::Ref<const Eigen::VectorXd>& params, int n_free) {
    const Eigen::Index N = data.rows();
    const ModelDims& dims = description.dims();
    const ModelAtParams pt = model_at(description, params);
    if (!pt.invertible) return Eigen::MatrixXd::Constant(N, n_free, 1e10);
    const ModelMatrices& m = pt.m;
    const Eigen::MatrixXd& Sigma = pt.moments.Sigma;
    const Eigen::VectorXd& mu = pt.moments.mu;

    const CasePatterns cases = group_cases(data);
    std::size_t n_max = 0;
    for (const auto& rows : cases.rows) n_max = std::max(n_max, rows.size());
    const Eigen::Index k_max = max_pattern_size(cases.obs_indices);
    const auto n_rows = static_cast<Eigen::Index>(n_max);

    const std::vector<FreeCell> cells = free_cells(description, n_free);
    const RamForm ram = ram_form(dims, m, pt.A);
    const MomentTerms terms(dims, ram, cells, needs_mirror(dims, cells, m.Phi), true);
    PatternGather gather(Sigma, mu, k_max);
    PatternBasis basis(terms, k_max);
    const Eigen::Index nb = basis.max_size();
    Eigen::MatrixXd M_buf(nb, nb);
    Eigen::MatrixXd D_buf(n_rows, k_max), DX_buf(n_rows, k_max);
    Eigen::MatrixXd Lw_buf(n_rows, nb), Rw_buf(n_rows, nb), S_buf(n_rows, n_free);

    Eigen::MatrixXd scores = Eigen::MatrixXd::Zero(N, n_free);
    const bool invertible = for_each_pattern(cases.obs_indices, gather, [&](std::size_t pat) {
        if (!gather.invert()) return false;
        const std::vector<Eigen::Index>& rows = cases.rows[pat];
        const std::vector<int>& idx = gather.index();
        const Eigen::Index k = gather.size(), n = static_cast<Eigen::Index>(rows.size());
        const auto X = gather.SigmaInv_p();
        const auto mu_p = gather.mu_p();
        auto Dp = D_buf.topLeftCorner(n, k);
        for (Eigen::Index a = 0; a < k; ++a) {
            for (Eigen::Index i = 0; i < n; ++i) Dp(i, a) = data(rows[i], idx[a]) - mu_p[a];
        }
        basis.select(idx);
        const Eigen::Index size = basis.size();
        auto M = M_buf.topLeftCorner(size, size);
        basis.table(X, M);
        // X from the LU route need not be exactly symmetric: d' X and X d apart.
        auto DX = DX_buf.topLeftCorner(n, k);
        auto Lw = Lw_buf.topLeftCorner(n, size);
        auto Rw = Rw_buf.topLeftCorner(n, size);
        DX.noalias() = Dp * X;
        basis.times_basis(DX, Lw);
        DX.noalias() = Dp * X.transpose();
        basis.times_basis(DX, Rw);

        auto S = S_buf.topRows(n);
        S.setZero();
        for (const SigmaTerm& t : basis.sigma()) {
            auto col = S.col(t.param);
            col.array() += (0.5 * t.c) * (Lw.col(t.a).array() * Rw.col(t.b).array());
            col.array() -= 0.5 * t.c * M(t.b, t.a);
        }
        for (const MeanTerm& u : basis.mean()) S.col(u.param) += u.c * Lw.col(u.a);
        for (Eigen::Index i = 0; i < n; ++i) scores.row(rows[i]) = S.row(i);
        return true;
    });
    if (!invertible) return Eigen::MatrixXd::Constant(N, n_free, 1e10);
    return scores;
}

}  // namespace sem
