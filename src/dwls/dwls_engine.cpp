#include "dwls/dwls_engine.hpp"

namespace sem {

Eigen::Index n_correlations(Eigen::Index p) { return p * (p - 1) / 2; }

std::string statistics_error(const ModelDims& dims, Eigen::Index s_vec_length,
                             Eigen::Index w_inv_length, std::size_t is_ordinal_length) {
    const Eigen::Index p = dims.n_observed();
    const Eigen::Index n = n_correlations(p);
    const std::string expected = std::to_string(static_cast<long long>(n)) +
                                 " (p(p-1)/2 with p = " + std::to_string(p) + ")";
    if (s_vec_length != n) {
        return "s_vec must have length " + expected + ", got " +
               std::to_string(static_cast<long long>(s_vec_length));
    }
    if (w_inv_length != n) {
        return "w_inv must have length " + expected + ", got " +
               std::to_string(static_cast<long long>(w_inv_length));
    }
    if (is_ordinal_length < static_cast<std::size_t>(p)) {
        return "is_ordinal must have at least p = " + std::to_string(p) + " entries, got " +
               std::to_string(is_ordinal_length);
    }
    return {};
}

}  // namespace sem
