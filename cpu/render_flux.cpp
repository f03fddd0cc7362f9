#include "cpu/render_flux.h"

#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <string>

#include "cpu/photon_args.h"
#include "cpu/photon_batches.h"
#include "cpu/photon_path.h"
#include "cpu/photon_source.h"
#include "cpu/threading.h"
#include "physics/photon_grid.h"
#include "physics/shading_frame.h"
#include "scene/input_checks.h"

namespace norvi::embree {

namespace {

struct FluxTallies {
    std::vector<double> down;
    std::vector<double> up;
    std::vector<double> weights;  // the photon in hand, one per band
};

struct FluxJob {
    const EmbreeSceneManager& scene;
    PhotonSource source;
    const std::vector<MaterialData>& materials;
    const float* spec;
    int nb;
    int nx, ny;
    float cell_x, cell_y;
    int max_bounces;
    int max_depth;
    int rr_depth;

    void trace(int photon, FluxTallies& t) const;
    // Adds w[b] * scale, where positive, to `cell` (a flat cell number) of `map`.
    void add_(std::vector<double>& map, int cell, const double* w, double scale) const {
        const std::size_t base = static_cast<std::size_t>(cell) * static_cast<std::size_t>(nb);
        for (int b = 0; b < nb; ++b) {
            const double e = w[b] * scale;
            if (e > 0.0) map[base + static_cast<std::size_t>(b)] += e;
        }
    }
};

void FluxJob::trace(int photon, FluxTallies& t) const {
    double* w = t.weights.data();
    PhotonPath path(photon);
    if (!path.start(source, w) || max_depth < 1) return;
    const double scale = path.factor();
    int recorded = 0;
    int previous = -1;  // flat cell of the previous arrival; -1: none
    bool stop = false;
    for (;;) {
        const HitRecord h = path.next_hit(scene);
        if (!h.hit) {
            // Escapes: what left the last surface leaves its cell.
            if (path.interactions() > 0 && previous >= 0) add_(t.up, previous, w, scale);
            return;
        }
        if (stop) return;

        const int ix = grid_cell_or_none(h.position.x, cell_x, nx);
        const int iy = grid_cell_or_none(h.position.y, cell_y, ny);
        const int cell = ix >= 0 && iy >= 0 ? iy * nx + ix : -1;
        if (cell >= 0 && (max_bounces == 0 || recorded < max_bounces)) {
            add_(t.down, cell, w, scale);
            if (previous >= 0 && previous != cell) add_(t.up, previous, w, scale);
            ++recorded;
        }
        previous = cell;
        stop = max_bounces > 0 && recorded >= max_bounces;

        // Ids were checked against this call's copy of the materials; a
        // progress callback may have rebuilt the scene with more since.
        if (h.material_id < 0 || static_cast<std::size_t>(h.material_id) >= materials.size()) return;
        const MaterialData& m = materials[static_cast<std::size_t>(h.material_id)];
        const ShadingFrame frame = make_shading_frame(h.shading_normal);
        const float3 wo = to_local(frame, -path.direction());
        if (!path.scatter(h, m, frame, wo, spec, nb, w, rr_depth, max_depth)) return;
    }
}

}  // namespace

FluxResult render_flux(const EmbreeSceneManager& scene, int nx, int ny, int num_photons,
                       int num_bands, float prob_sun, int max_bounces, int max_depth,
                       int rr_depth, int num_threads,
                       const std::function<void(int, int, float)>& progress,
                       PhotonRange photons) {
    max_depth = max_depth_override(max_depth, "CPU flux");
    check_photon_args(scene, "render_flux", nx, ny, num_photons, num_bands, prob_sun);
    if (max_bounces < 0)
        throw std::invalid_argument("render_flux: max_bounces must not be negative (0 records every "
                                    "arrival); got " + std::to_string(max_bounces));

    const std::pair<int, int> range = resolve_photon_range(photons, num_photons, "render_flux");
    const PhotonExtent extent = photon_extent(scene, num_photons);
    const float cell_x = extent.x / static_cast<float>(nx);
    const float cell_y = extent.y / static_cast<float>(ny);
    const std::size_t size = checked_tally_size({nx, ny, num_bands}, "render_flux: flux map");
    const int threads = resolve_thread_count(num_threads);
    // Per thread two double maps; two float results and their copies in the
    // caller's arrays.
    require_memory(double(size) * (2.0 * 8.0 * threads + 2.0 * 2.0 * 4.0), "render_flux: the flux maps");

    std::printf("Forward flux (CPU): %d photons, grid %dx%d, %d bands, max_bounces_record=%d, "
                "%d threads\n",
                num_photons, nx, ny, num_bands, max_bounces, threads);
    std::fflush(stdout);
    const auto start = std::chrono::system_clock::now();

    std::vector<FluxTallies> tallies(static_cast<std::size_t>(threads));
    for (FluxTallies& t : tallies) {
        assign_private_tally(t.down, size);
        assign_private_tally(t.up, size);
        assign_private_tally(t.weights, static_cast<std::size_t>(num_bands));
    }
    // The photons read this call's own copies of the materials and the
    // spectral array: a progress callback between batches may change the
    // scene's, and must not leave the workers reading freed storage.
    const std::vector<MaterialData> materials = scene.materials();
    const std::vector<float> spectral = scene.spectral_params();
    PhotonSource source =
        make_photon_source(scene, num_bands, prob_sun, extent.x, extent.y, extent.area_per_photon);
    source.spec = spectral.data();
    const FluxJob job{scene,
                      source,
                      materials,
                      spectral.data(),
                      num_bands,
                      nx,
                      ny,
                      cell_x,
                      cell_y,
                      max_bounces,
                      max_depth,
                      rr_depth};
    run_photon_batches(range.first, range.second, threads, progress, start,
                       [&](int thread, int photon) {
        job.trace(photon, tallies[static_cast<std::size_t>(thread)]);
    });

    FluxResult r;
    r.down.assign(size, 0.0f);
    r.up.assign(size, 0.0f);
    for (std::size_t i = 0; i < r.down.size(); ++i) {
        double down = 0.0, up = 0.0;
        for (const FluxTallies& t : tallies) {
            down += t.down[i];
            up += t.up[i];
        }
        r.down[i] = static_cast<float>(down);
        r.up[i] = static_cast<float>(up);
    }
    r.nx = nx;
    r.ny = ny;
    r.num_bands = num_bands;
    return r;
}

}  // namespace norvi::embree
