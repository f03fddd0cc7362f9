#include "gpu/backward_checks.h"

#include <cmath>
#include <limits>
#include <sstream>
#include <stdexcept>
#include <string>

#include "physics/bsdf.h"

namespace norvi {

namespace {

constexpr const char* kEngine = "simulate";

[[noreturn]] void refuse(const std::ostringstream& os) { throw std::invalid_argument(os.str()); }

void check_range(const SceneManager& scene, const std::string& what, long long offset, long long count) {
    const long long size = static_cast<long long>(scene.spectral_length());
    if (offset >= 0 && offset + count <= size) return;
    std::ostringstream os;
    os << kEngine << ": " << what << " reads spectral values " << offset << " to " << offset + count - 1
       << ", but the spectral array holds " << size << " values";
    refuse(os);
}

void check_sensor(const SensorData& s, int num_bands) {
    std::ostringstream os;
    if (s.width < 1 || s.height < 1) {
        os << kEngine << ": the sensor must have at least one pixel in each direction, got width " << s.width
           << " and height " << s.height;
        refuse(os);
    }
    const double values = double(s.width) * double(s.height) * double(num_bands);
    if (values > double(std::numeric_limits<int32_t>::max())) {
        os << kEngine << ": an image of " << s.width << " x " << s.height << " pixels x " << num_bands
           << " bands exceeds the 2^31 values a launch can hold";
        refuse(os);
    }
    for (int i = 0; i < 16; ++i) {
        if (!std::isfinite(s.cam_xform[i])) {
            os << kEngine << ": sensor cam_xform value " << i << " is " << s.cam_xform[i] << "; it must be finite";
            refuse(os);
        }
    }
    if (s.type == kSensorOrthographic && !(s.ortho_w > 0.0f && s.ortho_h > 0.0f && std::isfinite(s.ortho_w) &&
                                           std::isfinite(s.ortho_h))) {
        os << kEngine << ": an orthographic sensor needs a positive finite footprint, got ortho_w " << s.ortho_w
           << " and ortho_h " << s.ortho_h;
        refuse(os);
    }
    if (s.type == kSensorPerspective && !(s.fov > 0.0f && s.fov < 3.1415927f)) {
        os << kEngine << ": a perspective sensor needs a field of view in (0, 180) degrees, got "
           << s.fov * 180.0f / 3.1415927f << " degrees";
        refuse(os);
    }
}

}  // namespace

void check_scene_for_gpu_backward(const SceneManager& scene) {
    const int nb = scene.num_bands();
    if (nb < 1) {
        std::ostringstream os;
        os << kEngine << ": num_bands must be at least 1, got " << nb;
        refuse(os);
    }
    check_sensor(scene.sensor(), nb);

    const std::vector<MaterialData>& materials = scene.materials();
    std::vector<bool> used(materials.size(), false);
    for (std::size_t i = 0; i < scene.host_meshes().size(); ++i) {
        const int mid = scene.host_meshes()[i].material;
        if (mid < 0 || static_cast<std::size_t>(mid) >= materials.size()) {
            std::ostringstream os;
            os << kEngine << ": mesh " << i << " uses material " << mid << ", but the scene has "
               << materials.size() << " materials";
            refuse(os);
        }
        used[static_cast<std::size_t>(mid)] = true;
    }

    const bool thermal = scene.thermal_mode();
    if (thermal && scene.thermal_wavelengths().size() < static_cast<std::size_t>(nb)) {
        std::ostringstream os;
        os << kEngine << ": thermal mode needs one wavelength per band, got " << scene.thermal_wavelengths().size()
           << " wavelengths for " << nb << " bands";
        refuse(os);
    }
    for (std::size_t i = 0; i < materials.size(); ++i) {
        const int arrays = material_array_count(materials[i].type, thermal);
        if (used[i] && arrays > 0)
            check_range(scene, "material " + std::to_string(i), materials[i].spectral_offset,
                        static_cast<long long>(arrays) * nb);
    }
    const float3 sun = scene.emitter().direction;
    if (!(std::isfinite(sun.x) && std::isfinite(sun.y) && std::isfinite(sun.z))) {
        std::ostringstream os;
        os << kEngine << ": the sun direction (" << sun.x << ", " << sun.y << ", " << sun.z << ") is not finite";
        refuse(os);
    }
    const bool has_sun = sun.x != 0.0f || sun.y != 0.0f || sun.z != 0.0f;
    if (has_sun && !thermal) check_range(scene, "the sun irradiance", scene.emitter().spectral_offset, nb);
    const SceneData sd = scene.get_scene_data();
    if (sd.hw_sky_offset >= 0)
        check_range(scene, "the parametric sky", sd.hw_sky_offset, 10LL * nb);
    else if (sd.sky >= 0)
        check_range(scene, "the constant sky", sd.sky, nb);
}

}  // namespace norvi
