#include "fiml/missing_patterns.hpp"

#include <algorithm>

namespace sem {

namespace {

std::string str(long long v) { return std::to_string(v); }

std::string too_short(const char* name, std::size_t length, std::size_t patterns) {
    return std::string(name) + " has " + str(static_cast<long long>(length)) +
           " entries, fewer than the " + str(static_cast<long long>(patterns)) +
           " patterns of obs_indices";
}

}  // namespace

std::string missing_patterns_error(const MissingPatterns& m, Eigen::Index p, bool with_moments) {
    const std::size_t n = m.obs_indices.size();
    if (m.n_obs_list.size() < n) return too_short("n_obs_list", m.n_obs_list.size(), n);
    if (with_moments) {
        if (m.means.size() < n) return too_short("means", m.means.size(), n);
        if (m.covs.size() < n) return too_short("covs", m.covs.size(), n);
    }
    std::vector<char> seen(static_cast<std::size_t>(std::max<Eigen::Index>(p, 0)));
    for (std::size_t q = 0; q < n; ++q) {
        const std::vector<int>& idx = m.obs_indices[q];
        const std::string at = "[" + str(static_cast<long long>(q)) + "]";
        if (m.n_obs_list[q] < 0) {
            return "n_obs_list" + at + " is " + str(m.n_obs_list[q]) +
                   ", but a pattern cannot hold a negative number of cases";
        }
        std::fill(seen.begin(), seen.end(), 0);
        for (std::size_t a = 0; a < idx.size(); ++a) {
            if (idx[a] < 0 || idx[a] >= p) {
                const std::string where = "obs_indices" + at + "[" +
                                          str(static_cast<long long>(a)) + "] is " + str(idx[a]);
                if (p == 0) return where + ", but the model has no observed variables";
                return where + ", outside the observed variables 0 .. " + str(p - 1);
            }
            if (seen[static_cast<std::size_t>(idx[a])]) {
                return "obs_indices" + at + " lists variable " + str(idx[a]) +
                       " twice; a pattern observes each variable at most once";
            }
            seen[static_cast<std::size_t>(idx[a])] = 1;
        }
        if (!with_moments) continue;
        const Eigen::Index k = static_cast<Eigen::Index>(idx.size());
        const std::string per_index = " (one per index of obs_indices" + at + ")";
        if (m.means[q].size() != k) {
            return "means" + at + " must have length " + str(k) + per_index + ", got " +
                   str(m.means[q].size());
        }
        if (m.covs[q].rows() != k || m.covs[q].cols() != k) {
            return "covs" + at + " must be " + str(k) + " x " + str(k) + per_index + ", got " +
                   str(m.covs[q].rows()) + " x " + str(m.covs[q].cols());
        }
        if (!m.means[q].allFinite()) return "means" + at + " holds a non-finite value";
        if (!m.covs[q].allFinite()) return "covs" + at + " holds a non-finite value";
    }
    return {};
}

Eigen::Index max_pattern_size(const std::vector<std::vector<int>>& obs_indices) {
    std::size_t k = 0;
    for (const std::vector<int>& idx : obs_indices) k = std::max(k, idx.size());
    return static_cast<Eigen::Index>(k);
}

}  // namespace sem
