#pragma once

#include <string>
#include <utility>
#include <vector>

#include <Eigen/Core>

#include "model/model_description.hpp"

namespace sem {

// A structural model fitted to correlations: the model description, the
// sample statistics (correlations below the diagonal, column by column),
// one weight per statistic and one ordinal flag per observed variable
// (y-variables first, then x). Owns copies of everything it keeps.
class DwlsEngine {
public:
    // The lengths must satisfy statistics_error(); the binding checks them.
    DwlsEngine(const ModelDims& dims, Eigen::VectorXd s_vec, Eigen::VectorXd w_inv,
               std::vector<bool> is_ordinal)
        : model_(dims),
          s_vec_(std::move(s_vec)),
          w_inv_(std::move(w_inv)),
          is_ordinal_(std::move(is_ordinal)) {}

    const ModelDescription& model() const { return model_; }
    const ModelDims& dims() const { return model_.dims(); }
    Eigen::Index n_stats() const { return s_vec_.size(); }
    const Eigen::VectorXd& s_vec() const { return s_vec_; }
    const Eigen::VectorXd& w_inv() const { return w_inv_; }
    const std::vector<bool>& is_ordinal() const { return is_ordinal_; }

    void add_mapping(const ParameterMapping& m) { model_.add_mapping(m); }

private:
    ModelDescription model_;
    Eigen::VectorXd s_vec_;
    Eigen::VectorXd w_inv_;
    std::vector<bool> is_ordinal_;
};

// Number of correlations strictly below the diagonal of a p x p matrix.
Eigen::Index n_correlations(Eigen::Index p);

// Empty when the statistics, weights and flags fit p observed variables
// (p(p-1)/2 statistics and weights, at least p flags), otherwise why not.
std::string statistics_error(const ModelDims& dims, Eigen::Index s_vec_length,
                             Eigen::Index w_inv_length, std::size_t is_ordinal_length);

}  // namespace sem
