#include "pls/pls_engine.hpp"

#include <algorithm>

namespace sem {

namespace {
std::string str(long long v) { return std::to_string(v); }
}  // namespace

OuterMode outer_mode(const std::string& mode) { return mode == "A" ? OuterMode::A : OuterMode::B; }

std::string pls_input_error(Eigen::Index n_cases, Eigen::Index n_indicators,
                            const std::vector<std::vector<int>>& blocks, std::size_t n_modes,
                            Eigen::Index path_rows, Eigen::Index path_cols) {
    const auto J = static_cast<Eigen::Index>(blocks.size());
    if (n_cases < 2) {
        return "data must have at least 2 cases (rows) for the n - 1 divisor, got " +
               str(n_cases);
    }
    if (J == 0) return "blocks must hold at least one block";
    std::vector<int> sorted;
    for (std::size_t j = 0; j < blocks.size(); ++j) {
        const std::vector<int>& block = blocks[j];
        for (std::size_t m = 0; m < block.size(); ++m) {
            if (block[m] < 0 || block[m] >= n_indicators) {
                return "blocks[" + str(static_cast<long long>(j)) + "][" +
                       str(static_cast<long long>(m)) + "] = " + str(block[m]) +
                       " is outside 0 .. " + str(n_indicators - 1) + " (data has " +
                       str(n_indicators) + " columns)";
            }
        }
        sorted = block;
        std::sort(sorted.begin(), sorted.end());
        const auto dup = std::adjacent_find(sorted.begin(), sorted.end());
        if (dup != sorted.end()) {
            return "blocks[" + str(static_cast<long long>(j)) + "] lists indicator " +
                   str(*dup) + " more than once";
        }
    }
    if (n_modes < blocks.size()) {
        return "modes has " + str(static_cast<long long>(n_modes)) + " entries, fewer than the " +
               str(J) + " blocks";
    }
    if (path_rows != J || path_cols != J) {
        return "path_matrix must be " + str(J) + " x " + str(J) +
               " (one row and column per block), got " + str(path_rows) + " x " + str(path_cols);
    }
    return {};
}

}  // namespace sem
