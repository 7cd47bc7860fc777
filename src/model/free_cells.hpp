#pragma once

#include <vector>

#include "model/model_description.hpp"

namespace sem {

// Where a model-matrix cell sits in the factor form (see ram_form.hpp).
enum class FactorTarget {
    L,          // (row, col) of L
    B,          // (row, col) of B: Beta and Gamma
    Psi,        // (row, col) of Psi: Psi and Phi
    Theta,      // (row, col) of Sigma
    ThetaPair,  // (row, col) and (col, row) of Sigma: ThetaEpsilonDelta
    Tau,        // row of mu
    Nu,         // row of nu: Alpha and Kappa
};

struct FreeCell {
    int param;
    FactorTarget target;
    int row;
    int col;
};

inline bool is_mean_target(FactorTarget t) { return t == FactorTarget::Tau || t == FactorTarget::Nu; }

// The cells whose value is a parameter below n_free, sorted by parameter.
// A cell holds the value of the last mapping written to it, so only that
// mapping gives it a derivative: an earlier mapping that a later one
// overwrote (fixed, or with another parameter) contributes nothing, and a
// parameter mapped twice to one cell counts once.
std::vector<FreeCell> free_cells(const ModelDescription& description, int n_free);

// True when some Phi cell of a parameter has no partner in the other
// triangle, or Phi itself is not symmetric, while the model has both y and
// x variables: the factor form's x-y block then differs from the implied
// Sigma's and first derivatives need the mirrored terms.
bool needs_mirror(const ModelDims& dims, const std::vector<FreeCell>& cells,
                  const Eigen::MatrixXd& Phi);

}  // namespace sem
