#include "cpu/render_forward.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <stdexcept>

#include "cpu/leaf_tally.h"
#include "cpu/photon_args.h"
#include "cpu/photon_batches.h"
#include "cpu/photon_path.h"
#include "cpu/photon_source.h"
#include "cpu/threading.h"
#include "physics/absorption.h"
#include "physics/bsdf.h"
#include "physics/photon_grid.h"
#include "physics/ray_offset.h"
#include "physics/shading_frame.h"
#include "scene/input_checks.h"

namespace norvi::embree {

namespace {

// Private tallies of one worker thread; absent tallies are empty.
struct ForwardTallies {
    std::vector<double> grid;
    std::vector<double> brf;
    std::vector<double> albedo;
    std::vector<double> terrain;
    std::vector<double> weights;  // the photon in hand, one per band
    LeafTally::Pending leaf;      // per-triangle additions not yet shared
};

// Everything a photon needs, fixed for the whole call.
struct ForwardJob {
    const EmbreeSceneManager& scene;
    PhotonSource source;
    const std::vector<MaterialData>& materials;
    const float* spec;
    int nb;
    int nx, ny, layers;
    float dx, dy;
    const float* heights;
    const float3* brf_dirs;  // unit vectors
    int num_brf_dirs;
    int max_depth;
    int rr_depth;
    int terrain_id;
    LeafTally& leaf;

    void trace(int photon, ForwardTallies& t) const;
    void tally_absorption_(const HitRecord& h, const MaterialData& m, const double* w, double f,
                           ForwardTallies& t) const;
    void tally_brf_(const HitRecord& h, const MaterialData& m, const ShadingFrame& frame,
                    float3 wo, const double* w, double f, ForwardTallies& t) const;
};

void ForwardJob::tally_absorption_(const HitRecord& h, const MaterialData& m, const double* w,
                                   double f, ForwardTallies& t) const {
    const int ix = clamped_cell(h.position.x, dx, nx);
    const int iy = clamped_cell(h.position.y, dy, ny);
    const int k = layer_of_height(heights, layers, h.position.z);
    const bool terrain = terrain_id >= 0 && h.instance_id == terrain_id;
    for (int b = 0; b < nb; ++b) {
        const double a =
            static_cast<double>(absorbed_fraction(m.type, m.spectral_offset, b, nb, spec, h.back_face)) *
            w[b] * f;
        if (!(a > 0.0)) continue;
        t.grid[grid_index(k, iy, ix, nx, ny, nb, b)] += a;
        if (terrain) {
            if (!t.terrain.empty()) t.terrain[static_cast<std::size_t>(b)] += a;
        } else if (leaf.active()) {
            leaf.add(t.leaf, h.instance_id, h.prim_id, b, a);
        }
    }
}

// Next-event estimate toward each view direction above the horizon: the
// energy the surface scatters into it, if nothing blocks the way out.
void ForwardJob::tally_brf_(const HitRecord& h, const MaterialData& m, const ShadingFrame& frame,
                            float3 wo, const double* w, double f, ForwardTallies& t) const {
    for (int k = 0; k < num_brf_dirs; ++k) {
        const float3 v = brf_dirs[k];
        if (!(v.z > 0.0f)) continue;
        if (scene.occluded_periodic(offset_ray_origin(h.position, face_toward(h.geometric_normal, v)), v))
            continue;
        const float c = dot(frame.n, v);
        if (!(std::fabs(c) >= 1e-6f)) continue;
        const float3 wi = to_local(frame, v);
        for (int b = 0; b < nb; ++b) {
            const float F = eval_bsdf(m.type, m.spectral_offset, b, wo, wi, spec, nb, h.back_face,
                                      /*thermal*/ false);
            const double e = static_cast<double>(F) * w[b] * std::fabs(c) * f;
            if (e > 0.0) t.brf[static_cast<std::size_t>(k * nb + b)] += e;
        }
    }
}

void ForwardJob::trace(int photon, ForwardTallies& t) const {
    double* w = t.weights.data();
    PhotonPath path(photon);
    if (!path.start(source, w) || max_depth < 1) return;
    const double f = path.factor();
    for (;;) {
        const HitRecord h = path.next_hit(scene);
        if (!h.hit) {
            if (path.direction().z > 0.0f && !t.albedo.empty()) {
                for (int b = 0; b < nb; ++b) {
                    const double e = w[b] * f;
                    if (e > 0.0) t.albedo[static_cast<std::size_t>(b)] += e;
                }
            }
            return;
        }

        // Ids were checked against this call's copy of the materials; a
        // progress callback may have rebuilt the scene with more since.
        if (h.material_id < 0 || static_cast<std::size_t>(h.material_id) >= materials.size()) return;
        const MaterialData& m = materials[static_cast<std::size_t>(h.material_id)];
        tally_absorption_(h, m, w, f, t);
        const ShadingFrame frame = make_shading_frame(h.shading_normal);
        const float3 wo = to_local(frame, -path.direction());
        if (!t.brf.empty()) tally_brf_(h, m, frame, wo, w, f, t);
        if (!path.scatter(h, m, frame, wo, spec, nb, w, rr_depth, max_depth)) return;
    }
}

std::vector<float> to_float(const std::vector<double>& v) {
    std::vector<float> out(v.size());
    for (std::size_t i = 0; i < v.size(); ++i) out[i] = static_cast<float>(v[i]);
    return out;
}

// Element-wise sum over threads, in thread order.
std::vector<float> merge(const std::vector<ForwardTallies>& all,
                         std::vector<double> ForwardTallies::*field) {
    std::vector<double> sum((all.front().*field).size(), 0.0);
    for (const ForwardTallies& t : all)
        for (std::size_t i = 0; i < sum.size(); ++i) sum[i] += (t.*field)[i];
    return to_float(sum);
}

}  // namespace

ForwardResult render_forward(const EmbreeSceneManager& scene, int nx, int ny,
                             const std::vector<float>& layer_heights, int num_photons,
                             int num_bands, bool per_leaf, float prob_sun,
                             const float* brf_directions, int num_brf_dirs, int max_depth,
                             int rr_depth, int num_threads,
                             const std::function<void(int, int, float)>& progress,
                             int terrain_instance_id, PhotonRange photons) {
    max_depth = max_depth_override(max_depth, "CPU fwd");
    const int layers = static_cast<int>(layer_heights.size()) - 1;
    if (layers < 1) throw std::runtime_error("layer_heights must have at least 2 entries");
    check_layer_heights(layer_heights);
    check_photon_args(scene, "render_forward", nx, ny, num_photons, num_bands, prob_sun);
    const std::vector<float3> views =
        check_forward_args(scene, brf_directions, num_brf_dirs, terrain_instance_id);
    const std::pair<int, int> range = resolve_photon_range(photons, num_photons, "render_forward");

    const PhotonExtent extent = photon_extent(scene, num_photons);
    const float dx = extent.x / static_cast<float>(nx);
    const float dy = extent.y / static_cast<float>(ny);

    const std::size_t grid_size =
        checked_tally_size({nx, ny, layers, num_bands}, "render_forward: grid");
    const std::size_t brf_size = checked_tally_size({num_brf_dirs, num_bands}, "render_forward: brf");
    const int threads = resolve_thread_count(num_threads);
    {
        // Per thread: grid, view, albedo and terrain tallies in double; the
        // shared leaf tally in double; the float results, and their copies
        // in the caller's arrays.
        const double nbd = num_bands;
        double leaf_values = 0.0;
        if (per_leaf)
            for (uint32_t n : scene.instance_triangle_counts()) leaf_values += double(n) * nbd;
        const double per_thread = double(grid_size) + double(brf_size) + 3.0 * nbd;
        const double results = double(grid_size) + double(brf_size) + leaf_values + 2.0 * nbd;
        require_memory(8.0 * (per_thread * threads + leaf_values) + 2.0 * 4.0 * results,
                       "render_forward: the tallies");
    }
    LeafTally leaf(scene, num_bands, per_leaf);

    std::printf("Forward fPAR (CPU): %d photons, grid %dx%dx%d, %d bands, %d threads\n",
                num_photons, nx, ny, layers, num_bands, threads);
    std::fflush(stdout);
    const auto start = std::chrono::system_clock::now();

    const auto nb = static_cast<std::size_t>(num_bands);
    std::vector<ForwardTallies> tallies(static_cast<std::size_t>(threads));
    for (ForwardTallies& t : tallies) {
        assign_private_tally(t.grid, grid_size);
        if (brf_size >= 1) assign_private_tally(t.brf, brf_size);
        if (num_brf_dirs >= 1) assign_private_tally(t.albedo, nb);
        if (terrain_instance_id >= 0) assign_private_tally(t.terrain, nb);
        assign_private_tally(t.weights, nb);
    }

    // The photons read this call's own copies of the materials and the
    // spectral array: a progress callback between batches may change the
    // scene's, and must not leave the workers reading freed storage.
    const std::vector<MaterialData> materials = scene.materials();
    const std::vector<float> spectral = scene.spectral_params();
    PhotonSource source = make_photon_source(scene, num_bands, prob_sun, static_cast<float>(nx) * dx,
                                             static_cast<float>(ny) * dy, extent.area_per_photon);
    source.spec = spectral.data();
    const ForwardJob job{scene,
                         source,
                         materials,
                         spectral.data(),
                         num_bands,
                         nx,
                         ny,
                         layers,
                         dx,
                         dy,
                         layer_heights.data(),
                         views.data(),
                         num_brf_dirs,
                         max_depth,
                         rr_depth,
                         terrain_instance_id,
                         leaf};
    run_photon_batches(range.first, range.second, threads, progress, start,
                       [&](int thread, int photon) {
        job.trace(photon, tallies[static_cast<std::size_t>(thread)]);
    });

    for (ForwardTallies& t : tallies) leaf.flush(t.leaf);

    ForwardResult r;
    r.grid = merge(tallies, &ForwardTallies::grid);
    r.leaf = leaf.to_float();
    r.brf = merge(tallies, &ForwardTallies::brf);
    r.albedo = merge(tallies, &ForwardTallies::albedo);
    r.terrain = merge(tallies, &ForwardTallies::terrain);
    r.nx = nx;
    r.ny = ny;
    r.layers = layers;
    r.num_bands = num_bands;
    return r;
}

}  // namespace norvi::embree
