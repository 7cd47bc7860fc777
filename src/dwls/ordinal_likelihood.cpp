#include "dwls/ordinal_likelihood.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "dwls/bivariate_normal.hpp"

namespace sem {

namespace {

// -inf, tau[0], ..., tau[K-1], +inf: category c spans ext[c] to ext[c+1].
Eigen::VectorXd extended_thresholds(const Eigen::Ref<const Eigen::VectorXd>& tau) {
    constexpr double inf = std::numeric_limits<double>::infinity();
    Eigen::VectorXd ext(tau.size() + 2);
    ext[0] = -inf;
    ext.segment(1, tau.size()) = tau;
    ext[tau.size() + 1] = inf;
    return ext;
}

struct Cell {
    double lo_x, hi_x, lo_y, hi_y;
};

double cell_loglik(const Cell& c, double rho) {
    return std::log(rectangle_probability(c.lo_x, c.hi_x, c.lo_y, c.hi_y, rho));
}

// ln P of the cell once threshold t of one variable has moved to `moved`.
// A threshold that bounds neither side leaves the cell as it is, and so f;
// its forward difference is then exactly 0 (or NaN when f is).
double moved_threshold_loglik(Cell cell, double Cell::*lo, double Cell::*hi, int code,
                              Eigen::Index t, double moved, double rho, double f) {
    if (t + 1 == code) {
        cell.*lo = moved;
    } else if (t == code) {
        cell.*hi = moved;
    } else {
        return f;
    }
    return cell_loglik(cell, rho);
}

}  // namespace

std::string category_error(const char* name, const Eigen::Ref<const Eigen::VectorXi>& codes,
                           const char* tau_name, Eigen::Index n_thresholds) {
    for (Eigen::Index k = 0; k < codes.size(); ++k) {
        if (codes[k] < 0 || codes[k] > n_thresholds) {
            const std::string K = std::to_string(static_cast<long long>(n_thresholds));
            return std::string(name) + "[" + std::to_string(static_cast<long long>(k)) +
                   "] = " + std::to_string(codes[k]) + " is outside the categories 0.." + K +
                   " of the " + K + " thresholds in " + tau_name;
        }
    }
    return {};
}

Eigen::VectorXd bivariate_loglik(const Eigen::Ref<const Eigen::VectorXi>& x,
                                 const Eigen::Ref<const Eigen::VectorXi>& y,
                                 const Eigen::Ref<const Eigen::VectorXd>& tau_x,
                                 const Eigen::Ref<const Eigen::VectorXd>& tau_y, double rho) {
    const Eigen::VectorXd ext_x = extended_thresholds(tau_x);
    const Eigen::VectorXd ext_y = extended_thresholds(tau_y);
    Eigen::VectorXd ll(x.size());
    for (Eigen::Index k = 0; k < x.size(); ++k) {
        const Cell c{ext_x[x[k]], ext_x[x[k] + 1], ext_y[y[k]], ext_y[y[k] + 1]};
        ll[k] = cell_loglik(c, rho);
    }
    return ll;
}

Eigen::MatrixXd categorical_casewise_scores(const Eigen::Ref<const Eigen::VectorXi>& x,
                                            const Eigen::Ref<const Eigen::VectorXi>& y,
                                            const Eigen::Ref<const Eigen::VectorXd>& tau_x,
                                            const Eigen::Ref<const Eigen::VectorXd>& tau_y,
                                            double rho, double eps) {
    const Eigen::Index kx = tau_x.size(), ky = tau_y.size();
    const Eigen::VectorXd ext_x = extended_thresholds(tau_x);
    const Eigen::VectorXd ext_y = extended_thresholds(tau_y);
    Eigen::MatrixXd scores = Eigen::MatrixXd::Zero(x.size(), kx + ky + 1);
    // The clamp can make the step smaller or even negative (rho > 0.999);
    // the divisor stays eps all the same.
    const double rho_step = std::min(0.999, rho + eps);
    for (Eigen::Index k = 0; k < x.size(); ++k) {
        const Cell c{ext_x[x[k]], ext_x[x[k] + 1], ext_y[y[k]], ext_y[y[k] + 1]};
        const double f = cell_loglik(c, rho);
        for (Eigen::Index t = 0; t < kx; ++t) {
            const double g = moved_threshold_loglik(c, &Cell::lo_x, &Cell::hi_x, x[k], t,
                                                    tau_x[t] + eps, rho, f);
            scores(k, t) = (g - f) / eps;
        }
        for (Eigen::Index t = 0; t < ky; ++t) {
            const double g = moved_threshold_loglik(c, &Cell::lo_y, &Cell::hi_y, y[k], t,
                                                    tau_y[t] + eps, rho, f);
            scores(k, kx + t) = (g - f) / eps;
        }
        scores(k, kx + ky) = (cell_loglik(c, rho_step) - f) / eps;
    }
    return scores;
}

}  // namespace sem
