// The emulated GPU against the CPU renderer: Simulator::simulate on the
// platform emulation and render_backward on the same canopy (the benchmark
// canopy of canopy_scene.h), same sensor, sun, sky and sample counts. Prints
// paths per second of each and their ratio. The emulation is a correctness
// tool: its cost is what this measures, not something to tune.
//
//   bench_gpu_backward [trees=500] [spp=4] [size=128]

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bench/canopy_scene.h"
#include "cpu/render_backward.h"
#include "gpu/optix_context.h"
#include "gpu/scene_manager.h"
#include "gpu/simulator.h"

namespace {

using Clock = std::chrono::steady_clock;

template <class Scene>
void light_and_view(Scene& s, int size) {
    s.set_num_bands(2);
    // ground rho, leaf R_front / R_back / T, sun irradiance, sky radiance
    s.upload_spectral_params({0.15f, 0.3f, 0.08f, 0.45f, 0.07f, 0.4f, 0.05f, 0.45f, 1.5f, 1.1f, 0.2f, 0.1f});
    s.set_emitter(norvi::EmitterType::Directional, norvi::float3{0.4f, 0.2f, 0.89f}, 8);
    s.set_sky(10);
    norvi::SensorData cam;
    std::memset(&cam, 0, sizeof(cam));
    cam.type = norvi::kSensorPerspective;
    cam.width = cam.height = size;
    cam.fov = 0.9f;
    const float tilt = 0.8f, c = std::cos(tilt), sn = std::sin(tilt);
    const float m[16] = {1, 0, 0, 45, 0, c, -sn, 0, 0, sn, c, 30, 0, 0, 0, 1};
    std::memcpy(cam.cam_xform, m, sizeof(m));
    s.set_sensor(cam);
}

// The canopy's materials (ground, leaf, bark) read these spectral arrays.
template <class Scene>
void material_offsets(Scene& s) {
    s.material(0).spectral_offset = 0;
    s.material(1).spectral_offset = 2;
    s.material(2).spectral_offset = 0;
}

template <class F>
double seconds(F&& f) {
    const auto t0 = Clock::now();
    f();
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

}  // namespace

int main(int argc, char** argv) {
    const int trees = argc > 1 ? std::atoi(argv[1]) : 500;
    const int spp = argc > 2 ? std::atoi(argv[2]) : 4;
    const int size = argc > 3 ? std::atoi(argv[3]) : 128;
    norvi::bench::CanopyOptions opt;
    opt.trees = trees;

    norvi::embree::EmbreeSceneManager cpu;
    light_and_view(cpu, size);
    norvi::bench::build_canopy(cpu, opt);
    material_offsets(cpu);

    norvi::OptiXContext ctx(0);
    norvi::SceneManager gpu(ctx);
    norvi::Simulator sim(ctx, NORVI_PTX_DIR);
    light_and_view(gpu, size);
    norvi::bench::build_canopy(gpu, opt);
    material_offsets(gpu);
    gpu.build_reuse_gas();  // the materials to the device again
    sim.init();

    const double paths = double(size) * size * spp;
    double mean_cpu = 0, mean_gpu = 0;
    const double t_cpu = seconds([&] {
        const auto r = norvi::embree::render_backward(cpu, spp, 16, 3, 0, {});
        for (float v : r.image) mean_cpu += v;
        mean_cpu /= double(r.image.size());
    });
    const double t_gpu = seconds([&] {
        const auto film = sim.simulate(gpu, spp, 16, {});
        for (float v : film) mean_gpu += v;
        mean_gpu /= double(film.size());
    });
    std::printf("canopy: %d trees, %zu triangles, %dx%d pixels x %d spp, 2 bands\n", trees,
                static_cast<std::size_t>(gpu.total_triangles()), size, size, spp);
    std::printf("simulate_cpu     %10.0f paths/s  (%.3f s, mean radiance %.5f)\n", paths / t_cpu, t_cpu, mean_cpu);
    std::printf("emulated launch  %10.0f paths/s  (%.3f s, mean radiance %.5f)\n", paths / t_gpu, t_gpu, mean_gpu);
    std::printf("emulated / cpu   %10.3f\n", t_cpu / t_gpu);
    return 0;
}
