#pragma once

// Category codes as they arrive from Python. The library's int32 vector
// conversion casts unsafely (2**32 becomes 0, 1.7 becomes 1, 1+2j becomes
// 1), so the argument is taken as it came and converted here: integers of
// any width and integral floats are accepted when they fit an int32; any
// other value is a ValueError naming the argument and the value; arrays
// NumPy cannot read as numbers stay a conversion error (TypeError).

#include <pybind11/eigen.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

namespace sem::bindings {

struct CategoryCodes {
    pybind11::array values;  // one-dimensional, NumPy's own dtype for the input
};

Eigen::VectorXi checked_codes(const char* name, const CategoryCodes& codes);

}  // namespace sem::bindings

namespace pybind11::detail {

template <>
struct type_caster<sem::bindings::CategoryCodes> {
    bool load(handle src, bool convert);

    template <typename T>
    static handle cast(T&&, return_value_policy, handle) {
        return none().release();  // never returned to Python
    }

    // Same signature text as the int32 vector it stands for.
    PYBIND11_TYPE_CASTER(sem::bindings::CategoryCodes, make_caster<Eigen::VectorXi>::name);
};

}  // namespace pybind11::detail
