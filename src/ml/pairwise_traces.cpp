#include "ml/pairwise_traces.hpp"

namespace sem {

Eigen::MatrixXd pairwise_traces(const std::vector<Eigen::MatrixXd>& X,
                                const std::vector<Eigen::MatrixXd>& Y) {
    const Eigen::Index n = static_cast<Eigen::Index>(X.size());
    const Eigen::Index m = static_cast<Eigen::Index>(Y.size());
    const Eigen::Index p = n > 0 ? X[0].rows() : (m > 0 ? Y[0].rows() : 0);
    Eigen::MatrixXd Xt(p * p, n), Yv(p * p, m);  // vec(X_i'), vec(Y_j) as columns
    for (Eigen::Index i = 0; i < n; ++i) {
        Eigen::Map<Eigen::MatrixXd>(Xt.col(i).data(), p, p) = X[i].transpose();
    }
    for (Eigen::Index j = 0; j < m; ++j) {
        Eigen::Map<Eigen::MatrixXd>(Yv.col(j).data(), p, p) = Y[j];
    }
    return Xt.transpose() * Yv;
}

}  // namespace sem
