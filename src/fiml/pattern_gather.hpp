#pragma once

#include <cstddef>
#include <vector>

#include <Eigen/Core>

#include "model/rank_tested_inverse.hpp"

namespace sem {

// Cuts one missing-data pattern at a time out of the implied moments and
// their derivatives. Every buffer is sized once for the largest pattern, so
// visiting the patterns allocates nothing; the views stay valid until the
// next gather. Sigma and mu are referenced, not copied, and must outlive it.
class PatternGather {
public:
    PatternGather(const Eigen::MatrixXd& Sigma,  // p x p
                  const Eigen::VectorXd& mu,     // p
                  Eigen::Index max_size);

    // Sigma_p(a, b) = Sigma(idx[a], idx[b]), mu_p(a) = mu(idx[a]).
    void gather(const std::vector<int>& idx);

    Eigen::Index size() const { return k_; }
    const std::vector<int>& index() const { return *idx_; }
    Eigen::Block<Eigen::MatrixXd> Sigma_p() { return Sigma_p_.topLeftCorner(k_, k_); }
    Eigen::VectorBlock<Eigen::VectorXd> mu_p() { return mu_p_.head(k_); }

    // The same cut of any p x p matrix or p-vector (dSigma_i, dmu_i).
    void gather(const Eigen::MatrixXd& full, Eigen::Ref<Eigen::MatrixXd> sub) const;
    void gather(const Eigen::VectorXd& full, Eigen::Ref<Eigen::VectorXd> sub) const;

    // The adjoint of the cut: full(idx[a], idx[b]) += w * sub(a, b), so that
    // trace(full' X) = trace(sub' X_p) for every p x p X. Repeated indices
    // accumulate.
    void scatter_add(double w, const Eigen::Ref<const Eigen::MatrixXd>& sub,
                     Eigen::MatrixXd& full) const;
    void scatter_add(double w, const Eigen::Ref<const Eigen::VectorXd>& sub,
                     Eigen::VectorXd& full) const;

    // Sigma_p^-1 into SigmaInv_p(); false when Eigen's default FullPivLU
    // rank test finds Sigma_p singular.
    bool invert();
    Eigen::Block<Eigen::MatrixXd> SigmaInv_p() { return SigmaInv_p_.topLeftCorner(k_, k_); }

private:
    const Eigen::MatrixXd& Sigma_;
    const Eigen::VectorXd& mu_;
    const std::vector<int>* idx_ = nullptr;
    Eigen::Index k_ = 0;
    Eigen::MatrixXd Sigma_p_, SigmaInv_p_;
    Eigen::VectorXd mu_p_;
    RankTestedInverse inverse_;
};

// Gathers and visits every pattern that observes at least one variable, in
// list order; visit(p) returning false stops the walk and makes the result
// false. Empty patterns are never visited: how their cases count is up to
// the caller.
template <class Visit>
bool for_each_pattern(const std::vector<std::vector<int>>& obs_indices, PatternGather& gather,
                      Visit&& visit) {
    for (std::size_t p = 0; p < obs_indices.size(); ++p) {
        if (obs_indices[p].empty()) continue;
        gather.gather(obs_indices[p]);
        if (!visit(p)) return false;
    }
    return true;
}

}  // namespace sem
