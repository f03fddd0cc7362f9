// The emulated GPU against the CPU engines on the benchmark canopy: forward
// photons (Simulator::simulate_forward against render_forward) and LiDAR
// pulses (Simulator::simulate_lidar against simulate_lidar, waveform mode),
// same scene and counts. Prints rates of each and their ratios. On a machine
// with a GPU, build without the emulation to measure the device instead.
//
//   bench_gpu_forward [trees=500] [photons=200000] [pulses=2000]

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "bench/canopy_scene.h"
#include "cpu/lidar_simulator.h"
#include "cpu/render_forward.h"
#include "gpu/optix_context.h"
#include "gpu/scene_manager.h"
#include "gpu/simulator.h"

namespace {

template <class Scene>
void light(Scene& s) {
    s.set_num_bands(1);
    // ground rho, leaf R_front / R_back / T, sun irradiance
    s.upload_spectral_params({0.15f, 0.45f, 0.4f, 0.45f, 1.5f});
    s.set_emitter(norvi::EmitterType::Directional, norvi::float3{0.4f, 0.2f, 0.89f}, 4);
}

template <class Scene>
void material_offsets(Scene& s) {
    s.material(0).spectral_offset = 0;
    s.material(1).spectral_offset = 1;
    s.material(2).spectral_offset = 0;
}

template <class F>
double seconds(F&& f) {
    const auto t0 = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

}  // namespace

int main(int argc, char** argv) {
    const int trees = argc > 1 ? std::atoi(argv[1]) : 500;
    const int photons = argc > 2 ? std::atoi(argv[2]) : 200000;
    const int pulses = argc > 3 ? std::atoi(argv[3]) : 2000;
    norvi::bench::CanopyOptions opt;
    opt.trees = trees;

    norvi::embree::EmbreeSceneManager cpu;
    light(cpu);
    const norvi::bench::CanopyInfo info = norvi::bench::build_canopy(cpu, opt);
    material_offsets(cpu);
    cpu.set_repetitive(3, info.extent_x, info.extent_y);
    cpu.build();

    norvi::OptiXContext ctx(0);
    norvi::SceneManager gpu(ctx);
    norvi::Simulator sim(ctx, NORVI_PTX_DIR);
    light(gpu);
    norvi::bench::build_canopy(gpu, opt);
    material_offsets(gpu);
    gpu.set_repetitive(3, info.extent_x, info.extent_y);
    gpu.build();
    sim.init();

    const std::vector<float> heights = {0.0f, 2.0f, 4.0f, 8.0f};
    double sum_cpu = 0, sum_gpu = 0;
    const double t_cpu = seconds([&] {
        const auto r = norvi::embree::render_forward(cpu, 4, 4, heights, photons, 1, true, 1.0f, nullptr, 0, 16, 3,
                                                     0, {}, -1);
        for (float v : r.grid) sum_cpu += v;
    });
    norvi::ForwardParams p;
    p.nx = p.ny = 4;
    p.layer_heights = heights;
    p.num_photons = photons;
    p.per_leaf = true;
    std::vector<float> leaf;
    const double t_gpu = seconds([&] {
        for (float v : sim.simulate_forward(gpu, p, &leaf, nullptr, nullptr, nullptr)) sum_gpu += v;
    });

    // Pulses straight down over the canopy, on a grid.
    norvi::LiDARLaunchParams lp;
    const int side = static_cast<int>(std::ceil(std::sqrt(double(pulses))));
    for (int i = 0; i < pulses; ++i) {
        lp.pulse_origins.insert(lp.pulse_origins.end(), {info.extent_x * float(i % side + 0.5) / float(side),
                                                         info.extent_y * float(i / side + 0.5) / float(side), 40.0f});
        lp.pulse_directions.insert(lp.pulse_directions.end(), {0.0f, 0.0f, -1.0f});
    }
    lp.num_pulses = pulses;
    lp.beam_half_angle_rad = 0.002f;
    std::size_t returns_cpu = 0, returns_gpu = 0;
    const double l_cpu = seconds([&] {
        returns_cpu = norvi::embree::simulate_lidar(cpu, lp.pulse_origins.data(), lp.pulse_directions.data(), pulses,
                                                    lp.beam_half_angle_rad, lp.beam_samples_per_dim, 1.0f, 0.1f,
                                                    0.15f, 0.0f, 100.0f, 1, 4.0f, 1e-8f, 5, false, 0, {})
                          .points.size();
    });
    const double l_gpu = seconds([&] { returns_gpu = sim.simulate_lidar(gpu, lp).points.size(); });

    std::printf("canopy: %d trees, %zu triangles, repetitive tile %.0f x %.0f m\n", trees,
                static_cast<std::size_t>(gpu.total_triangles()), double(info.extent_x), double(info.extent_y));
    std::printf("forward cpu        %10.0f photons/s  (%.3f s, absorbed %.4g)\n", photons / t_cpu, t_cpu, sum_cpu);
    std::printf("forward emulated   %10.0f photons/s  (%.3f s, absorbed %.4g)\n", photons / t_gpu, t_gpu, sum_gpu);
    std::printf("forward emulated / cpu %8.3f\n", t_cpu / t_gpu);
    std::printf("lidar cpu          %10.0f pulses/s   (%.3f s, %zu returns)\n", pulses / l_cpu, l_cpu,
                returns_cpu / 8);
    std::printf("lidar emulated     %10.0f pulses/s   (%.3f s, %zu returns)\n", pulses / l_gpu, l_gpu,
                returns_gpu / 8);
    std::printf("lidar emulated / cpu   %8.3f\n", l_cpu / l_gpu);
    return 0;
}
