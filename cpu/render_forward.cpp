#include "cpu/render_forward.h"

#include <chrono>
#include <cstdio>
#include <stdexcept>

#include "cpu/isa_clones.h"
#include "cpu/leaf_tally.h"
#include "cpu/photon_args.h"
#include "cpu/photon_batches.h"
#include "cpu/photon_path.h"
#include "cpu/photon_source.h"
#include "cpu/threading.h"
#include "physics/photon_tallies.h"
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

// The shared forward walk's additions, into one worker's tallies.
struct ForwardSink {
    ForwardTallies& t;
    LeafTally& leaves;
    std::size_t nb;

    // Adding 0 to a tally of positive additions leaves its bits as they are.
    void grid(std::size_t first, const double* a, int n) {
        double* g = t.grid.data() + first;
        for (int i = 0; i < n; ++i) g[i] += a[i];
    }
    void expect_grid(std::size_t first) {
        // Many bands make a cell span many cache lines: ask for all at once.
        const double* g = t.grid.data() + first;
        for (std::size_t b = 0; b < nb; b += 8) __builtin_prefetch(g + b, 1);
    }
    void terrain(int first, const double* a, int n) {
        if (t.terrain.empty()) return;
        double* g = t.terrain.data() + first;
        for (int i = 0; i < n; ++i) g[i] += a[i];
    }
    void leaf(int instance, int prim, int first, const double* a, int n) {
        if (!leaves.active()) return;
        for (int i = 0; i < n; ++i)
            if (a[i] > 0.0) leaves.add(t.leaf, instance, prim, first + i, a[i]);
    }
    void brf(int i, double e) { t.brf[static_cast<std::size_t>(i)] += e; }
    void albedo(int b, double e) { t.albedo[static_cast<std::size_t>(b)] += e; }
};

// One photon; its per-band loops in AVX2 where the processor has it.
NORVI_ISA_CLONES void trace_photon(const ForwardSetup& job, const EmbreePhotonTracer& tracer, ForwardSink& sink,
                                   int photon, double* weights) {
    trace_forward_photon(job, tracer, sink, photon, weights);
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
    ForwardSetup job;
    job.source = source;
    job.materials = materials.data();
    job.num_materials = static_cast<int>(materials.size());
    job.spec = spectral.data();
    job.nb = num_bands;
    job.nx = nx;
    job.ny = ny;
    job.layers = layers;
    job.dx = dx;
    job.dy = dy;
    job.heights = layer_heights.data();
    job.brf_dirs = brf_size >= 1 ? views.data() : nullptr;
    job.num_brf_dirs = num_brf_dirs;
    job.albedo = num_brf_dirs >= 1;
    job.max_depth = max_depth;
    job.rr_depth = rr_depth;
    job.terrain_id = terrain_instance_id;
    const EmbreePhotonTracer tracer{scene};
    run_photon_batches(range.first, range.second, threads, progress, start,
                       [&](int thread, int photon) {
        ForwardTallies& t = tallies[static_cast<std::size_t>(thread)];
        ForwardSink sink{t, leaf, nb};
        trace_photon(job, tracer, sink, photon, t.weights.data());
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
