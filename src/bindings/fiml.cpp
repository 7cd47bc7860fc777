#include "bindings/bindings.hpp"

namespace sem::bindings {

void bind_fiml_methods(MlEngineClass&) {}

}  // namespace sem::bindings
