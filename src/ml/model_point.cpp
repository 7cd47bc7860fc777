#include "ml/model_point.hpp"

#include "kernels/ml_kernels.hpp"
#include "model/rank_tested_inverse.hpp"

namespace sem {

ModelPoint invert_model_point(const ModelDescription& description,
                              const Eigen::Ref<const Eigen::VectorXd>& params, bool with_means) {
    ModelPoint pt;
    ModelAtParams at = model_at(description, params, with_means);
    pt.m = std::move(at.m);
    if (!at.invertible) return pt;
    pt.A = std::move(at.A);
    pt.moments = std::move(at.moments);
    const Eigen::Index p = pt.moments.Sigma.rows();
    pt.SigmaInv.resize(p, p);
    // The factorised proof first; the literal decomposition where it cannot decide.
    if (!ml_kernels().proved_inverse(static_cast<int>(p), pt.moments.Sigma.data(),
                                     pt.SigmaInv.data())) {
        RankTestedInverse inverse(p);
        if (!inverse.invert(pt.moments.Sigma, pt.SigmaInv)) return pt;
    }
    pt.invertible = true;
    return pt;
}

}  // namespace sem
