#include "cpu/render_microwave.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <sstream>
#include <stdexcept>

#include "cpu/threading.h"
#include "physics/mw_path.h"
#include "scene/input_checks.h"

namespace norvi::embree {

namespace {

struct MwSceneTracer {
    const EmbreeSceneManager* scene;
    HitRecord trace(float3 o, float3 d) const { return scene->trace_ray(o, d); }
};

}  // namespace

MicrowaveResult simulate_microwave_cpu(const EmbreeSceneManager& scene, const MicrowaveParams& p,
                                       int num_threads, const std::function<void(int, int, float)>& progress) {
    const auto start = std::chrono::system_clock::now();
    if (!scene.is_built()) throw std::runtime_error("Scene not built. Call scene.build() first.");
    scene.check_materials();
    const SensorData& sensor = scene.sensor();
    if (sensor.width < 1 || sensor.height < 1) {
        std::ostringstream os;
        os << "simulate_microwave_cpu: the sensor must have at least one pixel in each direction, got width "
           << sensor.width << " and height " << sensor.height;
        throw std::invalid_argument(os.str());
    }
    validate_microwave_params(p, "simulate_microwave_cpu");

    std::vector<MwMaterialRecord> records;
    records.reserve(p.materials.size());
    for (const MicrowaveMaterial& m : p.materials)
        records.push_back(make_mw_material_record(m, m.mueller.data(), m.cdf_cts.data(), m.cdf_dphi.data()));

    MwSetup c;
    c.materials = records.data();
    c.num_materials = static_cast<int>(records.size());
    c.material_map = p.material_map.data();
    c.map_size = static_cast<int>(p.material_map.size());
    c.frequency = p.frequency;
    c.air_temperature = p.air_temperature;
    c.atm_tau = p.atm_tau;
    c.sensor = sensor;
    c.n_channels = p.n_channels;
    c.spp = p.spp;
    c.max_depth = p.max_depth;
    c.repetitive = scene.is_repetitive();
    c.num_repetitions = scene.wrap_budget();
    c.tile_x = scene.scene_x_size();
    c.tile_y = scene.scene_y_size();
    c.top = scene.bounds().top;

    const int threads = resolve_thread_count(num_threads);
    std::printf("Microwave (CPU): %dx%d pixels, %d spp, %d channels, %.4g GHz, %d threads\n", sensor.width,
                sensor.height, p.spp, p.n_channels, double(p.frequency) * 1e-9, threads);
    std::fflush(stdout);

    MicrowaveResult result;
    result.width = sensor.width;
    result.height = sensor.height;
    result.n_channels = p.n_channels;
    const std::size_t nc = static_cast<std::size_t>(p.n_channels);
    const std::size_t width = static_cast<std::size_t>(sensor.width);
    // The image and its copy in the caller's array.
    require_memory(double(sensor.width) * double(sensor.height) * double(p.n_channels) * 4.0 * 2.0,
                   "render_microwave: the image");
    result.image.assign(width * static_cast<std::size_t>(sensor.height) * nc, 0.0f);
    const MwSceneTracer tracer{&scene};
    // Rows of about a million paths in all per batch, with a progress report after each.
    const long long rows_per_batch = std::max<long long>(
        1, static_cast<long long>(double(1 << 20) / (double(sensor.width) * std::max(p.spp, 1))));
    auto report = [&](long long rows_done) {
        if (progress) progress(static_cast<int>(rows_done), sensor.height, elapsed_ms(start));
    };
    run_worker_batches(threads, sensor.height, rows_per_batch, report, [&](long long row, int) {
        for (std::size_t x = 0; x < width; ++x) {
            const std::size_t pixel = static_cast<std::size_t>(row) * width + x;
            Pcg32 rng;
            mw_seed_pixel(rng, pixel);
            mw_pixel(c, tracer, rng, static_cast<int>(x), static_cast<int>(row), result.image.data() + pixel * nc);
        }
    });
    return result;
}

}  // namespace norvi::embree
