#include "model/model_matrices.hpp"

namespace sem {

Eigen::MatrixXd& ModelMatrices::matrix(int id) {
    return const_cast<Eigen::MatrixXd&>(static_cast<const ModelMatrices&>(*this).matrix(id));
}

const Eigen::MatrixXd& ModelMatrices::matrix(int id) const {
    switch (id) {
        case sem::LambdaX: return LambdaX;
        case sem::LambdaY: return LambdaY;
        case sem::Beta: return Beta;
        case sem::Gamma: return Gamma;
        case sem::Phi: return Phi;
        case sem::Psi: return Psi;
        case sem::ThetaDelta: return ThetaDelta;
        case sem::ThetaEpsilon: return ThetaEpsilon;
        default: return ThetaEpsilonDelta;
    }
}

Eigen::VectorXd& ModelMatrices::vector(int id) {
    return const_cast<Eigen::VectorXd&>(static_cast<const ModelMatrices&>(*this).vector(id));
}

const Eigen::VectorXd& ModelMatrices::vector(int id) const {
    switch (id) {
        case sem::TauX: return TauX;
        case sem::TauY: return TauY;
        case sem::Kappa: return Kappa;
        default: return Alpha;
    }
}

ModelMatrices ModelMatrices::zeros(const ModelDims& dims) {
    ModelMatrices m;
    for (int id = 0; id < kMatrixCount; ++id) {
        const TargetShape s = target_shape(dims, id);
        m.matrix(id).setZero(s.rows, s.cols);
    }
    for (int id = kMatrixCount; id < kTargetCount; ++id) {
        m.vector(id).setZero(target_shape(dims, id).rows);
    }
    return m;
}

void ModelMatrices::set_zero() {
    for (int id = 0; id < kMatrixCount; ++id) matrix(id).setZero();
    for (int id = kMatrixCount; id < kTargetCount; ++id) vector(id).setZero();
}

ModelMatrices build_model_matrices(const ModelDescription& description,
                                   const Eigen::Ref<const Eigen::VectorXd>& params,
                                   bool with_means) {
    ModelMatrices m = ModelMatrices::zeros(description.dims());
    for (const ParameterMapping& p : description.mappings()) {
        if (!is_known_target(p.matrix_id)) continue;
        if (is_vector_target(p.matrix_id) && !with_means) continue;
        const double v = p.is_free ? params[p.param_index] : p.value;
        if (is_vector_target(p.matrix_id)) {
            m.vector(p.matrix_id)[p.row] = v;
        } else {
            m.matrix(p.matrix_id)(p.row, p.col) = v;
        }
    }
    return m;
}

}  // namespace sem
