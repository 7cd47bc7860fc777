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

// True when the cache was filled from exactly this S (size and values):
// such an S has passed the boundary checks before.
bool cache_holds(const SampleCovCache& cache, const Eigen::Ref<const Eigen::MatrixXd>& S);

// The cache's factor of (S + S') / 2, or null when that matrix has none.
// The factor is a function of S alone, so a caller that uses it gets the
// same result as one that forms it.
inline const Eigen::MatrixXd* sample_factor_of(const SampleCovCache& cache) {
    return cache.valid && cache.factor.size() > 0 ? &cache.factor : nullptr;
}

// F = log|Sigma| + tr(S Sigma^-1) - log|S| - p [+ d' Sigma^-1 d], d = mean - mu,
// floored at 0; kNotPositiveDefinite when Sigma is not positive definite,
// I - Beta is singular by the LU rank test, or F is NaN. log|S| and p come
// from the sample covariance cache, which must hold this S.
double ml_discrepancy(const ModelDescription& description,
                      const Eigen::Ref<const Eigen::VectorXd>& params,
                      const Eigen::Ref<const Eigen::MatrixXd>& S, const OptionalMean& mean,
                      const SampleCovCache& cache);

}  // namespace sem
