#include "ml/casewise_scores.hpp"

#include <cmath>

#include "kernels/ml_kernels.hpp"
#include "ml/model_point.hpp"
#include "model/free_cells.hpp"
#include "model/moment_terms.hpp"
#include "model/ram_form.hpp"

namespace sem {

Eigen::MatrixXd ml_casewise_scores(const ModelDescription& description,
                                   const Eigen::Ref<const Eigen::MatrixXd>& data,
                                   const Eigen::Ref<const Eigen::VectorXd>& params, int n_free,
                                   bool meanstructure_active) {
    const Eigen::Index N = data.rows();
    const ModelPoint pt = invert_model_point(description, params, true);
    if (!pt.invertible) return Eigen::MatrixXd::Constant(N, n_free, kNotInvertible);
    const ModelDims& dims = description.dims();
    const Eigen::MatrixXd& X = pt.SigmaInv;
    const Eigen::Index p = X.rows();

    Eigen::RowVectorXd centre;
    if (meanstructure_active) {
        centre = pt.moments.mu.transpose();
    } else {
        centre = data.colwise().sum() / static_cast<double>(N);
    }
    const std::vector<FreeCell> cells = free_cells(description, n_free);
    const RamForm ram = ram_form(dims, pt.m, pt.A);
    const MomentTerms terms(dims, ram, cells, needs_mirror(dims, cells, pt.m.Phi), true);
    Eigen::MatrixXd M;
    basis_table(X, terms, M);

    // Case r's score for dSigma = w_a w_b' is
    //   -1/2 w_b' X w_a + 1/2 (d_r' X w_a)(w_b' X d_r),
    // and for dmu = w_a it is d_r' X w_a: two N x size products cover all.
    const Eigen::Index q = terms.factors().cols();
    const Eigen::MatrixXd D = data.rowwise() - centre;  // N x p
    // The N x p products are the bulk of the work: the selected kernel.
    const MlKernels& k = ml_kernels();
    const int n = static_cast<int>(N), pi = static_cast<int>(p), qi = static_cast<int>(q);
    auto times = [&](const Eigen::MatrixXd& lhs, const Eigen::MatrixXd& rhs, Eigen::MatrixXd& out) {
        out.resize(N, p + q);
        k.product(n, pi, pi, lhs.data(), n, rhs.data(), out.data(), n);
        if (q > 0) {
            k.product(n, pi, qi, out.data(), n, terms.factors().data(), out.data() + N * p, n);
        }
    };
    Eigen::MatrixXd Lw, Rt;
    times(D, X, Lw);
    // Sigma^-1 from the Cholesky factor is exactly symmetric.
    const bool symmetric = X == X.transpose();
    if (!symmetric) times(D, X.transpose(), Rt);
    const Eigen::MatrixXd& Rw = symmetric ? Lw : Rt;
    Eigen::MatrixXd scores = Eigen::MatrixXd::Zero(N, n_free);
    for (const SigmaTerm& t : terms.sigma()) {
        auto col = scores.col(t.param);
        col.array() += (0.5 * t.c) * (Lw.col(t.a).array() * Rw.col(t.b).array());
        col.array() -= 0.5 * t.c * M(t.b, t.a);
    }
    for (const MeanTerm& u : terms.mean()) scores.col(u.param) += u.c * Lw.col(u.a);
    // A case whose deviation is not finite has no score: the terms above
    // reach only parameters that some cell reads and would leave 0 for the
    // others.
    for (Eigen::Index r = 0; r < N; ++r) {
        if (!D.row(r).allFinite()) scores.row(r).setConstant(std::nan(""));
    }
    return scores;
}

}  // namespace sem
