#pragma once
// Absorbed energy per triangle of every instance, shared by all worker threads
// of the forward tracer under one mutex. Triangles are numbered instance by
// instance: offset[i] = number of triangles of instances 0 .. i-1, so triangle
// p of instance i is entry offset[i] + p.

#include <cstddef>
#include <mutex>
#include <vector>

#include "scene/embree_scene.h"

namespace norvi::embree {

class LeafTally {
public:
    // Inactive (no storage, every add ignored) unless `enabled` and the scene
    // has at least one instanced triangle.
    LeafTally(const EmbreeSceneManager& scene, int num_bands, bool enabled);

    bool active() const { return !values_.empty(); }

    // Adds `energy` to band `band` of triangle `prim_id` of `instance_id`;
    // indices outside the table are skipped.
    void add(int instance_id, int prim_id, int band, double energy);

    // Per-triangle values converted to float, band fastest.
    std::vector<float> to_float() const;

private:
    std::vector<std::size_t> offsets_;  // instance count + 1 entries
    std::vector<double> values_;        // total triangles x bands
    std::size_t num_bands_ = 0;
    mutable std::mutex mutex_;
};

}  // namespace norvi::embree
