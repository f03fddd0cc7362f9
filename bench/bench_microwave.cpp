// Throughput of the CPU passive microwave engine on a canopy scene at L band.
//
// The benchmark canopy (icosphere crowns as vegetation volumes with Rayleigh
// phase tables, cylinder trunks as wet wood, the ground as moist soil) seen
// at 40 degrees from nadir through the atmosphere; prints paths per second on
// one thread and on all threads, and the speed-up. Every time is the best of
// `repeats` runs.
//
// usage: bench_microwave [width height spp trees repeats]

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "bench/microwave_setup.h"
#include "cpu/render_microwave.h"
#include "cpu/threading.h"

using namespace norvi;

namespace {

double best_seconds(const embree::EmbreeSceneManager& scene, const MicrowaveParams& p, int threads, int repeats,
                    double& mean_tb) {
    double best = 1e30;
    for (int r = 0; r < repeats; ++r) {
        const auto t0 = std::chrono::steady_clock::now();
        const embree::MicrowaveResult img = embree::simulate_microwave_cpu(scene, p, threads);
        best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
        double sum = 0.0;
        for (float v : img.image) sum += v;
        mean_tb = sum / double(img.image.size());
    }
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    const int width = argc > 1 ? std::atoi(argv[1]) : 64;
    const int height = argc > 2 ? std::atoi(argv[2]) : 64;
    const int spp = argc > 3 ? std::atoi(argv[3]) : 16;
    const int trees = argc > 4 ? std::atoi(argv[4]) : 400;
    const int repeats = argc > 5 ? std::atoi(argv[5]) : 3;

    embree::EmbreeSceneManager scene;
    bench::CanopyOptions opt;
    opt.trees = trees;
    const bench::CanopyInfo info = bench::build_canopy(scene, opt);
    scene.set_sensor(bench::microwave_sensor(info, width, height));
    scene.build();
    const MicrowaveParams p = bench::microwave_params(spp);

    const int all = resolve_thread_count(0);
    double tb1 = 0.0, tbn = 0.0;
    const double t1 = best_seconds(scene, p, 1, repeats, tb1);
    const double tn = best_seconds(scene, p, all, repeats, tbn);
    const double paths = double(width) * height * spp;
    std::printf("\ncanopy: %d crowns + %d trunks + ground, %dx%d pixels x %d spp at 1.4 GHz, 40 deg\n", trees, trees,
                width, height, spp);
    std::printf("mean Tb %.2f K (1 thread), %.2f K (%d threads)\n", tb1, tbn, all);
    std::printf("%.0f paths/s (1 thread), %.0f paths/s (%d threads), speed-up %.2f\n", paths / t1, paths / tn, all,
                t1 / tn);
    return 0;
}
