#pragma once

#include <vector>

#include <Eigen/Cholesky>
#include <Eigen/Core>
#include <Eigen/LU>

namespace sem {

// Inverts square matrices of up to max_size rows and reports the outcome of
// Eigen's FullPivLU rank test (default threshold) on them, without running
// the unblocked full-pivoting decomposition when a Cholesky factorisation
// proves its outcome. Decompositions are kept per size, so a stream of
// matrices of a few sizes (missing-data patterns) allocates nothing after
// the first of each size. One object serves one thread.
class RankTestedInverse {
public:
    explicit RankTestedInverse(Eigen::Index max_size);

    // inv (k x k) receives m^-1. Returns false when the rank test finds m
    // singular; inv is then unspecified.
    bool invert(const Eigen::Ref<const Eigen::MatrixXd>& m, Eigen::Ref<Eigen::MatrixXd> inv);

private:
    bool invert_by_cholesky(const Eigen::Ref<const Eigen::MatrixXd>& m,
                            Eigen::Ref<Eigen::MatrixXd> inv);
    bool invert_by_lu(const Eigen::Ref<const Eigen::MatrixXd>& m, Eigen::Ref<Eigen::MatrixXd> inv);

    std::vector<Eigen::LLT<Eigen::MatrixXd>> llt_by_size_;
    std::vector<Eigen::FullPivLU<Eigen::MatrixXd>> lu_by_size_;
    Eigen::MatrixXd work_;
};

}  // namespace sem
