// Photon throughput of the CPU forward tracer and flux renderer on the
// instanced benchmark canopy (icosphere crowns, cylinder trunks, ground),
// three bands, one thread and all threads, and the cost of the per-triangle
// tally and its mutex (per-leaf on against off).
//
//   bench_forward_flux [photons] [trees] [reps]

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "bench/canopy_scene.h"
#include "cpu/leaf_tally.h"
#include "cpu/render_flux.h"
#include "cpu/render_forward.h"

using norvi::embree::EmbreeSceneManager;

namespace {

double seconds(const std::function<void()>& f) {
    const auto t0 = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// Best time of each contender over interleaved repetitions after one warm-up
// each, so that load from other processes hits all alike.
std::vector<double> best_times(int reps, const std::vector<std::function<void()>>& runs) {
    for (const auto& r : runs) r();
    std::vector<double> best(runs.size(), 1e30);
    for (int i = 0; i < reps; ++i)
        for (std::size_t k = 0; k < runs.size(); ++k) best[k] = std::min(best[k], seconds(runs[k]));
    return best;
}

// Eight view directions: nadir, and a ring at 30 and 60 degrees zenith.
std::vector<float> view_directions() {
    std::vector<float> v = {0.0f, 0.0f, 1.0f};
    for (int i = 0; i < 7; ++i) {
        const float th = i < 4 ? 0.5235988f : 1.0471976f;
        const float ph = 0.8975979f * static_cast<float>(i);
        v.insert(v.end(), {std::sin(th) * std::cos(ph), std::sin(th) * std::sin(ph), std::cos(th)});
    }
    return v;
}

// Additions per second into the shared per-triangle tally from `threads`
// threads: through LeafTally's per-thread buffers, or taking the one mutex for
// every single addition.
double leaf_additions_per_s(const EmbreeSceneManager& scene, int threads, bool buffered) {
    const int per_thread = 2000000;
    const int tris = static_cast<int>(scene.instance_triangle_counts()[1]);
    norvi::embree::LeafTally tally(scene, 3, true);
    std::vector<double> direct(static_cast<std::size_t>(tris) * 3, 0.0);
    std::mutex mutex;
    const double s = seconds([&] {
        std::vector<std::thread> pool;
        for (int t = 0; t < threads; ++t)
            pool.emplace_back([&, t] {
                norvi::embree::LeafTally::Pending pending;
                uint32_t h = 2654435761u * static_cast<uint32_t>(t + 1);
                for (int i = 0; i < per_thread; ++i) {
                    h = h * 1664525u + 1013904223u;
                    const int prim = static_cast<int>(h >> 8) % tris;
                    const int band = i % 3;
                    if (buffered) {
                        tally.add(pending, 1, prim, band, 1.0);
                    } else {
                        std::lock_guard<std::mutex> lock(mutex);
                        direct[static_cast<std::size_t>(prim * 3 + band)] += 1.0;
                    }
                }
                if (buffered) tally.flush(pending);
            });
        for (auto& th : pool) th.join();
    });
    return threads * static_cast<double>(per_thread) / s;
}

}  // namespace

int main(int argc, char** argv) {
    const int photons = argc > 1 ? std::atoi(argv[1]) : 200000;
    const int trees = argc > 2 ? std::atoi(argv[2]) : 400;
    const int reps = argc > 3 ? std::atoi(argv[3]) : 3;
    const int all = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));

    EmbreeSceneManager scene;
    norvi::bench::CanopyOptions opt;
    opt.trees = trees;
    const norvi::bench::CanopyInfo info = norvi::bench::build_canopy(scene, opt);
    // Three bands: ground, leaf (front, back, transmittance), bark, sun.
    scene.set_num_bands(3);
    scene.upload_spectral_params({0.12f, 0.10f, 0.25f,                      // ground
                                  0.05f, 0.10f, 0.45f, 0.07f, 0.12f, 0.42f,  // leaf R
                                  0.03f, 0.08f, 0.45f,                      // leaf T
                                  0.20f, 0.15f, 0.30f,                      // bark
                                  1.50f, 1.80f, 1.00f});                    // sun
    scene.material(0).spectral_offset = 0;
    scene.material(1).spectral_offset = 3;
    scene.material(2).spectral_offset = 12;
    scene.set_emitter(norvi::EmitterType::Directional, {0.3535534f, 0.3535534f, 0.8660254f}, 15);
    scene.set_repetitive(4, info.extent_x, info.extent_y);
    scene.set_measurement_height(scene.bounds().top);

    const std::vector<float> heights = {0.0f, 1.0f, 2.0f, 3.0f, 4.0f, 5.0f, 6.0f, 7.0f};
    const std::vector<float> views = view_directions();
    auto forward = [&](int threads, bool per_leaf, int dirs) {
        return [&, threads, per_leaf, dirs] {
            norvi::embree::render_forward(scene, 20, 20, heights, photons, 3, per_leaf, 1.0f,
                                          dirs > 0 ? views.data() : nullptr, dirs, 16, 3, threads,
                                          {}, 0);
        };
    };
    auto flux = [&](int threads) {
        return [&, threads] {
            norvi::embree::render_flux(scene, 20, 20, photons, 3, 1.0f, 0, 16, 3, threads, {});
        };
    };

    std::vector<std::function<void()>> runs;
    const char* names[] = {"forward", "forward per-leaf", "forward 8 BRF dirs",
                           "forward per-leaf + 8 BRF", "flux"};
    for (int threads : {1, all}) {
        runs.push_back(forward(threads, false, 0));
        runs.push_back(forward(threads, true, 0));
        runs.push_back(forward(threads, false, 8));
        runs.push_back(forward(threads, true, 8));
        runs.push_back(flux(threads));
    }
    const std::vector<double> t = best_times(reps, runs);

    std::printf("\ncanopy: %d trees, %u distinct triangles, %d instances, tile %.0f x %.0f m, 3 bands\n",
                trees, scene.total_triangles(), scene.num_instances(), info.extent_x, info.extent_y);
    std::printf("%d photons per run, best of %d, hardware threads %d\n\n", photons, reps, all);
    std::printf("%-26s %14s %14s %9s\n", "photons/s", "1 thread", "all threads", "speed-up");
    for (int k = 0; k < 5; ++k) {
        const double one = photons / t[static_cast<std::size_t>(k)];
        const double many = photons / t[static_cast<std::size_t>(k + 5)];
        std::printf("%-26s %14.0f %14.0f %8.2fx\n", names[k], one, many, many / one);
    }
    std::printf("\nper-leaf tally cost (time on / off): 1 thread %.3fx, all threads %.3fx\n",
                t[1] / t[0], t[6] / t[5]);
    std::printf("8 BRF directions cost (time on / off): 1 thread %.3fx, all threads %.3fx\n",
                t[2] / t[0], t[7] / t[5]);

    for (int threads : {1, all}) {
        const double locked = leaf_additions_per_s(scene, threads, false);
        const double buffered = leaf_additions_per_s(scene, threads, true);
        std::printf("leaf additions/s, %d thread(s): mutex per addition %.3g, buffered %.3g (%.1fx)\n",
                    threads, locked, buffered, buffered / locked);
    }
    return 0;
}
