#include "cpu/photon_source.h"

namespace norvi::embree {

PhotonExtent photon_extent(const EmbreeSceneManager& scene, int num_photons) {
    PhotonExtent e;
    e.tile = scene.scene_x_size() > 0.0f && scene.scene_y_size() > 0.0f;
    e.x = e.tile ? scene.scene_x_size() : scene.sensor().ortho_w;
    e.y = e.tile ? scene.scene_y_size() : scene.sensor().ortho_h;
    if (num_photons > 0)
        e.area_per_photon = static_cast<double>(e.x) * static_cast<double>(e.y) / num_photons;
    return e;
}

PhotonSource make_photon_source(const EmbreeSceneManager& scene, int num_bands, float prob_sun,
                                float tile_x, float tile_y, double area_per_photon) {
    PhotonSource s;
    s.spec = scene.spectral_params().data();
    s.num_bands = num_bands;
    s.sun = scene.emitter().direction;
    s.sun_offset = scene.emitter().spectral_offset;
    s.hw_sky_offset = scene.hw_sky_offset();
    s.hw_sky_sun = scene.hw_sky_sun();
    s.sky_offset = scene.sky_offset();
    s.repetitive = scene.is_repetitive();
    s.plane = scene.measurement_height();
    s.tile_x = tile_x;
    s.tile_y = tile_y;
    s.box = scene.bounds();
    s.area_per_photon = area_per_photon;
    s.prob_sun = prob_sun;
    return s;
}

}  // namespace norvi::embree
