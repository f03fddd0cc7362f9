// The emulated GPU against the CPU engine: Simulator::run_energy_balance on
// the platform emulation and run_energy_balance_cpu (all threads) on the same
// instanced canopy (at least 200,000 primitives by default), short-wave with
// albedos and long-wave, two-sided. Prints primitive-samples per second of
// each (one sample of one side is one primitive-sample) and the largest
// difference between the two results, which use the same random streams.
// The emulation is a correctness tool: its cost is what this measures.
//
//   bench_gpu_energy_balance [trees=160] [samples=4]

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "bench/canopy_scene.h"
#include "cpu/energy_balance.h"
#include "cpu/threading.h"
#include "gpu/optix_context.h"
#include "gpu/scene_manager.h"
#include "gpu/simulator.h"

namespace {

template <class F>
double seconds(F&& f) {
    const auto t0 = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

float max_difference(const std::vector<float>& a, const std::vector<float>& b) {
    float d = 0.0f;
    for (std::size_t i = 0; i < a.size() && i < b.size(); ++i) d = std::max(d, std::fabs(a[i] - b[i]));
    return d;
}

}  // namespace

int main(int argc, char** argv) {
    const int trees = argc > 1 ? std::atoi(argv[1]) : 160;
    const int samples = argc > 2 ? std::atoi(argv[2]) : 4;
    norvi::bench::CanopyOptions opt;
    opt.trees = trees;

    norvi::embree::EmbreeSceneManager cpu;
    norvi::bench::build_canopy(cpu, opt);
    norvi::OptiXContext ctx(0);
    norvi::SceneManager gpu(ctx);
    norvi::Simulator sim(ctx, NORVI_PTX_DIR);
    norvi::bench::build_canopy(gpu, opt);
    const long long n = cpu.n_primitives();
    const std::vector<float> albedos(static_cast<std::size_t>(n), 0.15f);
    const std::vector<float> temps(static_cast<std::size_t>(n), 295.0f);
    cpu.set_primitive_temperatures(temps);
    gpu.set_primitive_temperatures(temps);

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

    sim.init();
    const double work = static_cast<double>(n) * 2.0 * samples;
    std::printf("energy balance: %lld primitives, %d samples per side, two-sided\n", n, samples);
    const std::pair<const char*, const norvi::EnergyBalanceParams*> runs[] = {{"short-wave + albedos", &sw},
                                                                            {"long-wave", &lw}};
    for (const auto& [name, p] : runs) {
        norvi::embree::EnergyBalanceResult c;
        std::vector<float> top, bot;
        const double t_cpu = seconds([&, p = p] { c = norvi::embree::run_energy_balance_cpu(cpu, *p, 0); });
        const double t_gpu = seconds([&, p = p] { sim.run_energy_balance(gpu, *p, top, bot); });
        std::printf("  %-21s cpu (%d threads) %7.3f Mprim-samples/s | emulated GPU %7.3f | max |diff| %.3g W/m2\n",
                    name, norvi::resolve_thread_count(0), work / t_cpu / 1e6, work / t_gpu / 1e6,
                    static_cast<double>(std::max(max_difference(top, c.top), max_difference(bot, c.bot))));
    }
    return 0;
}
