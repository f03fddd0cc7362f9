#pragma once
// Host-side engine plumbing shared by the CPU engines: the thread-count rule,
// the NORVI_MAX_DEPTH override, the progress clock, and workers that claim
// items through one atomic counter.

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace norvi {

// Progress callback: (items done, total items, elapsed milliseconds); may be empty.
using ProgressCallback = std::function<void(int, int, float)>;

// A thread count of 1 or more is used as given. Below 1: the environment
// variable NORVI_NUM_THREADS when it holds a base-10 integer above 0 (so a
// process that runs several engines at once, such as a Dask worker, can share
// its cores out), otherwise the hardware concurrency, itself at least 1.
inline int resolve_thread_count(int requested) {
    if (requested >= 1) return requested;
    if (const char* text = std::getenv("NORVI_NUM_THREADS")) {
        errno = 0;
        char* end = nullptr;
        const long value = std::strtol(text, &end, 10);
        if (end != text && *end == '\0' && errno != ERANGE && value >= 1 && value <= INT_MAX)
            return static_cast<int>(value);
    }
    const unsigned hw = std::thread::hardware_concurrency();
    return hw == 0 ? 1 : static_cast<int>(hw);
}

// The depth override from the environment: NORVI_MAX_DEPTH, when it holds a
// base-10 integer (its leading digits) above 0, replaces max_depth, and the
// engine announces it with "[<tag>] NORVI_MAX_DEPTH=<n>" on standard output.
// Unset, zero, negative, out-of-range or non-numeric values change nothing.
inline int max_depth_override(int max_depth, const char* tag) {
    const char* text = std::getenv("NORVI_MAX_DEPTH");
    if (text == nullptr) return max_depth;
    errno = 0;
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (end == text || errno == ERANGE || value <= 0 || value > INT_MAX) return max_depth;
    std::printf("[%s] NORVI_MAX_DEPTH=%d\n", tag, static_cast<int>(value));
    std::fflush(stdout);
    return static_cast<int>(value);
}

// Milliseconds of system-clock time since `start`, as the progress callback reports it.
inline float elapsed_ms(std::chrono::system_clock::time_point start) {
    const auto ns =
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now() - start);
    return static_cast<float>(static_cast<double>(ns.count()) / 1e6);
}

// Runs work(item, worker) for item = 0 .. num_items - 1 on num_threads
// std::thread workers started for this batch and joined before returning.
// Each worker claims the next item with one fetch-and-add on a shared counter.
// The first exception thrown by any item stops further claims and is
// rethrown here after every worker has joined.
template <class Work>
void run_workers(int num_threads, long long num_items, Work&& work) {
    std::atomic<long long> next{0};
    std::exception_ptr error;
    std::mutex error_mutex;
    std::atomic<bool> failed{false};
    auto worker = [&](int worker_index) {
        for (;;) {
            if (failed.load(std::memory_order_relaxed)) return;
            const long long item = next.fetch_add(1, std::memory_order_relaxed);
            if (item >= num_items) return;
            try {
                work(item, worker_index);
            } catch (...) {
                std::lock_guard<std::mutex> lock(error_mutex);
                if (!error) error = std::current_exception();
                failed.store(true);
                return;
            }
        }
    };
    std::vector<std::thread> threads;
    threads.reserve(static_cast<std::size_t>(num_threads));
    try {
        for (int i = 0; i < num_threads; ++i) threads.emplace_back(worker, i);
    } catch (...) {
        // A thread that cannot be started: stop the others, then report.
        failed.store(true);
        for (std::thread& t : threads) t.join();
        throw;
    }
    for (std::thread& t : threads) t.join();
    if (error) std::rethrow_exception(error);
}

// run_workers over items 0 .. num_items - 1 in batches of `batch_size`
// items, calling between(items done) on the calling thread after each batch
// (a progress report, where a pending Ctrl-C stops the run). Items keep their
// run-wide index, so the batching changes no result.
template <class Between, class Work>
void run_worker_batches(int num_threads, long long num_items, long long batch_size, Between&& between,
                        Work&& work) {
    for (long long first = 0; first < num_items; first += batch_size) {
        const long long count = std::min(batch_size, num_items - first);
        run_workers(num_threads, count, [&](long long item, int worker) { work(first + item, worker); });
        between(first + count);
    }
}

}  // namespace norvi
