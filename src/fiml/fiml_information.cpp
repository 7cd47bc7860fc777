#include "fiml/fiml_information.hpp"

#include <cmath>

#include "fiml/pattern_basis.hpp"
#include "fiml/pattern_gather.hpp"
#include "model/free_cells.hpp"
#include "model/implied_moments.hpp"
#include "model/moment_terms.hpp"
#include "model/ram_form.hpp"

namespace sem {

// Each pattern adds w_p [tr(X_p dSigma_p,i X_p dSigma_p,j) + 2 dmu_p,i' X_p dmu_p,j]
// where dSigma_p is the cut of the same low-rank terms, so the whole
// pattern is read from one table w_p' X_p w_p over the basis cut to its
// rows.
Eigen::MatrixXd fiml_expected_information(const ModelDescription& description,
                                          const Eigen::Ref<const Eigen::VectorXd>& params,
                                          const MissingPatterns& patterns, int n_free) {
    const ModelDims& dims = description.dims();
    const ModelAtParams pt = model_at(description, params);
    if (!pt.invertible) return Eigen::MatrixXd::Constant(n_free, n_free, 1e10);
    const ModelMatrices& m = pt.m;
    const Eigen::MatrixXd& Sigma = pt.moments.Sigma;
    const Eigen::VectorXd& mu = pt.moments.mu;

    long long N = 0;  // every listed pattern, empty ones included
    for (std::size_t q = 0; q < patterns.obs_indices.size(); ++q) N += patterns.n_obs_list[q];
    const double n_total = static_cast<double>(N);

    const std::vector<FreeCell> cells = free_cells(description, n_free);
    const RamForm ram = ram_form(dims, m, pt.A);
    const MomentTerms terms(dims, ram, cells, needs_mirror(dims, cells, m.Phi), true);
    const Eigen::Index k_max = max_pattern_size(patterns.obs_indices);
    PatternGather gather(Sigma, mu, k_max);
    PatternBasis basis(terms, k_max);
    Eigen::MatrixXd table_buf(basis.max_size(), basis.max_size());
    Eigen::MatrixXd H = Eigen::MatrixXd::Zero(n_free, n_free);

    bool weighted = false;
    const bool invertible = for_each_pattern(patterns.obs_indices, gather, [&](std::size_t pat) {
        if (!gather.invert()) return false;
        const double w = static_cast<double>(patterns.n_obs_list[pat]) / n_total;
        weighted = true;
        basis.select(gather.index());
        auto table = table_buf.topLeftCorner(basis.size(), basis.size());
        basis.table(gather.SigmaInv_p(), table);

        add_term_pairs(
            basis.sigma(),
            [&](const SigmaTerm& t, const SigmaTerm& s) {
                return w * t.c * s.c * table(t.b, s.a) * table(s.b, t.a);
            },
            H);
        add_term_pairs(
            basis.mean(),
            [&](const MeanTerm& t, const MeanTerm& s) {
                return 2.0 * w * t.c * s.c * table(s.a, t.a);
            },
            H);
        return true;
    });
    if (!invertible) return Eigen::MatrixXd::Constant(n_free, n_free, 1e10);
    // A pattern was weighted 0/0: every entry is NaN, also those of
    // parameters no cell reads, which no term reaches. Without any pattern
    // nothing was divided and the zero matrix stands.
    if (weighted && N == 0) return Eigen::MatrixXd::Constant(n_free, n_free, std::nan(""));
    mirror_upper(H);
    return H;
}

}  // namespace sem
