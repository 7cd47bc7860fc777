#include "fiml/pattern_gather.hpp"

namespace sem {

PatternGather::PatternGather(const Eigen::MatrixXd& Sigma, const Eigen::VectorXd& mu,
                             Eigen::Index max_size)
    : Sigma_(Sigma),
      mu_(mu),
      Sigma_p_(max_size, max_size),
      SigmaInv_p_(max_size, max_size),
      lu_work_(max_size, max_size),
      mu_p_(max_size),
      lu_by_size_(static_cast<std::size_t>(max_size) + 1) {}

void PatternGather::gather(const std::vector<int>& idx) {
    idx_ = &idx;
    k_ = static_cast<Eigen::Index>(idx.size());
    gather(Sigma_, Sigma_p());
    gather(mu_, mu_p());
}

void PatternGather::gather(const Eigen::MatrixXd& full, Eigen::Ref<Eigen::MatrixXd> sub) const {
    const std::vector<int>& idx = *idx_;
    for (Eigen::Index b = 0; b < k_; ++b) {
        const double* col = full.col(idx[b]).data();
        for (Eigen::Index a = 0; a < k_; ++a) sub(a, b) = col[idx[a]];
    }
}

void PatternGather::gather(const Eigen::VectorXd& full, Eigen::Ref<Eigen::VectorXd> sub) const {
    const std::vector<int>& idx = *idx_;
    for (Eigen::Index a = 0; a < k_; ++a) sub[a] = full[idx[a]];
}

void PatternGather::scatter_add(double w, const Eigen::Ref<const Eigen::MatrixXd>& sub,
                                Eigen::MatrixXd& full) const {
    const std::vector<int>& idx = *idx_;
    for (Eigen::Index b = 0; b < k_; ++b) {
        double* col = full.col(idx[b]).data();
        for (Eigen::Index a = 0; a < k_; ++a) col[idx[a]] += w * sub(a, b);
    }
}

void PatternGather::scatter_add(double w, const Eigen::Ref<const Eigen::VectorXd>& sub,
                                Eigen::VectorXd& full) const {
    const std::vector<int>& idx = *idx_;
    for (Eigen::Index a = 0; a < k_; ++a) full[idx[a]] += w * sub[a];
}

bool PatternGather::invert() {
    Eigen::FullPivLU<Eigen::MatrixXd>& lu = lu_by_size_[static_cast<std::size_t>(k_)];
    lu.compute(Sigma_p());
    if (!lu.isInvertible()) return false;
    // Eigen's own solve against the identity, written out so that its
    // intermediate lives in a reused buffer: P Sigma_p Q = L U gives
    // Sigma_p^-1 = Q U^-1 L^-1 P.
    auto c = lu_work_.topLeftCorner(k_, k_);
    c.setZero();
    const auto& P = lu.permutationP().indices();
    for (Eigen::Index i = 0; i < k_; ++i) c(P[i], i) = 1.0;
    lu.matrixLU().triangularView<Eigen::UnitLower>().solveInPlace(c);
    lu.matrixLU().triangularView<Eigen::Upper>().solveInPlace(c);
    const auto& Q = lu.permutationQ().indices();
    auto inv = SigmaInv_p();
    for (Eigen::Index i = 0; i < k_; ++i) inv.row(Q[i]) = c.row(i);
    return true;
}

}  // namespace sem
