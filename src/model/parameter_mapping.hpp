#pragma once

#include <Eigen/Core>
#include <string>

namespace sem {

// Identifiers of the model matrices (0-8) and mean vectors (9-12).
enum MatrixId : int {
    LambdaX = 0,
    LambdaY = 1,
    Beta = 2,
    Gamma = 3,
    Phi = 4,
    Psi = 5,
    ThetaDelta = 6,
    ThetaEpsilon = 7,
    ThetaEpsilonDelta = 8,
    TauX = 9,
    TauY = 10,
    Kappa = 11,
    Alpha = 12,
};

constexpr int kMatrixCount = 9;   // identifiers 0..8 are matrices
constexpr int kTargetCount = 13;  // identifiers 0..12 have a target

inline bool is_known_target(int id) { return id >= 0 && id < kTargetCount; }
inline bool is_vector_target(int id) { return id >= kMatrixCount && id < kTargetCount; }

const char* matrix_name(int id);

struct ParameterMapping {
    int matrix_id;
    int row;
    int col;  // not read for vector targets
    bool is_free;
    int param_index;  // read only when is_free
    double value;     // read only when !is_free
};

struct ModelDims {
    int nx = 0;
    int ny = 0;
    int nxi = 0;
    int neta = 0;

    int n_observed() const { return nx + ny; }
    int n_latent() const { return nxi + neta; }
};

struct TargetShape {
    Eigen::Index rows;
    Eigen::Index cols;  // 1 for the vectors
};

// Shape of target `id`, which must be a known target.
TargetShape target_shape(const ModelDims& dims, int id);

// Empty when the dimensions are usable, otherwise why not.
std::string dims_error(int nx, int ny, int nxi, int neta);

// Empty when the mapping can be placed without leaving its target,
// otherwise a message naming the offending field and its bound.
// Unknown identifiers are always acceptable: they are never placed.
std::string mapping_error(const ModelDims& dims, const ParameterMapping& m);

}  // namespace sem
