#include <pybind11/eigen.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "bindings/bindings.hpp"
#include "bindings/pickling.hpp"
#include "pls/pls_engine.hpp"

namespace py = pybind11;

namespace sem::bindings {

void bind_pls(py::module_& m) {
    py::class_<PlsEngine> cls(m, "PlsEngine", py::is_final());
    cls.def("__init__", [](EmptyShell<PlsEngine> self) { fill_shell(self, PlsEngine()); },
            fills_shell())
        // data and path_matrix arrive as owned copies, so nothing the
        // numerics read can be changed by another thread once the lock is
        // released.
        .def("run_algorithm", [](const PlsEngine& engine, RealMatrix real_data,
                                 std::vector<std::vector<int>> blocks,
                                 std::vector<std::string> modes, RealMatrix real_path_matrix,
                                 int max_iter, double tol) {
            const Eigen::MatrixXd& data = real_data.v;
            const Eigen::MatrixXd& path_matrix = real_path_matrix.v;
            const std::string err = pls_input_error(data.rows(), data.cols(), blocks,
                                                    modes.size(), path_matrix.rows(),
                                                    path_matrix.cols());
            if (!err.empty()) throw py::value_error("run_algorithm: " + err);
            std::vector<OuterMode> outer(blocks.size());
            for (std::size_t j = 0; j < blocks.size(); ++j) outer[j] = outer_mode(modes[j]);

            PlsResult r;
            {
                py::gil_scoped_release unlocked;
                r = engine.run_algorithm(data, blocks, outer, path_matrix, max_iter, tol);
            }
            py::dict out;
            out["latent_scores"] = py::cast(std::move(r.latent_scores));
            out["outer_weights"] = py::cast(std::move(r.outer_weights));
            out["outer_loadings"] = py::cast(std::move(r.outer_loadings));
            out["inner_paths"] = py::cast(std::move(r.inner_paths));
            out["iterations"] = r.iterations;
            out["converged"] = r.converged;
            return out;
        })
        // Stateless: pickles to an empty state so that it can travel with
        // the other engines to worker processes.
        .def("__getstate__", [](const PlsEngine&) { return py::tuple(); })
        .def("__setstate__",
             [](EmptyShell<PlsEngine> self, const py::tuple& state) {
                 const StateReader check("PlsEngine", state, 0);
                 fill_shell(self, PlsEngine());
             },
             fills_shell())
        .def("__reduce_ex__", [](const PlsEngine&, int) {
            return engine_reduction(py::type::of<PlsEngine>(), py::tuple());
        });
    seal_engine_class(cls);
}

}  // namespace sem::bindings
