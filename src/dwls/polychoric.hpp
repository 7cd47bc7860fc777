#pragma once

#include <Eigen/Cholesky>
#include <Eigen/Core>

#include "dwls/corner_grid.hpp"

namespace sem {

// Largest |rho| a polychoric correlation may take. A pair whose
// likelihood still rises there (a 2 x 2 table with an empty off-diagonal
// cell, say) is reported at the bound, so every estimate stays finite.
constexpr double kPolychoricBound = 0.9999;

// One ordinal item: thresholds from its margins and what the two-step
// covariance needs of its univariate probit likelihood.
struct OrdinalItem {
    Eigen::VectorXd tau;      // K thresholds, tau_t = Phi^-1(P(code <= t))
    Eigen::VectorXd ext;      // -inf, tau, +inf: category c spans ext[c]..ext[c + 1]
    Eigen::VectorXd counts;   // K + 1 category counts
    Eigen::VectorXd density;  // phi(tau_t)
    Eigen::VectorXd prob;     // Phi(tau_c) - Phi(tau_{c-1}), per category
    Eigen::LLT<Eigen::MatrixXd> info;  // sum over cases of u u', u = d ln P(code) / d tau
};

// codes: one column, every category 0..k_max occupied (the caller's check).
OrdinalItem ordinal_item(const Eigen::Ref<const Eigen::VectorXi>& codes, int k_max);

// Buffers reused from pair to pair by one worker.
struct PairWorkspace {
    Eigen::MatrixXd counts;         // (K_a + 1) x (K_b + 1) contingency table
    Eigen::MatrixXd density;        // phi2 at the grid corners (ext indices)
    Eigen::MatrixXd density_slope;  // d phi2 / d rho there
    Eigen::MatrixXd score;          // d ln P / d rho per cell
    Eigen::VectorXd cross_a, cross_b;  // sum of s t over cases, per threshold
    Eigen::VectorXd alpha, beta;       // A^-1 times the cross sums
    LazyCornerGrid grid;
};

// The two-step estimate for items a and b from their table: the rho in
// [-kPolychoricBound, kPolychoricBound] that maximises
// sum_cells n ln P(cell; tau_a, tau_b, rho), with P exactly as
// bivariate_loglik evaluates it and the score from the exact density.
double polychoric_correlation(const OrdinalItem& a, const OrdinalItem& b, PairWorkspace& work);

// Each case's influence on the estimate rho, by the cell it falls in:
// v = N (s - u_a' A_a^-1 sum(s t_a) - u_b' A_b^-1 sum(s t_b)) / sum(s^2),
// with s, t_a, t_b the bivariate scores at (tau, rho) and u, A the items'
// univariate scores and their cross-products. Writes the table (column
// major, (K_a + 1) x (K_b + 1); unoccupied cells 0) and returns
// mean(v^2), the asymptotic variance of sqrt(N) (rho-hat - rho).
double pair_influence(const OrdinalItem& a, const OrdinalItem& b, double rho, double n_cases,
                      PairWorkspace& work, Eigen::Ref<Eigen::MatrixXd> influence);

}  // namespace sem
