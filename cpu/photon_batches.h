#pragma once
// The batch loop shared by the photon engines: photons are traced in batches
// of one million global indices; each batch starts its worker threads, which
// claim photons one at a time from one atomic counter, joins them, then
// reports progress on the calling thread.
//
// A worker that throws stops the batch: the others finish the photon in hand
// and stop, every thread is joined, and the first exception is rethrown on the
// calling thread. A thread that cannot be started is handled the same way.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace norvi::embree {

constexpr int kPhotonBatchSize = 1000000;

// Number of batches for `num_photons` photons (0 for none).
inline int photon_batch_count(int num_photons) {
    return num_photons > 0 ? (num_photons - 1) / kPhotonBatchSize + 1 : 0;
}

// Milliseconds elapsed since `start`, as the progress callback receives them.
inline float elapsed_ms_since(std::chrono::steady_clock::time_point start) {
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::steady_clock::now() - start);
    return static_cast<float>(static_cast<double>(ns.count()) / 1e6);
}

// Runs trace(thread, photon) for every global photon index in [0, num_photons)
// on `num_threads` (>= 1) workers per batch. `thread` is the worker's number
// in [0, num_threads), so per-thread tallies can be indexed by it. After each
// batch, progress(batch end, num_photons, ms since `start`) when non-empty.
template <typename TracePhoton>
void run_photon_batches(int num_photons, int num_threads,
                        const std::function<void(int, int, float)>& progress,
                        std::chrono::steady_clock::time_point start, TracePhoton&& trace) {
    const int batches = photon_batch_count(num_photons);
    for (int batch = 0; batch < batches; ++batch) {
        const int first = batch * kPhotonBatchSize;
        const int count = std::min(kPhotonBatchSize, num_photons - first);
        std::atomic<int> next{0};
        std::mutex error_mutex;
        std::exception_ptr error;
        auto fail = [&](std::exception_ptr e) {
            std::lock_guard<std::mutex> lock(error_mutex);
            if (!error) error = e;
            next.store(count);  // the others stop at their next claim
        };
        auto worker = [&](int thread) {
            try {
                for (int i = next.fetch_add(1); i < count; i = next.fetch_add(1))
                    trace(thread, first + i);
            } catch (...) {
                fail(std::current_exception());
            }
        };

        std::vector<std::thread> workers;
        workers.reserve(static_cast<std::size_t>(num_threads));
        try {
            for (int t = 0; t < num_threads; ++t) workers.emplace_back(worker, t);
        } catch (...) {
            fail(std::current_exception());
        }
        for (std::thread& w : workers) w.join();
        if (error) std::rethrow_exception(error);

        if (progress) progress(first + count, num_photons, elapsed_ms_since(start));
    }
}

}  // namespace norvi::embree
