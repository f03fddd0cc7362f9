#pragma once
// Checks every CPU engine makes before it traces: the scene is built, every
// mesh names an existing material, thermal mode has a wavelength per band,
// and every spectral array the shading reads (the materials in use, the sun,
// the sky) lies inside the uploaded parameters.

#include "scene/embree_scene.h"

namespace norvi::embree {

// The spectral ranges a simulation reads besides each used material's
// reflectance arrays and the sky in use.
struct SpectralReads {
    bool emissivity = false;  // thermal emission: every used material reads at least one array
    bool sun = false;         // the sun irradiance at the emitter's offset
};

// Throws std::invalid_argument, the message starting with `engine`, unless
// every range read for num_bands bands lies inside the uploaded spectral
// array: the arrays of each material a mesh uses, the sun irradiance when
// reads.sun, and the sky in use (parametric: 10 coefficients per band, else
// constant). Every mesh must name an existing material
// (EmbreeSceneManager::check_materials).
void check_spectral_ranges(const EmbreeSceneManager& scene, const char* engine, int num_bands,
                           SpectralReads reads);

// All checks of the shading engines (backward renderer): a built scene
// (std::runtime_error otherwise), existing materials, a thermal wavelength
// per band in thermal mode, and check_spectral_ranges with the emissivities
// in thermal mode and the sun irradiance outside it.
void check_scene_for_shading(const EmbreeSceneManager& scene, const char* engine);

// Whether the emitter gives light: a non-zero direction.
bool has_sun(const EmbreeSceneManager& scene);

}  // namespace norvi::embree
