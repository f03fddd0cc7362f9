// The emulated GPU against the CPU engine for passive microwave:
// Simulator::simulate_microwave on the platform emulation and
// simulate_microwave_cpu (one thread and all threads) on the same canopy at L
// band (bench/microwave_setup.h). Prints paths per second of each; every time
// is the best of `repeats` runs. The emulation is a correctness tool: its cost
// is what this measures, not something to tune.
//
//   bench_gpu_microwave [width=32 height=32 spp=8 trees=400 repeats=2]

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "bench/microwave_setup.h"
#include "cpu/render_microwave.h"
#include "cpu/threading.h"
#include "gpu/optix_context.h"
#include "gpu/scene_manager.h"
#include "gpu/simulator.h"

using namespace norvi;

namespace {

// Best time of `repeats` runs of f, which returns the image; mean_tb gets its mean.
template <class F>
double best_seconds(int repeats, double& mean_tb, F&& f) {
    double best = 1e30;
    for (int r = 0; r < repeats; ++r) {
        const auto t0 = std::chrono::steady_clock::now();
        const std::vector<float> img = f();
        best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
        double sum = 0.0;
        for (float v : img) sum += v;
        mean_tb = sum / double(img.size());
    }
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    const int width = argc > 1 ? std::atoi(argv[1]) : 32;
    const int height = argc > 2 ? std::atoi(argv[2]) : 32;
    const int spp = argc > 3 ? std::atoi(argv[3]) : 8;
    const int trees = argc > 4 ? std::atoi(argv[4]) : 400;
    const int repeats = argc > 5 ? std::atoi(argv[5]) : 2;

    bench::CanopyOptions opt;
    opt.trees = trees;
    embree::EmbreeSceneManager cpu;
    const bench::CanopyInfo info = bench::build_canopy(cpu, opt);
    cpu.set_sensor(bench::microwave_sensor(info, width, height));
    cpu.build();
    OptiXContext ctx(0);
    SceneManager gpu(ctx);
    Simulator sim(ctx, NORVI_PTX_DIR);
    bench::build_canopy(gpu, opt);
    gpu.set_sensor(bench::microwave_sensor(info, width, height));
    gpu.build();
    sim.init();
    const MicrowaveParams p = bench::microwave_params(spp);

    const int all = resolve_thread_count(0);
    double tb1 = 0, tbn = 0, tbg = 0;
    const auto cpu_run = [&](int threads) { return embree::simulate_microwave_cpu(cpu, p, threads).image; };
    const double t1 = best_seconds(repeats, tb1, [&] { return cpu_run(1); });
    const double tn = best_seconds(repeats, tbn, [&] { return cpu_run(all); });
    const double tg = best_seconds(repeats, tbg, [&] { return sim.simulate_microwave(gpu, p); });
    const double paths = double(width) * height * spp;
    std::printf("\ncanopy: %d crowns + %d trunks + ground, %dx%d pixels x %d spp at 1.4 GHz, 40 deg\n", trees, trees,
                width, height, spp);
    std::printf("simulate_microwave_cpu, 1 thread  %10.0f paths/s  (mean Tb %.2f K)\n", paths / t1, tb1);
    std::printf("simulate_microwave_cpu, %d threads %10.0f paths/s  (mean Tb %.2f K)\n", all, paths / tn, tbn);
    std::printf("emulated launch                   %10.0f paths/s  (mean Tb %.2f K)\n", paths / tg, tbg);
    return 0;
}
