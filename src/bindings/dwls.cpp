#include "bindings/bindings.hpp"

namespace sem::bindings {

void bind_dwls(pybind11::module_&) {}

}  // namespace sem::bindings
