#include "bindings/category_codes.hpp"

#include <cmath>
#include <cstdint>
#include <limits>
#include <sstream>
#include <string>
#include <type_traits>

namespace py = pybind11;

namespace pybind11::detail {

bool type_caster<sem::bindings::CategoryCodes>::load(handle src, bool convert) {
    if (!src || src.is_none()) return false;
    if (!convert && !isinstance<array>(src)) return false;
    array a = array::ensure(src);
    if (!a) return false;
    // The shapes an int32 vector accepts: (n,), (n, 1) or (1, n).
    if (a.ndim() == 2 && (a.shape(0) == 1 || a.shape(1) == 1)) {
        a = reinterpret_steal<array>(a.attr("reshape")(-1).release());
    }
    if (a.ndim() != 1) return false;
    const char kind = a.dtype().kind();
    if (kind != 'b' && kind != 'i' && kind != 'u' && kind != 'f' && kind != 'c' && kind != 'O') {
        return false;
    }
    value.values = std::move(a);
    return true;
}

}  // namespace pybind11::detail

namespace sem::bindings {

namespace {

constexpr auto kMin = std::numeric_limits<std::int32_t>::min();
constexpr auto kMax = std::numeric_limits<std::int32_t>::max();

[[noreturn]] void refuse(const char* name, py::ssize_t k, const std::string& value,
                         const char* why) {
    throw py::value_error(std::string(name) + "[" + std::to_string(k) + "] is " + value + ", " +
                          why);
}

std::string text(double v) {
    std::ostringstream out;
    out.precision(17);
    out << v;
    return out.str();
}

constexpr const char* kNotInteger = "not an integer category code";
constexpr const char* kTooWide = "which does not fit a 32-bit category code";

template <class T>
void from_integers(const char* name, const py::array& a, Eigen::VectorXi& out) {
    const auto v = py::array_t<T, py::array::forcecast>::ensure(a);
    const auto r = v.template unchecked<1>();
    for (py::ssize_t k = 0; k < r.shape(0); ++k) {
        const T c = r(k);
        bool fits = c <= static_cast<T>(kMax);
        if constexpr (std::is_signed<T>::value) fits = fits && c >= static_cast<T>(kMin);
        if (!fits) refuse(name, k, std::to_string(c), kTooWide);
        out(k) = static_cast<int>(c);
    }
}

int from_double(const char* name, py::ssize_t k, double c) {
    if (!std::isfinite(c) || c != std::floor(c)) refuse(name, k, text(c), kNotInteger);
    if (c < kMin || c > kMax) refuse(name, k, text(c), kTooWide);
    return static_cast<int>(c);
}

// NumPy's scalar types, for the items of an object array: a list of the same
// values becomes an array of their own kind, and both must read alike.
struct NumpyScalars {
    py::object boolean, floating, complex;
    NumpyScalars() {
        const py::module_ np = py::module_::import("numpy");
        boolean = np.attr("bool_");
        floating = np.attr("floating");
        complex = np.attr("complexfloating");
    }
};

int from_object(const char* name, py::ssize_t k, py::handle item, const NumpyScalars& numpy) {
    if (PyBool_Check(item.ptr())) return item.ptr() == Py_True ? 1 : 0;
    if (py::isinstance(item, numpy.boolean)) return PyObject_IsTrue(item.ptr()) == 1 ? 1 : 0;
    if (py::isinstance(item, numpy.floating) && !PyFloat_Check(item.ptr())) {
        const double c = PyFloat_AsDouble(item.ptr());
        if (c == -1.0 && PyErr_Occurred()) throw py::error_already_set();
        return from_double(name, k, c);
    }
    if (py::isinstance(item, numpy.complex)) {
        refuse(name, k, py::str(item).cast<std::string>(), kNotInteger);
    }
    if (PyIndex_Check(item.ptr()) && !PyFloat_Check(item.ptr())) {
        const py::object index = py::reinterpret_steal<py::object>(PyNumber_Index(item.ptr()));
        if (!index) throw py::error_already_set();
        int overflow = 0;
        const long long c = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
        if (overflow != 0 || c < kMin || c > kMax) {
            refuse(name, k, py::str(item).cast<std::string>(), kTooWide);
        }
        return static_cast<int>(c);
    }
    if (PyFloat_Check(item.ptr())) return from_double(name, k, PyFloat_AS_DOUBLE(item.ptr()));
    if (PyComplex_Check(item.ptr())) {
        refuse(name, k, py::str(item).cast<std::string>(), kNotInteger);
    }
    throw py::type_error(std::string(name) + "[" + std::to_string(k) + "] is " +
                         py::repr(item).cast<std::string>() + ", not a number");
}

}  // namespace

Eigen::VectorXi checked_codes(const char* name, const CategoryCodes& codes) {
    const py::array& a = codes.values;
    const py::ssize_t n = a.shape(0);
    Eigen::VectorXi out(n);
    const char kind = a.dtype().kind();
    if (kind == 'b' || kind == 'i') {
        from_integers<std::int64_t>(name, a, out);
    } else if (kind == 'u') {
        from_integers<std::uint64_t>(name, a, out);
    } else if (kind == 'f') {
        const auto v = py::array_t<double, py::array::forcecast>::ensure(a);
        const auto r = v.unchecked<1>();
        for (py::ssize_t k = 0; k < n; ++k) out(k) = from_double(name, k, r(k));
    } else if (kind == 'c') {
        if (n > 0) refuse(name, 0, py::str(a[py::int_(0)]).cast<std::string>(), kNotInteger);
    } else {
        const NumpyScalars numpy;
        for (py::ssize_t k = 0; k < n; ++k) out(k) = from_object(name, k, a[py::int_(k)], numpy);
    }
    return out;
}

}  // namespace sem::bindings
