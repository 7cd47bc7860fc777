#pragma once

#include <vector>

#include <Eigen/Core>

#include "model/moment_terms.hpp"

namespace sem {

// The basis of MomentTerms cut to one missing-data pattern's rows: the unit
// vectors of the observed variables, in the pattern's order, then the factor
// columns restricted to those rows. A term on the unit vector of a variable
// the pattern does not observe vanishes there and is dropped; the others are
// renumbered into this compact basis, so that every trace over the pattern
// reads (k + q) x (k + q) tables. Buffers are sized once for the largest
// pattern; `terms` must outlive the object.
class PatternBasis {
public:
    PatternBasis(const MomentTerms& terms, Eigen::Index max_size);

    // idx: the pattern's variables, each in 0 .. p-1.
    void select(const std::vector<int>& idx);

    Eigen::Index size() const { return k_ + F_.cols(); }
    Eigen::Index max_size() const { return F_.rows() + F_.cols(); }  // sizes the caller's tables
    const std::vector<SigmaTerm>& sigma() const { return sigma_; }
    const std::vector<MeanTerm>& mean() const { return mean_; }

    // table = w_p' Y w_p (size x size) for a k x k Y in the pattern's order.
    void table(const Eigen::Ref<const Eigen::MatrixXd>& Y, Eigen::Ref<Eigen::MatrixXd> table);

    // Rows times the basis, out = [V, V F_p] (rows x size), for V with k columns.
    void times_basis(const Eigen::Ref<const Eigen::MatrixXd>& V, Eigen::Ref<Eigen::MatrixXd> out) const;

    // r = w_p' v (size) for a k-vector v.
    void project(const Eigen::Ref<const Eigen::VectorXd>& v, Eigen::Ref<Eigen::VectorXd> r) const;

private:
    const MomentTerms& terms_;
    Eigen::Index k_ = 0;
    Eigen::MatrixXd F_;   // max_size x q, the first k rows in use
    Eigen::MatrixXd YF_;  // max_size x q
    std::vector<int> position_;  // of each variable in the pattern, -1 when unobserved
    std::vector<SigmaTerm> sigma_;
    std::vector<MeanTerm> mean_;
};

}  // namespace sem
