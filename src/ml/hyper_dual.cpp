#include "ml/hyper_dual.hpp"

namespace sem {

namespace {

// Accumulates the non-zero terms of one component; any() is false when
// every term was skipped, which makes the component zero.
class Component {
public:
    explicit Component(Eigen::MatrixXd& target) : target_(target) {}

    template <typename L, typename R>
    void add_product(bool present, const L& lhs, const R& rhs) {
        if (!present) return;
        if (any_) {
            target_.noalias() += lhs * rhs;
        } else {
            target_.noalias() = lhs * rhs;
            any_ = true;
        }
    }

    bool any() const { return any_; }

private:
    Eigen::MatrixXd& target_;
    bool any_ = false;
};

void add_component(bool x_has, const Eigen::MatrixXd& x, bool y_has, const Eigen::MatrixXd& y,
                   Eigen::MatrixXd& out) {
    if (x_has && y_has) {
        out = x + y;
    } else if (x_has) {
        out = x;
    } else if (y_has) {
        out = y;
    }
}

}  // namespace

void multiply(const HyperDualMatrix& X, const HyperDualMatrix& Y, HyperDualMatrix& out,
              Reuse reuse) {
    if (reuse == Reuse::nothing) out.V.noalias() = X.V * Y.V;

    if (reuse != Reuse::value_and_d1) {
        Component d1(out.D1);
        d1.add_product(X.has_d1, X.D1, Y.V);
        d1.add_product(Y.has_d1, X.V, Y.D1);
        out.has_d1 = d1.any();
    }

    Component d2(out.D2);
    d2.add_product(X.has_d2, X.D2, Y.V);
    d2.add_product(Y.has_d2, X.V, Y.D2);
    out.has_d2 = d2.any();

    Component d12(out.D12);
    d12.add_product(X.has_d12, X.D12, Y.V);
    d12.add_product(X.has_d1 && Y.has_d2, X.D1, Y.D2);
    d12.add_product(X.has_d2 && Y.has_d1, X.D2, Y.D1);
    d12.add_product(Y.has_d12, X.V, Y.D12);
    out.has_d12 = d12.any();
}

void add(const HyperDualMatrix& X, const HyperDualMatrix& Y, HyperDualMatrix& out,
         Reuse reuse) {
    if (reuse == Reuse::nothing) out.V = X.V + Y.V;
    if (reuse != Reuse::value_and_d1) {
        add_component(X.has_d1, X.D1, Y.has_d1, Y.D1, out.D1);
        out.has_d1 = X.has_d1 || Y.has_d1;
    }
    add_component(X.has_d2, X.D2, Y.has_d2, Y.D2, out.D2);
    add_component(X.has_d12, X.D12, Y.has_d12, Y.D12, out.D12);
    out.has_d2 = X.has_d2 || Y.has_d2;
    out.has_d12 = X.has_d12 || Y.has_d12;
}

void transpose(const HyperDualMatrix& X, HyperDualMatrix& out, Reuse reuse) {
    if (reuse == Reuse::nothing) out.V = X.V.transpose();
    if (reuse != Reuse::value_and_d1) {
        if (X.has_d1) out.D1 = X.D1.transpose();
        out.has_d1 = X.has_d1;
    }
    if (X.has_d2) out.D2 = X.D2.transpose();
    if (X.has_d12) out.D12 = X.D12.transpose();
    out.has_d2 = X.has_d2;
    out.has_d12 = X.has_d12;
}

void structural_inverse(const Eigen::MatrixXd& A, const HyperDualMatrix& X,
                        HyperDualMatrix& out, Reuse reuse) {
    if (reuse == Reuse::nothing) out.V = A;
    Eigen::MatrixXd& work = out.work;
    if (reuse != Reuse::value_and_d1) {
        if (X.has_d1) {
            work.noalias() = X.D1 * A;
            out.D1.noalias() = -A * work;
        }
        out.has_d1 = X.has_d1;
    }
    if (X.has_d2) {
        work.noalias() = X.D2 * A;
        out.D2.noalias() = -A * work;
    }
    out.has_d2 = X.has_d2;
    // D12 = -A (X.D12 A + X.D1 D2 + X.D2 D1), the inner sum collected in work.
    Component inner(work);
    inner.add_product(X.has_d12, X.D12, A);
    inner.add_product(X.has_d1 && X.has_d2, X.D1, out.D2);
    inner.add_product(X.has_d2 && X.has_d1, X.D2, out.D1);
    if (inner.any()) out.D12.noalias() = -A * work;
    out.has_d12 = inner.any();
}

}  // namespace sem
