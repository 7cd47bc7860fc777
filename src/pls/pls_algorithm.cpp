#include "pls/pls_algorithm.hpp"

#include <cmath>
#include <limits>

#include <Eigen/SVD>

#include "pls/standardise.hpp"

namespace sem {

namespace {

using Eigen::Index;
using Eigen::MatrixXd;
using Eigen::VectorXd;
using Svd = Eigen::BDCSVD<MatrixXd>;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Minimum-norm least squares with Eigen's default singular-value threshold.
// The decomposition gives up on a matrix with a NaN or an infinity: it
// reports rank 0 (a solve would answer zeros, which would pass for a
// converged estimate) and leaves its factors unset, so solving with them
// reads uninitialised memory. Such a design gives NaN coefficients instead.
class MinNormSolver {
public:
    explicit MinNormSolver(const MatrixXd& X) : cols_(X.cols()) {
        if (X.allFinite()) {
            svd_.compute(X, Eigen::ComputeThinU | Eigen::ComputeThinV);
            usable_ = svd_.info() == Eigen::Success;
        }
    }

    void solve(const Eigen::Ref<const VectorXd>& rhs, VectorXd& out) const {
        if (usable_) {
            out = svd_.solve(rhs);
        } else {
            out.setConstant(cols_, kNaN);
        }
    }

private:
    Index cols_;
    bool usable_ = false;
    Svd svd_;
};

MatrixXd gather_columns(const MatrixXd& m, const std::vector<int>& cols) {
    MatrixXd out(m.rows(), static_cast<Index>(cols.size()));
    for (std::size_t c = 0; c < cols.size(); ++c) out.col(static_cast<Index>(c)) = m.col(cols[c]);
    return out;
}

// Largest |a - b| over all entries; NaN as soon as any difference is NaN,
// so that a diverged estimate never satisfies the tolerance.
double max_abs_difference(const MatrixXd& a, const MatrixXd& b) {
    double d = 0.0;
    for (Index i = 0; i < a.size(); ++i) {
        const double e = std::abs(a.data()[i] - b.data()[i]);
        if (std::isnan(e)) return kNaN;
        if (e > d) d = e;
    }
    return d;
}

// G(i, j) = min(P(i, j) + P(j, i), 1); a NaN sum stays NaN.
MatrixXd adjacency(const Eigen::Ref<const MatrixXd>& path_matrix) {
    const Index J = path_matrix.rows();
    MatrixXd G(J, J);
    for (Index j = 0; j < J; ++j) {
        for (Index i = 0; i < J; ++i) {
            const double g = path_matrix(i, j) + path_matrix(j, i);
            G(i, j) = g > 1.0 ? 1.0 : g;
        }
    }
    return G;
}

}  // namespace

PlsResult run_pls_algorithm(const Eigen::Ref<const MatrixXd>& data,
                            const std::vector<std::vector<int>>& blocks,
                            const std::vector<OuterMode>& modes,
                            const Eigen::Ref<const MatrixXd>& path_matrix, int max_iter,
                            double tol) {
    const Index n = data.rows();
    const Index P = data.cols();
    const Index J = static_cast<Index>(blocks.size());
    const double n1 = static_cast<double>(n - 1);

    MatrixXd Z = data;  // n x P
    standardise_columns(Z);

    MatrixXd W = MatrixXd::Zero(P, J);
    for (Index j = 0; j < J; ++j) {
        for (int r : blocks[j]) W(r, j) = 1.0;
    }
    MatrixXd Y(n, J);
    Y.noalias() = Z * W;
    standardise_columns(Y);

    const MatrixXd G = adjacency(path_matrix);
    std::vector<bool> connected(J);
    for (Index i = 0; i < J; ++i) connected[i] = (G.row(i).array() != 0.0).any();

    PlsResult res;
    if (max_iter > 0) {
        // A block's design never changes between passes, so its decomposition
        // is computed once; every pass solves against the same factors.
        std::vector<MinNormSolver> mode_b;
        mode_b.reserve(blocks.size());
        std::vector<Index> solver_of(J, -1);
        for (Index j = 0; j < J; ++j) {
            if (modes[j] == OuterMode::B && !blocks[j].empty()) {
                solver_of[j] = static_cast<Index>(mode_b.size());
                mode_b.emplace_back(gather_columns(Z, blocks[j]));
            }
        }

        MatrixXd W_old(P, J);
        MatrixXd C(J, J);  // correlations of the latent scores
        MatrixXd T(n, J);  // inner estimates
        VectorXd w;
        while (res.iterations < max_iter) {
            W_old = W;

            C.noalias() = Y.transpose() * Y;
            C /= n1;
            T.noalias() = Y * C.cwiseProduct(G);
            for (Index k = 0; k < J; ++k) {
                if (!connected[k]) T.col(k) = Y.col(k);
            }
            standardise_columns(T);

            for (Index j = 0; j < J; ++j) {
                const std::vector<int>& block = blocks[j];
                if (solver_of[j] < 0) {
                    if (modes[j] == OuterMode::A) {
                        for (int r : block) W(r, j) = Z.col(r).dot(T.col(j)) / n1;
                    }
                    continue;  // an empty block keeps no weights
                }
                mode_b[solver_of[j]].solve(T.col(j), w);
                for (std::size_t m = 0; m < block.size(); ++m) {
                    W(block[m], j) = w(static_cast<Index>(m));
                }
            }

            Y.noalias() = Z * W;
            standardise_columns(Y);

            ++res.iterations;
            if (tol > max_abs_difference(W, W_old)) {
                res.converged = true;
                break;
            }
        }
    }

    res.outer_loadings.noalias() = Z.transpose() * Y;
    res.outer_loadings /= n1;

    res.inner_paths = MatrixXd::Zero(J, J);
    std::vector<int> predictors;
    VectorXd b;
    for (Index j = 0; j < J; ++j) {
        predictors.clear();
        for (Index i = 0; i < J; ++i) {
            if (path_matrix(j, i) == 1.0) predictors.push_back(static_cast<int>(i));
        }
        if (predictors.empty()) continue;
        MinNormSolver(gather_columns(Y, predictors)).solve(Y.col(j), b);
        for (std::size_t l = 0; l < predictors.size(); ++l) {
            res.inner_paths(predictors[l], j) = b(static_cast<Index>(l));
        }
    }

    res.latent_scores = std::move(Y);
    res.outer_weights = std::move(W);
    return res;
}

}  // namespace sem
