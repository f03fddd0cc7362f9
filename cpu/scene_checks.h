#pragma once
// Checks every CPU engine makes before it traces: the scene is built, every
// mesh names an existing material, there is at least one band, thermal mode
// has a wavelength per band, and every spectral array the shading reads (the
// materials in use, the sun, the sky) lies inside the uploaded parameters.

#include "scene/embree_scene.h"

namespace norvi::embree {

// `engine` prefixes the messages ("render_backward", ...). Throws
// std::runtime_error for an unbuilt scene, std::invalid_argument otherwise.
void check_scene_for_shading(const EmbreeSceneManager& scene, const char* engine);

// Whether the emitter gives light: a non-zero direction.
bool has_sun(const EmbreeSceneManager& scene);

}  // namespace norvi::embree
