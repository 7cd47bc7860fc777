#include "bindings/checks.hpp"

#include <pybind11/pybind11.h>

#include <algorithm>
#include <cmath>
#include <sstream>
#include <string>

namespace py = pybind11;

namespace sem::bindings {

namespace {
std::string str(Eigen::Index v) { return std::to_string(static_cast<long long>(v)); }

std::string num(double v) {
    std::ostringstream out;
    out.precision(17);
    out << v;
    return out.str();
}

std::string at(Eigen::Index i, Eigen::Index j) { return "[" + str(i) + ", " + str(j) + "]"; }
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

void check_finite(const char* name, const Eigen::Ref<const Eigen::VectorXd>& v) {
    for (Eigen::Index i = 0; i < v.size(); ++i) {
        if (!std::isfinite(v(i))) {
            throw py::value_error(std::string(name) + "[" + str(i) + "] is " + num(v(i)) +
                                  "; it must be finite");
        }
    }
}

void check_symmetric_finite(const char* name, const Eigen::Ref<const Eigen::MatrixXd>& m) {
    for (Eigen::Index j = 0; j < m.cols(); ++j) {
        for (Eigen::Index i = 0; i < m.rows(); ++i) {
            if (!std::isfinite(m(i, j))) {
                throw py::value_error(std::string(name) + at(i, j) + " is " + num(m(i, j)) +
                                      "; it must be finite");
            }
        }
    }
    const Eigen::Index n = std::min(m.rows(), m.cols());
    for (Eigen::Index j = 0; j < n; ++j) {
        for (Eigen::Index i = j + 1; i < n; ++i) {
            const double a = m(i, j), b = m(j, i);
            // Scaled by the entries and by their variances, so that a
            // near-zero covariance of two large variables may still differ
            // by rounding.
            const double scale = std::max({std::abs(a), std::abs(b),
                                           std::sqrt(std::abs(m(i, i) * m(j, j)))});
            if (std::abs(a - b) > 1e-12 * scale) {
                throw py::value_error(std::string(name) + " is not symmetric: " + name + at(i, j) +
                                      " = " + num(a) + " but " + name + at(j, i) + " = " +
                                      num(b));
            }
        }
    }
}

}  // namespace sem::bindings
