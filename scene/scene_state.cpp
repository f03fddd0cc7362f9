#include "scene/scene_state.h"

#include <cstring>
#include <stdexcept>
#include <string>

#include "scene/embree_scene.h"
#include "scene/input_checks.h"

namespace norvi {

using embree::EmbreeSceneManager;

SceneState scene_state(const EmbreeSceneManager& scene) {
    SceneState s;
    s.meshes.reserve(scene.meshes().size());
    for (const embree::EmbreeMesh& m : scene.meshes())
        s.meshes.push_back({m.vertices, m.normals, m.indices, m.material_id});
    s.instances.reserve(scene.instances().size());
    for (const embree::EmbreeInstance& inst : scene.instances()) {
        SceneInstanceState i;
        i.mesh_id = inst.mesh_id;
        std::memcpy(i.xform, inst.xform, sizeof(i.xform));
        s.instances.push_back(i);
    }
    s.materials = scene.materials();
    s.spectral = scene.spectral_params();
    s.num_bands = scene.num_bands();
    s.emitter = scene.emitter();
    s.sensor = scene.sensor();
    s.terrain_following = scene.terrain_following();
    s.sky_offset = scene.sky_offset();
    s.hw_sky_offset = scene.hw_sky_offset();
    s.hw_sky_sun = scene.hw_sky_sun();
    s.num_repetitions = scene.num_repetitions();
    s.scene_x_size = scene.scene_x_size();
    s.scene_y_size = scene.scene_y_size();
    s.thermal_mode = scene.thermal_mode();
    s.thermal_wavelengths = scene.thermal_wavelengths();
    s.measurement_height = scene.measurement_height();
    s.primitive_temperatures = scene.primitive_temperatures();
    s.primitive_emissivities = scene.primitive_emissivities();
    s.built = scene.is_built();
    return s;
}

std::unique_ptr<EmbreeSceneManager> scene_from_state(const SceneState& s) {
    auto scene = std::make_unique<EmbreeSceneManager>();
    for (std::size_t i = 0; i < s.meshes.size(); ++i) {
        const SceneMeshState& m = s.meshes[i];
        try {
            scene->add_mesh(m.vertices, m.normals, m.indices, m.material_id);
        } catch (const std::invalid_argument& e) {
            throw std::invalid_argument("mesh " + std::to_string(i) + ": " + e.what());
        }
    }
    for (std::size_t i = 0; i < s.instances.size(); ++i) {
        try {
            scene->add_instance(s.instances[i].mesh_id, s.instances[i].xform);
        } catch (const std::invalid_argument& e) {
            throw std::invalid_argument("instance " + std::to_string(i) + ": " + e.what());
        }
    }
    for (const MaterialData& m : s.materials) {
        const int id = scene->add_material(m.type, m.spectral_offset);
        std::memcpy(scene->material(id).params, m.params, sizeof(m.params));
    }
    // A setter's refusal names the state field it came from.
    auto field = [](const char* name, auto&& set) {
        try {
            set();
        } catch (const std::exception& e) {
            throw std::invalid_argument(std::string(name) + ": " + e.what());
        }
    };
    auto& sc = *scene;
    field("spectral_params", [&] { sc.upload_spectral_params(s.spectral); });
    field("num_bands", [&] { sc.set_num_bands(s.num_bands); });
    field("emitter_direction", [&] {
        sc.set_emitter(s.emitter.type, s.emitter.direction, s.emitter.spectral_offset);
    });
    field("sensor_cam_xform", [&] {
        // What set_sensor's caller checks: every value that places a camera ray.
        for (const float v : s.sensor.cam_xform) require_coordinate(v, "sensor_cam_xform");
        require_coordinate(s.sensor.ortho_w, "sensor_ortho_w");
        require_coordinate(s.sensor.ortho_h, "sensor_ortho_h");
        require_finite(s.sensor.fov, "sensor_fov");
        sc.set_sensor(s.sensor);
    });
    sc.set_terrain_following(s.terrain_following);
    sc.set_sky(s.sky_offset);
    field("hw_sky_sun", [&] { sc.set_hw_sky(s.hw_sky_offset, s.hw_sky_sun); });
    field("scene_x_size", [&] {
        sc.set_repetitive(s.num_repetitions, s.scene_x_size, s.scene_y_size);
    });
    field("thermal_wavelengths", [&] {
        sc.set_thermal_mode(s.thermal_mode, s.thermal_wavelengths);
    });
    field("measurement_height", [&] { sc.set_measurement_height(s.measurement_height); });
    // Per-primitive data is counted over the built instances.
    if (s.built) scene->build();
    try {
        if (!s.primitive_temperatures.empty())
            scene->set_primitive_temperatures(s.primitive_temperatures);
    } catch (const std::exception& e) {
        throw std::invalid_argument(std::string("primitive_temperatures: ") + e.what());
    }
    try {
        if (!s.primitive_emissivities.empty())
            scene->set_primitive_emissivities(s.primitive_emissivities);
    } catch (const std::exception& e) {
        throw std::invalid_argument(std::string("primitive_emissivities: ") + e.what());
    }
    return scene;
}

}  // namespace norvi
