#include "pls/standardise.hpp"

#include <cmath>

namespace sem {

namespace {

// Largest |entry|; NaN when any entry is NaN.
double max_abs(const Eigen::Ref<const Eigen::VectorXd>& v) {
    double s = 0.0;
    for (Eigen::Index i = 0; i < v.size(); ++i) {
        const double a = std::abs(v(i));
        if (std::isnan(a)) return a;
        if (a > s) s = a;
    }
    return s;
}

}  // namespace

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
        // Sums are taken on the column divided by its largest entry, so that
        // neither the mean nor the squared norm overflows or underflows at
        // any unit of measurement.
        const double scale = max_abs(col);
        if (std::isfinite(scale) && scale > 0.0) {
            col.array() -= (col / scale).sum() / static_cast<double>(n) * scale;
        } else {
            col.array() -= col.sum() / static_cast<double>(n);
        }
        const double spread = max_abs(col);
        double sd = spread;
        if (std::isfinite(spread) && spread > 0.0) {
            sd = spread * std::sqrt((col / spread).squaredNorm() / n1);
        } else if (!(spread == 0.0)) {
            sd = std::sqrt(col.squaredNorm() / n1);  // NaN or inf carried on
        }
        if (sd < kConstantColumn * scale) {
            col.setZero();
            continue;
        }
        col /= sd;
    }
}

}  // namespace sem
