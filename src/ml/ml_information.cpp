#include "ml/ml_information.hpp"

#include "ml/model_point.hpp"
#include "model/free_cells.hpp"
#include "model/moment_terms.hpp"
#include "model/ram_form.hpp"

namespace sem {

Eigen::MatrixXd ml_expected_information(const ModelDescription& description,
                                        const Eigen::Ref<const Eigen::VectorXd>& params,
                                        int n_free) {
    const ModelPoint pt = invert_model_point(description, params, true);
    if (!pt.invertible) return Eigen::MatrixXd::Constant(n_free, n_free, kNotInvertible);

    const std::vector<FreeCell> cells = free_cells(description, n_free);
    const RamForm ram = ram_form(description.dims(), pt.m, pt.A);
    const MomentTerms terms(description.dims(), ram, cells,
                            needs_mirror(description.dims(), cells, pt.m.Phi), true);
    Eigen::MatrixXd M;  // w' Sigma^-1 w
    basis_table(pt.SigmaInv, terms, M);

    // tr(X a b' X a' b'') = (b' X a')(b'' X a): products of table entries.
    Eigen::MatrixXd H = Eigen::MatrixXd::Zero(n_free, n_free);
    add_term_pairs(
        terms.sigma(),
        [&](const SigmaTerm& t, const SigmaTerm& s) { return t.c * s.c * M(t.b, s.a) * M(s.b, t.a); },
        H);
    add_term_pairs(
        terms.mean(),
        [&](const MeanTerm& t, const MeanTerm& s) { return 2.0 * t.c * s.c * M(s.a, t.a); }, H);
    mirror_upper(H);
    return H;
}

}  // namespace sem
