#pragma once

// Engine state for pickling: mappings travel as plain tuples in insertion
// order and are validated again on the way in, so a crafted pickle can no
// more place a cell out of bounds than add_mapping can.

#include <pybind11/pybind11.h>

#include "bindings/checks.hpp"
#include "model/model_description.hpp"

namespace sem::bindings {

pybind11::list mappings_state(const ModelDescription& model);

template <class Engine>
void restore_mappings(Engine& engine, const pybind11::handle& state) {
    for (const pybind11::handle item : state) {
        const auto t = item.cast<pybind11::tuple>();
        if (t.size() != 6) throw pybind11::value_error("a mapping in the state needs 6 fields");
        engine.add_mapping(checked_mapping(engine.dims(), t[0].cast<int>(), t[1].cast<int>(),
                                           t[2].cast<int>(), t[3].cast<bool>(),
                                           t[4].cast<int>(), t[5].cast<double>()));
    }
}

// The state tuple must have `size` entries.
void check_state(const pybind11::tuple& state, std::size_t size, const char* what);

}  // namespace sem::bindings
