#include "cpu/scene_checks.h"

#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "physics/bsdf.h"

namespace norvi::embree {

namespace {

// Throws unless values [offset, offset + count) lie inside the spectral array.
void check_range(const EmbreeSceneManager& scene, const char* engine, const std::string& what,
                 long long offset, long long count) {
    const long long size = static_cast<long long>(scene.spectral_params().size());
    if (offset >= 0 && offset + count <= size) return;
    std::ostringstream os;
    os << engine << ": " << what << " reads spectral values " << offset << " to "
       << offset + count - 1 << ", but the spectral array holds " << size << " values";
    throw std::invalid_argument(os.str());
}

}  // namespace

bool has_sun(const EmbreeSceneManager& scene) {
    const float3 d = scene.emitter().direction;
    return d.x != 0.0f || d.y != 0.0f || d.z != 0.0f;
}

void check_spectral_ranges(const EmbreeSceneManager& scene, const char* engine, int num_bands,
                           SpectralReads reads) {
    scene.check_materials();  // every id below indexes the material list
    const long long nb = num_bands;
    const std::vector<MaterialData>& materials = scene.materials();
    std::vector<bool> used(materials.size(), false);
    for (const EmbreeMesh& m : scene.meshes()) used[static_cast<std::size_t>(m.material_id)] = true;
    for (std::size_t i = 0; i < materials.size(); ++i) {
        const int arrays = material_array_count(materials[i].type, reads.emissivity);
        if (!used[i] || arrays == 0) continue;
        check_range(scene, engine, "material " + std::to_string(i), materials[i].spectral_offset,
                    arrays * nb);
    }
    if (reads.sun) check_range(scene, engine, "the sun irradiance", scene.emitter().spectral_offset, nb);
    if (scene.hw_sky_offset() >= 0)
        check_range(scene, engine, "the parametric sky", scene.hw_sky_offset(), 10 * nb);
    else if (scene.sky_offset() >= 0)
        check_range(scene, engine, "the constant sky", scene.sky_offset(), nb);
}

void check_scene_for_shading(const EmbreeSceneManager& scene, const char* engine) {
    if (!scene.is_built())
        throw std::runtime_error(std::string(engine) + ": scene not built. Call build() first.");
    scene.check_materials();
    const int nb = scene.num_bands();  // at least 1 (set_num_bands)
    const bool thermal = scene.thermal_mode();
    if (thermal && scene.thermal_wavelengths().size() < static_cast<std::size_t>(nb)) {
        std::ostringstream os;
        os << engine << ": thermal mode needs one wavelength per band, got "
           << scene.thermal_wavelengths().size() << " wavelengths for " << nb << " bands";
        throw std::invalid_argument(os.str());
    }
    // Thermal mode reads emissivities and no sun irradiance.
    check_spectral_ranges(scene, engine, nb, SpectralReads{thermal, has_sun(scene) && !thermal});
}

}  // namespace norvi::embree
