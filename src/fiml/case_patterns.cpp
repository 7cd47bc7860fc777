#include "fiml/case_patterns.hpp"

#include <cmath>
#include <map>

namespace sem {

CasePatterns group_cases(const Eigen::Ref<const Eigen::MatrixXd>& data) {
    const Eigen::Index N = data.rows(), p = data.cols();
    CasePatterns out;
    std::map<std::vector<int>, std::size_t> seen;
    std::vector<int> idx;
    idx.reserve(static_cast<std::size_t>(p));
    for (Eigen::Index r = 0; r < N; ++r) {
        idx.clear();
        for (Eigen::Index j = 0; j < p; ++j) {
            if (!std::isnan(data(r, j))) idx.push_back(static_cast<int>(j));
        }
        auto [it, inserted] = seen.try_emplace(idx, out.obs_indices.size());  // no node unless new
        if (inserted) {
            out.obs_indices.push_back(idx);
            out.rows.emplace_back();
        }
        out.rows[it->second].push_back(r);
    }
    return out;
}

}  // namespace sem
