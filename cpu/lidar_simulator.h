#pragma once
// The CPU LiDAR simulator: discrete pulses over a built CPU scene, single
// scattering from the first surface each ray meets, range-resolved waveforms per
// pulse and wavelength, and the point cloud of their returns.

#include <functional>
#include <vector>

#include "scene/embree_scene.h"

namespace norvi::embree {

struct LidarResult {
    // num_pulses x num_bins x num_wavelengths, wavelength fastest: the waveform
    // convolved with the pulse shape (waveform mode); empty in direct mode.
    std::vector<float> waveform;
    // 8 floats per return: x, y, z, intensity, return number, number of returns,
    // range, pulse index. Pulse order, nearest return first, in both modes.
    std::vector<float> points;
    int num_bins = 0;
    int num_returns = 0;
};

// Waveform mode (direct_mode false): each pulse is a beam of weighted sub-rays
// over a cone of half-angle beam_half_angle_rad; returns are the peaks of the
// range histogram convolved with a Gaussian pulse. Direct mode: one ray per
// pulse, its first hit inside [min_range, max_range] is the point.
//
// pulse_origins and pulse_directions hold 3 * num_pulses floats each; the
// directions are normalised before use. num_threads below 1 means the hardware
// concurrency. progress, when set, is called after each batch of pulses with
// (pulses done, num_pulses, elapsed milliseconds), last with (num_pulses,
// num_pulses, ...); an exception it throws stops the run. first_pulse is the run-wide
// index of the first pulse given: a run split into slices of pulses reports
// the same pulse indices in its points as the whole run.
//
// Throws std::invalid_argument, before tracing anything, for a negative pulse
// count, missing pulse arrays, a non-finite origin or a zero or non-finite
// direction, a negative or non-finite pulse energy or sensor area, a
// meaningless range window, and in waveform mode a meaningless pulse width, a
// non-finite beam half-angle or peak threshold or fewer than 1 beam sample per
// dimension; for fewer than 1 wavelength, or a wavelength count whose
// reflectance look-up would read outside the scene's spectral array; and
// whatever scene.check_materials() throws.
// An unbuilt scene throws std::runtime_error.
LidarResult simulate_lidar(const EmbreeSceneManager& scene, const float* pulse_origins,
                           const float* pulse_directions, int num_pulses,
                           float beam_half_angle_rad, int beam_samples_per_dim,
                           float pulse_energy, float sensor_area, float range_resolution,
                           float min_range, float max_range, int num_wavelengths,
                           float pulse_fwhm_ns, float peak_threshold, int max_returns_per_pulse,
                           bool direct_mode, int num_threads,
                           const std::function<void(int, int, float)>& progress,
                           int first_pulse = 0);

}  // namespace norvi::embree
