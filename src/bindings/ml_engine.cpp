#include <pybind11/eigen.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "bindings/bindings.hpp"
#include "bindings/checks.hpp"
#include "bindings/engine_lifecycle.hpp"
#include "bindings/pickling.hpp"
#include "model/implied_moments.hpp"
#include "model/moment_jacobian.hpp"

namespace py = pybind11;

namespace sem::bindings {

MlEngineClass bind_ml_engine(py::module_& m) {
    MlEngineClass cls(m, "MlEngine", py::is_final());
    cls.def(
        "__init__",
        [](EmptyShell<MlEngine> self, int nx, int ny, int nxi, int neta, bool meanstructure) {
            fill_shell(self, MlEngine(checked_dims(nx, ny, nxi, neta), meanstructure));
        },
        fills_shell(), py::arg("nx"), py::arg("ny"), py::arg("nxi"), py::arg("neta"),
        py::arg("meanstructure") = false);
    cls.def("add_mapping",
            [](MlEngine& e, int matrix_id, int row, int col, bool is_free, int param_index,
               double value) {
                e.add_mapping(
                    checked_mapping(e.dims(), matrix_id, row, col, is_free, param_index, value));
            });
    return cls;
}

void bind_moment_methods(MlEngineClass& cls) {
    cls.def(
        "jacobian_implied_moments",
        [](const MlEngine& e, const RealVector& real_params, int n_free) {
            const Eigen::VectorXd& params = real_params.v;
            check_params(e.model(), params.size());
            check_n_free(n_free, params.size());
            return jacobian_implied_moments(e.model(), params, n_free, e.meanstructure());
        },
        py::arg("params"), py::arg("n_free"));
    cls.def(
        "get_implied_moments",
        [](const MlEngine& e, const RealVector& real_params) {
            const Eigen::VectorXd& params = real_params.v;
            check_params(e.model(), params.size());
            ImpliedMoments im = implied_moments(e.model(), params);
            return std::make_pair(std::move(im.Sigma), std::move(im.mu));
        },
        py::arg("params"));
}

void bind_ml_pickling(MlEngineClass& cls) {
    // The sample-covariance cache does not travel: it refills on first use.
    const auto state = [](const MlEngine& e) {
        const ModelDims& d = e.dims();
        return py::make_tuple(d.nx, d.ny, d.nxi, d.neta, e.meanstructure(),
                              mappings_state(e.model()));
    };
    cls.def("__getstate__", state);
    cls.def(
        "__setstate__",
        [](EmptyShell<MlEngine> self, const py::tuple& state) {
            const StateReader r("MlEngine", state, 6);
            MlEngine e(checked_dims(r.integer(0, "nx"), r.integer(1, "ny"), r.integer(2, "nxi"),
                                    r.integer(3, "neta")),
                       r.flag(4, "meanstructure"));
            restore_mappings(e, r, 5);
            fill_shell(self, std::move(e));
        },
        fills_shell());
    cls.def("__reduce_ex__", [state](const MlEngine& e, int) {
        return engine_reduction(py::type::of<MlEngine>(), state(e));
    });
}

}  // namespace sem::bindings
