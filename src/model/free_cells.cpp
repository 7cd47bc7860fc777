#include "model/free_cells.hpp"

#include <algorithm>
#include <tuple>

namespace sem {

namespace {

FreeCell factor_cell(const ModelDims& d, const ParameterMapping& p) {
    const int r = p.row, c = p.col, ny = d.ny, ne = d.neta;
    switch (p.matrix_id) {
        case LambdaY: return {p.param_index, FactorTarget::L, r, c};
        case LambdaX: return {p.param_index, FactorTarget::L, ny + r, ne + c};
        case Beta: return {p.param_index, FactorTarget::B, r, c};
        case Gamma: return {p.param_index, FactorTarget::B, r, ne + c};
        case Psi: return {p.param_index, FactorTarget::Psi, r, c};
        case Phi: return {p.param_index, FactorTarget::Psi, ne + r, ne + c};
        case ThetaEpsilon: return {p.param_index, FactorTarget::Theta, r, c};
        case ThetaDelta: return {p.param_index, FactorTarget::Theta, ny + r, ny + c};
        case ThetaEpsilonDelta: return {p.param_index, FactorTarget::ThetaPair, r, ny + c};
        case TauY: return {p.param_index, FactorTarget::Tau, r, 0};
        case TauX: return {p.param_index, FactorTarget::Tau, ny + r, 0};
        case Alpha: return {p.param_index, FactorTarget::Nu, r, 0};
        default: return {p.param_index, FactorTarget::Nu, ne + r, 0};  // Kappa
    }
}

}  // namespace

std::vector<FreeCell> free_cells(const ModelDescription& description, int n_free) {
    const ModelDims& d = description.dims();
    const auto& maps = description.mappings();
    // Each cell's writers in insertion order; the last one is kept.
    struct Writer {
        int id, row, col;
        std::size_t order;
    };
    std::vector<Writer> writers;
    writers.reserve(maps.size());
    for (std::size_t k = 0; k < maps.size(); ++k) {
        const ParameterMapping& p = maps[k];
        if (!is_known_target(p.matrix_id)) continue;
        writers.push_back({p.matrix_id, p.row, is_vector_target(p.matrix_id) ? 0 : p.col, k});
    }
    std::sort(writers.begin(), writers.end(), [](const Writer& a, const Writer& b) {
        return std::tie(a.id, a.row, a.col, a.order) < std::tie(b.id, b.row, b.col, b.order);
    });
    std::vector<FreeCell> cells;
    for (std::size_t k = 0; k < writers.size(); ++k) {
        const bool last = k + 1 == writers.size() || writers[k + 1].id != writers[k].id ||
                          writers[k + 1].row != writers[k].row ||
                          writers[k + 1].col != writers[k].col;
        if (!last) continue;
        const ParameterMapping& p = maps[writers[k].order];
        if (p.is_free && p.param_index >= 0 && p.param_index < n_free) {
            cells.push_back(factor_cell(d, p));
        }
    }
    std::stable_sort(cells.begin(), cells.end(),
                     [](const FreeCell& a, const FreeCell& b) { return a.param < b.param; });
    return cells;
}

bool needs_mirror(const ModelDims& d, const std::vector<FreeCell>& cells,
                  const Eigen::MatrixXd& Phi) {
    if (d.nx == 0 || d.ny == 0) return false;
    if (Phi != Phi.transpose()) return true;
    // Per parameter, every off-diagonal Phi cell needs its transpose.
    std::vector<std::tuple<int, int, int>> phi;
    for (const FreeCell& c : cells) {
        if (c.target == FactorTarget::Psi && c.row >= d.neta && c.row != c.col) {
            phi.emplace_back(c.param, c.row, c.col);
        }
    }
    std::sort(phi.begin(), phi.end());
    for (const auto& [k, r, c] : phi) {
        if (!std::binary_search(phi.begin(), phi.end(), std::make_tuple(k, c, r))) return true;
    }
    return false;
}

}  // namespace sem
