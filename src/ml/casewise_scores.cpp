#include "ml/casewise_scores.hpp"

#include "ml/model_point.hpp"
#include "model/moment_derivatives.hpp"

namespace sem {

Eigen::MatrixXd ml_casewise_scores(const ModelDescription& description,
                                   const Eigen::Ref<const Eigen::MatrixXd>& data,
                                   const Eigen::Ref<const Eigen::VectorXd>& params, int n_free,
                                   bool meanstructure_active) {
    const Eigen::Index N = data.rows();
    const ModelPoint pt = invert_model_point(description, params, true);
    if (!pt.invertible) return Eigen::MatrixXd::Constant(N, n_free, kNotInvertible);
    const Eigen::MatrixXd& SigmaInv = pt.SigmaInv;

    Eigen::RowVectorXd centre;
    if (meanstructure_active) {
        centre = pt.moments.mu.transpose();
    } else {
        centre = data.colwise().sum() / static_cast<double>(N);
    }
    // All cases at once: row r of L is d_r' Sigma^-1 and of Rt is (Sigma^-1 d_r)',
    // so the quadratic form of case r is row r of (L dSigma_k) .* Rt.
    const Eigen::MatrixXd D = data.rowwise() - centre;  // N x p
    const Eigen::MatrixXd L = D * SigmaInv;
    const Eigen::MatrixXd Rt = D * SigmaInv.transpose();

    const ImpliedMomentDerivatives der =
        implied_moment_derivatives(description, pt.m, pt.A, pt.C, n_free);
    Eigen::MatrixXd scores(N, n_free);
    Eigen::MatrixXd LdSigma(N, SigmaInv.rows());
    for (int k = 0; k < n_free; ++k) {
        const double a = (SigmaInv.transpose().array() * der.dSigma[k].array()).sum();
        LdSigma.noalias() = L * der.dSigma[k];
        scores.col(k) = 0.5 * (LdSigma.array() * Rt.array()).rowwise().sum();
        scores.col(k).noalias() += L * der.dmu[k];
        scores.col(k).array() -= 0.5 * a;
    }
    return scores;
}

}  // namespace sem
