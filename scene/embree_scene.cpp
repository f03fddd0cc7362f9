#include "scene/embree_scene.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <sstream>
#include <stdexcept>

#include "scene/huge_pages.h"
#include "scene/input_checks.h"
#include "scene/periodic_wrap.h"
#include "scene/vec_math.h"

namespace norvi::embree {

namespace {

constexpr float kTNear = kRayTNear;
constexpr float kTFar = kRayTFar;

// The tracer's own limit on ray components (Embree refuses anything above
// about 1.8e18, and NaN). Rays outside it are never handed over.
constexpr float kMaxRayComponent = 1e18f;

bool ray_is_traceable(float3 o, float3 d) {
    return std::fabs(o.x) <= kMaxRayComponent && std::fabs(o.y) <= kMaxRayComponent &&
           std::fabs(o.z) <= kMaxRayComponent && std::fabs(d.x) <= kMaxRayComponent &&
           std::fabs(d.y) <= kMaxRayComponent && std::fabs(d.z) <= kMaxRayComponent;
}

// normalize() with its common case inlined: the same bits, without a call
// on every hit.
inline float3 unit(float3 a) {
    const float len2 = dot(a, a);
    if (len2 > 1e-30f && len2 < 1e30f) return a * (1.0f / sqrtf(len2));
    return normalize(a);
}

}  // namespace

EmbreeSceneManager::EmbreeSceneManager() {
    device_.reset(rtcNewDevice(nullptr));
    if (!device_) throw std::runtime_error("Failed to create Embree device");
    rtcSetDeviceErrorFunction(device_.get(), &EmbreeSceneManager::error_callback_, this);
}

EmbreeSceneManager::~EmbreeSceneManager() {
    // Embree reads the mesh arrays in place: let go of every scene that holds
    // them (the instances keep their mesh scenes alive) before they are freed.
    top_scene_.reset();
    mesh_scenes_.clear();
}

// Embree reports errors through this callback. Never throw through it: record
// the first error and let the caller check after the operation.
void EmbreeSceneManager::error_callback_(void* user, RTCError code, const char* message) {
    auto* self = static_cast<EmbreeSceneManager*>(user);
    std::lock_guard<std::mutex> lock(self->error_mutex_);
    if (self->error_code_ == RTC_ERROR_NONE) {
        self->error_code_ = code;
        self->error_message_ = message ? message : "";
    }
}

void EmbreeSceneManager::check_device_error_(const char* what) {
    std::lock_guard<std::mutex> lock(error_mutex_);
    if (error_code_ == RTC_ERROR_NONE) return;
    std::ostringstream os;
    os << "Embree error during " << what << " (code " << static_cast<int>(error_code_) << ")";
    if (!error_message_.empty()) os << ": " << error_message_;
    error_code_ = RTC_ERROR_NONE;
    error_message_.clear();
    throw std::runtime_error(os.str());
}

// ---------------------------------------------------------------------------
// Filling

int EmbreeSceneManager::add_mesh(std::vector<float3> vertices, std::vector<float3> normals,
                                 std::vector<int3> indices, int material_id) {
    const MeshBox box = check_mesh_input(vertices, normals, indices);
    EmbreeMesh mesh;
    mesh.vertices = std::move(vertices);
    mesh.normals = std::move(normals);
    mesh.indices = std::move(indices);
    // Embree reads these arrays in place and loads 16 bytes at its last
    // element: keep one spare element of storage behind each (which also
    // gives an empty mesh storage to point at).
    mesh.vertices.reserve(mesh.vertices.size() + 1);
    mesh.indices.reserve(mesh.indices.size() + 1);
    // A hit reads its triangle's indices and vertex normals at random.
    advise_huge_pages(mesh.indices.data(), mesh.indices.capacity() * sizeof(int3));
    advise_huge_pages(mesh.normals.data(), mesh.normals.capacity() * sizeof(float3));
    mesh.material_id = material_id;
    mesh_boxes_.reserve(meshes_.size() + 1);
    meshes_.push_back(std::move(mesh));
    mesh_boxes_.push_back(box);
    return static_cast<int>(meshes_.size()) - 1;
}

int EmbreeSceneManager::add_instance(int mesh_id, const float* xform12) {
    if (mesh_id < 0 || mesh_id >= num_meshes()) {
        std::ostringstream os;
        os << "add_instance: mesh_id " << mesh_id << " does not exist (the scene has "
           << meshes_.size() << " meshes)";
        throw std::invalid_argument(os.str());
    }
    const MeshBox& box = mesh_boxes_[static_cast<std::size_t>(mesh_id)];
    check_instance_transform(xform12, box.lo, box.hi, "add_instance: the instance transform");
    EmbreeInstance inst;
    inst.mesh_id = mesh_id;
    std::memcpy(inst.xform, xform12, sizeof(inst.xform));
    instances_.push_back(inst);
    // The acceleration structure does not hold the new instance until the
    // next build.
    built_ = false;
    return static_cast<int>(instances_.size()) - 1;
}

int EmbreeSceneManager::add_instance(int mesh_id, float x, float y, float z, float scale) {
    const float m[12] = {scale, 0, 0, x, 0, scale, 0, y, 0, 0, scale, z};
    return add_instance(mesh_id, m);
}

void EmbreeSceneManager::set_instance_transform_(RTCGeometry geom, const float* m) const {
    // Embree takes a column-major 4x4; our rows are [m0 m1 m2 m3], ...
    const float cm[16] = {m[0], m[4], m[8], 0.0f, m[1], m[5], m[9], 0.0f,
                          m[2], m[6], m[10], 0.0f, m[3], m[7], m[11], 1.0f};
    rtcSetGeometryTransform(geom, 0, RTC_FORMAT_FLOAT4X4_COLUMN_MAJOR, cm);
}

void EmbreeSceneManager::update_instance_transform(int id, const float* xform12) {
    if (id < 0 || id >= num_instances())
        throw std::runtime_error("update_instance_transform: id out of range");
    EmbreeInstance& inst = instances_[static_cast<std::size_t>(id)];
    const MeshBox& box = mesh_boxes_[static_cast<std::size_t>(inst.mesh_id)];
    check_instance_transform(xform12, box.lo, box.hi, "update_instance_transform: the instance transform");
    std::memcpy(inst.xform, xform12, sizeof(inst.xform));
    if (!built_ || inst.geom_id == RTC_INVALID_GEOMETRY_ID || !top_scene_) return;
    RTCGeometry geom = rtcGetGeometry(top_scene_.get(), inst.geom_id);
    if (!geom) throw std::runtime_error("update_instance_transform: rtcGetGeometry returned null");
    set_instance_transform_(geom, inst.xform);
    rtcCommitGeometry(geom);
    check_device_error_("update_instance_transform");
    if (static_cast<std::size_t>(id) < shade_.size()) {
        float* r = shade_[static_cast<std::size_t>(id)].r;
        const float* m = inst.xform;
        r[0] = m[0]; r[1] = m[1]; r[2] = m[2];
        r[3] = m[4]; r[4] = m[5]; r[5] = m[6];
        r[6] = m[8]; r[7] = m[9]; r[8] = m[10];
    }
}

int EmbreeSceneManager::add_material(MaterialType type, int spectral_offset) {
    MaterialData m;
    std::memset(&m, 0, sizeof(m));
    m.type = type;
    m.spectral_offset = spectral_offset;
    materials_.push_back(m);
    return static_cast<int>(materials_.size()) - 1;
}

MaterialData& EmbreeSceneManager::material(int id) {
    if (id < 0 || id >= num_materials()) {
        std::ostringstream os;
        os << "material id " << id << " does not exist (the scene has " << materials_.size()
           << " materials)";
        throw std::out_of_range(os.str());
    }
    return materials_[static_cast<std::size_t>(id)];
}

void EmbreeSceneManager::set_num_bands(int num_bands) {
    if (num_bands < 1)
        throw std::invalid_argument("set_num_bands: the band count must be at least 1; got " +
                                    std::to_string(num_bands));
    num_bands_ = num_bands;
}

void EmbreeSceneManager::upload_spectral_params(const std::vector<float>& values) {
    check_spectral_values(values, "upload_spectral_params");
    spectral_ = values;
}

void EmbreeSceneManager::update_spectral_params(int offset, const std::vector<float>& values) {
    const long long end = static_cast<long long>(offset) + static_cast<long long>(values.size());
    if (offset < 0 || end > static_cast<long long>(spectral_.size())) {
        std::ostringstream os;
        os << "update_spectral_params: range [" << offset << ", " << end
           << ") lies outside the uploaded spectral array of " << spectral_.size() << " values";
        throw std::invalid_argument(os.str());
    }
    check_spectral_values(values, "update_spectral_params");
    std::copy(values.begin(), values.end(), spectral_.begin() + offset);
}

void EmbreeSceneManager::set_emitter(EmitterType type, float3 direction, int spectral_offset) {
    const float3 unit = unit_direction_or_zero(direction, "set_emitter: direction");
    std::memset(&emitter_, 0, sizeof(emitter_));
    emitter_.type = type;
    emitter_.direction = unit;
    emitter_.spectral_offset = spectral_offset;
}

void EmbreeSceneManager::update_emitter_direction(float3 direction) {
    emitter_.direction = unit_direction_or_zero(direction, "update_emitter_direction: direction");
}

void EmbreeSceneManager::set_sensor(const SensorData& sensor) { sensor_ = sensor; }

void EmbreeSceneManager::set_hw_sky(int spectral_offset, float3 sun) {
    require_finite(sun.x, "set_hw_sky: sun_x");
    require_finite(sun.y, "set_hw_sky: sun_y");
    require_finite(sun.z, "set_hw_sky: sun_z");
    hw_sky_offset_ = spectral_offset;
    hw_sky_sun_ = sun;
}

void EmbreeSceneManager::set_repetitive(int num_repetitions, float scene_x_size,
                                        float scene_y_size) {
    require_coordinate(scene_x_size, "set_repetitive: scene_x_size");
    require_coordinate(scene_y_size, "set_repetitive: scene_y_size");
    num_repetitions_ = num_repetitions;
    scene_x_size_ = scene_x_size;
    scene_y_size_ = scene_y_size;
}

void EmbreeSceneManager::set_thermal_mode(bool enabled, const std::vector<float>& wavelengths) {
    check_thermal_wavelengths(wavelengths);
    thermal_mode_ = enabled;
    thermal_wavelengths_ = wavelengths;
}

void EmbreeSceneManager::set_measurement_height(float height) {
    require_coordinate(height, "set_measurement_plane: height");
    measurement_height_ = height;
}

void EmbreeSceneManager::check_materials() const {
    for (std::size_t i = 0; i < meshes_.size(); ++i) {
        const int mid = meshes_[i].material_id;
        if (mid < 0 || mid >= num_materials()) {
            std::ostringstream os;
            os << "mesh " << i << " uses material_id " << mid << ", but the scene has "
               << materials_.size() << " materials";
            if (!materials_.empty()) os << " (ids 0 to " << materials_.size() - 1 << ")";
            throw std::invalid_argument(os.str());
        }
    }
}

// ---------------------------------------------------------------------------
// Building

void EmbreeSceneManager::build() {
    build_scene_();
    compute_bounds_();
}

void EmbreeSceneManager::build_scene_() {
    built_ = false;
    RTCDevice dev = device_.get();
    top_scene_.reset(rtcNewScene(dev));
    instance_info_.clear();
    shade_.clear();
    mesh_shade_.clear();
    mesh_scenes_.clear();
    mesh_scenes_.resize(meshes_.size());

    for (std::size_t i = 0; i < meshes_.size(); ++i) {
        const EmbreeMesh& mesh = meshes_[i];
        mesh_scenes_[i].reset(rtcNewScene(dev));
        GeometryHandle geom(rtcNewGeometry(dev, RTC_GEOMETRY_TYPE_TRIANGLE));
        // Embree reads the host arrays in place (padded by add_mesh); they
        // never change once added, so the scene keeps one copy of each mesh.
        rtcSetSharedGeometryBuffer(geom.get(), RTC_BUFFER_TYPE_VERTEX, 0, RTC_FORMAT_FLOAT3,
                                   mesh.vertices.data(), 0, sizeof(float3), mesh.vertices.size());
        rtcSetSharedGeometryBuffer(geom.get(), RTC_BUFFER_TYPE_INDEX, 0, RTC_FORMAT_UINT3,
                                   mesh.indices.data(), 0, sizeof(int3), mesh.indices.size());
        rtcCommitGeometry(geom.get());
        rtcAttachGeometry(mesh_scenes_[i].get(), geom.get());
        geom.reset();  // the mesh scene holds its own reference
        rtcCommitScene(mesh_scenes_[i].get());
        mesh_shade_.push_back({mesh.normals.empty() ? nullptr : mesh.normals.data(),
                               mesh.indices.data(), static_cast<uint32_t>(mesh.indices.size())});
    }

    for (EmbreeInstance& inst : instances_) {
        GeometryHandle geom(rtcNewGeometry(dev, RTC_GEOMETRY_TYPE_INSTANCE));
        rtcSetGeometryInstancedScene(geom.get(),
                                     mesh_scenes_[static_cast<std::size_t>(inst.mesh_id)].get());
        set_instance_transform_(geom.get(), inst.xform);
        rtcCommitGeometry(geom.get());
        inst.geom_id = rtcAttachGeometry(top_scene_.get(), geom.get());
        const auto mesh_idx = static_cast<std::size_t>(inst.mesh_id);
        instance_info_.push_back({inst.mesh_id, meshes_[mesh_idx].material_id});
        const float* m = inst.xform;
        InstanceShade sh{{m[0], m[1], m[2], m[4], m[5], m[6], m[8], m[9], m[10]},
                         meshes_[mesh_idx].material_id, static_cast<uint32_t>(mesh_idx)};
        shade_.push_back(sh);
    }

    rtcCommitScene(top_scene_.get());
    check_device_error_("build");
    update_traced_range_();
    compute_prim_offsets_();
    built_ = true;
}

void EmbreeSceneManager::compute_bounds_() {
    SceneBounds b;
    b.top = -1e30f;
    b.bottom = 1e30f;
    b.x_min = 1e30f;
    b.x_max = -1e30f;
    b.y_min = 1e30f;
    b.y_max = -1e30f;
    bool any = false;
    for (const EmbreeInstance& inst : instances_) {
        // The mesh's vertex box, kept by add_mesh. A mesh without vertices
        // has none and does not widen the bounds.
        const MeshBox& box = mesh_boxes_[static_cast<std::size_t>(inst.mesh_id)];
        if (meshes_[static_cast<std::size_t>(inst.mesh_id)].vertices.empty()) continue;
        const float3 lo = box.lo, hi = box.hi;
        for (int c = 0; c < 8; ++c) {
            const float3 corner{(c & 1) ? hi.x : lo.x, (c & 2) ? hi.y : lo.y, (c & 4) ? hi.z : lo.z};
            const float3 w = xform_point(inst.xform, corner);
            b.x_min = std::min(b.x_min, w.x);
            b.x_max = std::max(b.x_max, w.x);
            b.y_min = std::min(b.y_min, w.y);
            b.y_max = std::max(b.y_max, w.y);
            b.bottom = std::min(b.bottom, w.z);
            b.top = std::max(b.top, w.z);
        }
        any = true;
    }
    bounds_ = any ? b : SceneBounds{};
}

void EmbreeSceneManager::build_reuse_gas() {
    // Reusing needs an acceleration structure to reuse that holds every
    // instance; without one (never built, or instances added since) a full
    // build is the only way to leave the scene queryable.
    if (!top_scene_ || shade_.size() != instances_.size()) {
        build();
        return;
    }
    compute_bounds_();
    built_ = true;
}

void EmbreeSceneManager::clear_for_reuse() {
    materials_.clear();
    spectral_.clear();
    sky_offset_ = -1;
    hw_sky_offset_ = -1;
    hw_sky_sun_ = {0.0f, 0.0f, 1.0f};
    std::memset(&emitter_, 0, sizeof(emitter_));
}

void EmbreeSceneManager::refit_ias() {
    if (!built_ || !top_scene_)
        throw std::runtime_error("refit_ias: scene not built. Call build() first.");
    rtcCommitScene(top_scene_.get());
    check_device_error_("refit_ias");
    update_traced_range_();
}

void EmbreeSceneManager::update_traced_range_() {
    RTCBounds b;
    rtcGetSceneBounds(top_scene_.get(), &b);
    traced_bottom_ = b.lower_z;
    traced_top_ = b.upper_z;
    if (instances_.empty() || !(b.lower_z <= b.upper_z)) {
        traced_bottom_ = std::numeric_limits<float>::infinity();
        traced_top_ = -std::numeric_limits<float>::infinity();
    }
}

// ---------------------------------------------------------------------------
// Queries

uint32_t EmbreeSceneManager::total_triangles() const {
    uint32_t n = 0;
    for (const EmbreeMesh& m : meshes_) n += static_cast<uint32_t>(m.indices.size());
    return n;
}

std::vector<uint32_t> EmbreeSceneManager::instance_triangle_counts() const {
    std::vector<uint32_t> counts;
    counts.reserve(instances_.size());
    for (const EmbreeInstance& inst : instances_)
        counts.push_back(
            static_cast<uint32_t>(meshes_[static_cast<std::size_t>(inst.mesh_id)].indices.size()));
    return counts;
}

HitRecord EmbreeSceneManager::trace_ray(float3 origin, float3 direction) const {
    HitRecord rec{};
    if (!top_scene_ || !ray_is_traceable(origin, direction)) return rec;

    RTCRayHit rh;
    rh.ray.org_x = origin.x;
    rh.ray.org_y = origin.y;
    rh.ray.org_z = origin.z;
    rh.ray.tnear = kTNear;
    rh.ray.dir_x = direction.x;
    rh.ray.dir_y = direction.y;
    rh.ray.dir_z = direction.z;
    rh.ray.time = 0.0f;
    rh.ray.tfar = kTFar;
    rh.ray.mask = 0xFFFFFFFFu;
    rh.ray.id = 0;
    rh.ray.flags = 0;
    rh.hit.geomID = RTC_INVALID_GEOMETRY_ID;
    rh.hit.instID[0] = RTC_INVALID_GEOMETRY_ID;
    rtcIntersect1(top_scene_.get(), &rh);

    if (rh.hit.geomID == RTC_INVALID_GEOMETRY_ID) return rec;

    rec.hit = true;
    rec.t = rh.ray.tfar;
    rec.position = origin + direction * rec.t;
    rec.instance_id = static_cast<int>(rh.hit.instID[0]);
    rec.prim_id = static_cast<int>(rh.hit.primID);

    // Embree reports the instanced triangle's normal in the mesh's object
    // space; carry it (and the interpolated vertex normal) through the
    // instance's 3x3 part.
    float3 ng{rh.hit.Ng_x, rh.hit.Ng_y, rh.hit.Ng_z};
    float3 ns;
    const std::size_t inst_idx = rh.hit.instID[0];
    if (inst_idx < shade_.size()) {
        const InstanceShade& sh = shade_[inst_idx];
        rec.material_id = sh.material_id;
        const float* r = sh.r;
        auto rotate = [r](float3 v) {
            return float3{r[0] * v.x + r[1] * v.y + r[2] * v.z, r[3] * v.x + r[4] * v.y + r[5] * v.z,
                          r[6] * v.x + r[7] * v.y + r[8] * v.z};
        };
        ng = unit(rotate(ng));
        ns = ng;
        const MeshShade& ms = mesh_shade_[sh.mesh];
        if (ms.normals && rh.hit.primID < ms.num_triangles) {
            const int3 tri = ms.indices[rh.hit.primID];
            const float3 n0 = ms.normals[static_cast<std::size_t>(tri.x)];
            const float3 n1 = ms.normals[static_cast<std::size_t>(tri.y)];
            const float3 n2 = ms.normals[static_cast<std::size_t>(tri.z)];
            const float u = rh.hit.u, v = rh.hit.v;
            ns = unit(rotate(n0 * (1.0f - u - v) + n1 * u + n2 * v));
            // Zero vertex normals, or ones that cancel, give no direction.
            if (!(dot(ns, ns) > 0.5f)) ns = ng;
        }
    } else {
        ng = normalize(ng);
        ns = ng;
    }
    // A triangle too thin for its normal to be represented faces the ray.
    if (!(dot(ng, ng) > 0.5f)) {
        ng = -normalize(direction);
        ns = ng;
    }

    rec.back_face = dot(direction, ng) > 0.0f;
    if (rec.back_face) ng = -ng;
    if (dot(ng, ns) < 0.0f) ns = -ns;
    rec.geometric_normal = ng;
    rec.shading_normal = ns;
    return rec;
}

bool EmbreeSceneManager::trace_shadow(float3 origin, float3 direction, float tmax) const {
    if (!top_scene_ || !ray_is_traceable(origin, direction) || !(tmax >= 0.0f)) return false;
    RTCRay ray;
    ray.org_x = origin.x;
    ray.org_y = origin.y;
    ray.org_z = origin.z;
    ray.tnear = kTNear;
    ray.dir_x = direction.x;
    ray.dir_y = direction.y;
    ray.dir_z = direction.z;
    ray.time = 0.0f;
    ray.tfar = tmax;
    ray.mask = 0xFFFFFFFFu;
    ray.id = 0;
    ray.flags = 0;
    rtcOccluded1(top_scene_.get(), &ray);
    return ray.tfar < 0.0f;
}

// Shadow test through the side walls of a periodic tile: a ray leaving the tile
// re-enters through the opposite wall, at most num_repetitions times.
bool EmbreeSceneManager::occluded_periodic(float3 origin, float3 d) const {
    const auto shadow = [this](float3 o, float3 dir, float tmax) { return trace_shadow(o, dir, tmax); };
    return occluded_through_tiles(shadow, origin, d, wrap_budget(), scene_x_size_, scene_y_size_, traced_bottom_,
                                  traced_top_, kTFar);
}

}  // namespace norvi::embree
