#include <string>
#include <utility>

#include <pybind11/eigen.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include "bindings/bindings.hpp"
#include "bindings/category_codes.hpp"
#include "dwls/polychoric_statistics.hpp"

namespace py = pybind11;

namespace sem::bindings {

namespace {

// An N x p matrix of category codes, each column converted by the rules of
// a category-code argument and named as the column it is ("codes[:, j]").
Eigen::MatrixXi checked_code_matrix(const py::object& codes) {
    py::array a = py::array::ensure(codes);
    if (!a) {
        throw py::type_error("codes must be an N x p array of integer category codes");
    }
    if (a.ndim() != 2) {
        throw py::value_error("codes must be two-dimensional (cases x items), got " +
                              std::to_string(a.ndim()) + " dimension(s)");
    }
    const py::ssize_t n = a.shape(0), p = a.shape(1);
    if (n < 2) throw py::value_error("codes needs at least 2 cases (rows), got " + std::to_string(n));
    if (p < 2) throw py::value_error("codes needs at least 2 items (columns), got " + std::to_string(p));
    const char kind = a.dtype().kind();
    if (kind != 'b' && kind != 'i' && kind != 'u' && kind != 'f' && kind != 'c' && kind != 'O') {
        throw py::type_error("codes must hold integer category codes, got dtype " +
                             py::str(a.dtype()).cast<std::string>());
    }
    Eigen::MatrixXi out(n, p);
    for (py::ssize_t j = 0; j < p; ++j) {
        const std::string name = "codes[:, " + std::to_string(j) + "]";
        const py::object column = a[py::make_tuple(py::slice(py::none(), py::none(), py::none()), j)];
        py::detail::make_caster<CategoryCodes> caster;
        if (!caster.load(column, true)) {
            throw py::type_error(name + " must hold integer category codes");
        }
        out.col(j) = checked_codes(name.c_str(), py::detail::cast_op<const CategoryCodes&>(caster));
        const std::string err = ordinal_column_error(out.col(j), name);
        if (!err.empty()) throw py::value_error(err);
    }
    return out;
}

}  // namespace

void bind_polychoric(py::module_& m) {
    m.def(
        "polychoric_statistics",
        [](const py::object& codes, bool gamma, int n_threads) {
            if (n_threads < 1) {
                throw py::value_error("n_threads must be at least 1, got " +
                                      std::to_string(n_threads));
            }
            const Eigen::MatrixXi checked = checked_code_matrix(codes);
            PolychoricStatistics stats;
            {
                py::gil_scoped_release unlocked;
                stats = polychoric_statistics(checked, gamma, n_threads);
            }
            py::list thresholds;
            for (Eigen::VectorXd& tau : stats.thresholds) thresholds.append(py::cast(std::move(tau)));
            py::dict out;
            out["thresholds"] = std::move(thresholds);
            out["correlations"] = py::cast(std::move(stats.correlations));
            out["weights"] = py::cast(std::move(stats.weights));
            if (gamma) out["gamma"] = py::cast(std::move(stats.gamma));
            return out;
        },
        py::arg("codes"), py::arg("gamma") = false, py::arg("n_threads") = 1);
}

}  // namespace sem::bindings
