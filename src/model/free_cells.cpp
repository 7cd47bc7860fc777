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
    std::vector<FreeCell> cells;
    cells.reserve(description.free_writers().size());
    for (const int k : description.free_writers()) {
        const ParameterMapping& p = maps[static_cast<std::size_t>(k)];
        if (p.param_index >= n_free) break;
        cells.push_back(factor_cell(d, p));
    }
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
