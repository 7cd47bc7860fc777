#pragma once

#include <algorithm>
#include <atomic>
#include <exception>
#include <system_error>
#include <thread>
#include <vector>

#include <Eigen/Core>

namespace sem {

// Runs work(worker, item) for every item in 0..n_items-1 on up to n_threads
// threads (the caller's among them), items handed out in order. Each item's
// result must not depend on which worker ran it, so that results do not
// depend on the thread count. A thread the system refuses to start leaves
// its share to the others; the first exception is rethrown after all joined.
template <class Work>
void parallel_for(int n_threads, Eigen::Index n_items, Work&& work) {
    const int n_workers = static_cast<int>(
        std::max<Eigen::Index>(1, std::min<Eigen::Index>(n_threads, n_items)));
    if (n_workers == 1) {
        for (Eigen::Index item = 0; item < n_items; ++item) work(0, item);
        return;
    }
    std::atomic<Eigen::Index> next{0};
    std::vector<std::exception_ptr> errors(static_cast<std::size_t>(n_workers));
    auto run = [&](int worker) {
        try {
            for (Eigen::Index item; (item = next.fetch_add(1)) < n_items;) work(worker, item);
        } catch (...) {
            errors[static_cast<std::size_t>(worker)] = std::current_exception();
            next.store(n_items);
        }
    };
    std::vector<std::thread> threads;
    threads.reserve(static_cast<std::size_t>(n_workers - 1));
    for (int worker = 1; worker < n_workers; ++worker) {
        try {
            threads.emplace_back(run, worker);
        } catch (const std::system_error&) {
            break;
        }
    }
    run(0);
    for (std::thread& t : threads) t.join();
    for (const std::exception_ptr& e : errors) {
        if (e) std::rethrow_exception(e);
    }
}

}  // namespace sem
