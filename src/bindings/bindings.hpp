#pragma once

#include <pybind11/pybind11.h>

#include "bindings/engine_lifecycle.hpp"
#include "bindings/real_arrays.hpp"
#include "ml/ml_engine.hpp"

namespace sem::bindings {

using MlEngineClass = pybind11::class_<MlEngine>;

// Registration order is part of the interface: the module file calls these
// in sequence, and each appends its methods in table order.
MlEngineClass bind_ml_engine(pybind11::module_& m);  // __init__, add_mapping
void bind_ml_methods(MlEngineClass& cls);             // complete-data ML
void bind_fiml_methods(MlEngineClass& cls);           // missing-data patterns
void bind_moment_methods(MlEngineClass& cls);         // Jacobian, implied moments
void bind_ml_pickling(MlEngineClass& cls);            // __getstate__, __setstate__
void bind_dwls(pybind11::module_& m);
void bind_ordinal_functions(pybind11::module_& m);
void bind_polychoric(pybind11::module_& m);
void bind_pls(pybind11::module_& m);

}  // namespace sem::bindings
