#include "pls/standardise.hpp"

#include <cmath>

namespace sem {

void standardise_columns(Eigen::Ref<Eigen::MatrixXd> m) {
    const Eigen::Index n = m.rows();
    const double n1 = static_cast<double>(n - 1);
    for (Eigen::Index c = 0; c < m.cols(); ++c) {
        auto col = m.col(c);
        const double first = col(0);
        if (std::isfinite(first) && (col.array() == first).all()) {
            col.setZero();
            continue;
        }
        col.array() -= col.sum() / static_cast<double>(n);
        double sd = std::sqrt(col.squaredNorm() / n1);
        if (sd < 1e-15) sd = 1.0;
        col /= sd;
    }
}

}  // namespace sem
