#include "cpu/lidar_simulator.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdio>
#include <sstream>
#include <stdexcept>
#include <string>

#include "cpu/lidar_waveform.h"
#include "cpu/threading.h"
#include "physics/lidar_formulas.h"
#include "physics/lidar_pulse.h"
#include "scene/input_checks.h"
#include "scene/vec_math.h"

namespace norvi::embree {

namespace {

float3 load3(const float* values, int index) {
    const std::size_t i = 3 * static_cast<std::size_t>(index);
    return {values[i], values[i + 1], values[i + 2]};
}

// Every reflectance the simulation may read must lie inside the spectral array:
// those of the materials of every mesh placed in the scene.
void check_reflectance_lookups(const EmbreeSceneManager& scene, int num_wavelengths,
                               bool direct_mode) {
    const std::vector<float>& spectral = scene.spectral_params();
    const std::vector<MaterialData>& materials = scene.materials();
    const int nb = scene.num_bands();
    const long long size = static_cast<long long>(spectral.size());
    std::vector<bool> placed(scene.meshes().size(), false);
    for (const EmbreeInstance& inst : scene.instances())
        placed[static_cast<std::size_t>(inst.mesh_id)] = true;
    for (std::size_t m = 0; m < placed.size(); ++m) {
        if (!placed[m]) continue;
        const EmbreeMesh& mesh = scene.meshes()[m];
        const MaterialData& mat = materials[static_cast<std::size_t>(mesh.material_id)];
        // Direct mode reads the first value only; waveform mode one value per
        // wavelength, and for a leaf seen from behind as many from its back
        // array, num_bands further on (before the front one if num_bands < 0).
        const long long first = mat.spectral_offset;
        long long lo = first, hi = first;
        if (!direct_mode) {
            hi = first + num_wavelengths - 1;
            if (mat.type == MaterialType::TwoSidedLeaf) {
                lo = std::min(lo, first + nb);
                hi = std::max(hi, first + nb + num_wavelengths - 1);
            }
        }
        if (lo < 0 || hi >= size) {
            std::ostringstream os;
            os << "simulate_lidar: material " << mesh.material_id << " (spectral_offset "
               << mat.spectral_offset << ") needs spectral values " << lo << " to " << hi;
            if (!direct_mode) os << " for num_wavelengths " << num_wavelengths;
            os << ", but the spectral array holds " << size << " values";
            throw std::invalid_argument(os.str());
        }
    }
}

// Origins must lie in the coordinate range and directions be finite and
// non-zero: a zero direction has no beam frame and no ray. Returns the unit
// directions.
std::vector<float3> check_pulses(const float* origins, const float* directions, int num_pulses) {
    std::vector<float3> unit(static_cast<std::size_t>(num_pulses));
    for (int p = 0; p < num_pulses; ++p) {
        const std::string tag = "simulate_lidar: pulse_origins of pulse " + std::to_string(p);
        require_point(load3(origins, p), tag.c_str());
        const std::string dtag = "simulate_lidar: pulse_directions of pulse " + std::to_string(p);
        unit[static_cast<std::size_t>(p)] = unit_direction(load3(directions, p), dtag.c_str());
    }
    return unit;
}

}  // namespace

LidarResult simulate_lidar(const EmbreeSceneManager& scene, const float* pulse_origins,
                           const float* pulse_directions, int num_pulses,
                           float beam_half_angle_rad, int beam_samples_per_dim,
                           float pulse_energy, float sensor_area, float range_resolution,
                           float min_range, float max_range, int num_wavelengths,
                           float pulse_fwhm_ns, float peak_threshold, int max_returns_per_pulse,
                           bool direct_mode, int num_threads,
                           const std::function<void(int, int, float)>& progress,
                           int first_pulse) {
    // --- validation: nothing is traced unless every input makes sense ---------
    if (!scene.is_built())
        throw std::runtime_error("simulate_lidar: scene not built. Call build() first.");
    scene.check_materials();
    {
        std::ostringstream os;
        if (num_pulses < 0) {
            os << "simulate_lidar: num_pulses must not be negative; got " << num_pulses;
            throw std::invalid_argument(os.str());
        }
        if (first_pulse < 0 || static_cast<long long>(first_pulse) + num_pulses > INT_MAX) {
            os << "simulate_lidar: first_pulse must be at least 0 and first_pulse + num_pulses "
                  "at most "
               << INT_MAX << "; got first_pulse " << first_pulse;
            throw std::invalid_argument(os.str());
        }
        if (num_pulses > 0 && (pulse_origins == nullptr || pulse_directions == nullptr)) {
            os << "simulate_lidar: pulse_origins and pulse_directions must hold 3 x "
               << num_pulses << " values; got none";
            throw std::invalid_argument(os.str());
        }
        if (!direct_mode && beam_samples_per_dim < 1) {
            os << "simulate_lidar: beam_samples_per_dim must be at least 1 in waveform mode; got "
               << beam_samples_per_dim;
            throw std::invalid_argument(os.str());
        }
        auto require = [&os](bool ok, const char* what, float value) {
            if (ok) return;
            os << "simulate_lidar: " << what << "; got " << value;
            throw std::invalid_argument(os.str());
        };
        require(std::isfinite(pulse_energy) && pulse_energy >= 0.0f,
                "pulse_energy must be finite and not negative", pulse_energy);
        require(std::isfinite(sensor_area) && sensor_area >= 0.0f,
                "sensor_area must be finite and not negative", sensor_area);
        if (!direct_mode) {
            // A non-finite tan(half-angle) gives NaN sub-ray directions, which
            // Embree may not be handed.
            require(std::isfinite(beam_half_angle_rad), "beam_half_angle_rad must be finite",
                    beam_half_angle_rad);
            // tan() of a half-angle outside the quarter turn folds back into
            // some other cone.
            require(beam_half_angle_rad >= 0.0f && beam_half_angle_rad < kLidarMaxHalfAngle,
                    "beam_half_angle_rad must lie in [0, pi/2) radians", beam_half_angle_rad);
            require(std::isfinite(peak_threshold), "peak_threshold must be finite",
                    peak_threshold);
        }
        if (num_wavelengths < 1 || num_wavelengths > scene.num_bands()) {
            os << "simulate_lidar: num_wavelengths must lie between 1 and the scene's band count "
               << scene.num_bands() << "; got " << num_wavelengths;
            throw std::invalid_argument(os.str());
        }
    }
    const int num_bins = range_bin_count(min_range, max_range, range_resolution);
    // Direct mode has no waveform to convolve and no use for the pulse width.
    const PulseKernel kernel =
        direct_mode ? PulseKernel{} : make_pulse_kernel(pulse_fwhm_ns, range_resolution);
    check_reflectance_lookups(scene, num_wavelengths, direct_mode);
    const int threads = resolve_thread_count(num_threads);
    {
        // Waveform mode: the waveform, the caller's copy of it, one double
        // histogram per thread and about one return per pulse. Direct mode:
        // one point slot per pulse, the points and their copy. Both: the
        // unit directions.
        const double pulses = num_pulses;
        const double per_pulse_values = double(num_bins) * double(num_wavelengths);
        const double point_bytes = 4.0 * kLidarPointFloats;
        const double bytes =
            direct_mode ? pulses * (3.0 * point_bytes + 1.0 + 12.0)
                        : pulses * (per_pulse_values * 8.0 + 24.0 + 2.0 * point_bytes + 12.0) +
                              double(threads) * per_pulse_values * 8.0;
        require_memory(bytes, direct_mode ? "simulate_lidar: the points" : "simulate_lidar: the waveform");
    }
    const std::vector<float3> directions = check_pulses(pulse_origins, pulse_directions, num_pulses);

    // --- set-up ------------------------------------------------------------------
    const BeamPattern beam = direct_mode ? BeamPattern{} : make_beam_pattern(beam_samples_per_dim);
    const float t = std::tan(beam_half_angle_rad);
    std::printf("LiDAR (CPU): %d pulses, %d beam samples, %s mode, %d threads\n", num_pulses,
                direct_mode ? 1 : beam.size(), direct_mode ? "direct" : "waveform", threads);
    std::fflush(stdout);
    const auto start = std::chrono::system_clock::now();

    LidarResult result;
    result.num_bins = num_bins;

    const std::vector<float>& spectral = scene.spectral_params();
    const std::vector<MaterialData>& materials = scene.materials();
    const int nb = scene.num_bands();
    const std::size_t nw = static_cast<std::size_t>(num_wavelengths);
    LidarWindow window;
    window.min_range = min_range;
    window.max_range = max_range;
    window.range_resolution = range_resolution;
    window.num_bins = num_bins;
    window.sensor_area = sensor_area;
    const std::size_t per_pulse = static_cast<std::size_t>(num_bins) * nw;

    // Pulses run in batches of about a million rays, with a progress report after each.
    constexpr long long kRaysPerBatch = 1 << 20;
    auto report = [&](long long done) {
        if (progress) progress(static_cast<int>(done), num_pulses, elapsed_ms(start));
    };
    if (!direct_mode) {
        // Each worker traces all sub-rays of a pulse into a private double
        // histogram, convolves it with the pulse straight into the pulse's
        // slice of the waveform and extracts that pulse's returns into the
        // pulse's own list: no two workers touch the same values.
        result.waveform.assign(per_pulse * static_cast<std::size_t>(num_pulses), 0.0f);
        float* waveform = result.waveform.data();
        ReturnSettings rs;
        rs.num_bins = num_bins;
        rs.num_wavelengths = num_wavelengths;
        rs.range_resolution = range_resolution;
        rs.min_range = min_range;
        rs.peak_threshold = peak_threshold;
        rs.max_returns_per_pulse = max_returns_per_pulse;
        std::vector<std::vector<float>> pulse_points(static_cast<std::size_t>(num_pulses));
        std::vector<std::vector<double>> histograms(static_cast<std::size_t>(threads));
        const long long batch = std::max<long long>(1, kRaysPerBatch / std::max(beam.size(), 1));
        run_worker_batches(threads, num_pulses, batch, report, [&](long long item, int worker) {
            const int p = static_cast<int>(item);
            std::vector<double>& raw = histograms[static_cast<std::size_t>(worker)];
            raw.assign(per_pulse, 0.0);
            const float3 o = load3(pulse_origins, p);
            const float3 d = directions[static_cast<std::size_t>(p)];
            const float3 axis_a = lidar_beam_axis_a(d);
            const float3 axis_b = cross(axis_a, d);
            for (int k = 0; k < beam.size(); ++k) {
                const float a = beam.offsets[2 * static_cast<std::size_t>(k)];
                const float b = beam.offsets[2 * static_cast<std::size_t>(k) + 1];
                const float3 r = lidar_beam_ray(d, axis_a, axis_b, a, b, t);
                const HitRecord h = scene.trace_ray(o, r);
                int bin;
                float v;
                if (!lidar_subray_return(h, o, r, beam.weights[static_cast<std::size_t>(k)] * pulse_energy,
                                         window, bin, v))
                    continue;
                const MaterialData& mat = materials[static_cast<std::size_t>(h.material_id)];
                double* dst = raw.data() + static_cast<std::size_t>(bin) * nw;
                for (int l = 0; l < num_wavelengths; ++l) {
                    const int idx = lidar_reflectance_index(mat.type, mat.spectral_offset, nb,
                                                            h.back_face, l);
                    const float e = spectral[static_cast<std::size_t>(idx)] * v;
                    if (e > 0.0f) dst[l] += e;
                }
            }
            float* out = waveform + static_cast<std::size_t>(p) * per_pulse;
            convolve_pulse(raw.data(), out, num_bins, num_wavelengths, kernel);
            extract_returns(out, o, d, first_pulse + p, rs,
                            pulse_points[static_cast<std::size_t>(p)]);
        });

        // Returns in pulse order, nearest first within a pulse.
        std::size_t total = 0;
        for (const std::vector<float>& pts : pulse_points) total += pts.size();
        result.points.reserve(total);
        for (const std::vector<float>& pts : pulse_points)
            result.points.insert(result.points.end(), pts.begin(), pts.end());
    } else {
        // One slot per pulse, compacted in pulse order after the join, so the
        // point order does not depend on scheduling.
        std::vector<float> slots(static_cast<std::size_t>(num_pulses) * kLidarPointFloats);
        std::vector<unsigned char> has_point(static_cast<std::size_t>(num_pulses), 0);
        auto trace_pulse = [&](int p) {
            const float3 o = load3(pulse_origins, p);
            const float3 d = directions[static_cast<std::size_t>(p)];
            const HitRecord h = scene.trace_ray(o, d);
            float range, intensity;
            if (!lidar_direct_return(h, o, d, pulse_energy, window, materials.data(), spectral.data(), range,
                                     intensity))
                return;
            float* rec = slots.data() + static_cast<std::size_t>(p) * kLidarPointFloats;
            rec[0] = h.position.x;
            rec[1] = h.position.y;
            rec[2] = h.position.z;
            rec[3] = intensity;
            rec[4] = 1.0f;
            rec[5] = 1.0f;
            rec[6] = range;
            rec[7] = static_cast<float>(first_pulse + p);
            has_point[static_cast<std::size_t>(p)] = 1;
        };
        // Pulses are claimed in blocks: one ray each is too little work to
        // share output cache lines with the other workers pulse by pulse.
        constexpr long long kBlock = 256;
        const long long blocks = (static_cast<long long>(num_pulses) + kBlock - 1) / kBlock;
        run_worker_batches(
            threads, blocks, kRaysPerBatch / kBlock,
            [&](long long blocks_done) { report(std::min<long long>(num_pulses, blocks_done * kBlock)); },
            [&](long long block, int) {
                const long long end = std::min<long long>(num_pulses, (block + 1) * kBlock);
                for (long long p = block * kBlock; p < end; ++p) trace_pulse(static_cast<int>(p));
            });
        for (std::size_t p = 0; p < has_point.size(); ++p) {
            if (!has_point[p]) continue;
            const float* rec = slots.data() + p * kLidarPointFloats;
            result.points.insert(result.points.end(), rec, rec + kLidarPointFloats);
        }
    }

    result.num_returns = static_cast<int>(result.points.size() / kLidarPointFloats);
    if (num_pulses == 0) report(0);
    return result;
}

}  // namespace norvi::embree
