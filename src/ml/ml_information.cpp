#include "ml/ml_information.hpp"

#include <vector>

#include "ml/model_point.hpp"
#include "ml/pairwise_traces.hpp"
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
    std::vector<Eigen::MatrixXd> P(n_free);  // Sigma^-1 dSigma_k
    std::vector<Eigen::VectorXd> u(n_free);  // Sigma^-1 dmu_k
    for (int k = 0; k < n_free; ++k) {
        P[k].noalias() = SigmaInv * der.dSigma[k];
        u[k].noalias() = SigmaInv * der.dmu[k];
    }
    const Eigen::MatrixXd T = pairwise_traces(P, P);

    Eigen::MatrixXd H(n_free, n_free);
    for (int i = 0; i < n_free; ++i) {
        for (int j = i; j < n_free; ++j) {
            H(i, j) = T(i, j) + 2.0 * der.dmu[i].dot(u[j]);
            H(j, i) = H(i, j);
        }
    }
    return H;
}

}  // namespace sem
