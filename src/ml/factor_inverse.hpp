#pragma once

#include <vector>

#include <Eigen/Core>

#include "model/model_description.hpp"
#include "model/model_matrices.hpp"

namespace sem {

// Sigma = Theta + L K L' inverted through its structure. The residual
// covariances split the observed variables into groups (connected by
// nonzero Theta cells). When every group is small with a positive definite
// Theta block, and the variables whose residual is zero or small against
// their variance (the set E) stand alone, then
//   Sigma^-1 = D - U Z U',
// with D = Theta^-1 off E and zero on E, U = [D L, the columns of I on E]
// (p x r, r = m + |E|) and Z symmetric r x r. A product with Sigma^-1 then
// costs O(p r) per column, so the ML terms need no p x p work beyond S U.
//
// With K = G G' (pivoted LDL', K positive semidefinite), F = L G, the
// capacitance matrix C = I + F_N' D F_N (at least I, so well conditioned)
// and, on E, the Schur complement S_E = Theta_E + F_E C^-1 F_E',
//   log|Sigma| = log|Theta_N| + log|C| + log|S_E|.
class FactorInverse {
public:
    // False when the structure does not hold (a Theta or a Phi / Psi that is
    // not exactly symmetric, a non-finite cell, a large group, a group or a
    // K that is not positive (semi)definite, no loadings) or when Sigma is
    // not far enough from singular for the result to settle what a Cholesky
    // factorisation of the implied Sigma and the full-pivoting LU rank test
    // say of it: both then surely succeed, and otherwise the caller's dense
    // route decides as before.
    // m: the matrices built from `description`, whose mappings tell which
    // Theta cells may be nonzero.
    bool compute(const ModelDescription& description, const ModelMatrices& m,
                 const Eigen::MatrixXd& L, const Eigen::MatrixXd& K);

    double log_det() const { return log_det_; }
    const Eigen::MatrixXd& U() const { return U_; }
    const Eigen::MatrixXd& Z() const { return Z_; }
    // D L, the first m columns of U.
    Eigen::Block<const Eigen::MatrixXd, Eigen::Dynamic, Eigen::Dynamic, true> DL() const {
        return U_.leftCols(m_);
    }
    // L' D L (m x m).
    const Eigen::MatrixXd& LtDL() const { return LtDL_; }
    const std::vector<int>& exact() const { return exact_; }

    // D X for X with p rows.
    Eigen::MatrixXd apply_D(const Eigen::MatrixXd& X) const;
    // Sigma^-1 X.
    Eigen::MatrixXd solve(const Eigen::MatrixXd& X) const;
    // S U for a p x p S, the one product of order p^2 r (selected kernel).
    Eigen::MatrixXd left_times_U(const Eigen::MatrixXd& S) const;
    // trace(D S).
    double trace_DS(const Eigen::MatrixXd& S) const;
    // (D S D)(i, j) of the S last given to prepare_DSD, which forms the
    // blocks of the groups (S must outlive the calls).
    void prepare_DSD(const Eigen::MatrixXd& S);
    double DSD(int i, int j) const;
    double D(int i, int j) const;

private:
    struct Group {
        std::vector<int> index;
        Eigen::MatrixXd inverse;
        Eigen::MatrixXd dsd;  // its block of D S D
    };
    // The variables of D's row i with their entries: (i, 1 / theta_ii) for
    // a variable alone, its group's row otherwise, nothing on E.
    template <class F>
    void for_row(int i, F&& f) const;
    // common: the diagonal of L K L'.
    bool find_groups(const ModelDescription& description, const ModelMatrices& m,
                     const Eigen::VectorXd& common);

    int p_ = 0, m_ = 0;
    double log_det_ = 0.0;
    Eigen::VectorXd dinv_;     // 1 / theta_ii of a variable alone, else 0
    Eigen::VectorXd theta_diag_;
    std::vector<int> group_;   // per variable: its group, or -1
    std::vector<int> slot_;    // its position in the group
    std::vector<Group> groups_;
    Eigen::Index max_group_ = 0;
    std::vector<int> exact_;   // E
    Eigen::MatrixXd U_, Z_, LtDL_;
    const Eigen::MatrixXd* S_ = nullptr;
};

}  // namespace sem
