#pragma once
// Photon emission for the forward and flux engines on the CPU scene: the
// tally extent, and the source record (physics/photon_path.h) copied once per
// call from the scene.

#include "physics/photon_path.h"
#include "scene/embree_scene.h"

namespace norvi::embree {

using norvi::EmittedPhoton;
using norvi::PhotonSource;

// Horizontal extent the photon engines tally over, from the world origin: the
// tile of a repetitive scene when both tile sizes are above 0 (whatever the
// repetition count), otherwise the sensor footprint (ortho_w, ortho_h).
struct PhotonExtent {
    bool tile = false;  // the tile of a repetitive scene, not the sensor footprint
    float x = 0.0f;
    float y = 0.0f;
    double area_per_photon = 0.0;  // x * y / photon count; 0 without photons
};
PhotonExtent photon_extent(const EmbreeSceneManager& scene, int num_photons);

// The source of one engine call. tile_x, tile_y: extent over which repetitive
// scenes are entered; area_per_photon: extent area / photon count.
PhotonSource make_photon_source(const EmbreeSceneManager& scene, int num_bands, float prob_sun,
                                float tile_x, float tile_y, double area_per_photon);

}  // namespace norvi::embree
