#pragma once
// Checks the photon engines make before tracing anything: every argument that
// would otherwise index outside a tally, the scene or an input array is
// refused with std::invalid_argument naming the argument and its value.

#include <cstddef>
#include <initializer_list>
#include <vector>

#include "scene/embree_scene.h"

namespace norvi::embree {

// A built scene (std::runtime_error otherwise); grid size, photon count, band
// count (must equal the scene's), prob_sun in [0, 1]; a known tally extent
// when photons are traced; then the scene's materials and every spectral
// range the engines will read (material arrays, sun irradiance, sky
// radiances). Messages start with `engine`.
void check_photon_args(const EmbreeSceneManager& scene, const char* engine, int nx, int ny,
                       int num_photons, int num_bands, float prob_sun);

// Layer boundaries finite and strictly increasing.
void check_layer_heights(const std::vector<float>& heights);

// View directions present, finite and non-zero when counted, and a terrain
// instance that exists. Returns the view directions normalised.
std::vector<float3> check_forward_args(const EmbreeSceneManager& scene, const float* brf_directions,
                                       int num_brf_dirs, int terrain_instance_id);

// Size of a tally holding the product of `counts` (each at least 0) values.
// The engines index tallies with int arithmetic, so a product above the
// largest int throws std::length_error naming `what` and the counts; the
// product is checked factor by factor, so it never overflows on the way.
std::size_t checked_tally_size(std::initializer_list<int> counts, const char* what);

}  // namespace norvi::embree
