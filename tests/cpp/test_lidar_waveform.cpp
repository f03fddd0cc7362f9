// LiDAR signal processing: beam pattern, range bins, pulse kernel, convolution
// and return extraction, against counts and values worked out by hand.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <stdexcept>
#include <vector>

#include "cpu/lidar_formulas.h"
#include "cpu/lidar_waveform.h"
#include "scene/vec_math.h"

using namespace norvi;

namespace {

double sum_of(const std::vector<float>& v) { return std::accumulate(v.begin(), v.end(), 0.0); }

// One pulse's waveform with a single wavelength, as floats.
std::vector<float> wave(std::initializer_list<float> values) { return std::vector<float>(values); }

ReturnSettings settings(int num_bins, int max_returns = 5, float threshold = 1e-8f) {
    ReturnSettings s;
    s.num_bins = num_bins;
    s.num_wavelengths = 1;
    s.range_resolution = 0.5f;
    s.min_range = 10.0f;
    s.peak_threshold = threshold;
    s.max_returns_per_pulse = max_returns;
    return s;
}

}  // namespace

// --- beam pattern -------------------------------------------------------------

TEST(LidarBeamPattern, TenPerDimensionKeepsTheEightyOneDiscPointsWithGaussianWeights) {
    const BeamPattern p = make_beam_pattern(10);
    ASSERT_EQ(p.size(), 81);
    ASSERT_EQ(p.offsets.size(), 162u);
    EXPECT_NEAR(sum_of(p.weights), 1.0, 1e-6);

    int centre = -1;
    for (int k = 0; k < p.size(); ++k) {
        const float a = p.offsets[2 * k], b = p.offsets[2 * k + 1];
        EXPECT_LE(a * a + b * b, 1.0001f);
        if (a == 0.0f && b == 0.0f) centre = k;
        // Weight follows exp(-r^2 / (2 * 0.50016385)) relative to the centre.
        const double r2 = double(a) * a + double(b) * b;
        EXPECT_NEAR(p.weights[k] / p.weights[40], std::exp(-0.5 * r2 / 0.50016385), 1e-5);
    }
    ASSERT_EQ(centre, 40);  // row i = 5, column j = 5 of the kept points
    EXPECT_EQ(*std::max_element(p.weights.begin(), p.weights.end()), p.weights[centre]);

    // Symmetric under a <-> b and under sign changes of either offset.
    auto weight_at = [&](float a, float b) {
        for (int k = 0; k < p.size(); ++k)
            if (std::fabs(p.offsets[2 * k] - a) < 1e-6f && std::fabs(p.offsets[2 * k + 1] - b) < 1e-6f)
                return p.weights[k];
        return -1.0f;
    };
    for (int k = 0; k < p.size(); ++k) {
        const float a = p.offsets[2 * k], b = p.offsets[2 * k + 1];
        EXPECT_NEAR(weight_at(b, a), p.weights[k], 1e-7f);
        EXPECT_NEAR(weight_at(-a, b), p.weights[k], 1e-7f);
        EXPECT_NEAR(weight_at(a, -b), p.weights[k], 1e-7f);
    }
    // The edge points of the disc stay.
    EXPECT_GT(weight_at(1.0f, 0.0f), 0.0f);
    EXPECT_GT(weight_at(0.0f, -1.0f), 0.0f);
    EXPECT_LT(weight_at(0.8f, 0.8f), 0.0f);  // r^2 = 1.28: outside
}

TEST(LidarBeamPattern, SmallGridsAndDegenerateSizes) {
    EXPECT_EQ(make_beam_pattern(1).size(), 0);  // only the four corners, r^2 = 2
    const BeamPattern p2 = make_beam_pattern(2);
    ASSERT_EQ(p2.size(), 5);  // centre and the four edge midpoints
    EXPECT_NEAR(sum_of(p2.weights), 1.0, 1e-6);
    const BeamPattern p3 = make_beam_pattern(3);
    ASSERT_EQ(p3.size(), 4);  // (+-1/3, +-1/3)
    for (int k = 0; k < 4; ++k) {
        EXPECT_NEAR(std::fabs(p3.offsets[2 * k]), 1.0f / 3.0f, 1e-6f);
        EXPECT_NEAR(p3.weights[k], 0.25f, 1e-6f);
    }
    EXPECT_EQ(make_beam_pattern(-3).size(), 0);
    EXPECT_THROW(make_beam_pattern(0), std::invalid_argument);
}

TEST(LidarBeamPattern, SubRaysSpreadOverTheConeAroundThePulse) {
    const float t = std::tan(0.01f);
    for (float3 d : {float3{0, 0, -1}, normalize(float3{0.3f, -0.2f, -0.9f}),
                     normalize(float3{1, 0.1f, 0}), float3{0, 1, 0}}) {
        const float3 a = lidar_beam_axis_a(d);
        const float3 b = cross(a, d);
        EXPECT_NEAR(length(a), 1.0f, 1e-6f);
        EXPECT_NEAR(dot(a, d), 0.0f, 1e-6f);
        EXPECT_NEAR(length(b), 1.0f, 1e-6f);
        // The centre sub-ray is the pulse; an edge sub-ray is at the half-angle.
        const float3 r0 = lidar_beam_ray(d, a, b, 0, 0, t);
        EXPECT_NEAR(dot(r0, d), 1.0f, 1e-6f);
        for (float3 ab : {float3{1, 0, 0}, float3{0, -1, 0}, float3{0.6f, 0.8f, 0}}) {
            const float3 r = lidar_beam_ray(d, a, b, ab.x, ab.y, t);
            EXPECT_NEAR(length(r), 1.0f, 1e-6f);
            EXPECT_NEAR(std::acos(std::min(1.0f, dot(r, d))), 0.01f, 2e-4f);
        }
    }
}

// --- range bins -------------------------------------------------------------------

TEST(LidarRangeBins, CountsBinsAndPlacesRanges) {
    EXPECT_EQ(range_bin_count(0.0f, 100.0f, 0.15f), 667);
    EXPECT_EQ(range_bin_count(5.0f, 5.0f, 1.0f), 1);
    EXPECT_EQ(range_bin_count(0.0f, 10.0f, 1.0f), 11);
    // A hit at max_range lands in the last bin; one at min_range in bin 0.
    EXPECT_EQ(lidar_range_bin(100.0f, 0.0f, 0.15f), 666);
    EXPECT_EQ(lidar_range_bin(0.0f, 0.0f, 0.15f), 0);
    EXPECT_EQ(lidar_range_bin(12.34f, 2.0f, 0.5f), 20);
    EXPECT_FLOAT_EQ(lidar_bin_centre(20, 2.0f, 0.5f), 12.25f);
}

TEST(LidarRangeBins, RefusesMeaninglessWindows) {
    EXPECT_THROW(range_bin_count(0.0f, 100.0f, 0.0f), std::invalid_argument);
    EXPECT_THROW(range_bin_count(0.0f, 100.0f, -0.15f), std::invalid_argument);
    EXPECT_THROW(range_bin_count(0.0f, 100.0f, std::nanf("")), std::invalid_argument);
    EXPECT_THROW(range_bin_count(50.0f, 10.0f, 0.15f), std::invalid_argument);
    EXPECT_THROW(range_bin_count(0.0f, 1e30f, 1e-6f), std::invalid_argument);
    try {
        range_bin_count(50.0f, 10.0f, 0.15f);
    } catch (const std::invalid_argument& e) {
        EXPECT_NE(std::string(e.what()).find("max_range"), std::string::npos);
        EXPECT_NE(std::string(e.what()).find("50"), std::string::npos);
    }
}

// --- pulse kernel -------------------------------------------------------------------

TEST(LidarPulseKernel, FourNanosecondsAtFifteenCentimetresHasThirteenTaps) {
    const PulseKernel k = make_pulse_kernel(4.0f, 0.15f);
    EXPECT_NEAR(k.sigma, 4.0 * 0.29979247 * 0.5 / 2.35482, 1e-6);
    EXPECT_EQ(k.half_width, 5);
    ASSERT_EQ(k.taps.size(), 13u);
    EXPECT_NEAR(sum_of(k.taps), 1.0, 1e-6);
    for (int j = 0; j < 13; ++j) {
        EXPECT_NEAR(k.taps[j], k.taps[12 - j], 1e-7f);
        const double x = (j - 6) * 0.15;
        EXPECT_NEAR(k.taps[j] / k.taps[6], std::exp(-0.5 * x * x / (k.sigma * k.sigma)), 1e-6);
    }
    EXPECT_EQ(*std::max_element(k.taps.begin(), k.taps.end()), k.taps[6]);
}

TEST(LidarPulseKernel, NarrowPulseStillHasThreeTapsAndBadInputIsRefused) {
    const PulseKernel k = make_pulse_kernel(0.1f, 1.0f);  // 3 sigma far below one bin
    EXPECT_EQ(k.half_width, 0);
    ASSERT_EQ(k.taps.size(), 3u);
    EXPECT_NEAR(k.taps[1], 1.0f, 1e-6f);
    EXPECT_THROW(make_pulse_kernel(0.0f, 0.15f), std::invalid_argument);
    EXPECT_THROW(make_pulse_kernel(-4.0f, 0.15f), std::invalid_argument);
    EXPECT_THROW(make_pulse_kernel(4.0f, 0.0f), std::invalid_argument);
}

// --- convolution -----------------------------------------------------------------------

TEST(LidarConvolution, ImpulseSpreadsIntoTheKernelAndKeepsItsEnergy) {
    const PulseKernel k = make_pulse_kernel(4.0f, 0.15f);
    const int bins = 40, nw = 2;
    std::vector<float> raw(2 * bins * nw, 0.0f);
    raw[(0 * bins + 20) * nw + 1] = 3.0f;  // pulse 0, bin 20, wavelength 1
    raw[(1 * bins + 2) * nw + 0] = 1.0f;   // pulse 1, bin 2: near the window start
    const std::vector<float> out = convolve_waveforms(raw, 2, bins, nw, k);
    ASSERT_EQ(out.size(), raw.size());

    double total0 = 0.0;
    for (int b = 0; b < bins; ++b) {
        EXPECT_EQ(out[(0 * bins + b) * nw + 0], 0.0f);  // other wavelength untouched
        const float v = out[(0 * bins + b) * nw + 1];
        const int j = b - 20;
        EXPECT_NEAR(v, std::abs(j) <= 6 ? 3.0f * k.taps[j + 6] : 0.0f, 1e-6f) << "bin " << b;
        total0 += v;
    }
    EXPECT_NEAR(total0, 3.0, 1e-5);

    // Zero padding without renormalisation: the taps falling before bin 0 are lost.
    double total1 = 0.0, lost = 0.0;
    for (int b = 0; b < bins; ++b) total1 += out[(1 * bins + b) * nw + 0];
    for (int j = 0; j < 4; ++j) lost += k.taps[j];  // shifts -6 .. -3 from bin 2
    EXPECT_NEAR(total1, 1.0 - lost, 1e-6);
}

TEST(LidarConvolution, MatchesTheDirectSumOnDenseData) {
    const PulseKernel k = make_pulse_kernel(6.0f, 0.2f);
    const int bins = 30, nw = 3, pulses = 2;
    std::vector<float> raw(pulses * bins * nw);
    for (std::size_t i = 0; i < raw.size(); ++i)
        raw[i] = (i % 7 == 3) ? 0.0f : std::fabs(std::sin(0.37f * float(i))) * 2.0f;
    const std::vector<float> out = convolve_waveforms(raw, pulses, bins, nw, k);
    const int reach = k.half_width + 1;
    for (int p = 0; p < pulses; ++p)
        for (int b = 0; b < bins; ++b)
            for (int l = 0; l < nw; ++l) {
                double s = 0.0;
                for (int j = -reach; j <= reach; ++j)
                    if (b + j >= 0 && b + j < bins)
                        s += double(k.taps[j + reach]) * raw[(p * bins + b + j) * nw + l];
                EXPECT_NEAR(out[(p * bins + b) * nw + l], s, 1e-6);
            }
    EXPECT_THROW(convolve_waveforms(raw, pulses + 1, bins, nw, k), std::invalid_argument);
}

TEST(LidarConvolution, OverwritesEveryOutputValue) {
    const PulseKernel k = make_pulse_kernel(4.0f, 0.15f);
    std::vector<double> raw(50, 0.0);
    std::vector<float> out(50, 7.0f);
    convolve_pulse(raw.data(), out.data(), 50, 1, k);
    EXPECT_EQ(out, std::vector<float>(50, 0.0f));
    raw[49] = 1.0;  // last bin: the kernel's right half falls off the window
    std::fill(out.begin(), out.end(), 7.0f);
    convolve_pulse(raw.data(), out.data(), 50, 1, k);
    for (int b = 0; b < 43; ++b) EXPECT_EQ(out[b], 0.0f) << b;
    for (int b = 43; b < 50; ++b) EXPECT_FLOAT_EQ(out[b], k.taps[b - 43]) << b;
}

// --- return extraction ---------------------------------------------------------------------

TEST(LidarReturns, SingleGaussianReturnAtItsRangeWithItsEnergy) {
    // A Lambertian target at 23.3 m puts energy E into one bin; after the pulse
    // kernel its return sits at that bin's centre with the kernel's peak share.
    const float res = 0.15f, min_range = 0.0f, R = 23.3f, E = 2.5e-4f;
    const int bins = range_bin_count(min_range, 40.0f, res);
    const PulseKernel k = make_pulse_kernel(4.0f, res);
    std::vector<float> raw(bins, 0.0f);
    const int hit_bin = lidar_range_bin(R, min_range, res);
    raw[hit_bin] = E;
    const std::vector<float> out = convolve_waveforms(raw, 1, bins, 1, k);
    EXPECT_NEAR(sum_of(out), E, 1e-9);

    ReturnSettings s;
    s.num_bins = bins;
    s.range_resolution = res;
    s.min_range = min_range;
    std::vector<float> pts = {-1.0f};  // records are appended after what is there
    const float3 o{1, 2, 50}, d{0, 0, -1};
    ASSERT_EQ(extract_returns(out.data(), o, d, 7, s, pts), 1);
    ASSERT_EQ(pts.size(), 1u + 8u);
    const float range = (float(hit_bin) + 0.5f) * res;
    EXPECT_LE(std::fabs(range - R), res);
    EXPECT_FLOAT_EQ(pts[1], 1.0f);
    EXPECT_FLOAT_EQ(pts[2], 2.0f);
    EXPECT_FLOAT_EQ(pts[3], 50.0f - range);
    EXPECT_NEAR(pts[4], E * k.taps[6], 1e-10);
    EXPECT_EQ(pts[5], 1.0f);
    EXPECT_EQ(pts[6], 1.0f);
    EXPECT_FLOAT_EQ(pts[7], range);
    EXPECT_EQ(pts[8], 7.0f);
}

TEST(LidarReturns, OnlyStrictInteriorMaximaAboveTheThresholdCount) {
    std::vector<float> pts;
    const float3 o{0, 0, 0}, d{1, 0, 0};
    // Flat top: neither of the equal bins is a strict maximum.
    EXPECT_EQ(extract_returns(wave({0, 1, 2, 2, 1, 0}).data(), o, d, 0, settings(6), pts), 0);
    // Maxima in the first and last bins are never returns.
    EXPECT_EQ(extract_returns(wave({5, 1, 0, 0, 1, 5}).data(), o, d, 0, settings(6), pts), 0);
    // All zero: nothing for a threshold of 0 either.
    EXPECT_EQ(extract_returns(wave({0, 0, 0, 0}).data(), o, d, 0, settings(4, 5, 0.0f), pts), 0);
    // The threshold is strict.
    EXPECT_EQ(extract_returns(wave({0, 0.5f, 0}).data(), o, d, 0, settings(3, 5, 0.5f), pts), 0);
    EXPECT_EQ(extract_returns(wave({0, 0.5f, 0}).data(), o, d, 0, settings(3, 5, 0.49f), pts), 1);
    // Fewer than three bins or no returns wanted: none.
    EXPECT_EQ(extract_returns(wave({0, 1}).data(), o, d, 0, settings(2), pts), 0);
    EXPECT_EQ(extract_returns(wave({0, 1, 0}).data(), o, d, 0, settings(3, 0), pts), 0);
    EXPECT_EQ(pts.size(), 8u);
}

TEST(LidarReturns, MorePeaksThanAllowedKeepsTheNearest) {
    // Peaks at bins 1, 3, 5, 7; two returns allowed.
    const std::vector<float> w = wave({0, 4, 0, 3, 0, 9, 0, 1, 0});
    std::vector<float> pts;
    const ReturnSettings s = settings(9, 2);
    ASSERT_EQ(extract_returns(w.data(), {0, 0, 100}, {0, 0, -1}, 3, s, pts), 2);
    ASSERT_EQ(pts.size(), 16u);
    EXPECT_FLOAT_EQ(pts[6], 10.75f);  // bin 1 centre: 10 + 1.5 * 0.5
    EXPECT_FLOAT_EQ(pts[8 + 6], 11.75f);
    EXPECT_EQ(pts[3], 4.0f);
    EXPECT_EQ(pts[8 + 3], 3.0f);
    EXPECT_EQ(pts[4], 1.0f);
    EXPECT_EQ(pts[8 + 4], 2.0f);
    EXPECT_EQ(pts[5], 2.0f);  // the number of returns is the number kept
    EXPECT_EQ(pts[8 + 5], 2.0f);
    EXPECT_EQ(pts[7], 3.0f);

    pts.clear();
    ASSERT_EQ(extract_returns(w.data(), {0, 0, 100}, {0, 0, -1}, 3, settings(9, 5), pts), 4);
    for (int r = 0; r < 4; ++r) {
        EXPECT_EQ(pts[8 * r + 4], float(r + 1));
        EXPECT_EQ(pts[8 * r + 5], 4.0f);
        EXPECT_FLOAT_EQ(pts[8 * r + 2], 100.0f - pts[8 * r + 6]);
    }
}

TEST(LidarReturns, PeaksAreFoundOnTheSumOverWavelengths) {
    // Neither wavelength alone peaks at bin 2, their sum does.
    ReturnSettings s = settings(5);
    s.num_wavelengths = 2;
    const std::vector<float> w = {0, 0, 3, 0, 2, 2, 1, 2, 0, 0};
    std::vector<float> pts;
    ASSERT_EQ(extract_returns(w.data(), {0, 0, 0}, {1, 0, 0}, 0, s, pts), 1);
    EXPECT_FLOAT_EQ(pts[6], 11.25f);
    EXPECT_FLOAT_EQ(pts[3], 4.0f);
}
