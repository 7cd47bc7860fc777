#pragma once

#include <vector>

#include <Eigen/Core>

#include "model/free_cells.hpp"
#include "model/ram_form.hpp"

namespace sem {

// The derivatives of the implied moments as short sums of outer products
// over one basis of p-vectors,
//   dSigma_k = sum_t c_t w_a w_b',   dmu_k = sum_d c_d w_a,
// the basis being the unit vectors e_0..e_{p-1} followed by the columns of
// `factors()`: L A, L K', L K (the last two one block when K is
// symmetric) and, when the x-y block needs mirroring, their copies with
// the y rows and with the x rows zeroed. A loading gives two terms, a
// Psi/Phi or Beta/Gamma cell two or one, a Theta cell one, so every trace
// tr(Y dSigma_k Z dSigma_l) is a sum of products of entries of the small
// tables w' Y w and w' Z w.
struct SigmaTerm {
    int param;
    int a, b;  // basis columns
    double c;
};

struct MeanTerm {
    int param;
    int a;
    double c;
};

class MomentTerms {
public:
    // with_means: add the mean terms. Cells must be sorted by parameter.
    MomentTerms(const ModelDims& dims, const RamForm& ram, const std::vector<FreeCell>& cells,
                bool mirror, bool with_means);

    Eigen::Index observed() const { return p_; }
    Eigen::Index size() const { return p_ + factors_.cols(); }
    const Eigen::MatrixXd& factors() const { return factors_; }  // p x (size - p)
    const std::vector<SigmaTerm>& sigma() const { return sigma_; }  // sorted by param
    const std::vector<MeanTerm>& mean() const { return mean_; }     // sorted by param

private:
    Eigen::Index p_;
    Eigen::MatrixXd factors_;
    std::vector<SigmaTerm> sigma_;
    std::vector<MeanTerm> mean_;
};

// table = w' Y w over the basis of `terms` (size x size), assembled from
// Y, Y F, F' Y and F' Y F so that the unit vectors cost nothing.
void basis_table(const Eigen::Ref<const Eigen::MatrixXd>& Y, const MomentTerms& terms,
                 Eigen::MatrixXd& table);

// Adds v(t, s) for every pair of terms into H(param_s, param_t) with
// param_s <= param_t (the upper triangle, so that the inner loop runs down
// one column): a pair of one parameter counts in both orders, a term with
// itself once.
template <class Term, class Value>
void add_term_pairs(const std::vector<Term>& terms, Value&& v, Eigen::MatrixXd& H) {
    const std::size_t n = terms.size();
    for (std::size_t t = 0; t < n; ++t) {
        const Term& u = terms[t];
        for (std::size_t s = 0; s < t; ++s) {
            const Term& w = terms[s];
            if (w.param == u.param) {
                H(u.param, u.param) += v(u, w) + v(w, u);
            } else {
                H(w.param, u.param) += v(u, w);
            }
        }
        H(u.param, u.param) += v(u, u);
    }
}

// Copies the upper triangle onto the lower one.
void mirror_upper(Eigen::MatrixXd& H);

}  // namespace sem
