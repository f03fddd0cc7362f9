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
#include <stdexcept>
#include <string>
#include <utility>
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

// The photons a call traces out of a run of num_photons: global indices
// [first, first + count); count < 0 means up to the end of the run. Every
// photon's random stream and energy share depend on its global index and on
// num_photons only, so a run split into ranges traced apart and summed gives
// the tallies of the whole run, up to the order of the additions.
struct PhotonRange {
    int first = 0;
    int count = -1;
};

// The range resolved against num_photons: [first, end). Throws
// std::invalid_argument naming `who` for a range outside [0, num_photons].
inline std::pair<int, int> resolve_photon_range(PhotonRange range, int num_photons,
                                                const char* who) {
    const long long first = range.first;
    const long long end = range.count < 0 ? num_photons : first + range.count;
    if (first < 0 || end > num_photons || first > end) {
        throw std::invalid_argument(std::string(who) + ": photon range [" + std::to_string(first) +
                                    ", " + std::to_string(end) + ") lies outside the run of " +
                                    std::to_string(num_photons) + " photons");
    }
    return {static_cast<int>(first), static_cast<int>(end)};
}

// Runs trace(thread, photon) for every global photon index in [first, end)
// on `num_threads` (>= 1) workers per batch of a million photons. `thread` is
// the worker's number in [0, num_threads), so per-thread tallies can be
// indexed by it. After each batch: progress(photons done, end - first, ms
// since `start`) when non-empty.
template <typename TracePhoton>
void run_photon_batches(int first, int end, int num_threads, const ProgressCallback& progress,
                        std::chrono::system_clock::time_point start, TracePhoton&& trace) {
    const int total = end - first;
    const int batches = photon_batch_count(total);
    for (int batch = 0; batch < batches; ++batch) {
        const int done = batch * kPhotonBatchSize;
        const int count = std::min(kPhotonBatchSize, total - done);
        run_workers(num_threads, count, [&](long long item, int thread) {
            trace(thread, first + done + static_cast<int>(item));
        });
        if (progress) progress(done + count, total, elapsed_ms(start));
    }
}

}  // namespace norvi::embree
