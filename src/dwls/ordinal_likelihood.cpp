#include "dwls/ordinal_likelihood.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "dwls/bivariate_normal.hpp"
#include "dwls/corner_grid.hpp"

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

// ln P of a cell whose bounds come from more than one grid (a moved
// threshold): corner(x_hi, y_hi, tails) names the grid value.
template <class Corner>
double mixed_cell_loglik(double lo_x, double hi_x, double lo_y, double hi_y, double rho,
                         const Corner& corner) {
    const Tails tails = cell_tails(lo_x, hi_x, lo_y, hi_y, rho);
    return std::log(rectangle_from_tails(
        tails, [&](bool x_hi, bool y_hi) { return corner(x_hi, y_hi, tails); }));
}

// A table of (K_x + 1)(K_y + 1) cells pays while it is no larger than the
// result; beyond that (many categories, few cases) the per-case rule needs
// no table, costs no more, and gives the same values.
bool cells_pay(Eigen::Index kx, Eigen::Index ky, Eigen::Index n) {
    return (kx + 1) * (ky + 1) <= n;
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

Eigen::VectorXd bivariate_loglik_per_case(const Eigen::Ref<const Eigen::VectorXi>& x,
                                          const Eigen::Ref<const Eigen::VectorXi>& y,
                                          const Eigen::Ref<const Eigen::VectorXd>& tau_x,
                                          const Eigen::Ref<const Eigen::VectorXd>& tau_y,
                                          double rho) {
    const Eigen::VectorXd ext_x = extended_thresholds(tau_x);
    const Eigen::VectorXd ext_y = extended_thresholds(tau_y);
    Eigen::VectorXd ll(x.size());
    for (Eigen::Index k = 0; k < x.size(); ++k) {
        const Cell c{ext_x[x[k]], ext_x[x[k] + 1], ext_y[y[k]], ext_y[y[k] + 1]};
        ll[k] = cell_loglik(c, rho);
    }
    return ll;
}

Eigen::MatrixXd categorical_casewise_scores_per_case(const Eigen::Ref<const Eigen::VectorXi>& x,
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

Eigen::VectorXd bivariate_loglik(const Eigen::Ref<const Eigen::VectorXi>& x,
                                 const Eigen::Ref<const Eigen::VectorXi>& y,
                                 const Eigen::Ref<const Eigen::VectorXd>& tau_x,
                                 const Eigen::Ref<const Eigen::VectorXd>& tau_y, double rho) {
    const Eigen::Index n = x.size(), ny_cells = tau_y.size() + 1;
    if (!cells_pay(tau_x.size(), tau_y.size(), n)) {
        return bivariate_loglik_per_case(x, y, tau_x, tau_y, rho);
    }
    const Eigen::VectorXd ext_x = extended_thresholds(tau_x);
    const Eigen::VectorXd ext_y = extended_thresholds(tau_y);
    LazyCornerGrid grid(ext_x, ext_y, rho);
    std::vector<double> cell_ll((tau_x.size() + 1) * ny_cells);
    std::vector<char> known(cell_ll.size(), 0);
    Eigen::VectorXd ll(n);
    for (Eigen::Index k = 0; k < n; ++k) {
        const Eigen::Index at = x[k] * ny_cells + y[k];
        if (!known[at]) {
            cell_ll[at] = grid.cell_loglik(x[k], y[k]);
            known[at] = 1;
        }
        ll[k] = cell_ll[at];
    }
    return ll;
}

Eigen::MatrixXd categorical_casewise_scores(const Eigen::Ref<const Eigen::VectorXi>& x,
                                            const Eigen::Ref<const Eigen::VectorXi>& y,
                                            const Eigen::Ref<const Eigen::VectorXd>& tau_x,
                                            const Eigen::Ref<const Eigen::VectorXd>& tau_y,
                                            double rho, double eps) {
    const Eigen::Index n = x.size(), kx = tau_x.size(), ky = tau_y.size(), ny_cells = ky + 1;
    if (!cells_pay(kx, ky, n)) {
        return categorical_casewise_scores_per_case(x, y, tau_x, tau_y, rho, eps);
    }
    const Eigen::VectorXd ext_x = extended_thresholds(tau_x);
    const Eigen::VectorXd ext_y = extended_thresholds(tau_y);
    const Eigen::VectorXd moved_x = tau_x.array() + eps;
    const Eigen::VectorXd moved_y = tau_y.array() + eps;
    LazyCornerGrid at_rho(ext_x, ext_y, rho);
    // The clamp can make the step smaller or even negative (rho > 0.999);
    // the divisor stays eps all the same.
    LazyCornerGrid at_step(ext_x, ext_y, std::min(0.999, rho + eps));
    LazyCornerGrid x_moved(moved_x, ext_y, rho);  // row t: tau_x[t] + eps
    LazyCornerGrid y_moved(ext_x, moved_y, rho);  // column t: tau_y[t] + eps
    // A case's row of scores is fixed by its cell, so each occupied cell's
    // row is formed once: the differences for the thresholds below and above
    // it on each variable and for the correlation, and (f - f) / eps (0, or
    // NaN with f or eps) for every threshold that bounds neither side. They
    // are formed as case by case, (g - f) / eps on the same doubles, so the
    // rows agree to the bit.
    Eigen::MatrixXd rows((kx + 1) * ny_cells, kx + ky + 1);
    std::vector<char> known(rows.rows(), 0);
    std::vector<Eigen::Index> cell_of(n);
    for (Eigen::Index k = 0; k < n; ++k) {
        const Eigen::Index i = x[k], j = y[k], at = i * ny_cells + j;
        cell_of[k] = at;
        if (known[at]) continue;
        known[at] = 1;
        auto row = rows.row(at);
        const double f = at_rho.cell_loglik(i, j);
        row.setConstant((f - f) / eps);
        const double lo_x = ext_x[i], hi_x = ext_x[i + 1], lo_y = ext_y[j], hi_y = ext_y[j + 1];
        if (i > 0) {
            const double g = mixed_cell_loglik(
                moved_x[i - 1], hi_x, lo_y, hi_y, rho, [&](bool x_hi, bool y_hi, Tails t) {
                    return x_hi ? at_rho(i + 1, j + y_hi, t) : x_moved(i - 1, j + y_hi, t);
                });
            row[i - 1] = (g - f) / eps;
        }
        if (i < kx) {
            const double g = mixed_cell_loglik(
                lo_x, moved_x[i], lo_y, hi_y, rho, [&](bool x_hi, bool y_hi, Tails t) {
                    return x_hi ? x_moved(i, j + y_hi, t) : at_rho(i, j + y_hi, t);
                });
            row[i] = (g - f) / eps;
        }
        if (j > 0) {
            const double g = mixed_cell_loglik(
                lo_x, hi_x, moved_y[j - 1], hi_y, rho, [&](bool x_hi, bool y_hi, Tails t) {
                    return y_hi ? at_rho(i + x_hi, j + 1, t) : y_moved(i + x_hi, j - 1, t);
                });
            row[kx + j - 1] = (g - f) / eps;
        }
        if (j < ky) {
            const double g = mixed_cell_loglik(
                lo_x, hi_x, lo_y, moved_y[j], rho, [&](bool x_hi, bool y_hi, Tails t) {
                    return y_hi ? y_moved(i + x_hi, j, t) : at_rho(i + x_hi, j, t);
                });
            row[kx + j] = (g - f) / eps;
        }
        row[kx + ky] = (at_step.cell_loglik(i, j) - f) / eps;
    }
    // Column by column, so the column-major result is written in order.
    Eigen::MatrixXd scores(n, kx + ky + 1);
    for (Eigen::Index col = 0; col < scores.cols(); ++col) {
        for (Eigen::Index k = 0; k < n; ++k) scores(k, col) = rows(cell_of[k], col);
    }
    return scores;
}

}  // namespace sem
