#pragma once

#include <Eigen/Core>

#include "model/model_matrices.hpp"

namespace sem {

// The model with one latent vector (eta, then xi; m = neta + nxi) and one
// observed vector (y, then x), where every moment is a product of a few
// factors:
//   Sigma = L A Psi A' L' + Theta,   mu = tau + L A nu,
// L = blockdiag(LambdaY, LambdaX), A = (I - B)^-1 with B = [[Beta, Gamma],
// [0, 0]], so A = [[A_eta, A_eta Gamma], [0, I]], Psi = blockdiag(Psi, Phi),
// nu = (Alpha, Kappa). Its x-y block is L_x K_xy L_y', the transpose of the
// y-x block only when Phi is symmetric; the implied Sigma always takes the
// transpose (see mirrored_adjoint).
struct RamForm {
    Eigen::MatrixXd L;    // p x m
    Eigen::MatrixXd A;    // m x m
    Eigen::MatrixXd Psi;  // m x m
    Eigen::VectorXd nu;   // m
    Eigen::MatrixXd K;    // A Psi A', m x m
    Eigen::VectorXd Anu;  // A nu
    Eigen::MatrixXd LA;   // L A, p x m
    Eigen::MatrixXd LKt;  // L K', p x m
    Eigen::MatrixXd LK;   // L K, p x m
};

// A_eta = (I - Beta)^-1, already found invertible by the caller.
RamForm ram_form(const ModelDims& dims, const ModelMatrices& m, const Eigen::MatrixXd& A_eta);

// The same without the three p x m products LA, LKt and LK, which only the
// derivatives read.
RamForm ram_factors(const ModelDims& dims, const ModelMatrices& m, const Eigen::MatrixXd& A_eta);

// The implied Sigma is linear in the factors' Sigma with its x-y block
// replaced by the transpose of the y-x block; the adjoint of that
// replacement moves the x-y block of G onto the y-x block (transposed) and
// zeroes it, so that <G, dSigma> = <mirrored_adjoint(G), dSigma_factors>
// for first and second derivatives alike.
void mirror_adjoint_in_place(const ModelDims& dims, Eigen::MatrixXd& G);

}  // namespace sem
