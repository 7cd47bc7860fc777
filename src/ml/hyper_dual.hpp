#pragma once

#include <Eigen/Core>

namespace sem {

// A matrix carried with its derivatives along two parameters a and b and
// the mixed second derivative. Vectors are one-column matrices.
//
// A component whose flag is false is zero and is never read, so products
// skip it; in a model with many parameters most components of most pairs
// are zero. The operations write into an existing value so that buffers
// sized on the first evaluation are reused by every later one; the output
// must not be one of the inputs.
struct HyperDualMatrix {
    Eigen::MatrixXd V, D1, D2, D12;
    bool has_d1 = false;
    bool has_d2 = false;
    bool has_d12 = false;
    Eigen::MatrixXd work;  // scratch for three-factor products
};

// What an operation may take as already computed in its output, from an
// earlier evaluation of the same expression: the value when only the
// parameters change, and D1 too when only parameter b changes.
enum class Reuse { nothing, value, value_and_d1 };

// (M, dM_a, dM_b, 0): model matrices are linear in the parameters, so their
// mixed second derivative is zero. An unset flag means that derivative is 0.
template <typename M, typename Da, typename Db>
void seed(const M& value, const Da& d_a, bool has_a, const Db& d_b, bool has_b,
          HyperDualMatrix& out, Reuse reuse = Reuse::nothing) {
    if (reuse == Reuse::nothing) out.V = value;
    if (reuse != Reuse::value_and_d1) {
        out.has_d1 = has_a;
        if (has_a) out.D1 = d_a;
    }
    out.has_d2 = has_b;
    if (has_b) out.D2 = d_b;
    out.has_d12 = false;
}

// out = X Y with the product rule in every component.
void multiply(const HyperDualMatrix& X, const HyperDualMatrix& Y, HyperDualMatrix& out,
              Reuse reuse = Reuse::nothing);

// out = X + Y componentwise.
void add(const HyperDualMatrix& X, const HyperDualMatrix& Y, HyperDualMatrix& out,
         Reuse reuse = Reuse::nothing);

// out = X' componentwise.
void transpose(const HyperDualMatrix& X, HyperDualMatrix& out, Reuse reuse = Reuse::nothing);

// out = X^-1 for X = (I - Beta, -dBeta_a, -dBeta_b, 0), given A = (I - Beta)^-1:
// V = A, D1 = -A X.D1 A, D2 = -A X.D2 A, D12 = -A (X.D12 A + X.D1 D2 + X.D2 D1).
void structural_inverse(const Eigen::MatrixXd& A, const HyperDualMatrix& X,
                        HyperDualMatrix& out, Reuse reuse = Reuse::nothing);

}  // namespace sem
