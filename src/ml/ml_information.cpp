#include "ml/ml_information.hpp"

#include <vector>

#include "ml/model_point.hpp"
#include "model/moment_derivatives.hpp"

namespace sem {

Eigen::MatrixXd ml_expected_information(const ModelDescription& description,
                                        const Eigen::Ref<const Eigen::VectorXd>& params,
                                        int n_free) {
    const ModelPoint pt = invert_model_point(description, params, true);
    if (!pt.invertible) return Eigen::MatrixXd::Constant(n_free, n_free, kNotInvertible);
    const Eigen::MatrixXd& SigmaInv = pt.SigmaInv;

    const ImpliedMomentDerivatives der =
        implied_moment_derivatives(description, pt.m, pt.A, pt.C, n_free);
    // trace(P_i P_j) = sum(P_i .* P_j'), so keep P_k = Sigma^-1 dSigma_k and
    // its transpose; u_k = Sigma^-1 dmu_k.
    std::vector<Eigen::MatrixXd> P(n_free), Pt(n_free);
    std::vector<Eigen::VectorXd> u(n_free);
    for (int k = 0; k < n_free; ++k) {
        P[k].noalias() = SigmaInv * der.dSigma[k];
        Pt[k] = P[k].transpose();
        u[k].noalias() = SigmaInv * der.dmu[k];
    }

    Eigen::MatrixXd H(n_free, n_free);
    for (int i = 0; i < n_free; ++i) {
        for (int j = i; j < n_free; ++j) {
            const double t = (P[i].array() * Pt[j].array()).sum();
            H(i, j) = t + 2.0 * der.dmu[i].dot(u[j]);
            H(j, i) = H(i, j);
        }
    }
    return H;
}

}  // namespace sem
