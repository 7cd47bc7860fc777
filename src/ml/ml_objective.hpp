#pragma once

#include <optional>

#include <Eigen/Core>

#include "ml/ml_engine.hpp"
#include "model/model_description.hpp"

namespace sem {

// The objective's value when Sigma has no Cholesky factor, and when the
// discrepancy comes out NaN: neither may read as a good fit.
constexpr double kNotPositiveDefinite = 1e15;

// The sample mean of an ML method; empty when the mean part is inactive
// (the engine has no mean structure, or no mean was passed).
using OptionalMean = std::optional<Eigen::Ref<const Eigen::VectorXd>>;

// Makes `cache` hold log|S| of this S. The same S (size and values) costs
// nothing; a different one is factorised and replaces the old entry.
// Returns false, leaving the cache as it was, when S has no Cholesky factor
// or a non-finite log-determinant.
bool refresh_sample_cov_cache(SampleCovCache& cache, const Eigen::Ref<const Eigen::MatrixXd>& S);

// The cache's factor of (S + S') / 2 when the cache holds exactly this S
// and the factor exists, else null. The factor is a function of S alone, so
// a caller that uses it gets the same result as one that forms it.
const Eigen::MatrixXd* cached_sample_factor(const SampleCovCache& cache,
                                            const Eigen::Ref<const Eigen::MatrixXd>& S);

// F = log|Sigma| + tr(S Sigma^-1) - log|S| - p [+ d' Sigma^-1 d], d = mean - mu,
// floored at 0; kNotPositiveDefinite when Sigma is not positive definite,
// I - Beta is singular by the LU rank test, or F is NaN. log|S| and p come
// from the sample covariance cache, filled for this S.
double ml_discrepancy(const ModelDescription& description,
                      const Eigen::Ref<const Eigen::VectorXd>& params,
                      const Eigen::Ref<const Eigen::MatrixXd>& S, const OptionalMean& mean,
                      const SampleCovCache& cache);

}  // namespace sem
