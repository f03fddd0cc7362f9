#include "cpu/render_backward.h"

#include <chrono>
#include <utility>
#include <sstream>
#include <stdexcept>

#include "cpu/backward_path.h"
#include "cpu/scene_checks.h"
#include "cpu/threading.h"
#include "scene/input_checks.h"

namespace norvi::embree {

namespace {

void check_sensor(const SensorData& s) {
    if (s.width < 1 || s.height < 1) {
        std::ostringstream os;
        os << "render_backward: the sensor must have at least one pixel in each direction, got width "
           << s.width << " and height " << s.height;
        throw std::invalid_argument(os.str());
    }
    if (s.type == kSensorOrthographic && !(s.ortho_w > 0.0f && s.ortho_h > 0.0f)) {
        std::ostringstream os;
        os << "render_backward: an orthographic sensor needs a positive footprint, got ortho_w "
           << s.ortho_w << " and ortho_h " << s.ortho_h;
        throw std::invalid_argument(os.str());
    }
}

// Values of the image of `rows` rows, after checking that the image (float),
// its accumulator (double) and the caller's copy of the image fit in memory.
std::size_t image_size(const SensorData& s, int rows, int num_bands) {
    const double n = double(s.width) * double(rows) * double(num_bands);
    require_memory(n * (4.0 + 8.0 + 4.0), "render_backward: the image");
    return static_cast<std::size_t>(s.width) * static_cast<std::size_t>(rows) *
           static_cast<std::size_t>(num_bands);
}

// [first, end) of the sensor's rows.
std::pair<int, int> resolve_rows(RowRange rows, int height) {
    const long long first = rows.first;
    const long long end = rows.count < 0 ? height : first + rows.count;
    if (first < 0 || end > height || first > end) {
        std::ostringstream os;
        os << "render_backward: row range [" << first << ", " << end
           << ") lies outside the sensor's " << height << " rows";
        throw std::invalid_argument(os.str());
    }
    return {static_cast<int>(first), static_cast<int>(end)};
}

}  // namespace

BackwardSetup make_backward_setup(const EmbreeSceneManager& scene, int max_depth, int rr_depth) {
    check_scene_for_shading(scene, "render_backward");
    check_sensor(scene.sensor());
    BackwardSetup c;
    c.spectral = scene.spectral_params().data();
    c.num_bands = scene.num_bands();
    c.materials = scene.materials().data();
    c.num_materials = scene.num_materials();
    c.sensor = scene.sensor();
    c.terrain_following = scene.terrain_following();
    c.sun = has_sun(scene);
    c.sun_direction = normalize(scene.emitter().direction);
    c.sun_offset = scene.emitter().spectral_offset;
    c.hw_sky_offset = scene.hw_sky_offset();
    c.hw_sky_sun = scene.hw_sky_sun();
    c.sky_offset = scene.sky_offset();
    c.repetitive = scene.is_repetitive();
    c.num_repetitions = scene.wrap_budget();
    c.tile_x = scene.scene_x_size();
    c.tile_y = scene.scene_y_size();
    c.top = scene.bounds().top;
    c.bottom = scene.bounds().bottom;
    c.wrap_bottom = scene.traced_bottom();
    c.wrap_top = scene.traced_top();
    c.thermal = scene.thermal_mode();
    c.wavelengths = scene.thermal_wavelengths().data();
    c.max_depth = max_depth;
    c.rr_depth = rr_depth;
    return c;
}

BackwardResult render_backward(const EmbreeSceneManager& scene, int spp, int max_depth, int rr_depth,
                               int num_threads,
                               const std::function<void(int, int, float)>& progress,
                               RowRange rows) {
    max_depth = max_depth_override(max_depth, "CPU bwd");
    BackwardSetup setup = make_backward_setup(scene, max_depth, rr_depth);
    // The progress callback runs between passes and may change the scene (a
    // Python callback can call any scene method). The paths index copies of
    // the arrays taken now, so such a change can neither reach this render
    // nor leave it reading freed or shortened storage.
    const std::vector<float> spectral = scene.spectral_params();
    const std::vector<MaterialData> materials = scene.materials();
    const std::vector<float> wavelengths = scene.thermal_wavelengths();
    setup.spectral = spectral.data();
    setup.materials = materials.data();
    setup.wavelengths = wavelengths.data();
    const int width = setup.sensor.width;
    const std::pair<int, int> row_span = resolve_rows(rows, setup.sensor.height);
    const int first_row = row_span.first;
    const int height = row_span.second - row_span.first;
    const int nb = setup.num_bands;

    BackwardResult result;
    result.width = width;
    result.height = height;
    result.num_bands = nb;
    result.first_row = first_row;
    const std::size_t n = image_size(setup.sensor, height, nb);
    result.image.assign(n, 0.0f);
    std::vector<double> accumulator(n, 0.0);

    const int threads = resolve_thread_count(num_threads);
    const auto start = std::chrono::system_clock::now();
    const SceneTracer tracer{&scene};
    // Per-worker band arrays: throughput and radiance, and reflectances.
    const std::size_t unb = static_cast<std::size_t>(nb);
    std::vector<std::vector<double>> sums(static_cast<std::size_t>(threads), std::vector<double>(2 * unb));
    std::vector<std::vector<float>> refl(static_cast<std::size_t>(threads), std::vector<float>(unb));

    auto normalise_into_image = [&](int passes) {
        const double scale = 1.0 / passes;
        for (std::size_t i = 0; i < n; ++i) result.image[i] = static_cast<float>(accumulator[i] * scale);
    };

    for (int pass = 0; pass < spp; ++pass) {
        run_workers(threads, height, [&](long long row, int worker) {
            const std::size_t w = static_cast<std::size_t>(worker);
            const PathBands bands{sums[w].data(), sums[w].data() + nb, refl[w].data()};
            const int y = first_row + static_cast<int>(row);
            double* acc = accumulator.data() + static_cast<std::size_t>(row) * width * unb;
            for (int x = 0; x < width; ++x) {
                trace_backward_sample(setup, tracer, x, y, pass, bands);
                for (int b = 0; b < nb; ++b) acc[static_cast<std::size_t>(x) * unb + b] += bands.radiance[b];
            }
        });
        if (progress) {
            normalise_into_image(pass + 1);
            progress(pass + 1, spp, elapsed_ms(start));
        }
    }
    if (spp >= 1) normalise_into_image(spp);
    return result;
}

}  // namespace norvi::embree
