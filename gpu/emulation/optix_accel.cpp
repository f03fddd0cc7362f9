// Acceleration structures of the emulated OptiX driver.
//
// A build copies the uploaded vertex, index and instance buffers (the real
// structure is self-contained too: the host may free its inputs after the
// build) into an Embree scene: one triangle geometry per build input for a
// geometry structure, one Embree instance per OptixInstance for an instance
// structure. The traversable handle is the output buffer's address, and the
// structure lives as long as that buffer: freeing or rebuilding it makes the
// handle stale, and a trace through a stale handle is reported. The sizes
// the memory-usage call reports are our own (the driver's depend on the GPU);
// a build checks its buffers against them. Only what our host code uses is
// emulated: float3 vertices, unsigned int3 (or no) indices, no motion, no
// pre-transform, single-level instancing over geometry structures;
// compaction, relocation and the rest answer OPTIX_ERROR_NOT_SUPPORTED.

#include <cmath>
#include <cstring>
#include <mutex>
#include <sstream>
#include <string>

#include "gpu/emulation/emu_state.h"
#include "gpu/emulation/optix_objects.h"

namespace norvi::emu {

void embree_filter(const RTCFilterFunctionNArguments* args);  // optix_launch.cpp

namespace {

constexpr unsigned int kInstanceBytes = sizeof(OptixInstance);

std::size_t align128(std::size_t n) { return (n + 127) / 128 * 128; }

std::string hex(unsigned long long v) {
    std::ostringstream out;
    out << "0x" << std::hex << v;
    return out.str();
}

OptixResult refuse(OptixResult code, const std::string& what) {
    state().fault(what);
    return code;
}

bool device_range(CUdeviceptr p, std::size_t bytes) {
    return state().in_device_range(static_cast<std::uintptr_t>(p), bytes);
}

// Inverse of a 3x4 affine transform (row-major).
void invert_affine(const float m[12], float out[12]) {
    const double a = m[0], b = m[1], c = m[2], d = m[4], e = m[5], f = m[6], g = m[8], h = m[9], i = m[10];
    const double det = a * (e * i - f * h) - b * (d * i - f * g) + c * (d * h - e * g);
    const double s = det != 0.0 ? 1.0 / det : 0.0;
    const double r[9] = {(e * i - f * h) * s, (c * h - b * i) * s, (b * f - c * e) * s,
                         (f * g - d * i) * s, (a * i - c * g) * s, (c * d - a * f) * s,
                         (d * h - e * g) * s, (b * g - a * h) * s, (a * e - b * d) * s};
    for (int row = 0; row < 3; ++row) {
        const double t = -(r[3 * row] * m[3] + r[3 * row + 1] * m[7] + r[3 * row + 2] * m[11]);
        for (int col = 0; col < 3; ++col) out[4 * row + col] = static_cast<float>(r[3 * row + col]);
        out[4 * row + 3] = static_cast<float>(t);
    }
}

// Checks the build inputs; on success `triangles` tells the kind and
// `primitives` the triangle or instance count.
OptixResult check_inputs(const OptixAccelBuildOptions* options, const OptixBuildInput* inputs, unsigned int count,
                         bool& triangles, std::size_t& primitives) {
    if (!options || !inputs || count == 0) return refuse(OPTIX_ERROR_INVALID_VALUE, "accel: no build options or inputs");
    if (options->motionOptions.numKeys > 1)
        return refuse(OPTIX_ERROR_NOT_SUPPORTED, "accel: motion keys are not emulated");
    triangles = inputs[0].type == OPTIX_BUILD_INPUT_TYPE_TRIANGLES;
    primitives = 0;
    if (!triangles) {
        if (inputs[0].type != OPTIX_BUILD_INPUT_TYPE_INSTANCES)
            return refuse(OPTIX_ERROR_NOT_SUPPORTED, "accel: only triangle and instance build inputs are emulated");
        if (count != 1) return refuse(OPTIX_ERROR_INVALID_VALUE, "accel: an instance build takes exactly one input");
        primitives = inputs[0].instanceArray.numInstances;
        return OPTIX_SUCCESS;
    }
    for (unsigned int b = 0; b < count; ++b) {
        const auto& t = inputs[b].triangleArray;
        if (inputs[b].type != OPTIX_BUILD_INPUT_TYPE_TRIANGLES)
            return refuse(OPTIX_ERROR_INVALID_VALUE, "accel: build inputs of one structure must share their type");
        if (t.vertexFormat != OPTIX_VERTEX_FORMAT_FLOAT3 || t.preTransform != 0 ||
            (t.indexFormat != OPTIX_INDICES_FORMAT_UNSIGNED_INT3 && t.indexFormat != OPTIX_INDICES_FORMAT_NONE))
            return refuse(OPTIX_ERROR_NOT_SUPPORTED,
                          "accel: only float3 vertices with unsigned int3 or no indices are emulated");
        if (t.numSbtRecords == 0 || !t.flags)
            return refuse(OPTIX_ERROR_INVALID_VALUE, "accel: a triangle input needs numSbtRecords >= 1 and its flags");
        if (t.numVertices > 0 && (!t.vertexBuffers || t.vertexBuffers[0] == 0))
            return refuse(OPTIX_ERROR_INVALID_VALUE, "accel: vertices given without a vertex buffer");
        primitives += t.indexFormat == OPTIX_INDICES_FORMAT_NONE ? t.numVertices / 3 : t.numIndexTriplets;
    }
    return OPTIX_SUCCESS;
}

OptixAccelBufferSizes sizes_for(const OptixAccelBuildOptions& options, bool triangles, std::size_t n) {
    const bool update = (options.buildFlags & OPTIX_BUILD_FLAG_ALLOW_UPDATE) != 0;
    OptixAccelBufferSizes s{};
    s.outputSizeInBytes = align128(256 + (triangles ? 64 : 128) * n);
    s.tempSizeInBytes = align128(128 + (triangles ? 32 : 64) * n);
    s.tempUpdateSizeInBytes = update ? align128(128 + (triangles ? 16 : 32) * n) : 0;
    return s;
}

// Copies the vertices of one triangle input out of device memory.
OptixResult read_vertices(const OptixBuildInputTriangleArray& t, std::vector<float>& out) {
    const std::size_t stride = t.vertexStrideInBytes ? t.vertexStrideInBytes : 12;
    out.assign(3 * std::size_t{t.numVertices} + 1, 0.0f);  // Embree reads 4 bytes past the last vertex
    if (t.numVertices == 0) return OPTIX_SUCCESS;
    const CUdeviceptr base = t.vertexBuffers[0];
    if (!device_range(base, stride * (t.numVertices - 1) + 12))
        return refuse(OPTIX_ERROR_INVALID_VALUE, "accel: vertex buffer " + hex(base) + " holds fewer than " +
                                                     std::to_string(t.numVertices) + " vertices");
    for (unsigned int v = 0; v < t.numVertices; ++v)
        std::memcpy(&out[3 * std::size_t{v}], reinterpret_cast<const void*>(base + v * stride), 12);
    return OPTIX_SUCCESS;
}

OptixResult read_triangle_input(const OptixBuildInputTriangleArray& t, unsigned int record_base,
                                TriangleInput& in) {
    if (OptixResult e = read_vertices(t, in.vertices)) return e;
    const bool soup = t.indexFormat == OPTIX_INDICES_FORMAT_NONE;
    const unsigned int n = soup ? t.numVertices / 3 : t.numIndexTriplets;
    in.indices.resize(3 * std::size_t{n});
    if (soup) {
        for (unsigned int k = 0; k < 3 * n; ++k) in.indices[k] = k;
    } else if (n > 0) {
        const std::size_t stride = t.indexStrideInBytes ? t.indexStrideInBytes : 12;
        if (!device_range(t.indexBuffer, stride * (n - 1) + 12))
            return refuse(OPTIX_ERROR_INVALID_VALUE, "accel: index buffer " + hex(t.indexBuffer) +
                                                         " holds fewer than " + std::to_string(n) + " triangles");
        for (unsigned int k = 0; k < n; ++k)
            std::memcpy(&in.indices[3 * std::size_t{k}], reinterpret_cast<const void*>(t.indexBuffer + k * stride),
                        12);
        for (unsigned int v : in.indices)
            if (v >= t.numVertices)
                return refuse(OPTIX_ERROR_INVALID_VALUE, "accel: vertex index " + std::to_string(v) +
                                                             " out of range for " + std::to_string(t.numVertices) +
                                                             " vertices");
    }
    in.sbt_record_base = record_base;
    in.primitive_index_offset = t.primitiveIndexOffset;
    in.geometry_flags = t.flags[0];
    in.sbt_offsets.clear();
    if (t.numSbtRecords > 1) {
        const unsigned int size = t.sbtIndexOffsetSizeInBytes;
        const std::size_t stride = t.sbtIndexOffsetStrideInBytes ? t.sbtIndexOffsetStrideInBytes : size;
        if ((size != 1 && size != 2 && size != 4) || (n > 0 && !device_range(t.sbtIndexOffsetBuffer, stride * (n - 1) + size)))
            return refuse(OPTIX_ERROR_INVALID_VALUE, "accel: SBT index offset buffer missing or too small");
        in.sbt_offsets.resize(n);
        for (unsigned int k = 0; k < n; ++k) {
            unsigned int v = 0;
            std::memcpy(&v, reinterpret_cast<const void*>(t.sbtIndexOffsetBuffer + k * stride), size);
            if (v >= t.numSbtRecords)
                return refuse(OPTIX_ERROR_INVALID_VALUE, "accel: SBT index offset " + std::to_string(v) +
                                                             " >= numSbtRecords");
            in.sbt_offsets[k] = v;
        }
    }
    return OPTIX_SUCCESS;
}

RTCBuildQuality quality_of(unsigned int flags) {
    return (flags & OPTIX_BUILD_FLAG_ALLOW_UPDATE) ? RTC_BUILD_QUALITY_REFIT : RTC_BUILD_QUALITY_HIGH;
}

OptixResult build_gas(const OptixAccelBuildOptions& options, const OptixBuildInput* inputs, unsigned int count,
                      std::shared_ptr<Gas>& gas) {
    gas = std::make_shared<Gas>();
    gas->allow_update = (options.buildFlags & OPTIX_BUILD_FLAG_ALLOW_UPDATE) != 0;
    gas->inputs.resize(count);
    unsigned int record_base = 0;
    for (unsigned int b = 0; b < count; ++b) {
        if (OptixResult e = read_triangle_input(inputs[b].triangleArray, record_base, gas->inputs[b])) return e;
        record_base += inputs[b].triangleArray.numSbtRecords;
    }
    gas->scene = rtcNewScene(embree_device());
    rtcSetSceneBuildQuality(gas->scene, RTC_BUILD_QUALITY_HIGH);
    for (unsigned int b = 0; b < count; ++b) {
        TriangleInput& in = gas->inputs[b];
        if (in.indices.empty()) continue;  // an input without triangles is never hit
        RTCGeometry g = rtcNewGeometry(embree_device(), RTC_GEOMETRY_TYPE_TRIANGLE);
        rtcSetSharedGeometryBuffer(g, RTC_BUFFER_TYPE_VERTEX, 0, RTC_FORMAT_FLOAT3, in.vertices.data(), 0, 12,
                                   (in.vertices.size() - 1) / 3);
        rtcSetSharedGeometryBuffer(g, RTC_BUFFER_TYPE_INDEX, 0, RTC_FORMAT_UINT3, in.indices.data(), 0, 12,
                                   in.indices.size() / 3);
        rtcSetGeometryBuildQuality(g, quality_of(options.buildFlags));
        rtcSetGeometryUserData(g, &in);
        rtcSetGeometryIntersectFilterFunction(g, &embree_filter);
        rtcSetGeometryOccludedFilterFunction(g, &embree_filter);
        rtcCommitGeometry(g);
        rtcAttachGeometryByID(gas->scene, g, b);
        in.geometry = g;
    }
    rtcCommitScene(gas->scene);
    return OPTIX_SUCCESS;
}

OptixResult refit_gas(const OptixBuildInput* inputs, unsigned int count, Gas& gas) {
    if (count != gas.inputs.size())
        return refuse(OPTIX_ERROR_INVALID_VALUE, "accel update: the build inputs differ from the build's");
    for (unsigned int b = 0; b < count; ++b) {
        const auto& t = inputs[b].triangleArray;
        TriangleInput& in = gas.inputs[b];
        if (3 * std::size_t{t.numVertices} + 1 != in.vertices.size())
            return refuse(OPTIX_ERROR_INVALID_VALUE, "accel update: vertex count differs from the build's");
        if (OptixResult e = read_vertices(t, in.vertices)) return e;
        if (!in.geometry) continue;
        rtcUpdateGeometryBuffer(in.geometry, RTC_BUFFER_TYPE_VERTEX, 0);
        rtcCommitGeometry(in.geometry);
    }
    rtcCommitScene(gas.scene);
    return OPTIX_SUCCESS;
}

// Reads the instance records and resolves their children.
OptixResult read_instances(const OptixBuildInputInstanceArray& a, std::vector<Instance>& out) {
    const std::size_t stride = a.instanceStride ? a.instanceStride : kInstanceBytes;
    out.resize(a.numInstances);
    if (a.numInstances == 0) return OPTIX_SUCCESS;
    if (a.instances % 16 != 0 || stride % 16 != 0)
        return refuse(OPTIX_ERROR_INVALID_VALUE, "accel: instance array " + hex(a.instances) + " is not 16-byte aligned");
    if (!device_range(a.instances, stride * (a.numInstances - 1) + kInstanceBytes))
        return refuse(OPTIX_ERROR_INVALID_VALUE, "accel: instance array " + hex(a.instances) + " holds fewer than " +
                                                     std::to_string(a.numInstances) + " instances");
    auto& accels = objects().accels;
    for (unsigned int i = 0; i < a.numInstances; ++i) {
        Instance& inst = out[i];
        std::memcpy(&inst.record, reinterpret_cast<const void*>(a.instances + i * stride), kInstanceBytes);
        invert_affine(inst.record.transform, inst.world_to_object);
        inst.child.reset();
        const OptixTraversableHandle h = inst.record.traversableHandle;
        if (h == 0) continue;  // an instance of nothing takes part in no trace
        auto it = accels.find(h);
        if (it == accels.end())
            return refuse(OPTIX_ERROR_INVALID_VALUE, "accel: instance " + std::to_string(i) + " names traversable " +
                                                         hex(h) + ", which is not a live acceleration structure");
        if (!it->second.gas)
            return refuse(OPTIX_ERROR_NOT_SUPPORTED, "accel: instances of instance structures are not emulated");
        inst.child = it->second.gas;
    }
    return OPTIX_SUCCESS;
}

unsigned int common_mask(const std::vector<Instance>& instances) {
    unsigned int m = 0xFFu;
    for (const auto& inst : instances)
        if (inst.child) m &= inst.record.visibilityMask;
    return m;
}

void set_instance(RTCScene scene, unsigned int i, const Instance& inst, bool fresh) {
    RTCGeometry g = fresh ? rtcNewGeometry(embree_device(), RTC_GEOMETRY_TYPE_INSTANCE) : rtcGetGeometry(scene, i);
    rtcSetGeometryInstancedScene(g, inst.child->scene);
    rtcSetGeometryTransform(g, 0, RTC_FORMAT_FLOAT3X4_ROW_MAJOR, inst.record.transform);
    rtcCommitGeometry(g);
    if (fresh) {
        rtcAttachGeometryByID(scene, g, i);
        rtcReleaseGeometry(g);
    }
}

OptixResult build_ias(const OptixAccelBuildOptions& options, const OptixBuildInput& input, std::shared_ptr<Ias>& ias) {
    ias = std::make_shared<Ias>();
    ias->allow_update = (options.buildFlags & OPTIX_BUILD_FLAG_ALLOW_UPDATE) != 0;
    if (OptixResult e = read_instances(input.instanceArray, ias->instances)) return e;
    ias->scene = rtcNewScene(embree_device());
    if (ias->allow_update) rtcSetSceneFlags(ias->scene, RTC_SCENE_FLAG_DYNAMIC);
    for (unsigned int i = 0; i < ias->instances.size(); ++i)
        if (ias->instances[i].child) set_instance(ias->scene, i, ias->instances[i], true);
    ias->common_mask = common_mask(ias->instances);
    rtcCommitScene(ias->scene);
    return OPTIX_SUCCESS;
}

OptixResult refit_ias(const OptixBuildInput& input, Ias& ias) {
    std::vector<Instance> fresh;
    if (input.instanceArray.numInstances != ias.instances.size())
        return refuse(OPTIX_ERROR_INVALID_VALUE, "accel update: instance count differs from the build's");
    if (OptixResult e = read_instances(input.instanceArray, fresh)) return e;
    for (unsigned int i = 0; i < fresh.size(); ++i) {
        const bool had = ias.instances[i].child != nullptr, has = fresh[i].child != nullptr;
        if (had != has)
            return refuse(OPTIX_ERROR_INVALID_VALUE, "accel update: instance " + std::to_string(i) +
                                                         " gained or lost its traversable");
        if (has) set_instance(ias.scene, i, fresh[i], false);
    }
    ias.instances = std::move(fresh);
    ias.common_mask = common_mask(ias.instances);
    rtcCommitScene(ias.scene);
    return OPTIX_SUCCESS;
}

}  // namespace

Gas::~Gas() {
    for (auto& in : inputs)
        if (in.geometry) rtcReleaseGeometry(in.geometry);
    if (scene) rtcReleaseScene(scene);
}

Ias::~Ias() {
    if (scene) rtcReleaseScene(scene);
}

RTCDevice embree_device() {
    auto& o = objects();
    if (!o.device) o.device = rtcNewDevice(nullptr);
    return o.device;
}

void on_device_free(std::uintptr_t address) {
    auto& accels = objects().accels;
    auto it = accels.find(address);
    if (it == accels.end()) return;
    if (it->second.gas) it->second.gas->alive = false;
    if (it->second.ias) it->second.ias->alive = false;
    accels.erase(it);
}

OptixResult accel_compute_memory_usage(OptixDeviceContext context, const OptixAccelBuildOptions* options,
                                       const OptixBuildInput* inputs, unsigned int count,
                                       OptixAccelBufferSizes* sizes) {
    std::lock_guard<std::mutex> lock(state().mutex);
    if (OptixResult e = static_cast<OptixResult>(state().enter("optixAccelComputeMemoryUsage"))) return e;
    if (!state().optix_contexts.count(context)) return OPTIX_ERROR_INVALID_DEVICE_CONTEXT;
    if (!sizes) return OPTIX_ERROR_INVALID_VALUE;
    bool triangles = false;
    std::size_t n = 0;
    if (OptixResult e = check_inputs(options, inputs, count, triangles, n)) return e;
    *sizes = sizes_for(*options, triangles, n);
    return OPTIX_SUCCESS;
}

OptixResult accel_build(OptixDeviceContext context, CUstream stream, const OptixAccelBuildOptions* options,
                        const OptixBuildInput* inputs, unsigned int count, CUdeviceptr temp,
                        std::size_t temp_bytes, CUdeviceptr output, std::size_t output_bytes,
                        OptixTraversableHandle* handle, const OptixAccelEmitDesc* emitted,
                        unsigned int num_emitted) {
    std::lock_guard<std::mutex> lock(state().mutex);
    if (OptixResult e = static_cast<OptixResult>(state().enter("optixAccelBuild"))) return e;
    auto& s = state();
    if (!s.optix_contexts.count(context)) return OPTIX_ERROR_INVALID_DEVICE_CONTEXT;
    if (stream && !s.streams.count(stream)) return refuse(OPTIX_ERROR_INVALID_VALUE, "accel: unknown stream");
    if (!handle) return OPTIX_ERROR_INVALID_VALUE;
    bool triangles = false;
    std::size_t n = 0;
    if (OptixResult e = check_inputs(options, inputs, count, triangles, n)) return e;
    const OptixAccelBufferSizes need = sizes_for(*options, triangles, n);
    const bool update = options->operation == OPTIX_BUILD_OPERATION_UPDATE;
    if (!update && options->operation != OPTIX_BUILD_OPERATION_BUILD)
        return refuse(OPTIX_ERROR_INVALID_VALUE, "accel: unknown build operation");
    const std::size_t temp_need = update ? need.tempUpdateSizeInBytes : need.tempSizeInBytes;
    if (output % OPTIX_ACCEL_BUFFER_BYTE_ALIGNMENT != 0 || temp % OPTIX_ACCEL_BUFFER_BYTE_ALIGNMENT != 0)
        return refuse(OPTIX_ERROR_INVALID_VALUE, "accel: output and temporary buffers must be 128-byte aligned");
    if (output_bytes < need.outputSizeInBytes || !device_range(output, need.outputSizeInBytes))
        return refuse(OPTIX_ERROR_INVALID_VALUE, "accel: output buffer " + hex(output) + " smaller than the " +
                                                     std::to_string(need.outputSizeInBytes) +
                                                     " bytes optixAccelComputeMemoryUsage reported");
    if (temp_bytes < temp_need || (temp_need > 0 && !device_range(temp, temp_need)))
        return refuse(OPTIX_ERROR_INVALID_VALUE, "accel: temporary buffer " + hex(temp) + " smaller than the " +
                                                     std::to_string(temp_need) +
                                                     " bytes optixAccelComputeMemoryUsage reported");
    auto& accels = objects().accels;
    if (update) {
        auto it = accels.find(output);
        if (it == accels.end() || (triangles ? !it->second.gas : !it->second.ias))
            return refuse(OPTIX_ERROR_INVALID_VALUE,
                          "accel update: output buffer " + hex(output) + " holds no structure of this kind");
        const bool allowed = triangles ? it->second.gas->allow_update : it->second.ias->allow_update;
        if (!allowed) return refuse(OPTIX_ERROR_INVALID_OPERATION, "accel update: built without ALLOW_UPDATE");
        if (OptixResult e = triangles ? refit_gas(inputs, count, *it->second.gas) : refit_ias(inputs[0], *it->second.ias))
            return e;
    } else {
        Accel a;
        a.output_bytes = output_bytes;
        a.context = context;
        if (OptixResult e = triangles ? build_gas(*options, inputs, count, a.gas) : build_ias(*options, inputs[0], a.ias))
            return e;
        on_device_free(output);  // a structure built over an older one replaces it
        accels[output] = a;
    }
    for (unsigned int k = 0; k < num_emitted && emitted; ++k) {
        if (emitted[k].type != OPTIX_PROPERTY_TYPE_COMPACTED_SIZE)
            return refuse(OPTIX_ERROR_NOT_SUPPORTED, "accel: only the compacted-size property is emulated");
        if (!device_range(emitted[k].result, 8))
            return refuse(OPTIX_ERROR_INVALID_VALUE, "accel: emitted property address is not device memory");
        const unsigned long long size = need.outputSizeInBytes;
        std::memcpy(reinterpret_cast<void*>(emitted[k].result), &size, 8);
    }
    *handle = output;
    return OPTIX_SUCCESS;
}

}  // namespace norvi::emu
