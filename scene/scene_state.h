#pragma once
// Everything a scene was given, as plain host data: meshes, instances,
// materials, the spectral array and every light, sensor and tile setting,
// plus whether the scene was built. The Python layer turns it into a
// dictionary of arrays (the scene's state, its pickle and its file) and back.
//
// Gathering a scene's state and rebuilding a scene from it are written once,
// in scene/scene_state_impl.h, for every scene class; each class adds only how
// its meshes, instances and SIF spectra read and write (SceneStateAccess).

#include <memory>
#include <vector>

#include "scene/types.h"

namespace norvi {

namespace embree {
class EmbreeSceneManager;
}

struct SceneMeshState {
    std::vector<float3> vertices;
    std::vector<float3> normals;  // empty, or one per vertex
    std::vector<int3> indices;
    int material_id = 0;
};

struct SceneInstanceState {
    int mesh_id = 0;
    float xform[12];  // row-major 3x4 [R | t]
};

struct SceneState {
    std::vector<SceneMeshState> meshes;
    std::vector<SceneInstanceState> instances;
    std::vector<MaterialData> materials;  // whole records, params included
    std::vector<float> spectral;
    int num_bands = 1;
    EmitterData emitter{};
    SensorData sensor{};
    bool terrain_following = false;
    int sky_offset = -1;
    int hw_sky_offset = -1;
    float3 hw_sky_sun{0.0f, 0.0f, 1.0f};
    int num_repetitions = 0;
    float scene_x_size = 0.0f;
    float scene_y_size = 0.0f;
    bool thermal_mode = false;
    std::vector<float> thermal_wavelengths;
    float measurement_height = 0.0f;
    // Per-primitive temperatures [K] and emissivities, in the global primitive
    // order (instances in order, then the triangles of each instance's mesh);
    // empty when the scene has none.
    std::vector<float> primitive_temperatures;
    std::vector<float> primitive_emissivities;
    // Per-primitive SIF emission spectra, band-major (n_sif_bands x P), and
    // whether images hold SIF alone; only the GPU scene has them (empty, 0,
    // false elsewhere).
    std::vector<float> primitive_sif_spectra;
    int n_sif_bands = 0;
    bool sif_only = false;
    bool built = false;
};

// A copy of what the CPU scene holds.
SceneState scene_state(const embree::EmbreeSceneManager& scene);

// A new CPU scene filled from `state` and built when the state says it was.
// Bad meshes, instances, settings or per-primitive arrays throw
// std::invalid_argument naming the mesh, the instance or the state field; the
// half-filled scene is destroyed, nothing else is touched. SIF spectra are
// refused: the CPU engines do not emit SIF.
std::unique_ptr<embree::EmbreeSceneManager> scene_from_state(const SceneState& state);

}  // namespace norvi
