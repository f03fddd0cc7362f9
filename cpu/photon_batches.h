#pragma once
// The batch loop shared by the photon engines: photons are traced in batches
// of one million global indices; each batch starts its worker threads, which
// claim photons one at a time from one atomic counter, joins them, then
// reports progress on the calling thread. A worker that throws stops the
// batch and the exception reaches the caller after every worker has joined;
// no progress is reported for that batch.

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <vector>

#include "cpu/threading.h"

namespace norvi::embree {

constexpr int kPhotonBatchSize = 1000000;

// Number of batches for `num_photons` photons (0 for none).
inline int photon_batch_count(int num_photons) {
    return num_photons > 0 ? (num_photons - 1) / kPhotonBatchSize + 1 : 0;
}

// Sizes a per-thread tally to n zeros with two cache lines of spare capacity
// behind it, so that the small, often written tallies of different threads
// (weights, albedo, terrain) never share a cache line.
inline void assign_private_tally(std::vector<double>& v, std::size_t n) {
    v.reserve(n + 16);
    v.assign(n, 0.0);
}

// Runs trace(thread, photon) for every global photon index in [0, num_photons)
// on `num_threads` (>= 1) workers per batch. `thread` is the worker's number
// in [0, num_threads), so per-thread tallies can be indexed by it. After each
// batch: progress(batch end, num_photons, ms since `start`) when non-empty.
template <typename TracePhoton>
void run_photon_batches(int num_photons, int num_threads, const ProgressCallback& progress,
                        std::chrono::system_clock::time_point start, TracePhoton&& trace) {
    const int batches = photon_batch_count(num_photons);
    for (int batch = 0; batch < batches; ++batch) {
        const int first = batch * kPhotonBatchSize;
        const int count = std::min(kPhotonBatchSize, num_photons - first);
        run_workers(num_threads, count, [&](long long item, int thread) {
            trace(thread, first + static_cast<int>(item));
        });
        if (progress) progress(first + count, num_photons, elapsed_ms(start));
    }
}

}  // namespace norvi::embree
