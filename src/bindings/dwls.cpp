#include <string>
#include <utility>
#include <vector>

#include <pybind11/eigen.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "bindings/bindings.hpp"
#include "bindings/checks.hpp"
#include "bindings/pickling.hpp"
#include "dwls/dwls_engine.hpp"
#include "dwls/dwls_fit.hpp"
#include "dwls/implied_correlations.hpp"
#include "dwls/unit_variance_model.hpp"

namespace py = pybind11;

namespace sem::bindings {

namespace {

using ParamsRef = Eigen::Ref<const Eigen::VectorXd>;

void check_dwls_params(const DwlsEngine& e, const ParamsRef& params) {
    check_params(e.model(), params.size(), /*with_means=*/false);
}

DwlsEngine make_engine(int nx, int ny, int nxi, int neta, Eigen::VectorXd s_vec,
                       Eigen::VectorXd w_inv, std::vector<bool> is_ordinal) {
    const ModelDims dims = checked_dims(nx, ny, nxi, neta);
    const std::string err = statistics_error(dims, s_vec.size(), w_inv.size(), is_ordinal.size());
    if (!err.empty()) throw py::value_error(err);
    return DwlsEngine(dims, std::move(s_vec), std::move(w_inv), std::move(is_ordinal));
}

}  // namespace

void bind_dwls(py::module_& m) {
    py::class_<DwlsEngine> cls(m, "DwlsEngine");
    cls.def(py::init(&make_engine),
            py::arg("nx"), py::arg("ny"), py::arg("nxi"), py::arg("neta"), py::arg("s_vec"),
            py::arg("w_inv"), py::arg("is_ordinal"));
    cls.def("add_mapping", [](DwlsEngine& e, int matrix_id, int row, int col, bool is_free,
                              int param_index, double value) {
        e.add_mapping(checked_mapping(e.dims(), matrix_id, row, col, is_free, param_index, value));
    });
    cls.def(
        "objective_dwls",
        [](const DwlsEngine& e, const ParamsRef& params) {
            check_dwls_params(e, params);
            return objective_dwls(e, params);
        },
        py::arg("params"));
    cls.def(
        "gradient_dwls",
        [](const DwlsEngine& e, const ParamsRef& params, int n_free) {
            check_dwls_params(e, params);
            check_n_free(n_free, params.size());
            return gradient_dwls(e, params, n_free);
        },
        py::arg("params"), py::arg("n_free"));
    cls.def(
        "expected_hessian_dwls",
        [](const DwlsEngine& e, const ParamsRef& params, int n_free) {
            check_dwls_params(e, params);
            check_n_free(n_free, params.size());
            return expected_hessian_dwls(e, params, n_free);
        },
        py::arg("params"), py::arg("n_free"));
    cls.def(
        "jacobian_dwls",
        [](const DwlsEngine& e, const ParamsRef& params, int n_free) {
            check_dwls_params(e, params);
            check_n_free(n_free, params.size());
            return jacobian_dwls(e, params, n_free);
        },
        py::arg("params"), py::arg("n_free"));
    cls.def(
        "implied_corr",
        [](const DwlsEngine& e, const ParamsRef& params) {
            check_dwls_params(e, params);
            return implied_corr(e, params);
        },
        py::arg("params"));
    cls.def(
        "get_diagonal_residuals",
        [](const DwlsEngine& e, const ParamsRef& params) {
            check_dwls_params(e, params);
            return get_diagonal_residuals(e, params);
        },
        py::arg("params"));
    cls.def(py::pickle(
        [](const DwlsEngine& e) {
            const ModelDims& d = e.dims();
            return py::make_tuple(d.nx, d.ny, d.nxi, d.neta, e.s_vec(), e.w_inv(),
                                  e.is_ordinal(), mappings_state(e.model()));
        },
        [](const py::tuple& state) {
            check_state(state, 8, "DwlsEngine");
            DwlsEngine e = make_engine(
                state[0].cast<int>(), state[1].cast<int>(), state[2].cast<int>(),
                state[3].cast<int>(), state[4].cast<Eigen::VectorXd>(),
                state[5].cast<Eigen::VectorXd>(), state[6].cast<std::vector<bool>>());
            restore_mappings(e, state[7]);
            return e;
        }));
}

}  // namespace sem::bindings
