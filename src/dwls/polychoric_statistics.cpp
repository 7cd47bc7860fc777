#include "dwls/polychoric_statistics.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <new>
#include <utility>

#include "kernels/gram_kernels.hpp"
#include "dwls/parallel_for.hpp"
#include "dwls/polychoric.hpp"

namespace sem {

namespace {

struct Pair {
    Eigen::Index a, b;      // items, a > b
    Eigen::Index offset;    // of the pair's influence table
};

// Zero-initialised storage aligned to a cache line.
class AlignedBuffer {
public:
    explicit AlignedBuffer(Eigen::Index size) {
        const std::size_t bytes =
            (static_cast<std::size_t>(std::max<Eigen::Index>(size, 1)) * sizeof(double) + 63) /
            64 * 64;
        data_.reset(static_cast<double*>(std::aligned_alloc(64, bytes)));
        if (!data_) throw std::bad_alloc();
    }
    double* data() { return data_.get(); }

private:
    struct Free {
        void operator()(double* p) const { std::free(p); }
    };
    std::unique_ptr<double[], Free> data_;
};

void count_table(const Eigen::Ref<const Eigen::VectorXi>& a,
                 const Eigen::Ref<const Eigen::VectorXi>& b, Eigen::MatrixXd& counts) {
    for (Eigen::Index i = 0; i < a.size(); ++i) counts(a[i], b[i]) += 1.0;
}

// Gamma = V'V / N for the N x m matrix V of every case's influence on every
// correlation, accumulated over blocks of cases (so V is never held whole)
// into fixed column chunks of the lower triangle, each a small symmetric
// update on the diagonal and a product below it. The chunks, not the
// threads, fix the order of every sum.
Eigen::MatrixXd influence_covariance(const Eigen::Ref<const Eigen::MatrixXi>& codes,
                                     const std::vector<Pair>& pairs,
                                     const std::vector<OrdinalItem>& items,
                                     const std::vector<double>& influence, int n_threads) {
    const Eigen::Index n = codes.rows(), m = static_cast<Eigen::Index>(pairs.size());
    constexpr Eigen::Index kChunk = 128;
    // About 32 MiB of V per block.
    const Eigen::Index block_rows =
        std::min<Eigen::Index>(n, std::max<Eigen::Index>(256, (Eigen::Index(1) << 22) / m));
    const Eigen::Index n_chunks = (m + kChunk - 1) / kChunk;
    const double scale = 1.0 / static_cast<double>(n);
    // The kernels vectorise from the first aligned element of what they
    // write, and a peeled element is summed without fused multiply-adds: on
    // storage aligned to a cache line every run peels the same elements, so
    // the bits do not depend on where the allocator put the buffers.
    AlignedBuffer lower(m * m), v(block_rows * m);
    std::fill(lower.data(), lower.data() + m * m, 0.0);
    const GramKernels& kernels = gram_kernels();
    for (Eigen::Index first = 0; first < n; first += block_rows) {
        const Eigen::Index rows = std::min(block_rows, n - first);
        parallel_for(n_threads, m, [&](int, Eigen::Index k) {
            const Pair& pair = pairs[static_cast<std::size_t>(k)];
            const Eigen::Index cells_a = items[static_cast<std::size_t>(pair.a)].ext.size() - 1;
            const double* table = influence.data() + pair.offset;
            const int* codes_a = codes.col(pair.a).data() + first;
            const int* codes_b = codes.col(pair.b).data() + first;
            double* column = v.data() + k * block_rows;
            for (Eigen::Index i = 0; i < rows; ++i) {
                column[i] = table[codes_a[i] + cells_a * codes_b[i]];
            }
        });
        parallel_for(n_threads, n_chunks, [&](int, Eigen::Index chunk) {
            const Eigen::Index c0 = chunk * kChunk;
            kernels.lower_gram_panel(rows, m, v.data(), block_rows, c0, std::min(kChunk, m - c0),
                                     scale, lower.data());
        });
    }
    Eigen::MatrixXd gamma(m, m);
    for (Eigen::Index j = 0; j < m; ++j) {
        for (Eigen::Index i = j; i < m; ++i) gamma(i, j) = gamma(j, i) = lower.data()[i + j * m];
    }
    return gamma;
}

}  // namespace

std::string ordinal_column_error(const Eigen::Ref<const Eigen::VectorXi>& column,
                                 const std::string& name) {
    std::vector<int> sorted(column.data(), column.data() + column.size());
    std::sort(sorted.begin(), sorted.end());
    if (sorted.empty()) return name + " has no cases";
    if (sorted.front() < 0) {
        return name + " has the negative code " + std::to_string(sorted.front()) +
               "; categories are numbered from 0";
    }
    if (sorted.back() == 0) {
        return name + " has a single category (every code is 0); an item needs at least two";
    }
    int expected = 0;
    for (const int code : sorted) {
        if (code > expected) {
            return name + " skips category " + std::to_string(expected) + " (its codes run 0.." +
                   std::to_string(sorted.back()) + " and each category must be occupied)";
        }
        expected = code + 1;
    }
    return {};
}

PolychoricStatistics polychoric_statistics(const Eigen::Ref<const Eigen::MatrixXi>& codes,
                                           bool with_gamma, int n_threads) {
    const Eigen::Index n = codes.rows(), p = codes.cols();
    // More workers than pairs would only idle (and each holds a workspace).
    n_threads = static_cast<int>(std::clamp<Eigen::Index>(n_threads, 1, p * (p - 1) / 2));
    PolychoricStatistics out;
    std::vector<OrdinalItem> items(static_cast<std::size_t>(p));
    parallel_for(n_threads, p, [&](int, Eigen::Index j) {
        items[static_cast<std::size_t>(j)] = ordinal_item(codes.col(j), codes.col(j).maxCoeff());
    });
    out.thresholds.reserve(items.size());
    for (const OrdinalItem& item : items) out.thresholds.push_back(item.tau);

    std::vector<Pair> pairs;
    pairs.reserve(static_cast<std::size_t>(p * (p - 1) / 2));
    Eigen::Index offset = 0;  // each pair's table has (K_a + 1)(K_b + 1) cells
    for (Eigen::Index b = 0; b < p; ++b) {
        for (Eigen::Index a = b + 1; a < p; ++a) {
            pairs.push_back({a, b, offset});
            offset += (items[static_cast<std::size_t>(a)].ext.size() - 1) *
                      (items[static_cast<std::size_t>(b)].ext.size() - 1);
        }
    }
    const Eigen::Index m = static_cast<Eigen::Index>(pairs.size());
    out.correlations.resize(m);
    out.weights.resize(m);
    std::vector<double> influence(static_cast<std::size_t>(offset));
    std::vector<PairWorkspace> workspaces(static_cast<std::size_t>(n_threads));
    const double n_cases = static_cast<double>(n);
    parallel_for(n_threads, m, [&](int worker, Eigen::Index k) {
        const Pair& pair = pairs[static_cast<std::size_t>(k)];
        const OrdinalItem& a = items[static_cast<std::size_t>(pair.a)];
        const OrdinalItem& b = items[static_cast<std::size_t>(pair.b)];
        PairWorkspace& work = workspaces[static_cast<std::size_t>(worker)];
        work.counts.setZero(a.ext.size() - 1, b.ext.size() - 1);
        count_table(codes.col(pair.a), codes.col(pair.b), work.counts);
        const double rho = polychoric_correlation(a, b, work);
        Eigen::Map<Eigen::MatrixXd> table(influence.data() + pair.offset, work.counts.rows(),
                                          work.counts.cols());
        out.correlations[k] = rho;
        if (std::abs(rho) == kPolychoricBound) {
            // The likelihood still rises at the bound: the estimate is not
            // asymptotically normal there and the information in rho
            // vanishes (it underflows for distant thresholds), so the pair
            // gets weight 0 and no influence: a fit ignores it.
            table.setZero();
            out.weights[k] = 0.0;
        } else {
            out.weights[k] = 1.0 / pair_influence(a, b, rho, n_cases, work, table);
        }
    });
    if (with_gamma) out.gamma = influence_covariance(codes, pairs, items, influence, n_threads);
    return out;
}

}  // namespace sem
