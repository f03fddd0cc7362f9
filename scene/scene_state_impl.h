#pragma once
// Gathering a scene's state and filling a scene from one, for any scene class
// with the common setters and accessors (the CPU and the GPU scene). What
// differs between the classes lives in a specialisation of SceneStateAccess,
// defined before these templates are instantiated:
//   static std::vector<SceneMeshState> meshes(const Scene&);
//   static std::vector<SceneInstanceState> instances(const Scene&);
//   static void gather_sif(const Scene&, SceneState&);
//   static void set_num_bands(Scene&, int);     // a GPU scene keeps 0 as "unset"
//   static void set_sif(Scene&, const SceneState&);  // after the build

#include <cstring>
#include <exception>
#include <stdexcept>
#include <string>

#include "scene/input_checks.h"
#include "scene/scene_state.h"

namespace norvi {

template <class Scene>
struct SceneStateAccess;

template <class Scene>
SceneState gather_scene_state(const Scene& scene) {
    using Access = SceneStateAccess<Scene>;
    SceneState s;
    s.meshes = Access::meshes(scene);
    s.instances = Access::instances(scene);
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
    Access::gather_sif(scene, s);
    s.built = scene.is_built();
    return s;
}

// Runs set(); a refusal is rethrown as std::invalid_argument naming `field`.
template <class Set>
void set_state_field(const char* field, Set&& set) {
    try {
        set();
    } catch (const std::exception& e) {
        throw std::invalid_argument(std::string(field) + ": " + e.what());
    }
}

// Fills an empty scene from `s` and builds it when the state says it was
// built. The caller throws the scene away when this throws.
template <class Scene>
void fill_scene_from_state(Scene& scene, const SceneState& s) {
    using Access = SceneStateAccess<Scene>;
    for (std::size_t i = 0; i < s.meshes.size(); ++i) {
        const SceneMeshState& m = s.meshes[i];
        try {
            scene.add_mesh(m.vertices, m.normals, m.indices, m.material_id);
        } catch (const std::invalid_argument& e) {
            throw std::invalid_argument("mesh " + std::to_string(i) + ": " + e.what());
        }
    }
    for (std::size_t i = 0; i < s.instances.size(); ++i) {
        try {
            scene.add_instance(s.instances[i].mesh_id, s.instances[i].xform);
        } catch (const std::invalid_argument& e) {
            throw std::invalid_argument("instance " + std::to_string(i) + ": " + e.what());
        }
    }
    for (const MaterialData& m : s.materials) {
        const int id = scene.add_material(m.type, m.spectral_offset);
        std::memcpy(scene.material(id).params, m.params, sizeof(m.params));
    }
    set_state_field("spectral_params", [&] { scene.upload_spectral_params(s.spectral); });
    set_state_field("num_bands", [&] { Access::set_num_bands(scene, s.num_bands); });
    set_state_field("emitter_direction", [&] {
        scene.set_emitter(s.emitter.type, s.emitter.direction, s.emitter.spectral_offset);
    });
    set_state_field("sensor_cam_xform", [&] {
        // What set_sensor's caller checks: every value that places a camera ray.
        for (const float v : s.sensor.cam_xform) require_coordinate(v, "sensor_cam_xform");
        require_coordinate(s.sensor.ortho_w, "sensor_ortho_w");
        require_coordinate(s.sensor.ortho_h, "sensor_ortho_h");
        require_finite(s.sensor.fov, "sensor_fov");
        // The field of view is stored in radians; it must open as set_sensor
        // requires (perspective below 180 degrees, fisheye at most 360).
        const float pi = 3.1415927f, fov = s.sensor.fov;
        if ((s.sensor.type == kSensorPerspective && !(fov > 0.0f && fov < pi)) ||
            (s.sensor.type == kSensorFisheye && !(fov > 0.0f && fov <= 2.0f * pi + 1e-6f)))
            throw std::invalid_argument(
                "sensor_fov " + std::to_string(fov) + " (radians) must lie in " +
                (s.sensor.type == kSensorPerspective ? "(0, pi) for a perspective sensor"
                                                     : "(0, 2 pi] for a fisheye sensor"));
        scene.set_sensor(s.sensor);
    });
    scene.set_terrain_following(s.terrain_following);
    scene.set_sky(s.sky_offset);
    set_state_field("hw_sky_sun", [&] { scene.set_hw_sky(s.hw_sky_offset, s.hw_sky_sun); });
    set_state_field("scene_x_size", [&] {
        scene.set_repetitive(s.num_repetitions, s.scene_x_size, s.scene_y_size);
    });
    set_state_field("thermal_wavelengths",
                    [&] { scene.set_thermal_mode(s.thermal_mode, s.thermal_wavelengths); });
    set_state_field("measurement_height",
                    [&] { scene.set_measurement_height(s.measurement_height); });
    // Per-primitive data is counted over the built instances.
    if (s.built) scene.build();
    set_state_field("primitive_temperatures", [&] {
        if (!s.primitive_temperatures.empty())
            scene.set_primitive_temperatures(s.primitive_temperatures);
    });
    set_state_field("primitive_emissivities", [&] {
        if (!s.primitive_emissivities.empty())
            scene.set_primitive_emissivities(s.primitive_emissivities);
    });
    set_state_field("primitive_sif_spectra", [&] { Access::set_sif(scene, s); });
}

}  // namespace norvi
