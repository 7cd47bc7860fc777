#include "fiml/pattern_basis.hpp"

namespace sem {

PatternBasis::PatternBasis(const MomentTerms& terms, Eigen::Index max_size)
    : terms_(terms),
      F_(max_size, terms.factors().cols()),
      YF_(max_size, terms.factors().cols()),
      position_(static_cast<std::size_t>(terms.observed()), -1) {
    sigma_.reserve(terms.sigma().size());
    mean_.reserve(terms.mean().size());
}

void PatternBasis::select(const std::vector<int>& idx) {
    const int p = static_cast<int>(terms_.observed());
    k_ = static_cast<Eigen::Index>(idx.size());
    const int shift = static_cast<int>(k_) - p;  // factor column a >= p moves to a + shift
    for (Eigen::Index a = 0; a < k_; ++a) {
        position_[static_cast<std::size_t>(idx[a])] = static_cast<int>(a);
        F_.row(a) = terms_.factors().row(idx[a]);
    }
    auto compact = [&](int a) { return a >= p ? a + shift : position_[static_cast<std::size_t>(a)]; };
    sigma_.clear();
    for (const SigmaTerm& t : terms_.sigma()) {
        const int a = compact(t.a), b = compact(t.b);
        if (a >= 0 && b >= 0) sigma_.push_back({t.param, a, b, t.c});
    }
    mean_.clear();
    for (const MeanTerm& u : terms_.mean()) {
        const int a = compact(u.a);
        if (a >= 0) mean_.push_back({u.param, a, u.c});
    }
    for (int i : idx) position_[static_cast<std::size_t>(i)] = -1;
}

void PatternBasis::table(const Eigen::Ref<const Eigen::MatrixXd>& Y,
                         Eigen::Ref<Eigen::MatrixXd> table) {
    const Eigen::Index k = k_, q = F_.cols();
    table.topLeftCorner(k, k) = Y;
    if (q == 0) return;
    const auto F = F_.topRows(k);
    auto YF = YF_.topRows(k);
    YF.noalias() = Y * F;
    table.topRightCorner(k, q) = YF;
    table.bottomLeftCorner(q, k).noalias() = F.transpose() * Y;
    table.bottomRightCorner(q, q).noalias() = F.transpose() * YF;
}

void PatternBasis::times_basis(const Eigen::Ref<const Eigen::MatrixXd>& V,
                               Eigen::Ref<Eigen::MatrixXd> out) const {
    const Eigen::Index q = F_.cols();
    out.leftCols(k_) = V;
    if (q > 0) out.rightCols(q).noalias() = V * F_.topRows(k_);
}

void PatternBasis::project(const Eigen::Ref<const Eigen::VectorXd>& v,
                           Eigen::Ref<Eigen::VectorXd> r) const {
    const Eigen::Index q = F_.cols();
    r.head(k_) = v;
    if (q > 0) r.tail(q).noalias() = F_.topRows(k_).transpose() * v;
}

}  // namespace sem
