#include "ml/ml_gradient.hpp"

#include "kernels/kernel_products.hpp"
#include "kernels/ml_kernels.hpp"
#include "ml/factor_inverse.hpp"
#include "ml/model_point.hpp"
#include "model/free_cells.hpp"
#include "model/lu_inverse.hpp"
#include "model/moment_adjoint.hpp"
#include "model/ram_form.hpp"
#include "model/rank_tested_inverse.hpp"

namespace sem {

namespace {

bool is_theta(const FreeCell& c) {
    return c.target == FactorTarget::Theta || c.target == FactorTarget::ThetaPair;
}

// W(i, j) per Theta cell, in cell order, to the cell's adjoint: a
// ThetaPair cell sits on both (i, j) and (j, i).
void theta_cell_adjoints(const std::vector<FreeCell>& cells, Eigen::VectorXd& w) {
    Eigen::Index t = 0;
    for (const FreeCell& c : cells) {
        if (!is_theta(c)) continue;
        if (c.target == FactorTarget::ThetaPair) w[t] *= 2.0;
        ++t;
    }
}

// The gradient through the Cholesky factors of Sigma and of S: triangular
// products with p x m right-hand sides and only the W entries that Theta
// cells read (ml_kernels.hpp). False, with g untouched, when the factor
// cannot prove Sigma invertible or (S + S') / 2 has no factor; the explicit
// inverse then decides. W is taken symmetric: with a symmetric factor form
// (no mirroring) every dSigma_k is symmetric, and trace(W dSigma_k) reads
// only the symmetric part of W.
bool factored_gradient(const RamForm& ram, const ImpliedMoments& moments,
                       const Eigen::Ref<const Eigen::MatrixXd>& S, const OptionalMean& mean,
                       const Eigen::MatrixXd* S_factor, const std::vector<FreeCell>& cells,
                       Eigen::VectorXd& g) {
    const int p = static_cast<int>(moments.Sigma.rows());
    const int m = static_cast<int>(ram.L.cols());
    const MlKernels& k = ml_kernels();
    Eigen::MatrixXd own_factor;
    if (S_factor == nullptr) {
        own_factor.resize(p, p);
        const Eigen::MatrixXd Sc = S;
        if (!k.sample_factor(p, Sc.data(), own_factor.data())) return false;
        S_factor = &own_factor;
    }
    std::vector<int> pairs;
    for (const FreeCell& c : cells) {
        if (!is_theta(c)) continue;
        pairs.push_back(c.row);
        pairs.push_back(c.col);
    }
    Eigen::VectorXd d;
    if (mean) d = *mean - moments.mu;
    const int n_pairs = static_cast<int>(pairs.size() / 2);
    Eigen::MatrixXd WL(p, m);
    Eigen::VectorXd w(n_pairs), gmu(p);
    const MlGradientInput in{p,
                             m,
                             moments.Sigma.data(),
                             S_factor->data(),
                             mean ? d.data() : nullptr,
                             ram.L.data(),
                             n_pairs,
                             pairs.data()};
    if (!k.gradient_terms(in, {WL.data(), w.data(), gmu.data()})) return false;
    theta_cell_adjoints(cells, w);
    MomentAdjoint(ram, WL, WL, gmu, w).add_gradient(cells, g);
    return true;
}

// The gradient through Sigma's structure (factor_inverse.hpp), whose only
// p x p work is S U: W L = Sigma^-1 L - Sigma^-1 S Sigma^-1 L - v v' L with
// v = Sigma^-1 d, and the W entries of the Theta cells from the rows of
// D, U, Z. False, with g untouched, when that route does not apply.
bool structured_gradient(const ModelDescription& description, const ModelMatrices& mm,
                         const RamForm& ram,
                         const Eigen::MatrixXd& S_sym, const Eigen::VectorXd* d,
                         const std::vector<FreeCell>& cells, Eigen::VectorXd& g) {
    FactorInverse inverse;
    if (!inverse.compute(description, mm, ram.L, ram.K)) return false;
    const Eigen::MatrixXd& U = inverse.U();
    const Eigen::MatrixXd& Z = inverse.Z();
    const Eigen::Index p = U.rows(), m = ram.L.cols();
    const Eigen::MatrixXd SU = inverse.left_times_U(S_sym);
    const Eigen::MatrixXd DSU = inverse.apply_D(SU);
    const Eigen::MatrixXd UtSU = kernel_product_tn(U, SU);
    // U' L = [L' D L; the rows of L on E], Y = Sigma^-1 L = D L - U Z U' L,
    // S Y = S U_1 - S U Z U' L, and Sigma^-1 S Y = D S Y - U Z U' S Y, whose
    // parts all follow from S U, D S U and U' S U.
    const Eigen::Index r = U.cols();
    Eigen::MatrixXd UtL(r, m);
    UtL.topRows(m) = inverse.LtDL().transpose();
    for (std::size_t k = 0; k < inverse.exact().size(); ++k) {
        UtL.row(m + static_cast<Eigen::Index>(k)) = ram.L.row(inverse.exact()[k]);
    }
    const Eigen::MatrixXd ZUtL = Z * UtL;
    Eigen::MatrixXd UtSY = UtSU.leftCols(m);
    UtSY.noalias() -= UtSU * ZUtL;
    Eigen::MatrixXd inner = ZUtL;
    inner.noalias() -= Z * UtSY;
    // W L = Y - Sigma^-1 S Y - v v' L
    Eigen::MatrixXd WL = inverse.DL() - DSU.leftCols(m);
    WL += kernel_product(DSU, ZUtL);
    WL -= kernel_product(U, inner);
    Eigen::VectorXd v = Eigen::VectorXd::Zero(p);
    if (d != nullptr) {
        v = inverse.solve(*d);
        WL.noalias() -= v * (v.transpose() * ram.L);
    }
    // With P = U Z: Sigma^-1 = D - P U' and
    // Sigma^-1 S Sigma^-1 = D S D - (D S U) P' - P (D S U)' + P (U' S U) P'.
    const Eigen::MatrixXd P = kernel_product(U, Z);
    const Eigen::MatrixXd PM = kernel_product(P, UtSU);
    inverse.prepare_DSD(S_sym);
    Eigen::VectorXd w(static_cast<Eigen::Index>(cells.size()));
    Eigen::Index t = 0;
    for (const FreeCell& c : cells) {
        if (!is_theta(c)) continue;
        const int i = c.row, j = c.col;
        const double inv = inverse.D(i, j) - P.row(i).dot(U.row(j));
        const double sss = inverse.DSD(i, j) - DSU.row(i).dot(P.row(j)) -
                           P.row(i).dot(DSU.row(j)) + PM.row(i).dot(P.row(j));
        w[t++] = inv - sss - v[i] * v[j];
    }
    w.conservativeResize(t);
    theta_cell_adjoints(cells, w);
    const Eigen::VectorXd gmu = -2.0 * v;
    MomentAdjoint(ram, WL, WL, gmu, w).add_gradient(cells, g);
    return true;
}

}  // namespace

Eigen::VectorXd ml_gradient(const ModelDescription& description,
                            const Eigen::Ref<const Eigen::VectorXd>& params,
                            const Eigen::Ref<const Eigen::MatrixXd>& S, const OptionalMean& mean,
                            int n_free, const SampleCovCache* cache) {
    const ModelMatrices mm = build_model_matrices(description, params, mean.has_value());
    const LuInverse structural = structural_inverse(mm.Beta);
    if (!structural.invertible) return Eigen::VectorXd::Constant(n_free, kNotInvertible);
    const Eigen::MatrixXd& A = structural.inverse;
    const ModelDims& dims = description.dims();
    const std::vector<FreeCell> cells = free_cells(description, n_free);
    // The gradient reads no LA, LK products of the factor form.
    const RamForm ram = ram_factors(dims, mm, A);
    const bool mirror = needs_mirror(dims, cells, mm.Phi);
    Eigen::VectorXd g = Eigen::VectorXd::Zero(n_free);
    if (!mirror) {
        Eigen::MatrixXd own_sym;
        if (cache == nullptr) own_sym = 0.5 * (S + S.transpose());
        const Eigen::MatrixXd& S_sym = cache != nullptr ? cache->S_sym : own_sym;
        Eigen::VectorXd d;
        if (mean) d = *mean - implied_mu(dims, mm, A);
        const Eigen::VectorXd* dp = mean ? &d : nullptr;
        if (structured_gradient(description, mm, ram, S_sym, dp, cells, g)) return g;
    }
    const ImpliedMoments moments = implied_moments(dims, mm, A);
    const Eigen::MatrixXd* S_factor = cache != nullptr ? sample_factor_of(*cache) : nullptr;
    if (!mirror && factored_gradient(ram, moments, S, mean, S_factor, cells, g)) return g;

    const Eigen::Index p = moments.Sigma.rows();
    Eigen::MatrixXd X(p, p);  // Sigma^-1
    RankTestedInverse inverse(p);
    if (!inverse.invert(moments.Sigma, X)) return Eigen::VectorXd::Constant(n_free, kNotInvertible);

    // g_k = trace(W dSigma_k) - 2 dmu_k' Sigma^-1 d with W = X - X Q X,
    // Q = S + d d': the adjoints of Sigma and mu are W' and -2 X d.
    Eigen::MatrixXd Q = S;
    Eigen::VectorXd gmu = Eigen::VectorXd::Zero(p);
    if (mean) {
        const Eigen::VectorXd d = *mean - moments.mu;
        Q.noalias() += d * d.transpose();
        gmu.noalias() = -2.0 * (X * d);
    }
    const Eigen::MatrixXd QX = Q * X;
    if (!mirror) {
        MomentAdjoint(ram, X, QX, gmu).add_gradient(cells, g);
        return g;
    }
    Eigen::MatrixXd G = X.transpose();
    G.noalias() -= QX.transpose() * X.transpose();
    mirror_adjoint_in_place(dims, G);
    MomentAdjoint(ram, G, gmu).add_gradient(cells, g);
    return g;
}

}  // namespace sem
