#pragma once

// Engine state for pickling. An engine reduces to (copyreg.__newobj__,
// (cls,), state) under every protocol, so that protocols 0 and 1 do not fall
// back on reconstructing through the library's common base class. The state
// is a plain tuple (mappings as 6-tuples in insertion order) and is validated
// field by field on the way in: a crafted state gets a TypeError or
// ValueError naming the field, and can no more place a cell out of bounds
// than add_mapping can.

#include <cstddef>
#include <string>

#include <pybind11/pybind11.h>

#include "bindings/checks.hpp"
#include "model/model_description.hpp"

namespace sem::bindings {

pybind11::list mappings_state(const ModelDescription& model);

// (copyreg.__newobj__, (cls,), state).
pybind11::tuple engine_reduction(pybind11::handle cls, pybind11::object state);

// Reads the fields of a state tuple; every error names the engine and the field.
class StateReader {
public:
    StateReader(const char* engine, const pybind11::tuple& state, std::size_t size);

    int integer(std::size_t i, const char* field) const;
    bool flag(std::size_t i, const char* field) const;
    pybind11::handle item(std::size_t i) const { return state_[i]; }
    // The mapping list at i: a list (or tuple) of 6-tuples.
    pybind11::list mapping_list(std::size_t i, const char* field) const;
    [[noreturn]] void fail_type(const std::string& field, const char* expected,
                                pybind11::handle got) const;

    template <class T>
    T value(pybind11::handle h, const std::string& field, const char* expected,
            bool convert) const {
        pybind11::detail::make_caster<T> caster;
        if (!caster.load(h, convert)) fail_type(field, expected, h);
        return pybind11::detail::cast_op<T>(std::move(caster));
    }

    ParameterMapping mapping(const ModelDims& dims, pybind11::handle item,
                             const std::string& field) const;

private:
    std::string engine_;
    pybind11::tuple state_;
};

template <class Engine>
void restore_mappings(Engine& engine, const StateReader& reader, std::size_t i) {
    const pybind11::list items = reader.mapping_list(i, "mappings");
    for (std::size_t k = 0; k < items.size(); ++k) {
        engine.add_mapping(
            reader.mapping(engine.dims(), items[k], "mappings[" + std::to_string(k) + "]"));
    }
}

}  // namespace sem::bindings
