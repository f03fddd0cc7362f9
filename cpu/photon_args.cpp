#include "cpu/photon_args.h"

#include "cpu/bsdf.h"

#include <sstream>
#include <stdexcept>
#include <string>

namespace norvi::embree {

namespace {

[[noreturn]] void refuse(const std::ostringstream& os) { throw std::invalid_argument(os.str()); }

// The `count` values from `offset` on must lie inside the spectral array.
void check_range(const EmbreeSceneManager& scene, const std::string& what, long long offset,
                 long long count) {
    const auto size = static_cast<long long>(scene.spectral_params().size());
    if (offset >= 0 && offset + count <= size) return;
    std::ostringstream os;
    os << what << " reads spectral values " << offset << " to " << offset + count - 1
       << ", but the spectral array holds " << size << " values";
    refuse(os);
}

}  // namespace

void check_photon_args(const EmbreeSceneManager& scene, int nx, int ny, int num_photons,
                       int num_bands, float prob_sun) {
    std::ostringstream os;
    if (nx < 1 || ny < 1) {
        os << "nx and ny must be at least 1; got nx=" << nx << ", ny=" << ny;
        refuse(os);
    }
    if (num_photons < 0) {
        os << "num_photons must not be negative; got " << num_photons;
        refuse(os);
    }
    if (num_bands != scene.num_bands() || num_bands < 1) {
        os << "num_bands (" << num_bands << ") must equal the scene's band count ("
           << scene.num_bands() << ") and be at least 1";
        refuse(os);
    }
    if (!(prob_sun >= 0.0f && prob_sun <= 1.0f)) {
        os << "prob_sun must lie in [0, 1]; got " << prob_sun;
        refuse(os);
    }

    scene.check_materials();
    const long long nb = num_bands;
    const std::vector<MaterialData>& materials = scene.materials();
    for (std::size_t i = 0; i < materials.size(); ++i) {
        const int arrays = material_array_count(materials[i].type, /*thermal*/ false);
        if (arrays == 0) continue;
        check_range(scene, "material " + std::to_string(i), materials[i].spectral_offset,
                    arrays * nb);
    }
    const EmitterData& sun = scene.emitter();
    if (sun.direction.z >= 0.01f)  // sun photons are traced only for a sun above the horizon
        check_range(scene, "the sun irradiance", sun.spectral_offset, nb);
    if (scene.hw_sky_offset() >= 0)
        check_range(scene, "the parametric sky", scene.hw_sky_offset(), 10 * nb);
    else if (scene.sky_offset() >= 0)
        check_range(scene, "the constant sky", scene.sky_offset(), nb);
}

void check_forward_args(const EmbreeSceneManager& scene, const float* brf_directions,
                        int num_brf_dirs, int terrain_instance_id) {
    std::ostringstream os;
    if (num_brf_dirs < 0) {
        os << "num_brf_dirs must not be negative; got " << num_brf_dirs;
        refuse(os);
    }
    if (num_brf_dirs > 0 && brf_directions == nullptr) {
        os << "num_brf_dirs is " << num_brf_dirs << " but no brf_directions were given";
        refuse(os);
    }
    if (terrain_instance_id >= scene.num_instances()) {
        os << "terrain_instance_id " << terrain_instance_id << " names no instance; the scene has "
           << scene.num_instances() << " instances";
        if (scene.num_instances() > 0) os << " (ids 0 to " << scene.num_instances() - 1 << ")";
        refuse(os);
    }
}

}  // namespace norvi::embree
