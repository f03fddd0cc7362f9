#include "cpu/scene_checks.h"

#include <sstream>
#include <stdexcept>
#include <string>

#include "cpu/bsdf.h"

namespace norvi::embree {

namespace {

// Throws unless values [offset, offset + count) lie inside the spectral array.
void check_range(const EmbreeSceneManager& scene, const char* engine, const std::string& what,
                 long long offset, long long count) {
    const long long size = static_cast<long long>(scene.spectral_params().size());
    if (offset < 0 || offset + count > size) {
        std::ostringstream os;
        os << engine << ": " << what << " reads spectral values " << offset << " to "
           << offset + count - 1 << ", but the uploaded spectral array has " << size << " values";
        throw std::invalid_argument(os.str());
    }
}

}  // namespace

bool has_sun(const EmbreeSceneManager& scene) {
    const float3 d = scene.emitter().direction;
    return d.x != 0.0f || d.y != 0.0f || d.z != 0.0f;
}

void check_scene_for_shading(const EmbreeSceneManager& scene, const char* engine) {
    if (!scene.is_built())
        throw std::runtime_error(std::string(engine) + ": scene not built. Call build() first.");
    scene.check_materials();
    const long long nb = scene.num_bands();
    if (nb < 1) {
        std::ostringstream os;
        os << engine << ": num_bands must be at least 1, got " << nb;
        throw std::invalid_argument(os.str());
    }
    const bool thermal = scene.thermal_mode();
    if (thermal && static_cast<long long>(scene.thermal_wavelengths().size()) < nb) {
        std::ostringstream os;
        os << engine << ": thermal mode needs one wavelength per band, got "
           << scene.thermal_wavelengths().size() << " wavelengths for " << nb << " bands";
        throw std::invalid_argument(os.str());
    }
    // Materials that meshes use.
    const auto& materials = scene.materials();
    std::vector<bool> used(materials.size(), false);
    for (const EmbreeMesh& m : scene.meshes()) used[static_cast<std::size_t>(m.material_id)] = true;
    for (std::size_t i = 0; i < materials.size(); ++i) {
        if (!used[i]) continue;
        const int arrays = material_array_count(materials[i].type, thermal);
        if (arrays == 0) continue;
        std::ostringstream what;
        what << "material " << i << " (type " << static_cast<int>(materials[i].type) << ", "
             << arrays << " arrays of " << nb << " bands at offset " << materials[i].spectral_offset << ")";
        check_range(scene, engine, what.str(), materials[i].spectral_offset, arrays * nb);
    }
    if (has_sun(scene) && !thermal)
        check_range(scene, engine, "the sun irradiance", scene.emitter().spectral_offset, nb);
    if (scene.hw_sky_offset() >= 0)
        check_range(scene, engine, "the parametric sky (10 coefficients per band)",
                    scene.hw_sky_offset(), 10 * nb);
    else if (scene.sky_offset() >= 0)
        check_range(scene, engine, "the sky radiance", scene.sky_offset(), nb);
}

}  // namespace norvi::embree
