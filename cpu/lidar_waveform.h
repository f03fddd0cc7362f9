#pragma once
// LiDAR signal processing that does not depend on how rays are traced: the beam
// pattern, the range window, the Gaussian pulse kernel, the zero-padded
// convolution of range histograms with it, and the extraction of discrete
// returns into 8-float point records. Pure functions on plain arrays.
//
// Waveform layout: (pulse * num_bins + bin) * num_wavelengths + wavelength.
// Point record: x, y, z, intensity, return number, number of returns, range,
// pulse index (integers stored as floats).

#include <cstddef>
#include <vector>

#include "scene/types.h"

namespace norvi {

constexpr int kLidarPointFloats = 8;

// Sub-ray offsets (a, b) in the unit disc, stored a0, b0, a1, b1, ..., and
// their weights, which sum to 1.
struct BeamPattern {
    std::vector<float> offsets;
    std::vector<float> weights;
    int size() const { return static_cast<int>(weights.size()); }
};

// Gaussian pulse in range: sigma (metres), half width K (bins) and 2K + 3 taps
// summing to 1, tap j + K + 1 for the shift j = -(K + 1) .. K + 1.
struct PulseKernel {
    float sigma = 0.0f;
    int half_width = 0;
    std::vector<float> taps;
};

// What return extraction needs to know about the range window and the detector.
struct ReturnSettings {
    int num_bins = 0;
    int num_wavelengths = 1;
    float range_resolution = 0.15f;
    float min_range = 0.0f;
    float peak_threshold = 1e-8f;
    int max_returns_per_pulse = 5;
};

// The (n + 1) x (n + 1) grid on [-1, 1]^2 cut to the unit disc, Gaussian
// weights. n < 0 gives an empty pattern; n = 0 has no grid and, like a grid of
// more points than an int counts, throws std::invalid_argument; a pattern that
// cannot fit in memory throws MemoryRequestTooLarge before it is allocated.
BeamPattern make_beam_pattern(int n);

// trunc((max_range - min_range) / range_resolution) + 1. Throws
// std::invalid_argument for a resolution that is not above 0, a window that
// ends before it starts, or more bins than an int counts.
int range_bin_count(float min_range, float max_range, float range_resolution);

// The normalised pulse kernel. Throws std::invalid_argument unless both the
// width and the resolution are above 0.
PulseKernel make_pulse_kernel(float pulse_fwhm_ns, float range_resolution);

// Convolves one pulse's range histogram (num_bins x num_wavelengths, double
// precision) with the kernel into out (same layout), with zero padding beyond
// the window and no renormalisation at its ends.
void convolve_pulse(const double* raw, float* out, int num_bins, int num_wavelengths,
                    const PulseKernel& kernel);

// The same for a whole waveform array of num_pulses pulses; returns the
// convolved array. Throws std::invalid_argument when raw has not
// num_pulses * num_bins * num_wavelengths values.
std::vector<float> convolve_waveforms(const std::vector<float>& raw, int num_pulses, int num_bins,
                                      int num_wavelengths, const PulseKernel& kernel);

// Finds the returns of one pulse in its convolved waveform (num_bins x
// num_wavelengths values): strict local maxima of the wavelength sum above the
// threshold, nearest first, at most max_returns_per_pulse of them. Appends one
// point record per return at the bin centre along origin + range * direction.
// Returns the number of returns found.
int extract_returns(const float* waveform, float3 origin, float3 direction, int pulse_index,
                    const ReturnSettings& settings, std::vector<float>& points);

}  // namespace norvi
