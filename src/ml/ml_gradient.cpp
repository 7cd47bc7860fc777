#include "ml/ml_gradient.hpp"

#include "ml/model_point.hpp"
#include "model/moment_derivatives.hpp"

namespace sem {

Eigen::VectorXd ml_gradient(const ModelDescription& description,
                            const Eigen::Ref<const Eigen::VectorXd>& params,
                            const Eigen::Ref<const Eigen::MatrixXd>& S, const OptionalMean& mean,
                            int n_free) {
    const ModelPoint pt = invert_model_point(description, params, mean.has_value());
    if (!pt.invertible) return Eigen::VectorXd::Constant(n_free, kNotInvertible);
    const Eigen::MatrixXd& SigmaInv = pt.SigmaInv;

    Eigen::MatrixXd centred = pt.moments.Sigma - S;  // Sigma - S - d d'
    Eigen::VectorXd v;                                // Sigma^-1 d
    if (mean) {
        const Eigen::VectorXd d = *mean - pt.moments.mu;
        centred.noalias() -= d * d.transpose();
        v.noalias() = SigmaInv * d;
    }
    // W' so that trace(W dSigma) is an elementwise sum over contiguous columns.
    const Eigen::MatrixXd Wt = (SigmaInv * centred * SigmaInv).transpose();

    const ImpliedMomentDerivatives der =
        implied_moment_derivatives(description, pt.m, pt.A, pt.C, n_free);
    Eigen::VectorXd g(n_free);
    for (int k = 0; k < n_free; ++k) {
        g[k] = (Wt.array() * der.dSigma[k].array()).sum();
        if (mean) g[k] -= 2.0 * der.dmu[k].dot(v);
    }
    return g;
}

}  // namespace sem
