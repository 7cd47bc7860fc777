#pragma once

// Float vectors and matrices from Python hold real numbers only. NumPy's
// forced cast to float64 turns None into NaN, parses numeric strings and
// drops imaginary parts, so a list such as [None, "1.5"] would reach the
// numerics as a plausible parameter vector. Such input stays a conversion error
// (TypeError), as any other argument that cannot be converted.

#include <optional>
#include <utility>
#include <vector>

#include <pybind11/eigen.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

namespace sem::bindings {

// True when NumPy would read `src` as an array of booleans, integers or
// reals (an object array whose items are all such numbers included).
bool holds_real_numbers(pybind11::handle src);

// Copied float64 vector and matrix arguments ("vector" and "matrix" in the
// binding table) with the same check.
struct RealVector {
    Eigen::VectorXd v;
};
struct RealMatrix {
    Eigen::MatrixXd v;
};

// The plain vectors or matrices of a list argument.
template <class Real>
std::vector<decltype(Real::v)> values_of(std::vector<Real>&& list) {
    std::vector<decltype(Real::v)> out;
    out.reserve(list.size());
    for (Real& r : list) out.push_back(std::move(r.v));
    return out;
}

}  // namespace sem::bindings

namespace pybind11::detail {

// Every vector-ref and matrix-ref argument: the library's own conversion
// behind the check. The inner caster is that of an unaligned type, which
// maps the same memory (and so keeps the no-copy view) but is a different
// instantiation.
template <class Plain>
struct real_ref_caster {
    using Type = Eigen::Ref<const Plain>;
    using Unaligned = Eigen::Matrix<double, Plain::RowsAtCompileTime, Plain::ColsAtCompileTime,
                                    Eigen::ColMajor | Eigen::DontAlign>;
    using Inner = Eigen::Ref<const Unaligned>;

    bool load(handle src, bool convert) {
        if (!sem::bindings::holds_real_numbers(src)) return false;
        if (!inner_.load(src, convert)) return false;
        ref_.emplace(static_cast<Inner&>(inner_));
        return true;
    }

    template <typename T>
    static handle cast(T&&, return_value_policy, handle) {
        return none().release();  // never returned to Python
    }

    static constexpr auto name = make_caster<Inner>::name;
    operator Type*() { return &*ref_; }
    operator Type&() { return *ref_; }
    template <typename T>
    using cast_op_type = pybind11::detail::cast_op_type<T>;

private:
    make_caster<Inner> inner_;
    std::optional<Type> ref_;
};

template <>
struct type_caster<Eigen::Ref<const Eigen::VectorXd>> : real_ref_caster<Eigen::VectorXd> {};
template <>
struct type_caster<Eigen::Ref<const Eigen::MatrixXd>> : real_ref_caster<Eigen::MatrixXd> {};

template <class Real>
struct real_copy_caster {
    using Plain = decltype(Real::v);

    bool load(handle src, bool convert) {
        if (!sem::bindings::holds_real_numbers(src)) return false;
        make_caster<Plain> inner;
        if (!inner.load(src, convert)) return false;
        value.v = cast_op<Plain&&>(std::move(inner));
        return true;
    }

    template <typename T>
    static handle cast(T&&, return_value_policy, handle) {
        return none().release();  // never returned to Python
    }

    PYBIND11_TYPE_CASTER(Real, make_caster<Plain>::name);
};

template <>
struct type_caster<sem::bindings::RealVector> : real_copy_caster<sem::bindings::RealVector> {};
template <>
struct type_caster<sem::bindings::RealMatrix> : real_copy_caster<sem::bindings::RealMatrix> {};

}  // namespace pybind11::detail
