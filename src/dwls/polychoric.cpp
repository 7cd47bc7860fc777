#include "dwls/polychoric.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "dwls/bivariate_normal.hpp"
#include "dwls/normal_quantile.hpp"

namespace sem {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kTwoPi = 6.283185307179586;

// P(z_lo < Z <= z_hi), from the upper tail when the interval lies above 0,
// so that a small interval far out keeps its relative accuracy.
double normal_interval(double z_lo, double z_hi) {
    if (z_lo > 0.0) return normal_cdf(-z_lo) - normal_cdf(-z_hi);
    return normal_cdf(z_hi) - normal_cdf(z_lo);
}

// P(lo < Y <= hi | X = h) for a standard normal pair with correlation rho;
// sigma = sqrt(1 - rho^2). The bounds may be infinite.
double conditional_interval(double lo, double hi, double h, double rho, double sigma) {
    return normal_interval((lo - rho * h) / sigma, (hi - rho * h) / sigma);
}

// The bivariate normal density and its derivative in rho at every finite
// corner of the grid a.ext x b.ext; corners on an infinite side stay 0,
// as there the distribution function does not move with rho.
void corner_densities(const OrdinalItem& a, const OrdinalItem& b, double rho,
                      PairWorkspace& work) {
    const Eigen::Index nx = a.ext.size(), ny = b.ext.size();
    work.density.setZero(nx, ny);
    work.density_slope.setZero(nx, ny);
    const double om = (1.0 - rho) * (1.0 + rho);
    const double scale = 1.0 / (kTwoPi * std::sqrt(om));
    for (Eigen::Index j = 1; j + 1 < ny; ++j) {
        const double k = b.ext[j];
        for (Eigen::Index i = 1; i + 1 < nx; ++i) {
            const double h = a.ext[i];
            const double q = h * h - 2.0 * rho * h * k + k * k;
            const double f = scale * std::exp(-q / (2.0 * om));
            work.density(i, j) = f;
            // d ln phi2 / d rho = (rho + hk) / (1 - rho^2) - rho q / (1 - rho^2)^2
            work.density_slope(i, j) = f * ((rho + h * k) / om - rho * q / (om * om));
        }
    }
}

template <class M>
double rectangle_sum(const M& corner, Eigen::Index c, Eigen::Index d) {
    return ((corner(c + 1, d + 1) - corner(c, d + 1)) - corner(c + 1, d)) + corner(c, d);
}

struct ScoreSlope {
    double score, slope;  // d l / d rho and d^2 l / d rho^2
};

// Derivatives of sum_cells n ln P in rho; the grid is left at rho.
ScoreSlope loglik_derivatives(const OrdinalItem& a, const OrdinalItem& b, double rho,
                              PairWorkspace& work) {
    corner_densities(a, b, rho, work);
    work.grid.reset(a.ext, b.ext, rho);
    ScoreSlope out{0.0, 0.0};
    for (Eigen::Index d = 0; d < work.counts.cols(); ++d) {
        for (Eigen::Index c = 0; c < work.counts.rows(); ++c) {
            const double n = work.counts(c, d);
            if (n == 0.0) continue;
            const double p = work.grid.cell_probability(c, d);
            const double s = rectangle_sum(work.density, c, d) / p;
            out.score += n * s;
            out.slope += n * (rectangle_sum(work.density_slope, c, d) / p - s * s);
        }
    }
    return out;
}

// Pearson correlation of the codes, a start that Newton's method improves
// on in a few steps.
double code_correlation(const Eigen::MatrixXd& counts) {
    const double n = counts.sum();
    const Eigen::ArrayXd ca = Eigen::ArrayXd::LinSpaced(counts.rows(), 0.0, counts.rows() - 1.0);
    const Eigen::ArrayXd cb = Eigen::ArrayXd::LinSpaced(counts.cols(), 0.0, counts.cols() - 1.0);
    const Eigen::ArrayXd ma = counts.rowwise().sum().array() / n;
    const Eigen::ArrayXd mb = counts.colwise().sum().transpose().array() / n;
    const double mean_a = (ma * ca).sum(), mean_b = (mb * cb).sum();
    const double var_a = (ma * (ca - mean_a).square()).sum();
    const double var_b = (mb * (cb - mean_b).square()).sum();
    const double cov = ((ca - mean_a).matrix().transpose() * counts *
                        (cb - mean_b).matrix())(0, 0) / n;
    const double r = cov / std::sqrt(var_a * var_b);
    return std::isfinite(r) ? std::clamp(r, -0.9, 0.9) : 0.0;
}

}  // namespace

OrdinalItem ordinal_item(const Eigen::Ref<const Eigen::VectorXi>& codes, int k_max) {
    OrdinalItem item;
    const double n = static_cast<double>(codes.size());
    item.counts.setZero(k_max + 1);
    for (Eigen::Index i = 0; i < codes.size(); ++i) item.counts[codes[i]] += 1.0;
    item.tau.resize(k_max);
    double below = 0.0;
    for (int t = 0; t < k_max; ++t) {
        below += item.counts[t];
        // Counts are exact, so the smaller tail is passed as it is.
        item.tau[t] = 2.0 * below <= n ? normal_quantile(below / n)
                                       : -normal_quantile((n - below) / n);
    }
    item.ext.resize(k_max + 2);
    item.ext << -kInf, item.tau, kInf;
    item.density = item.tau.unaryExpr([](double z) { return normal_density(z); });
    item.prob.resize(k_max + 1);
    for (int c = 0; c <= k_max; ++c) item.prob[c] = normal_interval(item.ext[c], item.ext[c + 1]);
    // u for a case in category c: phi(tau_c) / P_c at t = c, -phi(tau_{c-1}) / P_c
    // at t = c - 1; the cross-product is tridiagonal.
    Eigen::MatrixXd info = Eigen::MatrixXd::Zero(k_max, k_max);
    for (int c = 0; c <= k_max; ++c) {
        const double up = c < k_max ? item.density[c] / item.prob[c] : 0.0;
        const double down = c > 0 ? -item.density[c - 1] / item.prob[c] : 0.0;
        const double w = item.counts[c];
        if (c < k_max) info(c, c) += w * up * up;
        if (c > 0) info(c - 1, c - 1) += w * down * down;
        if (c > 0 && c < k_max) {
            info(c, c - 1) += w * up * down;
            info(c - 1, c) += w * up * down;
        }
    }
    item.info.compute(info);
    return item;
}

double polychoric_correlation(const OrdinalItem& a, const OrdinalItem& b, PairWorkspace& work) {
    // Newton's method inside a bracket that the score's sign keeps
    // shrinking; a step that would leave it (or a convex stretch) bisects.
    double lo = -kPolychoricBound, hi = kPolychoricBound;
    bool lo_tried = false, hi_tried = false;
    double rho = code_correlation(work.counts);
    for (int iteration = 0; iteration < 200; ++iteration) {
        const ScoreSlope d = loglik_derivatives(a, b, rho, work);
        if (std::isnan(d.score)) return d.score;
        if (d.score == 0.0) return rho;
        (d.score > 0.0 ? lo : hi) = rho;
        double next = d.slope < 0.0 ? rho - d.score / d.slope : kInf;
        if (next > lo && next < hi) {
            if (std::abs(next - rho) < 1e-9) return next;  // the error is now ~ step^2
        } else {
            // Before bisecting towards a bound, ask whether the likelihood
            // still rises at the bound itself.
            if (d.score > 0.0 && hi == kPolychoricBound && !hi_tried) {
                hi_tried = true;
                if (loglik_derivatives(a, b, hi, work).score >= 0.0) return hi;
            } else if (d.score < 0.0 && lo == -kPolychoricBound && !lo_tried) {
                lo_tried = true;
                if (loglik_derivatives(a, b, lo, work).score <= 0.0) return lo;
            }
            next = 0.5 * (lo + hi);
            if (hi - lo < 1e-15) return next;
        }
        rho = next;
    }
    return rho;
}

double pair_influence(const OrdinalItem& a, const OrdinalItem& b, double rho, double n_cases,
                      PairWorkspace& work, Eigen::Ref<Eigen::MatrixXd> influence) {
    const Eigen::Index ka = a.tau.size(), kb = b.tau.size();
    corner_densities(a, b, rho, work);
    work.grid.reset(a.ext, b.ext, rho);
    const double sigma = std::sqrt((1.0 - rho) * (1.0 + rho));
    work.score.resize(ka + 1, kb + 1);
    work.cross_a.setZero(ka);
    work.cross_b.setZero(kb);
    double info_rho = 0.0;
    for (Eigen::Index d = 0; d <= kb; ++d) {
        const double lo_y = b.ext[d], hi_y = b.ext[d + 1];
        for (Eigen::Index c = 0; c <= ka; ++c) {
            const double n = work.counts(c, d);
            if (n == 0.0) continue;
            const double lo_x = a.ext[c], hi_x = a.ext[c + 1];
            const double p = work.grid.cell_probability(c, d);
            const double s = rectangle_sum(work.density, c, d) / p;
            work.score(c, d) = s;
            info_rho += n * s * s;
            // d Phi2(h, k) / d h = phi(h) Phi((k - rho h) / sigma): an upper
            // bound raises P by the conditional mass of the other interval,
            // a lower bound lowers it by the same.
            const double ns = n * s / p;
            if (c < ka) {
                work.cross_a[c] += ns * a.density[c] * conditional_interval(lo_y, hi_y, hi_x, rho, sigma);
            }
            if (c > 0) {
                work.cross_a[c - 1] -=
                    ns * a.density[c - 1] * conditional_interval(lo_y, hi_y, lo_x, rho, sigma);
            }
            if (d < kb) {
                work.cross_b[d] += ns * b.density[d] * conditional_interval(lo_x, hi_x, hi_y, rho, sigma);
            }
            if (d > 0) {
                work.cross_b[d - 1] -=
                    ns * b.density[d - 1] * conditional_interval(lo_x, hi_x, lo_y, rho, sigma);
            }
        }
    }
    work.alpha = a.info.solve(work.cross_a);
    work.beta = b.info.solve(work.cross_b);
    const Eigen::VectorXd& alpha = work.alpha;
    const Eigen::VectorXd& beta = work.beta;
    double sum_sq = 0.0;
    for (Eigen::Index d = 0; d <= kb; ++d) {
        const double ub = ((d < kb ? b.density[d] * beta[d] : 0.0) -
                           (d > 0 ? b.density[d - 1] * beta[d - 1] : 0.0)) / b.prob[d];
        for (Eigen::Index c = 0; c <= ka; ++c) {
            const double n = work.counts(c, d);
            if (n == 0.0) {
                influence(c, d) = 0.0;
                continue;
            }
            const double ua = ((c < ka ? a.density[c] * alpha[c] : 0.0) -
                               (c > 0 ? a.density[c - 1] * alpha[c - 1] : 0.0)) / a.prob[c];
            const double v = n_cases * (work.score(c, d) - ua - ub) / info_rho;
            influence(c, d) = v;
            sum_sq += n * v * v;
        }
    }
    return sum_sq / n_cases;
}

}  // namespace sem
