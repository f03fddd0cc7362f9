#pragma once
// Per-primitive energy balance on the CPU: for every primitive of a built
// scene, the radiation absorbed per unit area on its top and bottom sides, by
// reverse ray tracing from the primitive (physics/energy_balance.h). The
// parameters, results and messages are those of the GPU simulator's runs;
// what band_type and the outputs mean is documented with the parameter
// records (scene/energy_balance_params.h).

#include <functional>
#include <vector>

#include "scene/embree_scene.h"
#include "scene/energy_balance_params.h"

namespace norvi::embree {

struct EnergyBalanceResult {
    // n_bands x n_primitives values, band-major (one band for the single-band
    // run): W m^-2 absorbed on the top side (along the winding normal).
    std::vector<float> top;
    // The same for the bottom side; empty unless two_sided.
    std::vector<float> bot;
    int n_bands = 1;
    long long n_primitives = 0;
};

// The primitives one call computes: [first, first + count) of the global
// primitive order; count < 0 means up to the last. Every primitive's samples
// depend on its global index only, so ranges computed apart and joined give
// the whole run bit for bit. The result then holds n_bands x count values.
struct PrimitiveRange {
    long long first = 0;
    long long count = -1;
};

// Checks in this order: built ("Scene not built. Call scene.build() first."),
// then check_energy_balance, then per-primitive temperatures and emissivities
// matching the current primitive count, then the range (std::invalid_argument
// outside the scene's primitives). num_threads < 1: the hardware concurrency.
// Results do not depend on the thread count. progress, when set, is called
// after each batch of primitives with (primitives done, primitives in the
// range, elapsed ms); an exception it throws stops the run.
EnergyBalanceResult run_energy_balance_cpu(const EmbreeSceneManager& scene,
                                           const EnergyBalanceParams& p, int num_threads = 0,
                                           PrimitiveRange prims = {},
                                           const std::function<void(int, int, float)>& progress = {});
EnergyBalanceResult run_energy_balance_multiband_cpu(const EmbreeSceneManager& scene,
                                                     const EnergyBalanceMultibandParams& p,
                                                     int num_threads = 0,
                                                     PrimitiveRange prims = {},
                                                     const std::function<void(int, int, float)>& progress = {});

}  // namespace norvi::embree
