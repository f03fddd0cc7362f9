// Primitive-samples per second of the CPU energy balance on the instanced
// benchmark canopy (at least 200,000 primitives by default): the short-wave
// run with albedos (sun shadow ray, hemisphere ray and the second bounce's
// shadow ray per sample) and the long-wave run (hemisphere ray only), one
// thread and all threads. A primitive-sample is one sample of one side.
//
//   bench_energy_balance [trees] [samples] [reps]

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <utility>
#include <vector>

#include "bench/canopy_scene.h"
#include "cpu/energy_balance.h"
#include "cpu/threading.h"

using norvi::embree::EmbreeSceneManager;

namespace {

double best_seconds(int reps, const std::function<void()>& f) {
    f();  // warm-up
    double best = 1e30;
    for (int i = 0; i < reps; ++i) {
        const auto t0 = std::chrono::steady_clock::now();
        f();
        const std::chrono::duration<double> dt = std::chrono::steady_clock::now() - t0;
        best = std::min(best, dt.count());
    }
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    const int trees = argc > 1 ? std::atoi(argv[1]) : 160;
    const int samples = argc > 2 ? std::atoi(argv[2]) : 8;
    const int reps = argc > 3 ? std::atoi(argv[3]) : 2;

    EmbreeSceneManager scene;
    norvi::bench::CanopyOptions opt;
    opt.trees = trees;
    norvi::bench::build_canopy(scene, opt);
    const long long n = scene.n_primitives();
    const std::vector<float> albedos(static_cast<std::size_t>(n), 0.15f);
    scene.set_primitive_temperatures(std::vector<float>(static_cast<std::size_t>(n), 295.0f));

    norvi::EnergyBalanceParams sw;
    sw.n_samples = samples;
    sw.sun_irradiance = 800.0f;
    sw.sky_diffuse_radiance = 30.0f;
    sw.sun_dir_x = 0.4f;
    sw.sun_dir_y = 0.3f;
    sw.sun_dir_z = 0.866f;
    sw.sw_albedos = albedos.data();
    sw.n_sw_albedos = static_cast<int>(n);
    norvi::EnergyBalanceParams lw;
    lw.band_type = 1;
    lw.n_samples = samples;
    lw.sky_lw_radiance = 100.0f;

    const int all = norvi::resolve_thread_count(0);
    const double work = static_cast<double>(n) * 2.0 * samples;
    std::printf("energy balance (CPU): %lld primitives, %d samples per side, two-sided, "
                "best of %d\n", n, samples, reps);
    const std::pair<const char*, const norvi::EnergyBalanceParams*> runs[] = {
        {"short-wave + albedos", &sw}, {"long-wave", &lw}};
    for (const auto& [name, params] : runs) {
        const auto run = [&, params = params](int threads) {
            return best_seconds(
                reps, [&] { norvi::embree::run_energy_balance_cpu(scene, *params, threads); });
        };
        const double t1 = run(1);
        const double tn = run(all);
        std::printf("  %-21s 1 thread %7.3f Mprim-samples/s | %d threads %7.3f (x%.2f)\n", name,
                    work / t1 / 1e6, all, work / tn / 1e6, t1 / tn);
    }
    return 0;
}
