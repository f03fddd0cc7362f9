// LiDAR signal processing: beam pattern, range bins, pulse kernel, convolution
// and return extraction, against counts and values worked out by hand.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <stdexcept>
#include <vector>

#include "cpu/lidar_waveform.h"
#include "physics/lidar_formulas.h"
#include "scene/vec_math.h"

using namespace norvi;

namespace {

double sum_of(const std::vector<float>& v) { return std::accumulate(v.begin(), v.end(), 0.0); }

// Return extraction over bins of 0.5 m from 10 m, one wavelength.
ReturnSettings settings(int num_bins, int max_returns = 5, float threshold = 1e-8f) {
    ReturnSettings s;
    s.num_bins = num_bins;
    s.range_resolution = 0.5f;
    s.min_range = 10.0f;
    s.peak_threshold = threshold;
    s.max_returns_per_pulse = max_returns;
    return s;
}

int returns_of(std::vector<float> w, const ReturnSettings& s) {
    std::vector<float> pts;
    return extract_returns(w.data(), {0, 0, 0}, {1, 0, 0}, 0, s, pts);
}

}  // namespace

TEST(LidarBeamPattern, TenPerDimensionKeepsTheEightyOneDiscPointsWithGaussianWeights) {
    const BeamPattern p = make_beam_pattern(10);
    ASSERT_EQ(p.size(), 81);
    ASSERT_EQ(p.offsets.size(), 162u);
    EXPECT_NEAR(sum_of(p.weights), 1.0, 1e-6);
    // Row i = 5, column j = 5 of the kept points is the centre, the heaviest.
    ASSERT_EQ(p.offsets[80], 0.0f);
    ASSERT_EQ(p.offsets[81], 0.0f);
    EXPECT_EQ(*std::max_element(p.weights.begin(), p.weights.end()), p.weights[40]);

    // The grid itself (which sub-rays a half-covered footprint sees) is pinned
    // by the two-target energy of the LiDAR simulator test.
    for (int k = 0; k < p.size(); ++k) {
        const float a = p.offsets[2 * k], b = p.offsets[2 * k + 1];
        const double r2 = double(a) * a + double(b) * b;
        EXPECT_LE(r2, 1.0001);
        // Weight exp(-r^2 / (2 * 0.50016385)) relative to the centre.
        EXPECT_NEAR(p.weights[k] / p.weights[40], std::exp(-0.5 * r2 / 0.50016385), 1e-5);
    }
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
        EXPECT_NEAR(dot(lidar_beam_ray(d, a, b, 0, 0, t), d), 1.0f, 1e-6f);
        for (float3 ab : {float3{1, 0, 0}, float3{0, -1, 0}, float3{0.6f, 0.8f, 0}}) {
            const float3 r = lidar_beam_ray(d, a, b, ab.x, ab.y, t);
            EXPECT_NEAR(length(r), 1.0f, 1e-6f);
            EXPECT_NEAR(std::acos(std::min(1.0f, dot(r, d))), 0.01f, 2e-4f);
        }
    }
}

TEST(LidarRangeBins, CountsBinsPlacesRangesAndRefusesMeaninglessWindows) {
    EXPECT_EQ(range_bin_count(0.0f, 100.0f, 0.15f), 667);
    EXPECT_EQ(range_bin_count(5.0f, 5.0f, 1.0f), 1);
    EXPECT_EQ(range_bin_count(0.0f, 10.0f, 1.0f), 11);
    // A hit at max_range lands in the last bin; one at min_range in bin 0.
    EXPECT_EQ(lidar_range_bin(100.0f, 0.0f, 0.15f), 666);
    EXPECT_EQ(lidar_range_bin(0.0f, 0.0f, 0.15f), 0);
    EXPECT_EQ(lidar_range_bin(12.34f, 2.0f, 0.5f), 20);
    EXPECT_FLOAT_EQ(lidar_bin_centre(20, 2.0f, 0.5f), 12.25f);

    for (float res : {0.0f, -0.15f, std::nanf("")})
        EXPECT_THROW(range_bin_count(0.0f, 100.0f, res), std::invalid_argument) << res;
    EXPECT_THROW(range_bin_count(0.0f, 1e30f, 1e-6f), std::invalid_argument);
    EXPECT_THROW(range_bin_count(50.0f, 10.0f, 0.15f), std::invalid_argument);  // message: from Python
}

TEST(LidarPulseKernel, FourNanosecondsAtFifteenCentimetresHasThirteenTaps) {
    const PulseKernel k = make_pulse_kernel(4.0f, 0.15f);
    EXPECT_NEAR(k.sigma, 4.0 * 0.29979247 * 0.5 / 2.35482, 1e-6);
    EXPECT_EQ(k.half_width, 5);
    ASSERT_EQ(k.taps.size(), 13u);
    EXPECT_NEAR(sum_of(k.taps), 1.0, 1e-6);
    for (int j = 0; j < 13; ++j) {
        const double x = (j - 6) * 0.15;
        EXPECT_NEAR(k.taps[j] / k.taps[6], std::exp(-0.5 * x * x / (k.sigma * k.sigma)), 1e-6);
    }
    // 3 sigma far below one bin: still three taps, all weight in the middle.
    const PulseKernel narrow = make_pulse_kernel(0.1f, 1.0f);
    EXPECT_EQ(narrow.half_width, 0);
    ASSERT_EQ(narrow.taps.size(), 3u);
    EXPECT_NEAR(narrow.taps[1], 1.0f, 1e-6f);
    EXPECT_THROW(make_pulse_kernel(0.0f, 0.15f), std::invalid_argument);
    EXPECT_THROW(make_pulse_kernel(-4.0f, 0.15f), std::invalid_argument);
    EXPECT_THROW(make_pulse_kernel(4.0f, 0.0f), std::invalid_argument);
}

TEST(LidarConvolution, MatchesTheZeroPaddedSumOfShiftedTaps) {
    const PulseKernel k = make_pulse_kernel(6.0f, 0.2f);
    const int bins = 30, nw = 3, pulses = 2;
    std::vector<float> raw(pulses * bins * nw);
    // Sparse and dense stretches; empty bins at the start and at the end.
    for (std::size_t i = 0; i < raw.size(); ++i) {
        const bool empty = i % 7 == 3 || i < 8 * nw || i >= raw.size() - 5 * nw;
        raw[i] = empty ? 0.0f : std::fabs(std::sin(0.37f * float(i))) * 2.0f;
    }
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

    // An empty histogram overwrites whatever the output held.
    std::vector<double> zeros(50, 0.0);
    std::vector<float> dst(50, 7.0f);
    convolve_pulse(zeros.data(), dst.data(), 50, 1, k);
    EXPECT_EQ(dst, std::vector<float>(50, 0.0f));
}

TEST(LidarReturns, OnlyStrictInteriorMaximaOfTheWavelengthSumAboveTheThresholdCount) {
    EXPECT_EQ(returns_of({0, 1, 2, 2, 1, 0}, settings(6)), 0);  // flat top
    EXPECT_EQ(returns_of({5, 1, 0, 0, 1, 5}, settings(6)), 0);  // maxima at either end
    EXPECT_EQ(returns_of({0, 0, 0, 0}, settings(4, 5, 0.0f)), 0);
    EXPECT_EQ(returns_of({0, 0.5f, 0}, settings(3, 5, 0.5f)), 0);  // strict threshold
    EXPECT_EQ(returns_of({0, 0.5f, 0}, settings(3, 5, 0.49f)), 1);
    EXPECT_EQ(returns_of({0, 1}, settings(2)), 0);  // fewer than three bins
    EXPECT_EQ(returns_of({0, 1, 0}, settings(3, 0)), 0);  // no returns wanted

    // Neither wavelength alone peaks at bin 2, their sum (0, 3, 4, 3, 0) does.
    ReturnSettings s = settings(5);
    s.num_wavelengths = 2;
    const std::vector<float> w = {0, 0, 3, 0, 2, 2, 1, 2, 0, 0};
    std::vector<float> pts;
    ASSERT_EQ(extract_returns(w.data(), {0, 0, 0}, {1, 0, 0}, 0, s, pts), 1);
    EXPECT_FLOAT_EQ(pts[6], 11.25f);
    EXPECT_FLOAT_EQ(pts[3], 4.0f);
}

TEST(LidarReturns, MorePeaksThanAllowedKeepsTheNearest) {
    // Peaks at bins 1, 3, 5, 7 (ranges 10.75, 11.75, 12.75, 13.75 m).
    const std::vector<float> w = {0, 4, 0, 3, 0, 9, 0, 1, 0};
    const float3 o{1, 2, 100}, d{0.6f, 0, -0.8f};
    std::vector<float> pts;
    ASSERT_EQ(extract_returns(w.data(), o, d, 3, settings(9, 2), pts), 2);
    ASSERT_EQ(pts.size(), 16u);
    // x, y, z along the pulse, summed waveform, return r of n, range, pulse index.
    const std::vector<float> first = {1 + 0.6f * 10.75f, 2, 100 - 0.8f * 10.75f, 4,
                                      1, 2, 10.75f, 3};
    const std::vector<float> second = {1 + 0.6f * 11.75f, 2, 100 - 0.8f * 11.75f, 3,
                                       2, 2, 11.75f, 3};
    for (int i = 0; i < 8; ++i) {
        EXPECT_FLOAT_EQ(pts[i], first[i]) << i;
        EXPECT_FLOAT_EQ(pts[8 + i], second[i]) << i;
    }

    pts.clear();
    ASSERT_EQ(extract_returns(w.data(), o, d, 3, settings(9, 5), pts), 4);
    for (int r = 0; r < 4; ++r) {
        EXPECT_EQ(pts[8 * r + 4], float(r + 1));
        EXPECT_EQ(pts[8 * r + 5], 4.0f);
        EXPECT_FLOAT_EQ(pts[8 * r + 6], 10.75f + float(r));
    }
}
