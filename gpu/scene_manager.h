#pragma once
// SceneManager: one GPU scene. Host copies of meshes, instances, materials,
// emitter, sensor, sky and per-primitive data; their device copies; one
// geometry acceleration structure (GAS) per mesh and one instance
// acceleration structure (IAS) over all instances. Simulator reads it through
// get_scene_data() and get_hitgroup_data().
//
// Every device allocation is a DeviceBuffer owned by the scene, so nothing
// leaks when a step throws; free_gpu() (and the destructor) release them all.

#include <cstdint>
#include <string>
#include <vector>

#include "gpu/device_buffer.h"
#include "gpu/device_records.h"
#include "gpu/optix/optix_types.h"
#include "gpu/optix_context.h"
#include "scene/input_checks.h"
#include "scene/types.h"

namespace norvi {

struct HostMesh {
    std::vector<float3> vertices;
    std::vector<float3> normals;  // one per vertex, or empty
    std::vector<int3> indices;
    int material = 0;
};

struct GPUMesh {
    DeviceBuffer vertices, normals, indices;
    uint32_t num_vertices = 0;
    uint32_t num_triangles = 0;
    uint32_t material = 0;
    optix::OptixTraversableHandle gas_handle = 0;
    DeviceBuffer gas_output;
};

class SceneManager {
public:
    explicit SceneManager(OptiXContext& context);
    ~SceneManager();
    SceneManager(const SceneManager&) = delete;
    SceneManager& operator=(const SceneManager&) = delete;

    // --- settings read at the next get_scene_data() ---------------------------
    void set_num_bands(int num_bands);
    void set_sensor(const SensorData& sensor) { sensor_ = sensor; }
    void set_terrain_following(bool enabled) { terrain_following_ = enabled; }
    void set_sky(int spectral_offset) { sky_mode_ = spectral_offset; }
    void set_hw_sky(int spectral_offset, float3 sun);
    void set_repetitive(int num_repetitions, float scene_x_size, float scene_y_size);
    void set_measurement_height(float height);
    void set_sif_only_mode(bool enabled) { sif_only_ = enabled; }

    // --- content ----------------------------------------------------------------
    // Every value that places geometry, a direction or a tile is checked as
    // the CPU scene checks it (scene/input_checks.h): bad input throws
    // std::invalid_argument naming the argument and leaves the scene
    // unchanged; add_instance also refuses a mesh id that does not exist.
    int add_mesh(const std::vector<float3>& vertices, const std::vector<float3>& normals,
                 const std::vector<int3>& indices, int material_id);
    int add_instance(int mesh_id, const float* xform12);
    int add_instance(int mesh_id, float x, float y, float z, float scale);
    int add_material(MaterialType type, int spectral_offset);
    MaterialData& material(int id);
    void set_emitter(EmitterType type, float3 direction, int spectral_offset);
    void update_emitter_direction(float3 direction);
    void upload_spectral_params(const std::vector<float>& values);
    void update_spectral_params(int offset, const std::vector<float>& values);
    void set_thermal_mode(bool enabled, const std::vector<float>& wavelengths);
    void update_instance_transform(int id, const float* xform12);

    // --- per-primitive data (after a build) ---------------------------------------
    void set_primitive_temperatures(const std::vector<float>& temperatures);
    void set_primitive_emissivities(const std::vector<float>& emissivities);
    void set_primitive_sif_spectra(const std::vector<float>& spectra, int n_sif_bands);
    void clear_primitive_temperatures();
    void clear_primitive_emissivities();
    void clear_primitive_sif_spectra();

    // --- building -------------------------------------------------------------------
    void build();
    // build_ias(), and the bounds of the instances where they are now.
    void rebuild_ias() {
        build_ias();
        compute_bounds_();
    }
    void refit_ias();
    void clear_for_reuse();
    void build_reuse_gas();
    void free_gpu();

    // --- queries ----------------------------------------------------------------------
    uint32_t total_triangles() const;
    std::vector<uint32_t> instance_triangle_counts() const;
    SceneData get_scene_data() const;
    std::vector<HitGroupData> get_hitgroup_data() const;

    bool is_built() const { return built_; }
    bool has_gpu_meshes() const { return !gpu_meshes_.empty(); }
    int num_meshes() const { return static_cast<int>(host_meshes_.size()); }
    int num_instances() const { return static_cast<int>(instances_.size()); }
    int num_bands() const { return num_bands_; }
    std::size_t n_primitives() const { return prim_areas_.size(); }
    float max_height() const { return z_max_; }
    float min_height() const { return z_min_; }
    float x_min() const { return x_min_; }
    float x_max() const { return x_max_; }
    float y_min() const { return y_min_; }
    float y_max() const { return y_max_; }
    const std::vector<HostMesh>& host_meshes() const { return host_meshes_; }
    const std::vector<InstanceData>& instances() const { return instances_; }
    const std::vector<MaterialData>& materials() const { return materials_; }
    const EmitterData& emitter() const { return emitter_; }
    const SensorData& sensor() const { return sensor_; }
    std::size_t spectral_length() const { return spectral_length_; }
    // Host copies of what was given, for the scene's state.
    const std::vector<float>& spectral_params() const { return spectral_; }
    int sky_offset() const { return sky_mode_; }
    int hw_sky_offset() const { return hw_sky_offset_; }
    float3 hw_sky_sun() const { return hw_sky_sun_; }
    int num_repetitions() const { return num_repetitions_; }
    float scene_x_size() const { return scene_x_size_; }
    float scene_y_size() const { return scene_y_size_; }
    bool terrain_following() const { return terrain_following_; }
    float measurement_height() const { return measurement_height_; }
    const std::vector<float>& primitive_emissivities() const { return prim_emissivities_; }
    const std::vector<float>& primitive_sif_spectra() const { return prim_sif_spectra_; }
    bool thermal_mode() const { return thermal_; }
    const std::vector<float>& thermal_wavelengths() const { return thermal_wavelengths_; }
    const std::vector<float>& primitive_areas() const { return prim_areas_; }
    const std::vector<int32_t>& primitive_material_ids() const { return prim_material_ids_; }
    const std::vector<float>& primitive_temperatures() const { return prim_temperatures_; }
    int n_sif_bands() const { return n_sif_bands_; }
    bool sif_only() const { return sif_only_; }
    OptiXContext& context() const { return context_; }

    // --- internal steps -----------------------------------------------------------------
    void upload_mesh(int i);
    void build_gas(int i);
    void build_ias();
    void upload_materials();
    void upload_emitter();
    void populate_primitive_buffers();
    void upload_primitive_buffers();
    void clear_primitive_buffers();

private:
    optix::OptixBuildInput ias_input_() const;
    void compute_bounds_();

    OptiXContext& context_;
    bool built_ = false;
    std::vector<HostMesh> host_meshes_;
    std::vector<MeshBox> mesh_boxes_;  // one per host mesh, for the transform checks
    std::vector<InstanceData> instances_;
    int num_bands_ = 0;
    std::vector<GPUMesh> gpu_meshes_;

    optix::OptixTraversableHandle ias_handle_ = 0;
    DeviceBuffer ias_output_;
    DeviceBuffer ias_instances_;
    DeviceBuffer ias_update_;

    std::vector<MaterialData> materials_;
    DeviceBuffer d_materials_;
    DeviceBuffer d_spectral_;
    std::vector<float> spectral_;  // what the device array holds
    std::size_t spectral_length_ = 0;
    EmitterData emitter_{};
    DeviceBuffer d_emitter_;
    SensorData sensor_{};

    int sky_mode_ = -1;
    int hw_sky_offset_ = -1;
    float3 hw_sky_sun_{0.0f, 0.0f, 1.0f};
    int num_repetitions_ = 0;
    float scene_x_size_ = 0.0f;
    float scene_y_size_ = 0.0f;
    float z_max_ = 0.0f, z_min_ = 0.0f, x_min_ = 0.0f, x_max_ = 0.0f, y_min_ = 0.0f, y_max_ = 0.0f;
    float measurement_height_ = 0.0f;
    bool terrain_following_ = false;
    bool thermal_ = false;
    std::vector<float> thermal_wavelengths_;
    DeviceBuffer d_thermal_wavelengths_;

    std::vector<float3> prim_v0_, prim_v1_, prim_v2_, prim_normals_;
    std::vector<float> prim_areas_;
    std::vector<int32_t> prim_material_ids_;
    std::vector<int32_t> instance_prim_offsets_;
    DeviceBuffer d_prim_v0_, d_prim_v1_, d_prim_v2_, d_prim_normals_, d_prim_areas_, d_prim_material_ids_;
    DeviceBuffer d_instance_prim_offsets_;

    std::vector<float> prim_temperatures_;
    DeviceBuffer d_prim_temperatures_;
    std::vector<float> prim_emissivities_;
    DeviceBuffer d_prim_emissivities_;
    int n_sif_bands_ = 0;
    std::vector<float> prim_sif_spectra_;
    DeviceBuffer d_prim_sif_spectra_;
    bool sif_only_ = false;
};

}  // namespace norvi
