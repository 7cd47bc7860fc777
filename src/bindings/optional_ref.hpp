#pragma once

// std::optional<Eigen::Ref<const VectorXd>> with the inner caster kept alive.
//
// The library's generic optional caster loads the Ref through a local caster
// and lets it go at the end of load(); when the argument needed a converted
// copy (a list, another dtype, a strided view) that copy died with it and
// the Ref dangled. Holding the inner caster as a member keeps any copy alive
// for the whole call, with the same signature text.

#include <optional>

#include <pybind11/eigen.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "bindings/real_arrays.hpp"

namespace pybind11::detail {

template <>
struct type_caster<std::optional<Eigen::Ref<const Eigen::VectorXd>>> {
    using Inner = Eigen::Ref<const Eigen::VectorXd>;
    using Value = std::optional<Inner>;

    bool load(handle src, bool convert) {
        if (!src) return false;
        if (src.is_none()) return true;
        if (!inner_.load(src, convert)) return false;
        value.emplace(static_cast<Inner&>(inner_));
        return true;
    }

    template <typename T>
    static handle cast(T&&, return_value_policy, handle) {
        return none().release();  // never returned to Python
    }

    PYBIND11_TYPE_CASTER(Value, make_caster<Inner>::name | make_caster<none>::name);

private:
    make_caster<Inner> inner_;
};

}  // namespace pybind11::detail
