#include <optional>
#include <string>

#include <pybind11/eigen.h>
#include <pybind11/pybind11.h>

#include "bindings/bindings.hpp"
#include "bindings/checks.hpp"
#include "bindings/optional_ref.hpp"
#include "ml/casewise_scores.hpp"
#include "ml/ml_gradient.hpp"
#include "ml/ml_information.hpp"
#include "ml/ml_objective.hpp"
#include "ml/observed_information.hpp"

namespace py = pybind11;

namespace sem::bindings {

namespace {

using VectorRef = Eigen::Ref<const Eigen::VectorXd>;
using MatrixRef = Eigen::Ref<const Eigen::MatrixXd>;

// Validates the sample moments and hands on the mean only when the mean part
// is active. A mean of the wrong length or with a non-finite entry is
// refused even when it would be ignored: it cannot belong to this model.
// An S that the engine's cache holds was checked when it was cached.
OptionalMean checked_sample_moments(const MlEngine& e, const MatrixRef& sample_cov,
                                    const OptionalMean& sample_mean, bool cached) {
    const Eigen::Index p = e.dims().n_observed();
    check_square("sample_cov", sample_cov.rows(), sample_cov.cols(), p);
    if (!cached) check_symmetric_finite("sample_cov", sample_cov);
    if (sample_mean) {
        check_length("sample_mean", sample_mean->size(), p);
        check_finite("sample_mean", *sample_mean);
    }
    if (e.meanstructure() && sample_mean) return sample_mean;
    return std::nullopt;
}

bool holds(const MlEngine& e, const MatrixRef& sample_cov) {
    return cache_holds(e.sample_cov_cache(), sample_cov);
}

}  // namespace

void bind_ml_methods(MlEngineClass& cls) {
    cls.def(
        "objective_ml",
        [](MlEngine& e, VectorRef params, MatrixRef sample_cov, OptionalMean sample_mean) {
            const bool cached = holds(e, sample_cov);
            const OptionalMean mean = checked_sample_moments(e, sample_cov, sample_mean, cached);
            check_params(e.model(), params.size(), mean.has_value());
            SampleCovCache& cache = e.sample_cov_cache();
            if (!cached && !refresh_sample_cov_cache(cache, sample_cov)) {
                throw py::value_error("sample covariance matrix is not positive definite");
            }
            return ml_discrepancy(e.model(), params, sample_cov, mean, cache);
        },
        py::arg("params"), py::arg("sample_cov"), py::arg("sample_mean") = py::none());
    cls.def(
        "gradient_ml",
        [](const MlEngine& e, VectorRef params, MatrixRef sample_cov, OptionalMean sample_mean,
           int n_free) {
            const bool cached = holds(e, sample_cov);
            const OptionalMean mean = checked_sample_moments(e, sample_cov, sample_mean, cached);
            check_n_free(n_free, params.size());
            check_params(e.model(), params.size(), mean.has_value());
            return ml_gradient(e.model(), params, sample_cov, mean, n_free,
                               cached ? &e.sample_cov_cache() : nullptr);
        },
        py::arg("params"), py::arg("sample_cov"), py::arg("sample_mean"), py::arg("n_free"));
    cls.def(
        "expected_hessian_ml",
        [](const MlEngine& e, VectorRef params, int n_free) {
            check_n_free(n_free, params.size());
            check_params(e.model(), params.size());
            return ml_expected_information(e.model(), params, n_free);
        },
        py::arg("params"), py::arg("n_free"));
    cls.def(
        "observed_hessian_ml",
        [](const MlEngine& e, VectorRef params, MatrixRef sample_cov, OptionalMean sample_mean,
           int n_free) {
            const OptionalMean mean =
                checked_sample_moments(e, sample_cov, sample_mean, holds(e, sample_cov));
            check_n_free(n_free, params.size());
            check_params(e.model(), params.size(), mean.has_value());
            return ml_observed_information(e.model(), params, sample_cov, mean, n_free);
        },
        py::arg("params"), py::arg("sample_cov"), py::arg("sample_mean"), py::arg("n_free"));
    cls.def(
        "casewise_scores",
        [](const MlEngine& e, MatrixRef data, VectorRef params, int n_free,
           bool meanstructure_active) {
            const Eigen::Index p = e.dims().n_observed();
            if (data.cols() != p) {
                throw py::value_error("data must have " + std::to_string(p) +
                                      " columns (one per observed variable), got " +
                                      std::to_string(data.cols()));
            }
            check_n_free(n_free, params.size());
            check_params(e.model(), params.size());
            return ml_casewise_scores(e.model(), data, params, n_free, meanstructure_active);
        },
        py::arg("data"), py::arg("params"), py::arg("n_free"), py::arg("meanstructure_active"));
}

}  // namespace sem::bindings
