#pragma once
// What the GPU backward renderer checks before it launches: the device
// programs index materials, spectral arrays and thermal wavelengths without
// bounds checks, so every range they read must lie inside what the scene
// uploaded, and every value that becomes a ray must be finite.

#include "gpu/scene_manager.h"

namespace norvi {

// Throws std::invalid_argument naming the offending value: a sensor without
// pixels or with an image past 2^31 values, a non-finite camera transform, an
// orthographic sensor without a positive footprint, a perspective field of
// view outside (0, 180) degrees, a band count below 1, a mesh naming a
// missing material, thermal mode with fewer wavelengths than bands, or a
// material, sun or sky array running past the uploaded spectral values.
void check_scene_for_gpu_backward(const SceneManager& scene);

}  // namespace norvi
