// CPU LiDAR throughput over the instanced canopy: pulses per second in waveform
// mode (81 beam samples) and in direct mode, one thread and all threads; the
// engine against bare trace_ray on the same beam rays; and the share of the
// engine's time spent in convolution and in peak extraction.
//
//   bench_lidar [waveform_pulses] [trees]
//
// Direct mode runs 20 times as many pulses as waveform mode. The convolution
// share is measured by convolving the engine's own raw histograms (obtained
// from a run whose pulse kernel is a single tap) with the real kernel, the
// extraction share by extracting the returns of the engine's own waveforms.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <thread>
#include <vector>

#include "bench/canopy_scene.h"
#include "cpu/lidar_simulator.h"
#include "cpu/lidar_waveform.h"
#include "physics/lidar_formulas.h"
#include "scene/vec_math.h"

using norvi::float3;
using norvi::embree::EmbreeSceneManager;
using norvi::embree::LidarResult;

namespace {

constexpr float kAltitude = 100.0f;
constexpr float kHalfAngle = 0.0005f;
constexpr float kRes = 0.15f;
constexpr float kMinRange = 0.0f;
constexpr float kMaxRange = 150.0f;
constexpr float kFwhm = 4.0f;

struct Pulses {
    std::vector<float> origins, directions;
    int count = 0;
};

// Parallel flight lines along y, spread across x; along each line the scanner
// sweeps across track from -15 to +15 degrees off nadir every 50 pulses.
Pulses flight_lines(const norvi::bench::CanopyInfo& info, int n) {
    Pulses p;
    p.count = n;
    const int per_line = std::max(1, static_cast<int>(std::sqrt(static_cast<double>(n))));
    const int lines = (n + per_line - 1) / per_line;
    for (int i = 0; i < n; ++i) {
        const int line = i / per_line, k = i % per_line;
        const float x = (static_cast<float>(line) + 0.5f) / static_cast<float>(lines) * info.extent_x;
        const float y = (static_cast<float>(k) + 0.5f) / static_cast<float>(per_line) * info.extent_y;
        const float sweep = (static_cast<float>(k % 50) + 0.5f) / 50.0f - 0.5f;
        const float angle = sweep * 2.0f * 0.2618f;
        p.origins.insert(p.origins.end(), {x, y, kAltitude});
        p.directions.insert(p.directions.end(), {std::sin(angle), 0.0f, -std::cos(angle)});
    }
    return p;
}

LidarResult simulate(const EmbreeSceneManager& s, const Pulses& p, bool direct, int threads,
                     float fwhm = kFwhm) {
    return norvi::embree::simulate_lidar(s, p.origins.data(), p.directions.data(), p.count,
                                         kHalfAngle, 10, 1.0f, 0.1f, kRes, kMinRange, kMaxRange,
                                         1, fwhm, 1e-8f, 5, direct, threads, {});
}

double seconds(const std::function<void()>& f) {
    const auto t0 = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// Best of `reps` timed runs after one warm-up.
double best(int reps, const std::function<void()>& f) {
    f();
    double t = 1e30;
    for (int i = 0; i < reps; ++i) t = std::min(t, seconds(f));
    return t;
}

}  // namespace

int main(int argc, char** argv) {
    const int wf_pulses = argc > 1 ? std::atoi(argv[1]) : 20000;
    const int trees = argc > 2 ? std::atoi(argv[2]) : 2000;
    const int direct_pulses = 20 * wf_pulses;
    const int all = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));

    EmbreeSceneManager scene;
    norvi::bench::CanopyOptions opt;
    opt.trees = trees;
    const auto info = norvi::bench::build_canopy(scene, opt);
    // Ground, leaf (front, back, transmittance), one band.
    scene.upload_spectral_params({0.2f, 0.45f, 0.4f, 0.05f});
    const Pulses wf = flight_lines(info, wf_pulses);
    const Pulses dp = flight_lines(info, direct_pulses);
    const norvi::BeamPattern beam = norvi::make_beam_pattern(10);
    const int bins = norvi::range_bin_count(kMinRange, kMaxRange, kRes);

    // Console lines of the engine go to stdout; the figures follow them.
    std::vector<float> rate_wf, rate_direct;
    double wf_1 = 0.0, wf_all = 0.0;
    LidarResult result;
    for (int threads : {1, all}) {
        const double tw = best(2, [&] { result = simulate(scene, wf, false, threads); });
        const double td = best(2, [&] { simulate(scene, dp, true, threads); });
        (threads == 1 ? wf_1 : wf_all) = tw;
        rate_wf.push_back(static_cast<float>(wf.count / tw));
        rate_direct.push_back(static_cast<float>(dp.count / td));
    }

    // Bare trace_ray on the same beam rays, one thread.
    long long hits = 0;
    const float t = std::tan(kHalfAngle);
    const double trace_1 = best(2, [&] {
        for (int p = 0; p < wf.count; ++p) {
            const float3 o{wf.origins[3 * p], wf.origins[3 * p + 1], wf.origins[3 * p + 2]};
            const float3 d{wf.directions[3 * p], wf.directions[3 * p + 1], wf.directions[3 * p + 2]};
            const float3 a = norvi::lidar_beam_axis_a(d);
            const float3 b = norvi::cross(a, d);
            for (int k = 0; k < beam.size(); ++k)
                hits += scene.trace_ray(o, norvi::lidar_beam_ray(d, a, b, beam.offsets[2 * k],
                                                                 beam.offsets[2 * k + 1], t))
                            .hit;
        }
    });

    // Convolution of the engine's raw histograms with the real kernel, and
    // extraction of the engine's waveforms, one thread.
    const LidarResult raw = simulate(scene, wf, false, all, 0.001f);  // one-tap kernel
    const norvi::PulseKernel kernel = norvi::make_pulse_kernel(kFwhm, kRes);
    std::vector<double> histogram(static_cast<std::size_t>(bins));
    std::vector<float> out(static_cast<std::size_t>(bins));
    double conv_s = 1e30;
    for (int rep = 0; rep < 3; ++rep) {
        double s = 0.0;
        for (int p = 0; p < wf.count; ++p) {
            const float* src = raw.waveform.data() + static_cast<std::size_t>(p) * bins;
            std::copy(src, src + bins, histogram.begin());
            s += seconds([&] { norvi::convolve_pulse(histogram.data(), out.data(), bins, 1, kernel); });
        }
        conv_s = std::min(conv_s, s);
    }
    norvi::ReturnSettings rs;
    rs.num_bins = bins;
    rs.range_resolution = kRes;
    rs.min_range = kMinRange;
    std::vector<float> points;
    const double extract_s = best(2, [&] {
        points.clear();
        for (int p = 0; p < wf.count; ++p)
            norvi::extract_returns(result.waveform.data() + static_cast<std::size_t>(p) * bins,
                                   {wf.origins[3 * p], wf.origins[3 * p + 1], wf.origins[3 * p + 2]},
                                   {wf.directions[3 * p], wf.directions[3 * p + 1],
                                    wf.directions[3 * p + 2]},
                                   p, rs, points);
    });

    std::printf("\ncanopy: %d crowns + %d trunks + ground (%u triangles per crown), %d range bins\n",
                trees, trees, scene.instance_triangle_counts()[1], bins);
    std::printf("waveform mode, %d beam samples, %d pulses: %.0f pulses/s (1 thread), "
                "%.0f pulses/s (%d threads), speed-up %.2f\n",
                beam.size(), wf.count, rate_wf[0], rate_wf[1], all, rate_wf[1] / rate_wf[0]);
    std::printf("direct mode, %d pulses: %.0f pulses/s (1 thread), %.0f pulses/s (%d threads), "
                "speed-up %.2f\n",
                dp.count, rate_direct[0], rate_direct[1], all, rate_direct[1] / rate_direct[0]);
    std::printf("bare trace_ray on the same beam rays, 1 thread: %.2f Mrays/s; waveform engine "
                "at %.2f Mrays/s (engine / bare time %.2f)\n",
                wf.count * beam.size() / trace_1 / 1e6, wf.count * beam.size() / wf_1 / 1e6,
                wf_1 / trace_1);
    std::printf("share of the 1-thread waveform run: convolution %.1f %%, peak extraction %.1f %% "
                "(%.2f us and %.2f us per pulse)\n",
                100.0 * conv_s / wf_1, 100.0 * extract_s / wf_1, 1e6 * conv_s / wf.count,
                1e6 * extract_s / wf.count);
    std::printf("share of the %d-thread waveform run (both done by the workers): convolution "
                "%.1f %%, peak extraction %.1f %%\n",
                all, 100.0 * conv_s / all / wf_all, 100.0 * extract_s / all / wf_all);
    std::printf("(%lld beam-ray hits, %zu returns)\n", hits, points.size() / 8);
    return 0;
}
