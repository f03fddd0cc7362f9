#pragma once
// The CPU scene: host copies of meshes, instances, materials, the spectral
// array and the light / sensor settings, plus a two-level Embree acceleration
// structure (one Embree scene per mesh, shared by all of its instances, and one
// top-level scene of instances).
//
// Building, adding and setting are single-threaded. Once built, trace_ray,
// trace_shadow and occluded_periodic only read and may be called from many
// threads at once.

#include <algorithm>
#include <cstdint>
#include <limits>
#include <mutex>
#include <string>
#include <vector>

#include "scene/embree_handles.h"
#include "scene/hit_record.h"
#include "scene/input_checks.h"
#include "scene/periodic_wrap.h"
#include "scene/types.h"

namespace norvi::embree {

// One mesh, in object space.
struct EmbreeMesh {
    std::vector<float3> vertices;
    std::vector<float3> normals;  // empty, or one shading normal per vertex
    std::vector<int3> indices;    // one triangle per entry, zero-based into vertices
    int material_id = 0;
};

// One placement of a mesh in the world.
struct EmbreeInstance {
    int mesh_id = 0;
    float xform[12] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0};  // row-major 3x4 [R | t]
    unsigned int geom_id = RTC_INVALID_GEOMETRY_ID;          // top-level geometry id, set by build
};

// Per-instance lookup rebuilt by every build, in instance order.
struct InstanceInfo {
    int mesh_id;
    int material_id;
};

// Closest-hit result. A miss has every field zero or false.
using norvi::HitRecord;

class EmbreeSceneManager {
public:
    EmbreeSceneManager();
    ~EmbreeSceneManager();

    // The Embree device keeps a pointer to this object for error reporting.
    EmbreeSceneManager(const EmbreeSceneManager&) = delete;
    EmbreeSceneManager& operator=(const EmbreeSceneManager&) = delete;
    EmbreeSceneManager(EmbreeSceneManager&&) = delete;
    EmbreeSceneManager& operator=(EmbreeSceneManager&&) = delete;

    // --- filling -----------------------------------------------------------
    // Each add returns the new item's zero-based id. Bad input throws
    // std::invalid_argument and leaves the scene unchanged.
    int add_mesh(std::vector<float3> vertices, std::vector<float3> normals,
                 std::vector<int3> indices, int material_id);
    int add_instance(int mesh_id, const float* xform12);
    int add_instance(int mesh_id, float x, float y, float z, float scale);
    void update_instance_transform(int id, const float* xform12);
    int add_material(MaterialType type, int spectral_offset);
    MaterialData& material(int id);

    // Setters refuse (std::invalid_argument, naming the argument) values the
    // tracer cannot use: vertices, tile sizes and plane heights outside the
    // coordinate range of scene/input_checks.h, instance transforms it cannot
    // invert, a band count below 1, non-positive thermal wavelengths. The
    // emitter direction is stored normalised; zero means no sun.
    void set_num_bands(int num_bands);
    void upload_spectral_params(const std::vector<float>& values);
    void update_spectral_params(int offset, const std::vector<float>& values);
    void set_emitter(EmitterType type, float3 direction, int spectral_offset);
    void update_emitter_direction(float3 direction);
    void set_sensor(const SensorData& sensor);
    void set_terrain_following(bool enabled) { terrain_following_ = enabled; }
    void set_sky(int spectral_offset) { sky_offset_ = spectral_offset; }
    void set_hw_sky(int spectral_offset, float3 sun);
    void set_repetitive(int num_repetitions, float scene_x_size, float scene_y_size);
    void set_thermal_mode(bool enabled, const std::vector<float>& wavelengths);
    void set_measurement_height(float height);

    // --- building ----------------------------------------------------------
    void build();
    void build_reuse_gas();
    void clear_for_reuse();
    void refit_ias();

    // Throws std::invalid_argument when a mesh names a material that does not
    // exist. Materials may be added after meshes and after build, so the
    // engines call this when they start.
    void check_materials() const;

    // --- queries (const, thread-safe once built) ----------------------------
    HitRecord trace_ray(float3 origin, float3 direction) const;
    bool trace_shadow(float3 origin, float3 direction, float tmax) const;
    bool occluded_periodic(float3 origin, float3 direction) const;
    // In a repetitive scene, moves a ray that missed through the tile wall it
    // crosses to the opposite wall (periodic_wrap), unless the ray has left
    // the height range of what is traced for good. False when not moved.
    bool wrap_periodic(float3& p, float3 d) const {
        return periodic_wrap_in_scene(p, d, scene_x_size_, scene_y_size_, traced_bottom_,
                                      traced_top_) >= 0.0f;
    }
    // Wraps one ray may make: the repetition count, capped at kMaxPeriodicWraps.
    int wrap_budget() const { return std::min(num_repetitions_, kMaxPeriodicWraps); }
    // Height range of the geometry the tracer holds (empty, bottom > top,
    // without instances); refreshed by build and refit_ias.
    float traced_bottom() const { return traced_bottom_; }
    float traced_top() const { return traced_top_; }

    // --- accessors -----------------------------------------------------------
    uint32_t total_triangles() const;
    std::vector<uint32_t> instance_triangle_counts() const;

    bool is_built() const { return built_; }
    bool has_meshes() const { return !meshes_.empty(); }
    int num_meshes() const { return static_cast<int>(meshes_.size()); }
    int num_instances() const { return static_cast<int>(instances_.size()); }
    int num_materials() const { return static_cast<int>(materials_.size()); }
    const std::vector<EmbreeMesh>& meshes() const { return meshes_; }
    const std::vector<EmbreeInstance>& instances() const { return instances_; }
    const std::vector<MaterialData>& materials() const { return materials_; }
    const std::vector<InstanceInfo>& instance_info() const { return instance_info_; }
    const std::vector<float>& spectral_params() const { return spectral_; }
    const EmitterData& emitter() const { return emitter_; }
    const SensorData& sensor() const { return sensor_; }
    int num_bands() const { return num_bands_; }
    int sky_offset() const { return sky_offset_; }
    int hw_sky_offset() const { return hw_sky_offset_; }
    float3 hw_sky_sun() const { return hw_sky_sun_; }
    int num_repetitions() const { return num_repetitions_; }
    float scene_x_size() const { return scene_x_size_; }
    float scene_y_size() const { return scene_y_size_; }
    // Periodic mode is active with at least one repetition and a tile of positive size.
    bool is_repetitive() const {
        return num_repetitions_ >= 1 && scene_x_size_ > 0.0f && scene_y_size_ > 0.0f;
    }
    bool terrain_following() const { return terrain_following_; }
    bool thermal_mode() const { return thermal_mode_; }
    const std::vector<float>& thermal_wavelengths() const { return thermal_wavelengths_; }
    const SceneBounds& bounds() const { return bounds_; }
    float measurement_height() const { return measurement_height_; }
    RTCScene top_scene() const { return top_scene_.get(); }
    // Host memory each instance costs (its record, lookup and shading entries),
    // whatever the size of its mesh.
    static constexpr std::size_t host_bytes_per_instance() {
        return sizeof(EmbreeInstance) + sizeof(InstanceInfo) + sizeof(InstanceShade);
    }
    RTCDevice device() const { return device_.get(); }

    // --- per-primitive data (scene/embree_primitives.cpp) --------------------
    // A primitive is one triangle of one instance; the global order is the
    // instances in order, then the triangles of each instance's mesh. Counts
    // and offsets are those of the last build (0 before any build).
    long long n_primitives() const {
        return prim_offsets_.empty() ? 0 : prim_offsets_.back();
    }
    // num_instances + 1 entries: the global index of instance k's first triangle.
    const std::vector<long long>& instance_prim_offsets() const { return prim_offsets_; }
    // World-space vertices of triangle `tri` of instance `inst`.
    void primitive_vertices(int inst, int tri, float3& v0, float3& v1, float3& v2) const;
    std::vector<float> primitive_areas() const;
    std::vector<int32_t> primitive_material_ids() const;
    // Per-primitive temperatures [K] and long-wave emissivities: the length
    // must equal n_primitives() (std::runtime_error otherwise, nothing
    // changes); negative or non-finite temperatures and emissivities outside
    // [0, 1] are refused with std::invalid_argument.
    void set_primitive_temperatures(const std::vector<float>& values);
    void set_primitive_emissivities(const std::vector<float>& values);
    void clear_primitive_temperatures() { prim_temperatures_.clear(); }
    void clear_primitive_emissivities() { prim_emissivities_.clear(); }
    const std::vector<float>& primitive_temperatures() const { return prim_temperatures_; }
    const std::vector<float>& primitive_emissivities() const { return prim_emissivities_; }

private:
    void build_scene_();
    void update_traced_range_();
    void compute_bounds_();
    void compute_prim_offsets_();
    void set_instance_transform_(RTCGeometry geom, const float* xform12) const;
    void check_device_error_(const char* what);
    static void error_callback_(void* user, RTCError code, const char* message);

    // First error reported by Embree since the last check. Declared first so
    // that it outlives the device, whose callback writes it.
    mutable std::mutex error_mutex_;
    RTCError error_code_ = RTC_ERROR_NONE;
    std::string error_message_;

    // Scene state. The declaration order is also the reverse release order:
    // per-mesh scenes first, then the top-level scene, then the device.
    DeviceHandle device_;
    SceneHandle top_scene_;
    std::vector<EmbreeMesh> meshes_;
    // Object-space vertex box of each mesh (lo > hi when it has no vertices),
    // kept to check instance transforms without a walk over the vertices.
    std::vector<MeshBox> mesh_boxes_;
    std::vector<EmbreeInstance> instances_;
    std::vector<MaterialData> materials_;
    std::vector<float> spectral_;
    EmitterData emitter_{};
    SensorData sensor_{};
    int num_bands_ = 1;
    int sky_offset_ = -1;
    int hw_sky_offset_ = -1;
    float3 hw_sky_sun_{0.0f, 0.0f, 1.0f};
    int num_repetitions_ = 0;
    float scene_x_size_ = 0.0f;
    float scene_y_size_ = 0.0f;
    bool built_ = false;
    bool terrain_following_ = false;
    bool thermal_mode_ = false;
    SceneBounds bounds_{};
    float measurement_height_ = 0.0f;
    float traced_bottom_ = std::numeric_limits<float>::infinity();  // empty until built
    float traced_top_ = -std::numeric_limits<float>::infinity();
    std::vector<float> thermal_wavelengths_;
    std::vector<InstanceInfo> instance_info_;
    std::vector<SceneHandle> mesh_scenes_;

    // Hit-shading cache rebuilt by build(): per instance, what trace_ray
    // needs in one record; per mesh (a table small enough to stay in cache),
    // where its triangles' vertex normals are found in the host arrays.
    struct InstanceShade {
        float r[9];  // the instance's 3x3 part, row-major
        int material_id;
        uint32_t mesh;
    };
    struct MeshShade {
        const float3* normals;  // one per vertex, or null
        const int3* indices;
        uint32_t num_triangles;
    };
    std::vector<InstanceShade> shade_;
    std::vector<MeshShade> mesh_shade_;

    std::vector<long long> prim_offsets_;  // empty until built
    std::vector<float> prim_temperatures_;
    std::vector<float> prim_emissivities_;
};

}  // namespace norvi::embree
