#include "bindings/bindings.hpp"

namespace sem::bindings {

void bind_ordinal_functions(pybind11::module_&) {}

}  // namespace sem::bindings
