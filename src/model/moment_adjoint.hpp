#pragma once

#include <vector>

#include <Eigen/Core>

#include "model/free_cells.hpp"
#include "model/ram_form.hpp"

namespace sem {

// Reverse-mode derivatives of chi = <G, Sigma_factors> + <gmu, mu>, the form
// in which every first derivative of a discrepancy reaches the model: G is
// the adjoint of Sigma (already passed through mirror_adjoint_in_place) and
// gmu that of mu (zeros without a mean structure). One pass back through
// the factor products gives the adjoint of every model-matrix cell, at the
// cost of a few products of the model's size whatever the number of
// parameters.
class MomentAdjoint {
public:
    MomentAdjoint(const RamForm& ram, const Eigen::MatrixXd& G, const Eigen::VectorXd& gmu);

    // g[k] += d chi / d params[k] over the cells of each parameter.
    void add_gradient(const std::vector<FreeCell>& cells, Eigen::Ref<Eigen::VectorXd> g) const;

    // H(l, k) = d^2 chi / d params[l] d params[k] with G and gmu held: the
    // second derivatives of the moments contracted with their adjoints.
    // One forward-over-reverse sweep per parameter that enters a product
    // (loadings, Beta, Gamma, Psi, Phi, means of the latent variables);
    // Theta and intercept rows stay zero. Not symmetrised.
    Eigen::MatrixXd second_order(const std::vector<FreeCell>& cells, int n_free) const;

private:
    double cell_adjoint(const FreeCell& c) const;

    const RamForm& r_;
    const Eigen::MatrixXd& G_;
    const Eigen::VectorXd& gmu_;
    Eigen::MatrixXd U1_, U2_;  // G L, G' L
    Eigen::MatrixXd N_;        // L' G L
    Eigen::VectorXd h_;        // L' gmu
    Eigen::MatrixXd barL_, barA_, barB_, barPsi_;
    Eigen::VectorXd barNu_;
};

}  // namespace sem
