// The LiDAR mode of the simulator: one launch of the LiDAR ray generation
// program over (beam sample, pulse), then the pulse convolution and return
// extraction of the CPU simulator (cpu/lidar_waveform.h) on the host.

#include <cuda_runtime_api.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <sstream>
#include <stdexcept>
#include <string>

#include "cpu/lidar_waveform.h"
#include "gpu/gpu_check.h"
#include "gpu/lidar_records.h"
#include "gpu/optix/optix_api.h"
#include "gpu/simulator.h"
#include "physics/lidar_formulas.h"
#include "scene/input_checks.h"

namespace norvi {

namespace {

using optix::optix_api;

[[noreturn]] void refuse(const std::string& what) { throw std::invalid_argument("simulate_lidar: " + what); }

// Every input the launch or the host processing reads: pulse arrays long
// enough, origins in range, directions finite and non-zero (returned unit),
// finite energies and angles, a wavelength count the scene holds.
std::vector<float> check_lidar_params(const SceneManager& scene, const LiDARLaunchParams& p) {
    const std::size_t need = 3 * static_cast<std::size_t>(p.num_pulses);
    if (p.pulse_origins.size() < need || p.pulse_directions.size() < need) {
        std::ostringstream os;
        os << "pulse_origins and pulse_directions must hold 3 x num_pulses = " << need << " values; got "
           << p.pulse_origins.size() << " and " << p.pulse_directions.size();
        refuse(os.str());
    }
    const auto finite_at_least_0 = [](float v, const char* what) {
        if (std::isfinite(v) && v >= 0.0f) return;
        std::ostringstream os;
        os << what << " must be finite and not negative; got " << v;
        refuse(os.str());
    };
    finite_at_least_0(p.pulse_energy, "pulse_energy");
    finite_at_least_0(p.sensor_area, "sensor_area");
    if (!std::isfinite(p.beam_half_angle_rad) || !std::isfinite(p.peak_threshold)) {
        std::ostringstream os;
        os << "beam_half_angle_rad and peak_threshold must be finite; got " << p.beam_half_angle_rad << " and "
           << p.peak_threshold;
        refuse(os.str());
    }
    if (!p.direct_mode && !(p.beam_half_angle_rad >= 0.0f && p.beam_half_angle_rad < kLidarMaxHalfAngle)) {
        std::ostringstream os;
        os << "beam_half_angle_rad must lie in [0, pi/2) radians; got " << p.beam_half_angle_rad;
        refuse(os.str());
    }
    if (p.num_wavelengths < 1 || p.num_wavelengths > scene.num_bands()) {
        std::ostringstream os;
        os << "num_wavelengths must lie between 1 and the scene's band count " << scene.num_bands() << "; got "
           << p.num_wavelengths;
        refuse(os.str());
    }
    if (p.first_pulse < 0 || static_cast<long long>(p.first_pulse) + p.num_pulses > 2147483647LL) {
        std::ostringstream os;
        os << "first_pulse must be at least 0 and first_pulse + num_pulses at most 2147483647; got first_pulse "
           << p.first_pulse;
        refuse(os.str());
    }
    std::vector<float> unit(need);
    for (int i = 0; i < p.num_pulses; ++i) {
        const std::size_t k = 3 * static_cast<std::size_t>(i);
        const std::string o = "simulate_lidar: pulse_origins of pulse " + std::to_string(i);
        require_point(float3{p.pulse_origins[k], p.pulse_origins[k + 1], p.pulse_origins[k + 2]}, o.c_str());
        const std::string d = "simulate_lidar: pulse_directions of pulse " + std::to_string(i);
        const float3 u =
            unit_direction(float3{p.pulse_directions[k], p.pulse_directions[k + 1], p.pulse_directions[k + 2]},
                           d.c_str());
        unit[k] = u.x;
        unit[k + 1] = u.y;
        unit[k + 2] = u.z;
    }
    return unit;
}

}  // namespace

LidarResult Simulator::simulate_lidar(SceneManager& scene, const LiDARLaunchParams& p) {
    if (!scene.is_built()) throw std::runtime_error("Scene not built. Call scene.build() first.");
    if (p.num_pulses < 1) throw std::runtime_error("No pulses to simulate.");
    const std::vector<float> directions = check_lidar_params(scene, p);
    const int num_bins = range_bin_count(p.min_range, p.max_range, p.range_resolution);
    const PulseKernel kernel = p.direct_mode ? PulseKernel{} : make_pulse_kernel(p.pulse_fwhm_ns, p.range_resolution);
    BeamPattern beam;
    if (!p.direct_mode && p.beam_samples_per_dim >= 0) beam = make_beam_pattern(p.beam_samples_per_dim);
    if (p.direct_mode || beam.size() < 1) beam = BeamPattern{{0.0f, 0.0f}, {1.0f}};
    const int samples = beam.size();
    const double rays = double(p.num_pulses) * samples;
    if (rays > 2147483647.0) refuse("num_pulses x beam samples exceeds the launch size");
    const std::size_t wf_count = static_cast<std::size_t>(p.num_pulses) * static_cast<std::size_t>(num_bins) *
                                 static_cast<std::size_t>(p.num_wavelengths);
    require_memory(p.direct_mode ? 8.0 * 4.0 * p.num_pulses : 3.0 * 4.0 * double(wf_count),
                   p.direct_mode ? "simulate_lidar: the points" : "simulate_lidar: the waveform");

    if (!initialised_) init();
    init_lidar_pipeline();
    const int nb = scene.num_bands();

    DeviceBuffer origins, dirs, beam_xy, beam_w, waveform, points, counter;
    origins.allocate(3 * static_cast<std::size_t>(p.num_pulses) * sizeof(float), "pulse_ori");
    origins.upload(p.pulse_origins.data(), origins.size(), "up_ori");
    dirs.allocate(directions.size() * sizeof(float), "pulse_dir");
    dirs.upload(directions.data(), dirs.size(), "up_dir");
    const int launch_rays = p.direct_mode ? p.num_pulses : static_cast<int>(rays);
    if (launch_rays > buffer_pixels_) allocate_buffers(launch_rays, nb);
    beam_xy.allocate(beam.offsets.size() * sizeof(float), "beam_xy");
    beam_xy.upload(beam.offsets.data(), beam_xy.size(), "up_beam");
    beam_w.allocate(beam.weights.size() * sizeof(float), "beam_w");
    beam_w.upload(beam.weights.data(), beam_w.size(), "up_bw");
    if (p.direct_mode) {
        points.allocate(static_cast<std::size_t>(p.num_pulses) * kLidarDevicePointFloats * sizeof(float), "direct_pts");
        counter.allocate(sizeof(uint32_t), "direct_cnt");
        counter.clear("zero_dcnt");
    } else {
        waveform.allocate(wf_count * sizeof(float), "waveform");
        waveform.clear("zero_wf");
    }

    // The LiDAR ray-generation record is made once; the table around it is
    // rebuilt for this scene on every run, so its hit records never name the
    // meshes of a scene run before.
    build_sbt(scene);
    if (!lidar_raygen_.ptr())
        pack_and_upload_(lidar_group_, nullptr, 0, lidar_raygen_, sizeof(RaygenRecord), "sbt_lidar", "sbt_lidar_up");
    optix::OptixShaderBindingTable sbt = main_sbt_.sbt;
    sbt.raygenRecord = lidar_raygen_.ptr();

    LidarLaunchRecord lp;
    std::memset(&lp, 0, sizeof(lp));
    lp.scene = scene.get_scene_data();
    lp.hits = hits_.ptr();
    lp.num_rays = static_cast<uint32_t>(launch_rays);
    lp.num_bands = static_cast<uint32_t>(nb);
    lp.one0 = 1;
    lp.depth999 = 999;
    lp.one1 = 1;
    lp.origins = origins.ptr();
    lp.directions = dirs.ptr();
    lp.num_pulses = p.num_pulses;
    lp.beam_xy = beam_xy.ptr();
    lp.beam_w = beam_w.ptr();
    lp.num_samples = samples;
    lp.beam_half_angle_rad = p.beam_half_angle_rad;
    lp.pulse_energy = p.pulse_energy;
    lp.sensor_area = p.sensor_area;
    lp.range_resolution = p.range_resolution;
    lp.min_range = p.min_range;
    lp.max_range = p.max_range;
    lp.num_bins = num_bins;
    lp.num_wavelengths = p.num_wavelengths;
    lp.one2 = 1;
    lp.waveform = waveform.ptr();
    lp.direct_mode = p.direct_mode;
    lp.direct_points = points.ptr();
    lp.direct_counter = counter.ptr();
    lp.direct_pulses = p.direct_mode ? p.num_pulses : 0;
    params_.upload(&lp, sizeof(lp), "params_up");
    check_optix(optix_api().launch(main_.pipeline, nullptr, params_.ptr(), sizeof(LidarLaunchRecord), &sbt,
                                   static_cast<unsigned int>(samples), static_cast<unsigned int>(p.num_pulses), 1),
                "lidar_launch");
    check_cuda(cudaDeviceSynchronize(), "lidar_sync");

    LidarResult r;
    r.num_bins = num_bins;
    if (p.direct_mode) {
        uint32_t found = 0;
        counter.download(&found, sizeof(found), "dl_dcnt");
        const std::size_t count = std::min<std::size_t>(found, static_cast<std::size_t>(p.num_pulses));
        std::vector<float> dev(count * kLidarDevicePointFloats);
        if (count >= 1) points.download(dev.data(), dev.size() * sizeof(float), "dl_dpts");
        // Points in pulse order, whatever order the device wrote them in.
        std::vector<std::size_t> order(count);
        for (std::size_t i = 0; i < count; ++i) order[i] = i;
        std::stable_sort(order.begin(), order.end(), [&dev](std::size_t a, std::size_t b) {
            return dev[a * kLidarDevicePointFloats + 4] < dev[b * kLidarDevicePointFloats + 4];
        });
        r.points.reserve(count * kLidarPointFloats);
        for (std::size_t i : order) {
            const float* d = &dev[i * kLidarDevicePointFloats];
            // The run-wide pulse index, rounded to float as in a one-part run.
            const float pulse = static_cast<float>(p.first_pulse + static_cast<int>(d[4]));
            r.points.insert(r.points.end(), {d[0], d[1], d[2], d[3], 1.0f, 1.0f, 0.0f, pulse});
        }
        r.num_returns = static_cast<int>(count);
        return r;
    }

    std::vector<float> raw(wf_count);
    waveform.download(raw.data(), wf_count * sizeof(float), "dl_wf");
    r.waveform.assign(wf_count, 0.0f);
    ReturnSettings rs;
    rs.num_bins = num_bins;
    rs.num_wavelengths = p.num_wavelengths;
    rs.range_resolution = p.range_resolution;
    rs.min_range = p.min_range;
    rs.peak_threshold = p.peak_threshold;
    rs.max_returns_per_pulse = p.max_returns_per_pulse;
    const std::size_t per_pulse = static_cast<std::size_t>(num_bins) * static_cast<std::size_t>(p.num_wavelengths);
    std::vector<double> histogram(per_pulse);
    for (int i = 0; i < p.num_pulses; ++i) {
        const std::size_t base = static_cast<std::size_t>(i) * per_pulse;
        bool any = false;
        for (std::size_t k = 0; k < per_pulse; ++k) {
            histogram[k] = raw[base + k];
            any = any || raw[base + k] > 0.0f;
        }
        if (!any) continue;  // nothing returned: the convolution stays zero, no peak
        float* out = r.waveform.data() + base;
        convolve_pulse(histogram.data(), out, num_bins, p.num_wavelengths, kernel);
        const std::size_t k = 3 * static_cast<std::size_t>(i);
        extract_returns(out, float3{p.pulse_origins[k], p.pulse_origins[k + 1], p.pulse_origins[k + 2]},
                        float3{directions[k], directions[k + 1], directions[k + 2]}, p.first_pulse + i, rs, r.points);
    }
    r.num_returns = static_cast<int>(r.points.size() / kLidarPointFloats);
    return r;
}

}  // namespace norvi
