#include <pybind11/pybind11.h>

#include "bindings/bindings.hpp"

namespace py = pybind11;

// The version check, the multi-phase slots (create, exec, and no support for
// multiple interpreters) and the "initialization failed" chaining all come
// from the binding library's module macro.
PYBIND11_MODULE(_backend, m, py::multiple_interpreters::not_supported()) {
    using namespace sem::bindings;
    // First, so that the classes below inherit the guarded allocator.
    refuse_bare_base_instances();
    MlEngineClass ml = bind_ml_engine(m);
    bind_ml_methods(ml);
    bind_fiml_methods(ml);
    bind_moment_methods(ml);
    bind_ml_pickling(ml);
    seal_engine_class(ml);
    bind_dwls(m);
    bind_ordinal_functions(m);
    bind_polychoric(m);
    bind_pls(m);
    m.attr("__version__") = SEM_VERSION;
}
