#pragma once
// Path termination: density and throughput floors, and Russian roulette.

#include "scene/host_device.h"

namespace norvi {

// A sampled direction with a smaller density ends the path.
constexpr float kMinSamplePdf = 1e-8f;
// A path whose throughput is at most this in every band ends.
constexpr double kMinThroughput = 1e-10;
// Survival probability cap: even bright paths are culled sometimes.
constexpr float kMaxSurvival = 0.95f;

// Whether any band still carries throughput above the floor.
template <typename Real>
NORVI_HD bool throughput_alive(const Real* throughput, int num_bands) {
    for (int b = 0; b < num_bands; ++b)
        if (double(throughput[b]) > kMinThroughput) return true;
    return false;
}

// Survival probability of Russian roulette: the largest throughput over the
// bands (compared as float, at least 0), capped at 0.95. A path survives when
// a uniform draw r < p and then has its throughput scaled by 1 / p, keeping
// the estimate unbiased.
template <typename Real>
NORVI_HD float roulette_survival(const Real* throughput, int num_bands) {
    // Four running maxima merged at the end, so that many bands do not wait
    // on one another: the largest value does not depend on the order, and a
    // NaN is passed over by every comparison.
    float m[4] = {0.0f, 0.0f, 0.0f, 0.0f};
    int b = 0;
    for (; b + 4 <= num_bands; b += 4)
        for (int j = 0; j < 4; ++j) {
            const float t = static_cast<float>(throughput[b + j]);
            m[j] = t > m[j] ? t : m[j];
        }
    for (; b < num_bands; ++b) {
        const float t = static_cast<float>(throughput[b]);
        m[0] = t > m[0] ? t : m[0];
    }
    float p = m[0];
    for (int j = 1; j < 4; ++j) p = m[j] > p ? m[j] : p;
    return p < kMaxSurvival ? p : kMaxSurvival;
}

}  // namespace norvi
