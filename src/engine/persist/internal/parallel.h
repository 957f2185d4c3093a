#pragma once
// Runs fn(i) for i in [0, n) on up to `max_threads` threads (the calling
// thread included) and returns when all are done. The first exception thrown
// by any fn is rethrown here. Falls back to the calling thread alone when no
// thread can be started.
#include <algorithm>
#include <atomic>
#include <cstddef>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace engine::persist {

template <class F>
void parallel_for(std::size_t n, F&& fn, std::size_t max_threads = 8) {
    if (n == 0) return;
    const std::size_t hw = std::max<std::size_t>(1, std::thread::hardware_concurrency());
    const std::size_t threads = std::min({n, hw, max_threads});
    std::atomic<std::size_t> next{0};
    std::exception_ptr error;
    std::mutex error_mu;
    auto body = [&] {
        for (;;) {
            const std::size_t i = next.fetch_add(1);
            if (i >= n) return;
            try {
                fn(i);
            } catch (...) {
                std::lock_guard lk(error_mu);
                if (!error) error = std::current_exception();
                next.store(n);
                return;
            }
        }
    };
    std::vector<std::thread> pool;
    for (std::size_t t = 1; t < threads; ++t) {
        try {
            pool.emplace_back(body);
        } catch (const std::system_error&) {
            break;
        }
    }
    body();
    for (auto& t : pool) t.join();
    if (error) std::rethrow_exception(error);
}

}  // namespace engine::persist
