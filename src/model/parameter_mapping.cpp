#include "model/parameter_mapping.hpp"

#include <limits>

namespace sem {

const char* matrix_name(int id) {
    static const char* const names[kTargetCount] = {
        "LambdaX", "LambdaY",      "Beta",  "Gamma", "Phi",   "Psi",   "ThetaDelta",
        "ThetaEpsilon", "ThetaEpsilonDelta", "TauX", "TauY", "Kappa", "Alpha"};
    return is_known_target(id) ? names[id] : "unknown";
}

TargetShape target_shape(const ModelDims& d, int id) {
    switch (id) {
        case LambdaX: return {d.nx, d.nxi};
        case LambdaY: return {d.ny, d.neta};
        case Beta: return {d.neta, d.neta};
        case Gamma: return {d.neta, d.nxi};
        case Phi: return {d.nxi, d.nxi};
        case Psi: return {d.neta, d.neta};
        case ThetaDelta: return {d.nx, d.nx};
        case ThetaEpsilon: return {d.ny, d.ny};
        case ThetaEpsilonDelta: return {d.ny, d.nx};
        case TauX: return {d.nx, 1};
        case TauY: return {d.ny, 1};
        case Kappa: return {d.nxi, 1};
        case Alpha: return {d.neta, 1};
        default: return {0, 0};
    }
}

std::string dims_error(int nx, int ny, int nxi, int neta) {
    const char* names[4] = {"nx", "ny", "nxi", "neta"};
    const int values[4] = {nx, ny, nxi, neta};
    for (int i = 0; i < 4; ++i) {
        if (values[i] < 0) {
            return std::string(names[i]) + " must be non-negative, got " + std::to_string(values[i]);
        }
    }
    // n_observed and n_latent are int; their sums must not wrap.
    const int max_int = std::numeric_limits<int>::max();
    if (nx > max_int - ny) return "nx + ny exceeds the largest int";
    if (nxi > max_int - neta) return "nxi + neta exceeds the largest int";
    return {};
}

std::string mapping_error(const ModelDims& dims, const ParameterMapping& m) {
    if (!is_known_target(m.matrix_id)) return {};
    const TargetShape s = target_shape(dims, m.matrix_id);
    const std::string name = matrix_name(m.matrix_id);
    if (m.row < 0 || m.row >= s.rows) {
        return "row " + std::to_string(m.row) + " is outside " + name + ", which has " +
               std::to_string(s.rows) + (is_vector_target(m.matrix_id) ? " elements" : " rows");
    }
    if (!is_vector_target(m.matrix_id) && (m.col < 0 || m.col >= s.cols)) {
        return "col " + std::to_string(m.col) + " is outside " + name + ", which has " +
               std::to_string(s.cols) + " columns";
    }
    if (m.is_free && m.param_index < 0) {
        return "param_index must be non-negative for a free mapping, got " +
               std::to_string(m.param_index);
    }
    return {};
}

}  // namespace sem
