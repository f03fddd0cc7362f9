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
    float p = 0.0f;
    for (int b = 0; b < num_bands; ++b) {
        const float t = static_cast<float>(throughput[b]);
        if (t > p) p = t;
    }
    return p < kMaxSurvival ? p : kMaxSurvival;
}

}  // namespace norvi
