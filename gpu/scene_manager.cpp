#include "gpu/scene_manager.h"

#include <cuda_runtime_api.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <sstream>
#include <stdexcept>

#include "gpu/gpu_check.h"
#include "gpu/optix/optix_api.h"
#include "gpu/primitive_buffers.h"
#include "scene/input_checks.h"
#include "scene/vec_math.h"

namespace norvi {

namespace {

using optix::optix_api;

template <typename T>
std::size_t bytes_of(const std::vector<T>& v) {
    return v.size() * sizeof(T);
}

}  // namespace

SceneManager::SceneManager(OptiXContext& context) : context_(context) {}

SceneManager::~SceneManager() { free_gpu(); }

void SceneManager::set_num_bands(int num_bands) {
    if (num_bands < 1)
        throw std::invalid_argument("set_num_bands: the band count must be at least 1; got " +
                                    std::to_string(num_bands));
    if (num_bands > kMaxGpuBands) {
        throw std::runtime_error("num_bands=" + std::to_string(num_bands) + " exceeds GPU limit of " +
                                 std::to_string(kMaxGpuBands) + ". Use spectral batching to simulate more bands.");
    }
    num_bands_ = num_bands;
}

void SceneManager::set_hw_sky(int spectral_offset, float3 sun) {
    require_finite(sun.x, "set_hw_sky: sun_x");
    require_finite(sun.y, "set_hw_sky: sun_y");
    require_finite(sun.z, "set_hw_sky: sun_z");
    hw_sky_offset_ = spectral_offset;
    hw_sky_sun_ = sun;
}

void SceneManager::set_measurement_height(float height) {
    require_coordinate(height, "set_measurement_plane: height");
    measurement_height_ = height;
}

void SceneManager::set_repetitive(int num_repetitions, float scene_x_size, float scene_y_size) {
    require_coordinate(scene_x_size, "set_repetitive: scene_x_size");
    require_coordinate(scene_y_size, "set_repetitive: scene_y_size");
    num_repetitions_ = num_repetitions;
    scene_x_size_ = scene_x_size;
    scene_y_size_ = scene_y_size;
}

int SceneManager::add_mesh(const std::vector<float3>& vertices, const std::vector<float3>& normals,
                           const std::vector<int3>& indices, int material_id) {
    const MeshBox box = check_mesh_input(vertices, normals, indices);
    mesh_boxes_.reserve(host_meshes_.size() + 1);
    host_meshes_.push_back(HostMesh{vertices, normals, indices, material_id});
    mesh_boxes_.push_back(box);
    built_ = false;
    return static_cast<int>(host_meshes_.size()) - 1;
}

int SceneManager::add_instance(int mesh_id, const float* xform12) {
    // A mesh id past the mesh list would make the build read past it.
    if (mesh_id < 0 || mesh_id >= num_meshes()) {
        std::ostringstream os;
        os << "add_instance: mesh_id " << mesh_id << " does not exist (the scene has " << host_meshes_.size()
           << " meshes)";
        throw std::invalid_argument(os.str());
    }
    const MeshBox& box = mesh_boxes_[static_cast<std::size_t>(mesh_id)];
    check_instance_transform(xform12, box.lo, box.hi, "add_instance: the instance transform");
    InstanceData inst{};
    inst.mesh_index = mesh_id;
    std::memcpy(inst.transform, xform12, sizeof(inst.transform));
    instances_.push_back(inst);
    built_ = false;
    return static_cast<int>(instances_.size()) - 1;
}

int SceneManager::add_instance(int mesh_id, float x, float y, float z, float scale) {
    const float m[12] = {scale, 0, 0, x, 0, scale, 0, y, 0, 0, scale, z};
    return add_instance(mesh_id, m);
}

int SceneManager::add_material(MaterialType type, int spectral_offset) {
    MaterialData m;
    std::memset(&m, 0, sizeof(m));
    m.type = type;
    m.spectral_offset = spectral_offset;
    materials_.push_back(m);
    return static_cast<int>(materials_.size()) - 1;
}

MaterialData& SceneManager::material(int id) {
    if (id < 0 || id >= static_cast<int>(materials_.size()))
        throw std::invalid_argument("material: id " + std::to_string(id) + " does not exist");
    return materials_[static_cast<std::size_t>(id)];
}

void SceneManager::set_emitter(EmitterType type, float3 direction, int spectral_offset) {
    const float3 unit = unit_direction_or_zero(direction, "set_emitter: direction");
    std::memset(&emitter_, 0, sizeof(emitter_));
    emitter_.type = type;
    emitter_.direction = unit;
    emitter_.spectral_offset = spectral_offset;
}

void SceneManager::update_emitter_direction(float3 direction) {
    emitter_.direction = unit_direction_or_zero(direction, "update_emitter_direction: direction");
    if (d_emitter_) d_emitter_.upload(&emitter_, sizeof(emitter_), "emitter update");
}

void SceneManager::upload_spectral_params(const std::vector<float>& values) {
    check_spectral_values(values, "upload_spectral_params");
    d_spectral_.reset();
    spectral_length_ = values.size();
    d_spectral_.allocate(bytes_of(values), "spectral alloc");
    d_spectral_.upload(values.data(), bytes_of(values), "spectral upload");
    spectral_ = values;
}

void SceneManager::update_spectral_params(int offset, const std::vector<float>& values) {
    if (!d_spectral_) throw std::runtime_error("Spectral params not uploaded yet");
    const long long end = static_cast<long long>(offset) + static_cast<long long>(values.size());
    if (offset < 0 || end > static_cast<long long>(spectral_length_)) {
        std::ostringstream os;
        os << "update_spectral_params: range [" << offset << ", " << end
           << ") lies outside the uploaded spectral array of " << spectral_length_ << " values";
        throw std::invalid_argument(os.str());
    }
    check_spectral_values(values, "update_spectral_params");
    d_spectral_.upload(values.data(), bytes_of(values), "spectral update",
                       static_cast<std::size_t>(offset) * sizeof(float));
    std::copy(values.begin(), values.end(), spectral_.begin() + offset);
}

void SceneManager::set_thermal_mode(bool enabled, const std::vector<float>& wavelengths) {
    check_thermal_wavelengths(wavelengths);
    thermal_ = enabled;
    thermal_wavelengths_ = wavelengths;
    d_thermal_wavelengths_.reset();
    if (wavelengths.empty()) return;
    // Failures here are not reported: the wavelengths stay unset on the device.
    try {
        d_thermal_wavelengths_.assign(wavelengths, "thermal wavelengths");
    } catch (const std::runtime_error&) {
        d_thermal_wavelengths_.reset();
    }
}

void SceneManager::update_instance_transform(int id, const float* xform12) {
    if (id < 0 || id >= num_instances()) {
        throw std::runtime_error("update_instance_transform: id " + std::to_string(id) + " out of range [0, " +
                                 std::to_string(num_instances()) + ")");
    }
    InstanceData& inst = instances_[static_cast<std::size_t>(id)];
    const MeshBox& box = mesh_boxes_[static_cast<std::size_t>(inst.mesh_index)];
    check_instance_transform(xform12, box.lo, box.hi, "update_instance_transform: the instance transform");
    std::memcpy(inst.transform, xform12, sizeof(inst.transform));
    // The device array may hold fewer records than there are instances now
    // (instances added since the build): only existing records are written.
    const std::size_t offset = static_cast<std::size_t>(id) * sizeof(optix::OptixInstance);
    if (ias_instances_ && offset + sizeof(optix::OptixInstance) <= ias_instances_.size()) {
        char* dst = static_cast<char*>(ias_instances_.get()) + offset + offsetof(optix::OptixInstance, transform);
        check_cuda(cudaMemcpyAsync(dst, inst.transform, sizeof(inst.transform), cudaMemcpyHostToDevice,
                                   reinterpret_cast<cudaStream_t>(context_.stream())),
                   "update inst xform");
    }
}

// ---- per-primitive data -------------------------------------------------------

namespace {

void check_primitive_length(const char* what, std::size_t length, std::size_t n) {
    if (length != n) {
        throw std::runtime_error(std::string(what) + ": array length " + std::to_string(length) +
                                 " does not match n_primitives() = " + std::to_string(n));
    }
}

// Uploads values into buf, allocating it (alloc label) unless it already has
// exactly the right size.
void upload_per_primitive(DeviceBuffer& buf, const std::vector<float>& values, const char* alloc_label,
                          const char* upload_label) {
    if (buf.size() != bytes_of(values)) buf.allocate(bytes_of(values), alloc_label);
    buf.upload(values.data(), bytes_of(values), upload_label);
}

}  // namespace

void SceneManager::set_primitive_temperatures(const std::vector<float>& temperatures) {
    check_primitive_length("set_primitive_temperatures", temperatures.size(), n_primitives());
    prim_temperatures_ = temperatures;
    upload_per_primitive(d_prim_temperatures_, prim_temperatures_, "primitive temperatures alloc",
                         "primitive temperatures upload");
}

void SceneManager::set_primitive_emissivities(const std::vector<float>& emissivities) {
    check_primitive_length("set_primitive_emissivities", emissivities.size(), n_primitives());
    prim_emissivities_ = emissivities;
    upload_per_primitive(d_prim_emissivities_, prim_emissivities_, "primitive emissivities alloc",
                         "primitive emissivities upload");
}

void SceneManager::set_primitive_sif_spectra(const std::vector<float>& spectra, int n_sif_bands) {
    // Compared in 64 bits: a product that wraps in 32 bits would let a short
    // array through and the device would read past it.
    const std::size_t n = n_primitives();
    const long long product = static_cast<long long>(n_sif_bands) * static_cast<long long>(n);
    if (n_sif_bands < 0 || static_cast<long long>(spectra.size()) != product) {
        throw std::runtime_error("set_primitive_sif_spectra: array length " + std::to_string(spectra.size()) +
                                 " != n_sif_bands * n_primitives = " + std::to_string(n_sif_bands) + " * " +
                                 std::to_string(n) + " = " + std::to_string(product));
    }
    n_sif_bands_ = n_sif_bands;
    const char* alloc = d_prim_sif_spectra_ ? "primitive sif spectra realloc" : "primitive sif spectra alloc";
    d_prim_sif_spectra_.allocate(bytes_of(spectra), alloc);
    d_prim_sif_spectra_.upload(spectra.data(), bytes_of(spectra), "primitive sif spectra upload");
    prim_sif_spectra_ = spectra;
}

void SceneManager::clear_primitive_temperatures() {
    prim_temperatures_.clear();
    d_prim_temperatures_.reset();
}

void SceneManager::clear_primitive_emissivities() {
    prim_emissivities_.clear();
    d_prim_emissivities_.reset();
}

void SceneManager::clear_primitive_sif_spectra() {
    n_sif_bands_ = 0;
    prim_sif_spectra_.clear();
    d_prim_sif_spectra_.reset();
}

// ---- building -------------------------------------------------------------------

void SceneManager::build() {
    if (host_meshes_.empty() && instances_.empty()) throw std::runtime_error("Scene is empty, nothing to build");
    gpu_meshes_.resize(host_meshes_.size());
    for (std::size_t i = 0; i < host_meshes_.size(); ++i) {
        upload_mesh(static_cast<int>(i));
        build_gas(static_cast<int>(i));
    }
    if (!host_meshes_.empty() && instances_.empty())
        for (int i = 0; i < num_meshes(); ++i) add_instance(i, 0.0f, 0.0f, 0.0f, 1.0f);
    build_ias();
    compute_bounds_();
    upload_materials();
    upload_emitter();
    populate_primitive_buffers();
    upload_primitive_buffers();
    built_ = true;
}

void SceneManager::compute_bounds_() {
    z_max_ = -1e30f;
    z_min_ = 1e30f;
    x_min_ = 1e30f;
    x_max_ = -1e30f;
    y_min_ = 1e30f;
    y_max_ = -1e30f;
    if (instances_.empty()) {
        z_max_ = z_min_ = x_min_ = x_max_ = y_min_ = y_max_ = 0.0f;
        return;
    }
    for (const InstanceData& inst : instances_) {
        const HostMesh& mesh = host_meshes_[static_cast<std::size_t>(inst.mesh_index)];
        if (mesh.vertices.empty()) continue;
        float3 lo = mesh.vertices[0], hi = mesh.vertices[0];
        for (const float3& v : mesh.vertices) {
            lo = float3{std::fmin(lo.x, v.x), std::fmin(lo.y, v.y), std::fmin(lo.z, v.z)};
            hi = float3{std::fmax(hi.x, v.x), std::fmax(hi.y, v.y), std::fmax(hi.z, v.z)};
        }
        for (int c = 0; c < 8; ++c) {
            const float3 corner{(c & 1) ? hi.x : lo.x, (c & 2) ? hi.y : lo.y, (c & 4) ? hi.z : lo.z};
            const float3 p = xform_point(inst.transform, corner);
            z_max_ = std::fmax(z_max_, p.z);
            z_min_ = std::fmin(z_min_, p.z);
            x_min_ = std::fmin(x_min_, p.x);
            x_max_ = std::fmax(x_max_, p.x);
            y_min_ = std::fmin(y_min_, p.y);
            y_max_ = std::fmax(y_max_, p.y);
        }
    }
}

void SceneManager::upload_mesh(int i) {
    const HostMesh& host = host_meshes_[static_cast<std::size_t>(i)];
    GPUMesh& mesh = gpu_meshes_[static_cast<std::size_t>(i)];
    mesh.vertices.reset();
    mesh.normals.reset();
    mesh.indices.reset();
    mesh.num_vertices = static_cast<uint32_t>(host.vertices.size());
    mesh.num_triangles = static_cast<uint32_t>(host.indices.size());
    mesh.material = static_cast<uint32_t>(host.material);
    mesh.vertices.assign(host.vertices, "mesh verts");
    mesh.indices.assign(host.indices, "mesh idx");
    if (!host.normals.empty()) mesh.normals.assign(host.normals, "mesh norms");
}

void SceneManager::build_gas(int i) {
    GPUMesh& mesh = gpu_meshes_[static_cast<std::size_t>(i)];
    const optix::CUdeviceptr vertex_buffer = mesh.vertices.ptr();
    const unsigned int geometry_flags = optix::OPTIX_GEOMETRY_FLAG_NONE;
    optix::OptixBuildInput input{};
    input.type = optix::OPTIX_BUILD_INPUT_TYPE_TRIANGLES;
    auto& tri = input.triangleArray;
    tri.vertexBuffers = &vertex_buffer;
    tri.numVertices = mesh.num_vertices;
    tri.vertexFormat = optix::OPTIX_VERTEX_FORMAT_FLOAT3;
    tri.vertexStrideInBytes = sizeof(float3);
    tri.indexBuffer = mesh.indices.ptr();
    tri.numIndexTriplets = mesh.num_triangles;
    tri.indexFormat = optix::OPTIX_INDICES_FORMAT_UNSIGNED_INT3;
    tri.indexStrideInBytes = sizeof(int3);
    tri.flags = &geometry_flags;
    tri.numSbtRecords = 1;

    optix::OptixAccelBuildOptions options{};
    options.buildFlags = optix::OPTIX_BUILD_FLAG_PREFER_FAST_TRACE;
    options.operation = optix::OPTIX_BUILD_OPERATION_BUILD;

    optix::OptixAccelBufferSizes sizes{};
    check_optix(optix_api().accel_compute_memory_usage(context_.optix_context(), &options, &input, 1, &sizes),
                "gas mem");
    DeviceBuffer temp;
    temp.allocate(sizes.tempSizeInBytes, "gas temp");
    mesh.gas_output.reset();
    mesh.gas_output.allocate(sizes.outputSizeInBytes, "gas out");
    check_optix(optix_api().accel_build(context_.optix_context(), context_.stream(), &options, &input, 1,
                                        temp.ptr(), temp.size(), mesh.gas_output.ptr(), mesh.gas_output.size(),
                                        &mesh.gas_handle, nullptr, 0),
                "gas build");
    // cudaFree of the temporary buffer waits for the build on the stream.
}

optix::OptixBuildInput SceneManager::ias_input_() const {
    optix::OptixBuildInput input{};
    input.type = optix::OPTIX_BUILD_INPUT_TYPE_INSTANCES;
    input.instanceArray.instances = ias_instances_.ptr();
    input.instanceArray.numInstances = static_cast<unsigned int>(instances_.size());
    return input;
}

void SceneManager::build_ias() {
    std::vector<optix::OptixInstance> records(instances_.size());
    for (std::size_t k = 0; k < instances_.size(); ++k) {
        const InstanceData& inst = instances_[k];
        optix::OptixInstance& r = records[k];
        r = optix::OptixInstance{};
        std::memcpy(r.transform, inst.transform, sizeof(r.transform));
        r.instanceId = static_cast<unsigned int>(k);
        r.sbtOffset = 2u * static_cast<unsigned int>(inst.mesh_index);
        r.visibilityMask = 255;
        r.flags = optix::OPTIX_INSTANCE_FLAG_NONE;
        const std::size_t m = static_cast<std::size_t>(inst.mesh_index);
        r.traversableHandle = m < gpu_meshes_.size() ? gpu_meshes_[m].gas_handle : 0;
    }
    ias_instances_.reset();
    ias_instances_.assign(records, "ias inst");

    const optix::OptixBuildInput input = ias_input_();
    optix::OptixAccelBuildOptions options{};
    options.buildFlags = optix::OPTIX_BUILD_FLAG_ALLOW_UPDATE | optix::OPTIX_BUILD_FLAG_PREFER_FAST_TRACE;
    options.operation = optix::OPTIX_BUILD_OPERATION_BUILD;
    optix::OptixAccelBufferSizes sizes{};
    check_optix(optix_api().accel_compute_memory_usage(context_.optix_context(), &options, &input, 1, &sizes),
                "ias mem");
    DeviceBuffer temp;
    temp.allocate(sizes.tempSizeInBytes, "ias temp");
    ias_output_.reset();
    ias_output_.allocate(sizes.outputSizeInBytes, "ias out");
    ias_update_.reset();
    ias_update_.allocate(sizes.tempUpdateSizeInBytes, "ias update buf");
    check_optix(optix_api().accel_build(context_.optix_context(), context_.stream(), &options, &input, 1,
                                        temp.ptr(), temp.size(), ias_output_.ptr(), ias_output_.size(),
                                        &ias_handle_, nullptr, 0),
                "ias build");
}

void SceneManager::refit_ias() {
    if (!built_ || !ias_instances_ || !ias_update_)
        throw std::runtime_error("refit_ias: scene not built or update buffer not allocated. Call build() first.");
    const optix::OptixBuildInput input = ias_input_();
    optix::OptixAccelBuildOptions options{};
    options.buildFlags = optix::OPTIX_BUILD_FLAG_ALLOW_UPDATE | optix::OPTIX_BUILD_FLAG_PREFER_FAST_TRACE;
    options.operation = optix::OPTIX_BUILD_OPERATION_UPDATE;
    check_optix(optix_api().accel_build(context_.optix_context(), context_.stream(), &options, &input, 1,
                                        ias_update_.ptr(), ias_update_.size(), ias_output_.ptr(),
                                        ias_output_.size(), &ias_handle_, nullptr, 0),
                "ias refit");
    (void)cudaStreamSynchronize(reinterpret_cast<cudaStream_t>(context_.stream()));
    // The bounds follow the moved instances: the renderer stops periodic
    // rays by the height range of what is traced.
    compute_bounds_();
}

void SceneManager::upload_materials() {
    if (materials_.empty()) return;
    d_materials_.reset();
    d_materials_.assign(materials_, "mat");
}

void SceneManager::upload_emitter() {
    d_emitter_.reset();
    d_emitter_.allocate(sizeof(EmitterData), "emit");
    d_emitter_.upload(&emitter_, sizeof(EmitterData), "emit");
    // The thermal wavelengths go with free_gpu() (or were never uploaded when
    // set_thermal_mode's silent upload failed); a thermal render would read
    // a null array, so a build puts them back.
    if (!thermal_wavelengths_.empty() && !d_thermal_wavelengths_)
        d_thermal_wavelengths_.assign(thermal_wavelengths_, "thermal wavelengths");
}

void SceneManager::populate_primitive_buffers() {
    std::vector<MeshView> views;
    views.reserve(host_meshes_.size());
    for (const HostMesh& m : host_meshes_)
        views.push_back(MeshView{m.vertices.data(), m.vertices.size(), m.indices.data(), m.indices.size(), m.material});
    PrimitiveBuffers p = derive_primitive_buffers(views, instances_);
    prim_v0_ = std::move(p.v0);
    prim_v1_ = std::move(p.v1);
    prim_v2_ = std::move(p.v2);
    prim_normals_ = std::move(p.normals);
    prim_areas_ = std::move(p.areas);
    prim_material_ids_ = std::move(p.material_ids);
    instance_prim_offsets_ = std::move(p.instance_prim_offsets);
}

void SceneManager::upload_primitive_buffers() {
    clear_primitive_buffers();
    if (prim_areas_.empty()) return;
    d_prim_v0_.assign(prim_v0_, "primitive vec3 alloc", "primitive vec3 upload");
    d_prim_v1_.assign(prim_v1_, "primitive vec3 alloc", "primitive vec3 upload");
    d_prim_v2_.assign(prim_v2_, "primitive vec3 alloc", "primitive vec3 upload");
    d_prim_normals_.assign(prim_normals_, "primitive vec3 alloc", "primitive vec3 upload");
    d_prim_areas_.assign(prim_areas_, "primitive float alloc", "primitive float upload");
    d_prim_material_ids_.assign(prim_material_ids_, "primitive int alloc", "primitive int upload");
    if (!instance_prim_offsets_.empty())
        d_instance_prim_offsets_.assign(instance_prim_offsets_, "primitive int alloc", "primitive int upload");
    // Per-primitive overrides sized for an earlier primitive count would be
    // read past their end: they go with the change.
    const std::size_t n = prim_areas_.size();
    if (!prim_temperatures_.empty() && prim_temperatures_.size() != n) clear_primitive_temperatures();
    if (!prim_emissivities_.empty() && prim_emissivities_.size() != n) clear_primitive_emissivities();
    if (d_prim_sif_spectra_ &&
        d_prim_sif_spectra_.size() != static_cast<std::size_t>(n_sif_bands_) * n * sizeof(float))
        clear_primitive_sif_spectra();
}

void SceneManager::clear_primitive_buffers() {
    d_prim_v0_.reset();
    d_prim_v1_.reset();
    d_prim_v2_.reset();
    d_prim_normals_.reset();
    d_prim_areas_.reset();
    d_prim_material_ids_.reset();
    d_instance_prim_offsets_.reset();
}

void SceneManager::clear_for_reuse() {
    materials_.clear();
    sky_mode_ = -1;
    hw_sky_offset_ = -1;
    hw_sky_sun_ = float3{0.0f, 0.0f, 1.0f};
    std::memset(&emitter_, 0, sizeof(emitter_));
    d_materials_.reset();
    d_emitter_.reset();
    d_spectral_.reset();
    spectral_.clear();
    spectral_length_ = 0;
    built_ = false;
}

void SceneManager::build_reuse_gas() {
    if (gpu_meshes_.empty()) throw std::runtime_error("No GPU meshes to reuse. Call build() first.");
    upload_materials();
    upload_emitter();
    populate_primitive_buffers();
    upload_primitive_buffers();
    built_ = true;
}

void SceneManager::free_gpu() {
    gpu_meshes_.clear();
    ias_handle_ = 0;
    ias_output_.reset();
    ias_update_.reset();
    ias_instances_.reset();
    d_materials_.reset();
    d_spectral_.reset();
    spectral_.clear();
    spectral_length_ = 0;
    d_emitter_.reset();
    d_thermal_wavelengths_.reset();
    clear_primitive_buffers();
    clear_primitive_temperatures();
    clear_primitive_emissivities();
    clear_primitive_sif_spectra();
    built_ = false;
}

// ---- queries ----------------------------------------------------------------------

uint32_t SceneManager::total_triangles() const {
    uint32_t total = 0;
    for (const uint32_t n : instance_triangle_counts()) total += n;
    return total;
}

std::vector<uint32_t> SceneManager::instance_triangle_counts() const {
    std::vector<uint32_t> counts;
    counts.reserve(instances_.size());
    for (const InstanceData& inst : instances_)
        counts.push_back(static_cast<uint32_t>(host_meshes_[static_cast<std::size_t>(inst.mesh_index)].indices.size()));
    return counts;
}

SceneData SceneManager::get_scene_data() const {
    SceneData s;
    std::memset(&s, 0, sizeof(s));
    s.traversable = ias_handle_;
    s.materials = d_materials_.ptr();
    s.num_materials = static_cast<uint32_t>(materials_.size());
    s.spectral_params = d_spectral_.ptr();
    s.emitter = d_emitter_.ptr();
    s.num_emitters = 1;
    s.sensor = sensor_;
    s.num_bands = num_bands_;
    if (!instances_.empty()) {
        s.scene_min = float3{x_min_, y_min_, z_min_};
        s.scene_max = float3{x_max_, y_max_, z_max_};
    }
    if (num_repetitions_ > 0) {
        s.scene_min.x = 0.0f;
        s.scene_min.y = 0.0f;
        s.scene_max.x = scene_x_size_;
        s.scene_max.y = scene_y_size_;
    }
    s.sky = sky_mode_;
    s.hw_sky_offset = hw_sky_offset_;
    s.hw_sky_sun = hw_sky_sun_;
    s.num_repetitions = num_repetitions_;
    s.scene_x_size = scene_x_size_;
    s.scene_y_size = scene_y_size_;
    s.num_meshes = static_cast<uint32_t>(gpu_meshes_.size());
    s.thermal = thermal_;
    s.thermal_wavelengths = d_thermal_wavelengths_.ptr();
    s.terrain_following = terrain_following_;
    s.measurement_height = measurement_height_;
    s.prim_v0 = d_prim_v0_.ptr();
    s.prim_v1 = d_prim_v1_.ptr();
    s.prim_v2 = d_prim_v2_.ptr();
    s.prim_normals = d_prim_normals_.ptr();
    s.prim_areas = d_prim_areas_.ptr();
    s.prim_material_ids = d_prim_material_ids_.ptr();
    s.num_primitives = static_cast<uint32_t>(prim_areas_.size());
    s.prim_temperatures = d_prim_temperatures_.ptr();
    s.instance_prim_offsets = d_instance_prim_offsets_.ptr();
    s.prim_emissivities = d_prim_emissivities_.ptr();
    s.prim_sif_spectra = d_prim_sif_spectra_.ptr();
    s.n_sif_bands = d_prim_sif_spectra_ ? static_cast<uint32_t>(n_sif_bands_) : 0u;
    s.sif_only = sif_only_;
    return s;
}

std::vector<HitGroupData> SceneManager::get_hitgroup_data() const {
    std::vector<HitGroupData> out(gpu_meshes_.size());
    for (std::size_t i = 0; i < gpu_meshes_.size(); ++i) {
        HitGroupData& h = out[i];
        std::memset(&h, 0, sizeof(h));
        h.vertices = gpu_meshes_[i].vertices.ptr();
        h.normals = gpu_meshes_[i].normals.ptr();
        h.indices = gpu_meshes_[i].indices.ptr();
        h.material_id = static_cast<int32_t>(gpu_meshes_[i].material);
    }
    return out;
}

}  // namespace norvi
