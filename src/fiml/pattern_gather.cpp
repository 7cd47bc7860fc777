#include "fiml/pattern_gather.hpp"

namespace sem {

PatternGather::PatternGather(const Eigen::MatrixXd& Sigma, const Eigen::VectorXd& mu,
                             Eigen::Index max_size)
    : Sigma_(Sigma),
      mu_(mu),
      Sigma_p_(max_size, max_size),
      SigmaInv_p_(max_size, max_size),
      mu_p_(max_size),
      inverse_(max_size) {}

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

bool PatternGather::invert() { return inverse_.invert(Sigma_p(), SigmaInv_p()); }

}  // namespace sem
