#include "ml/ml_gradient.hpp"

#include "ml/model_point.hpp"
#include "model/free_cells.hpp"
#include "model/moment_adjoint.hpp"
#include "model/ram_form.hpp"

namespace sem {

Eigen::VectorXd ml_gradient(const ModelDescription& description,
                            const Eigen::Ref<const Eigen::VectorXd>& params,
                            const Eigen::Ref<const Eigen::MatrixXd>& S, const OptionalMean& mean,
                            int n_free) {
    const ModelPoint pt = invert_model_point(description, params, mean.has_value());
    if (!pt.invertible) return Eigen::VectorXd::Constant(n_free, kNotInvertible);
    const Eigen::MatrixXd& X = pt.SigmaInv;
    const Eigen::Index p = X.rows();

    // g_k = trace(W dSigma_k) - 2 dmu_k' Sigma^-1 d with W = X - X Q X,
    // Q = S + d d': the adjoints of Sigma and mu are W' and -2 X d.
    Eigen::MatrixXd Q = S;
    Eigen::VectorXd gmu = Eigen::VectorXd::Zero(p);
    if (mean) {
        const Eigen::VectorXd d = *mean - pt.moments.mu;
        Q.noalias() += d * d.transpose();
        gmu.noalias() = -2.0 * (X * d);
    }
    const Eigen::MatrixXd QX = Q * X;
    const ModelDims& dims = description.dims();
    const std::vector<FreeCell> cells = free_cells(description, n_free);
    const RamForm ram = ram_form(dims, pt.m, pt.A);
    Eigen::VectorXd g = Eigen::VectorXd::Zero(n_free);
    if (!needs_mirror(dims, cells, pt.m.Phi)) {
        MomentAdjoint(ram, X, QX, gmu).add_gradient(cells, g);
        return g;
    }
    Eigen::MatrixXd G = X.transpose();
    G.noalias() -= QX.transpose() * X.transpose();
    mirror_adjoint_in_place(dims, G);
    MomentAdjoint(ram, G, gmu).add_gradient(cells, g);
    return g;
}

}  // namespace sem
