#include "bindings/checks.hpp"

#include <pybind11/pybind11.h>

#include <string>

namespace py = pybind11;

namespace sem::bindings {

namespace {
std::string str(Eigen::Index v) { return std::to_string(static_cast<long long>(v)); }
}  // namespace

ModelDims checked_dims(int nx, int ny, int nxi, int neta) {
    const std::string err = dims_error(nx, ny, nxi, neta);
    if (!err.empty()) throw py::value_error(err);
    return ModelDims{nx, ny, nxi, neta};
}

ParameterMapping checked_mapping(const ModelDims& dims, int matrix_id, int row, int col,
                                 bool is_free, int param_index, double value) {
    const ParameterMapping m{matrix_id, row, col, is_free, param_index, value};
    const std::string err = mapping_error(dims, m);
    if (!err.empty()) throw py::value_error("add_mapping: " + err);
    return m;
}

void check_params(const ModelDescription& model, Eigen::Index length, bool with_means) {
    const Eigen::Index need = model.params_needed(with_means);
    if (length < need) {
        throw py::value_error("params has length " + str(length) +
                              ", but a free mapping reads params[" + str(need - 1) + "]");
    }
}

void check_n_free(int n_free, Eigen::Index params_length) {
    if (n_free < 0) throw py::value_error("n_free must be non-negative, got " + str(n_free));
    if (n_free > params_length) {
        throw py::value_error("n_free is " + str(n_free) + ", larger than len(params) = " +
                              str(params_length));
    }
}

void check_square(const char* name, Eigen::Index rows, Eigen::Index cols, Eigen::Index p) {
    if (rows != p || cols != p) {
        throw py::value_error(std::string(name) + " must be " + str(p) + " x " + str(p) +
                              ", got " + str(rows) + " x " + str(cols));
    }
}

void check_length(const char* name, Eigen::Index length, Eigen::Index expected) {
    if (length != expected) {
        throw py::value_error(std::string(name) + " must have length " + str(expected) +
                              ", got " + str(length));
    }
}

}  // namespace sem::bindings
