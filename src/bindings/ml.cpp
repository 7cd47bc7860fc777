#include "bindings/bindings.hpp"

namespace sem::bindings {

void bind_ml_methods(MlEngineClass&) {}

}  // namespace sem::bindings
