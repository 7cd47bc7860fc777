#include "model/moment_jacobian.hpp"

#include "model/implied_moments.hpp"

namespace sem {

Eigen::MatrixXd jacobian_implied_moments(const ModelDescription& description,
                                         const Eigen::VectorXd& params, int n_free,
                                         bool with_mean) {
    constexpr double h = 1e-5;
    constexpr double two_h = 2e-5;
    const Eigen::Index p = description.dims().n_observed();
    const Eigen::Index rows = p * (p + 1) / 2 + (with_mean ? p : 0);
    Eigen::MatrixXd J(rows, n_free);
    Eigen::VectorXd plus = params, minus = params;
    for (int i = 0; i < n_free; ++i) {
        plus[i] += h;
        minus[i] -= h;
        const Eigen::VectorXd mp = moment_vector(implied_moments(description, plus), with_mean);
        const Eigen::VectorXd mm = moment_vector(implied_moments(description, minus), with_mean);
        // A division, not a multiplication by 1/2e-5: the rounding is part
        // of the result callers compare against.
        J.col(i) = (mp - mm) / two_h;
        plus[i] = params[i];
        minus[i] = params[i];
    }
    return J;
}

}  // namespace sem
