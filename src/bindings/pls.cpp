#include "bindings/bindings.hpp"

namespace sem::bindings {

void bind_pls(pybind11::module_&) {}

}  // namespace sem::bindings
