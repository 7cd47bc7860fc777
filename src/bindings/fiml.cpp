#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include <pybind11/eigen.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "bindings/bindings.hpp"
#include "bindings/checks.hpp"
#include "fiml/fiml_casewise_scores.hpp"
#include "fiml/fiml_gradient.hpp"
#include "fiml/fiml_information.hpp"
#include "fiml/fiml_objective.hpp"
#include "fiml/fiml_observed_information.hpp"
#include "fiml/missing_patterns.hpp"

namespace py = pybind11;

namespace sem::bindings {

namespace {

using IndexLists = std::vector<std::vector<int>>;
using Counts = std::vector<int>;
using Means = std::vector<RealVector>;
using Covs = std::vector<RealMatrix>;

MissingPatterns checked_patterns(const MlEngine& e, MissingPatterns patterns, bool with_moments) {
    const std::string err =
        missing_patterns_error(patterns, e.dims().n_observed(), with_moments);
    if (!err.empty()) throw py::value_error(err);
    return patterns;
}

// NaN marks a missing value; an infinity is a value no case can have.
void check_case_data(const MlEngine& e, const Eigen::Ref<const Eigen::MatrixXd>& data) {
    const Eigen::Index p = e.dims().n_observed();
    if (data.cols() != p) {
        throw py::value_error("data must have " + std::to_string(p) +
                              " columns (one per observed variable), got " +
                              std::to_string(data.cols()));
    }
    for (Eigen::Index j = 0; j < data.cols(); ++j) {
        for (Eigen::Index i = 0; i < data.rows(); ++i) {
            const double x = data(i, j);
            if (std::isinf(x)) {
                throw py::value_error("data[" + std::to_string(i) + ", " + std::to_string(j) +
                                      "] is " + (x > 0 ? "inf" : "-inf") +
                                      "; only NaN marks a missing value");
            }
        }
    }
}

}  // namespace

void bind_fiml_methods(MlEngineClass& cls) {
    cls.def(
        "objective_fiml",
        [](const MlEngine& e, const Eigen::Ref<const Eigen::VectorXd>& params,
           IndexLists obs_indices, Counts n_obs_list, Means means, Covs covs) {
            check_params(e.model(), params.size());
            const MissingPatterns patterns = checked_patterns(
                e,
                {std::move(obs_indices), std::move(n_obs_list), values_of(std::move(means)),
                 values_of(std::move(covs))},
                true);
            return fiml_objective(e.model(), params, patterns);
        },
        py::arg("params"), py::arg("obs_indices"), py::arg("n_obs_list"), py::arg("means"),
        py::arg("covs"));
    // The two methods of the full pattern arguments and n_free differ only in
    // what they compute.
    auto bind_with_moments = [&cls](const char* name, auto compute) {
        cls.def(
            name,
            [compute](const MlEngine& e, const Eigen::Ref<const Eigen::VectorXd>& params,
                      IndexLists obs_indices, Counts n_obs_list, Means means, Covs covs,
                      int n_free) {
                check_params(e.model(), params.size());
                check_n_free(n_free, params.size());
                const MissingPatterns patterns = checked_patterns(
                    e,
                    {std::move(obs_indices), std::move(n_obs_list), values_of(std::move(means)),
                     values_of(std::move(covs))},
                    true);
                return compute(e.model(), params, patterns, n_free);
            },
            py::arg("params"), py::arg("obs_indices"), py::arg("n_obs_list"), py::arg("means"),
            py::arg("covs"), py::arg("n_free"));
    };
    bind_with_moments("gradient_fiml", [](const ModelDescription& d,
                                          const Eigen::Ref<const Eigen::VectorXd>& params,
                                          const MissingPatterns& patterns, int n_free) {
        return fiml_gradient(d, params, patterns, n_free);
    });
    cls.def(
        "expected_hessian_fiml",
        [](const MlEngine& e, const Eigen::Ref<const Eigen::VectorXd>& params,
           IndexLists obs_indices, Counts n_obs_list, int n_free) {
            check_params(e.model(), params.size());
            check_n_free(n_free, params.size());
            const MissingPatterns patterns =
                checked_patterns(e, {std::move(obs_indices), std::move(n_obs_list), {}, {}}, false);
            return fiml_expected_information(e.model(), params, patterns, n_free);
        },
        py::arg("params"), py::arg("obs_indices"), py::arg("n_obs_list"), py::arg("n_free"));
    bind_with_moments("observed_hessian_fiml", [](const ModelDescription& d,
                                                  const Eigen::Ref<const Eigen::VectorXd>& params,
                                                  const MissingPatterns& patterns, int n_free) {
        return fiml_observed_information(d, params, patterns, n_free);
    });
    cls.def(
        "casewise_scores_fiml",
        [](const MlEngine& e, const Eigen::Ref<const Eigen::MatrixXd>& data,
           const Eigen::Ref<const Eigen::VectorXd>& params, int n_free) {
            check_case_data(e, data);
            check_n_free(n_free, params.size());
            check_params(e.model(), params.size());
            return fiml_casewise_scores(e.model(), data, params, n_free);
        },
        py::arg("data"), py::arg("params"), py::arg("n_free"));
}

}  // namespace sem::bindings
