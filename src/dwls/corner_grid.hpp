#pragma once

#include <cmath>
#include <vector>

#include <Eigen/Core>

#include "dwls/bivariate_normal.hpp"

namespace sem {

// The distribution function at the corners (xs[i], ys[j]) of a threshold
// grid, from either tail of each variable, each evaluated on first use and
// then shared by every cell (and so every case) that has it as a corner.
// The grid refers to xs and ys, which must outlive it (or the next reset).
class LazyCornerGrid {
public:
    LazyCornerGrid() = default;
    LazyCornerGrid(const Eigen::VectorXd& xs, const Eigen::VectorXd& ys, double rho) {
        reset(xs, ys, rho);
    }

    // Re-targets the grid; the buffers are kept, so a grid reused across
    // pairs and iterations allocates only when it grows.
    void reset(const Eigen::VectorXd& xs, const Eigen::VectorXd& ys, double rho) {
        xs_ = &xs;
        ys_ = &ys;
        rho_ = rho;
        values_.resize(static_cast<std::size_t>(4 * xs.size() * ys.size()));
        known_.assign(values_.size(), 0);
    }

    double rho() const { return rho_; }

    double operator()(Eigen::Index i, Eigen::Index j, Tails tails) {
        const Eigen::Index slot = 2 * tails.upper_x + tails.upper_y;
        const auto at = static_cast<std::size_t>((slot * xs_->size() + i) * ys_->size() + j);
        if (!known_[at]) {
            values_[at] = tail_cdf((*xs_)[i], (*ys_)[j], rho_, tails);
            known_[at] = 1;
        }
        return values_[at];
    }

    // P of the cell xs[i]..xs[i + 1] by ys[j]..ys[j + 1], floored at 1e-15.
    double cell_probability(Eigen::Index i, Eigen::Index j) {
        const Eigen::VectorXd& xs = *xs_;
        const Eigen::VectorXd& ys = *ys_;
        const Tails tails = cell_tails(xs[i], xs[i + 1], ys[j], ys[j + 1], rho_);
        return rectangle_from_tails(
            tails, [&](bool x_hi, bool y_hi) { return (*this)(i + x_hi, j + y_hi, tails); });
    }

    double cell_loglik(Eigen::Index i, Eigen::Index j) { return std::log(cell_probability(i, j)); }

private:
    const Eigen::VectorXd* xs_ = nullptr;
    const Eigen::VectorXd* ys_ = nullptr;
    double rho_ = 0.0;
    std::vector<double> values_;
    std::vector<char> known_;
};

}  // namespace sem
