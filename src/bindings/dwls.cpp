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
    py::class_<DwlsEngine> cls(m, "DwlsEngine", py::is_final());
    cls.def(
        "__init__",
        [](EmptyShell<DwlsEngine> self, int nx, int ny, int nxi, int neta, RealVector s_vec,
           RealVector w_inv, std::vector<bool> is_ordinal) {
            fill_shell(self, make_engine(nx, ny, nxi, neta, std::move(s_vec.v), std::move(w_inv.v),
                                         std::move(is_ordinal)));
        },
        fills_shell(), py::arg("nx"), py::arg("ny"), py::arg("nxi"), py::arg("neta"),
        py::arg("s_vec"), py::arg("w_inv"), py::arg("is_ordinal"));
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
    const auto state = [](const DwlsEngine& e) {
        const ModelDims& d = e.dims();
        return py::make_tuple(d.nx, d.ny, d.nxi, d.neta, e.s_vec(), e.w_inv(), e.is_ordinal(),
                              mappings_state(e.model()));
    };
    cls.def("__getstate__", state);
    cls.def(
        "__setstate__",
        [](EmptyShell<DwlsEngine> self, const py::tuple& state) {
            const StateReader r("DwlsEngine", state, 8);
            const char* vector = "a float64 vector";
            DwlsEngine e = make_engine(
                r.integer(0, "nx"), r.integer(1, "ny"), r.integer(2, "nxi"), r.integer(3, "neta"),
                r.value<RealVector>(r.item(4), "s_vec", vector, true).v,
                r.value<RealVector>(r.item(5), "w_inv", vector, true).v,
                r.value<std::vector<bool>>(r.item(6), "is_ordinal", "a list of bools", false));
            restore_mappings(e, r, 7);
            fill_shell(self, std::move(e));
        },
        fills_shell());
    cls.def("__reduce_ex__", [state](const DwlsEngine& e, int) {
        return engine_reduction(py::type::of<DwlsEngine>(), state(e));
    });
    seal_engine_class(cls);
}

}  // namespace sem::bindings
