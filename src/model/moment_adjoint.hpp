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

    // G = (X - X QX)' left unformed, the form of the ML adjoint: saves a
    // p x p product when the factor form needs no mirroring (the caller's
    // test). Only add_gradient is available then.
    MomentAdjoint(const RamForm& ram, const Eigen::MatrixXd& X, const Eigen::MatrixXd& QX,
                  const Eigen::VectorXd& gmu);

    // G L and G' L formed by the caller, and the Theta cells' adjoints in
    // `theta`, one per Theta or ThetaPair cell in the order of the cell list
    // later given to add_gradient (the only method available then).
    MomentAdjoint(const RamForm& ram, const Eigen::MatrixXd& GL, const Eigen::MatrixXd& GtL,
                  const Eigen::VectorXd& gmu, const Eigen::VectorXd& theta);

    // g[k] += d chi / d params[k] over the cells of each parameter.
    void add_gradient(const std::vector<FreeCell>& cells, Eigen::Ref<Eigen::VectorXd> g) const;

    // Adds d^2 chi / d params[k] d params[l] (G and gmu held: the second
    // derivatives of the moments contracted with their adjoints) into the
    // upper triangle of H, k <= l, the mean of the two orders off the
    // diagonal. One forward-over-reverse sweep per parameter that enters a
    // product (loadings, Beta, Gamma, Psi, Phi, means of the latent
    // variables); Theta and intercepts have none.
    void add_second_order(const std::vector<FreeCell>& cells, Eigen::MatrixXd& H) const;

private:
    void finish();
    double cell_adjoint(const FreeCell& c) const;
    double G(int i, int j) const {
        return G_ ? (*G_)(i, j) : (*X_)(j, i) - X_->row(j).dot(QX_->col(i));
    }

    const RamForm& r_;
    const Eigen::MatrixXd* G_ = nullptr;
    const Eigen::MatrixXd* X_ = nullptr;
    const Eigen::MatrixXd* QX_ = nullptr;
    const Eigen::VectorXd* theta_ = nullptr;
    const Eigen::VectorXd& gmu_;
    Eigen::MatrixXd U1_, U2_;  // G L, G' L
    Eigen::MatrixXd N_;        // L' G L
    Eigen::VectorXd h_;        // L' gmu
    Eigen::MatrixXd barL_, barA_, barB_, barPsi_;
    Eigen::VectorXd barNu_;
};

}  // namespace sem
