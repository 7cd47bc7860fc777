#include "ml/model_point.hpp"

#include "model/lu_inverse.hpp"
#include "model/rank_tested_inverse.hpp"

namespace sem {

ModelPoint invert_model_point(const ModelDescription& description,
                              const Eigen::Ref<const Eigen::VectorXd>& params, bool with_means) {
    ModelPoint pt;
    pt.m = build_model_matrices(description, params, with_means);
    LuInverse a = structural_inverse(pt.m.Beta);
    if (!a.invertible) return pt;
    pt.A = std::move(a.inverse);
    pt.C = latent_covariance(pt.m);
    pt.moments.Sigma = implied_sigma(description.dims(), pt.m, pt.A, pt.C);
    pt.moments.mu = implied_mu(description.dims(), pt.m, pt.A);
    const Eigen::Index p = pt.moments.Sigma.rows();
    pt.SigmaInv.resize(p, p);
    RankTestedInverse inverse(p);
    if (!inverse.invert(pt.moments.Sigma, pt.SigmaInv)) return pt;
    pt.invertible = true;
    return pt;
}

}  // namespace sem
