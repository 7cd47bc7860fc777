#include <string>

#include <pybind11/eigen.h>
#include <pybind11/pybind11.h>

#include "bindings/bindings.hpp"
#include "bindings/category_codes.hpp"
#include "dwls/ordinal_likelihood.hpp"

namespace py = pybind11;

namespace sem::bindings {

namespace {

// Codes index the extended thresholds, so a code outside 0..K or a y
// shorter than x would read out of bounds.
void check_cases(const Eigen::VectorXi& x, const Eigen::VectorXi& y, const Eigen::VectorXd& tau_x,
                 const Eigen::VectorXd& tau_y) {
    if (x.size() != y.size()) {
        throw py::value_error("x and y must have the same length, got " +
                              std::to_string(static_cast<long long>(x.size())) + " and " +
                              std::to_string(static_cast<long long>(y.size())));
    }
    std::string err = category_error("x", x, "tau_x", tau_x.size());
    if (err.empty()) err = category_error("y", y, "tau_y", tau_y.size());
    if (!err.empty()) throw py::value_error(err);
}

}  // namespace

void bind_ordinal_functions(py::module_& m) {
    m.def(
        "categorical_casewise_scores",
        [](const CategoryCodes& x_in, const CategoryCodes& y_in, const RealVector& real_tau_x,
           const RealVector& real_tau_y, double rho, double eps) {
            const Eigen::VectorXd &tau_x = real_tau_x.v, &tau_y = real_tau_y.v;
            const Eigen::VectorXi x = checked_codes("x", x_in), y = checked_codes("y", y_in);
            check_cases(x, y, tau_x, tau_y);
            return categorical_casewise_scores(x, y, tau_x, tau_y, rho, eps);
        },
        py::arg("x"), py::arg("y"), py::arg("tau_x"), py::arg("tau_y"), py::arg("rho"),
        py::arg("eps") = 1e-5);
    m.def(
        "bivariate_loglik",
        [](const CategoryCodes& x_in, const CategoryCodes& y_in, const RealVector& real_tau_x,
           const RealVector& real_tau_y, double rho) {
            const Eigen::VectorXd &tau_x = real_tau_x.v, &tau_y = real_tau_y.v;
            const Eigen::VectorXi x = checked_codes("x", x_in), y = checked_codes("y", y_in);
            check_cases(x, y, tau_x, tau_y);
            return bivariate_loglik(x, y, tau_x, tau_y, rho);
        },
        py::arg("x"), py::arg("y"), py::arg("tau_x"), py::arg("tau_y"), py::arg("rho"));

    // Internal: the case-by-case evaluation, the oracle of the tests and the
    // baseline of the benchmark for the two functions above.
    m.def(
        "_categorical_casewise_scores_per_case",
        [](Eigen::VectorXi x, Eigen::VectorXi y, Eigen::VectorXd tau_x, Eigen::VectorXd tau_y,
           double rho, double eps) {
            check_cases(x, y, tau_x, tau_y);
            return categorical_casewise_scores_per_case(x, y, tau_x, tau_y, rho, eps);
        },
        py::arg("x"), py::arg("y"), py::arg("tau_x"), py::arg("tau_y"), py::arg("rho"),
        py::arg("eps") = 1e-5);
    m.def(
        "_bivariate_loglik_per_case",
        [](Eigen::VectorXi x, Eigen::VectorXi y, Eigen::VectorXd tau_x, Eigen::VectorXd tau_y,
           double rho) {
            check_cases(x, y, tau_x, tau_y);
            return bivariate_loglik_per_case(x, y, tau_x, tau_y, rho);
        },
        py::arg("x"), py::arg("y"), py::arg("tau_x"), py::arg("tau_y"), py::arg("rho"));
}

}  // namespace sem::bindings
