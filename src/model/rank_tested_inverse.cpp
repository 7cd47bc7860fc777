#include "model/rank_tested_inverse.hpp"

#include <algorithm>
#include <cmath>

namespace sem {

namespace {

bool exactly_symmetric(const Eigen::Ref<const Eigen::MatrixXd>& m) {
    const Eigen::Index n = m.rows();
    for (Eigen::Index j = 0; j < n; ++j) {
        for (Eigen::Index i = j + 1; i < n; ++i) {
            if (m(i, j) != m(j, i)) return false;
        }
    }
    return true;
}

}  // namespace

RankTestedInverse::RankTestedInverse(Eigen::Index max_size)
    : llt_by_size_(static_cast<std::size_t>(max_size) + 1),
      lu_by_size_(static_cast<std::size_t>(max_size) + 1),
      work_(max_size, max_size) {}

bool RankTestedInverse::invert(const Eigen::Ref<const Eigen::MatrixXd>& m,
                               Eigen::Ref<Eigen::MatrixXd> inv) {
    // A 0 x 0 matrix is trivially invertible; the decomposition would
    // otherwise take the largest pivot of an empty diagonal.
    if (m.rows() == 0) return true;
    if (invert_by_cholesky(m, inv)) return true;
    return invert_by_lu(m, inv);
}

// FullPivLU calls m singular when a pivot falls to n * 2^-52 times the
// largest one, and the first pivot of a symmetric positive definite m is its
// largest entry, the largest diagonal element d. Each later pivot is the
// largest entry of a Schur complement, which is again positive definite, so
// it lies on that complement's diagonal and is at least its smallest
// eigenvalue, which (its inverse being a principal block of m^-1) is at
// least lambda_min(m). The computed pivots are those of m + F with
// |F| <= gamma_n |L||U|, |L| <= 1 and entries of U at most d (no growth for
// positive definite matrices), so ||F||_2 <= gamma_n n^2 d. Hence every
// computed pivot exceeds the threshold when
//     lambda_min(m) > n 2^-52 d + gamma_n n^2 d,  gamma_n ~ n 2^-53.
// The bound taken for lambda_min is 1 / trace(m^-1) (trace >= largest
// eigenvalue of m^-1), halved for the relative error of the computed
// inverse, which is at most c n kappa 2^-53 and so well below 1/2 whenever
// the test below passes. A factor of 4 on the right covers the constants;
// anything closer, or a matrix that is not exactly symmetric or not
// positive definite, goes to the literal decomposition.
bool RankTestedInverse::invert_by_cholesky(const Eigen::Ref<const Eigen::MatrixXd>& m,
                                           Eigen::Ref<Eigen::MatrixXd> inv) {
    const Eigen::Index n = m.rows();
    if (!exactly_symmetric(m)) return false;
    const double d = m.diagonal().maxCoeff();
    if (!(d > 0.0) || !std::isfinite(d)) return false;
    Eigen::LLT<Eigen::MatrixXd>& llt = llt_by_size_[static_cast<std::size_t>(n)];
    llt.compute(m);
    if (llt.info() != Eigen::Success) return false;
    inv.setIdentity();
    llt.solveInPlace(inv);
    const double trace = inv.trace();
    if (!(trace > 0.0) || !std::isfinite(trace)) return false;
    const double nd = static_cast<double>(n);
    const double eps = std::ldexp(1.0, -52);
    const double threshold = 4.0 * eps * d * (nd + nd * nd * nd);
    return 0.5 / trace > threshold;
}

bool RankTestedInverse::invert_by_lu(const Eigen::Ref<const Eigen::MatrixXd>& m,
                                     Eigen::Ref<Eigen::MatrixXd> inv) {
    const Eigen::Index k = m.rows();
    Eigen::FullPivLU<Eigen::MatrixXd>& lu = lu_by_size_[static_cast<std::size_t>(k)];
    lu.compute(m);
    if (!lu.isInvertible()) return false;
    // Eigen's own solve against the identity, written out so that its
    // intermediate lives in a reused buffer: P m Q = L U gives
    // m^-1 = Q U^-1 L^-1 P.
    auto c = work_.topLeftCorner(k, k);
    c.setZero();
    const auto& P = lu.permutationP().indices();
    for (Eigen::Index i = 0; i < k; ++i) c(P[i], i) = 1.0;
    lu.matrixLU().triangularView<Eigen::UnitLower>().solveInPlace(c);
    lu.matrixLU().triangularView<Eigen::Upper>().solveInPlace(c);
    const auto& Q = lu.permutationQ().indices();
    for (Eigen::Index i = 0; i < k; ++i) inv.row(Q[i]) = c.row(i);
    return true;
}

}  // namespace sem
