#pragma once
// Host-side input and result records of the GPU LiDAR mode.

#include <vector>

namespace norvi {

// LiDAR inputs of the host (fields as the Python method names them).
struct LiDARLaunchParams {
    std::vector<float> pulse_origins;     // 3 per pulse
    std::vector<float> pulse_directions;  // 3 per pulse
    int num_pulses = 0;
    float beam_half_angle_rad = 0.0005f;
    int beam_samples_per_dim = 10;
    float pulse_energy = 1.0f;
    float sensor_area = 0.1f;
    float range_resolution = 0.15f;
    float min_range = 0.0f;
    float max_range = 100.0f;
    int num_wavelengths = 1;
    float pulse_fwhm_ns = 4.0f;
    float peak_threshold = 1e-8f;
    int max_returns_per_pulse = 5;
    bool direct_mode = false;
    // Run-wide index of pulse 0, when these pulses are a part of a larger run:
    // the points carry run-wide pulse indices.
    int first_pulse = 0;
};

// Waveforms (pulse x bin x wavelength) and 8-float point records.
struct LidarResult {
    std::vector<float> waveform;
    std::vector<float> points;
    int num_bins = 0;
    int num_returns = 0;
};

}  // namespace norvi
