#pragma once

// The dense work of the ML discrepancy and gradient behind a boundary of raw
// column-major arrays: ml_kernels.cpp is compiled once per instruction set
// (its Eigen in a namespace of its own each time) and kernel_dispatch.cpp
// picks one copy for the life of the process. Nothing Eigen crosses here, so
// the copies cannot meet in the linker.

namespace sem {

struct MlGradientInput {
    int p;                  // observed variables
    int m;                  // latent variables of the factor form
    const double* Sigma;    // p x p
    const double* C;        // p x p, lower Cholesky factor of the symmetric part of S
    const double* d;        // p, mean - mu; null without the mean part
    const double* L;        // p x m, the factor form's loadings
    int n_pairs;            // W entries wanted
    const int* pairs;       // 2 n_pairs indices (i, j)
};

struct MlGradientOutput {
    double* WL;     // p x m, W L
    double* w;      // n_pairs, W(i, j)
    double* gmu;    // p, -2 Sigma^-1 d (zeros without the mean part)
};

struct MlKernels {
    // Lower Cholesky factor of (S + S') / 2 into C (p x p, zeros above);
    // false when that matrix is not positive definite.
    bool (*sample_factor)(int p, const double* S, double* C);

    // Factors Sigma by Cholesky (its lower triangle, Eigen's LLT) and, when
    // that succeeds, writes log|Sigma|, tr(C C' Sigma^-1) and d' Sigma^-1 d
    // (0 when d is null) into terms[0..2]. False when Sigma has no factor.
    bool (*discrepancy_terms)(int p, const double* Sigma, const double* C, const double* d,
                              double* terms);

    // W = Sigma^-1 - Sigma^-1 (C C' + d d') Sigma^-1 applied to L, at the
    // wanted cells, and the mean adjoint. Returns false, writing nothing,
    // unless the Cholesky factorisation of Sigma proves that the full-pivoting
    // LU rank test finds Sigma invertible (see rank_proof.hpp).
    bool (*gradient_terms)(const MlGradientInput& in, const MlGradientOutput& out);

    // Sigma^-1 into X (p x p, exactly symmetric) when the Cholesky
    // factorisation proves that the full-pivoting LU rank test finds Sigma
    // invertible; false otherwise, X then unspecified.
    bool (*proved_inverse)(int p, const double* Sigma, double* X);

    // W = X - X (Q X), all p x p.
    void (*weight_matrix)(int p, const double* X, const double* Q, double* W);

    // C = A B with A rows x inner and B inner x cols (C rows x cols); lda,
    // ldc: the leading dimensions of A and C.
    void (*product)(int rows, int inner, int cols, const double* A, int lda, const double* B,
                    double* C, int ldc);
};

// The copy for this CPU, chosen on first use.
const MlKernels& ml_kernels();

}  // namespace sem
