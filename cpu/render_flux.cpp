#include "cpu/render_flux.h"

#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <string>

#include "cpu/isa_clones.h"
#include "cpu/photon_args.h"
#include "cpu/photon_batches.h"
#include "cpu/photon_path.h"
#include "cpu/photon_source.h"
#include "cpu/threading.h"
#include "physics/photon_tallies.h"
#include "scene/input_checks.h"

namespace norvi::embree {

namespace {

struct FluxTallies {
    std::vector<double> down;
    std::vector<double> up;
    std::vector<double> weights;  // the photon in hand, one per band
};

// The shared flux walk's additions, into one worker's maps.
struct FluxSink {
    FluxTallies& t;
    int nb;

    void down(int cell, int b, double e) { t.down[index(cell, b)] += e; }
    void up(int cell, int b, double e) { t.up[index(cell, b)] += e; }
    std::size_t index(int cell, int b) const {
        return static_cast<std::size_t>(cell) * static_cast<std::size_t>(nb) + static_cast<std::size_t>(b);
    }
};

// One photon; its per-band loops in AVX2 where the processor has it.
NORVI_ISA_CLONES void trace_photon(const FluxSetup& job, const EmbreePhotonTracer& tracer, FluxSink& sink,
                                   int photon, double* weights) {
    trace_flux_photon(job, tracer, sink, photon, weights);
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
    FluxSetup job;
    job.source = source;
    job.materials = materials.data();
    job.num_materials = static_cast<int>(materials.size());
    job.spec = spectral.data();
    job.nb = num_bands;
    job.nx = nx;
    job.ny = ny;
    job.cell_x = cell_x;
    job.cell_y = cell_y;
    job.max_bounces = max_bounces;
    job.max_depth = max_depth;
    job.rr_depth = rr_depth;
    const EmbreePhotonTracer tracer{scene};
    run_photon_batches(range.first, range.second, threads, progress, start,
                       [&](int thread, int photon) {
        FluxTallies& t = tallies[static_cast<std::size_t>(thread)];
        FluxSink sink{t, num_bands};
        trace_photon(job, tracer, sink, photon, t.weights.data());
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
