#pragma once
// Absorbed energy per triangle of every instance: one array shared by all
// worker threads of the forward tracer, guarded by one mutex. Triangles are
// numbered instance by instance: offset[i] = number of triangles of instances
// 0 .. i-1, so triangle p of instance i is entry offset[i] + p.
//
// Workers do not take the mutex for every addition: each collects its
// additions in its own small buffer and adds the whole buffer under the mutex
// when it is full, and once more when tracing ends. Every addition to the
// shared array still happens under the one mutex; only the order of the
// additions (floating-point summation order) depends on the scheduling.

#include <cstddef>
#include <mutex>
#include <utility>
#include <vector>

#include "scene/embree_scene.h"

namespace norvi::embree {

class LeafTally {
public:
    // Additions of one worker thread not yet in the shared array.
    class Pending {
    public:
        Pending() { items_.reserve(kCapacity); }

    private:
        friend class LeafTally;
        static constexpr std::size_t kCapacity = 512;
        std::vector<std::pair<std::size_t, double>> items_;
    };

    // Inactive (no storage, every add ignored) unless `enabled` and the scene
    // has at least one instanced triangle.
    LeafTally(const EmbreeSceneManager& scene, int num_bands, bool enabled);

    bool active() const { return !values_.empty(); }

    // Adds `energy` to band `band` of triangle `prim_id` of `instance_id`,
    // through the worker's buffer; indices outside the table are skipped.
    void add(Pending& pending, int instance_id, int prim_id, int band, double energy);

    // Moves a worker's buffered additions into the shared array.
    void flush(Pending& pending);

    // Per-triangle values converted to float, band fastest. Flush every
    // worker's buffer first.
    std::vector<float> to_float() const;

private:
    std::vector<std::size_t> offsets_;  // instance count + 1 entries
    std::vector<double> values_;        // total triangles x bands
    std::size_t num_bands_ = 0;
    mutable std::mutex mutex_;
};

}  // namespace norvi::embree
