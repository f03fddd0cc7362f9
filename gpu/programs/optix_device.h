#pragma once
// The OptiX device calls our programs make, mapped onto the PTX intrinsics
// the OptiX compiler resolves when it compiles a module (optixModuleCreate).
// The calls are emitted as `call` instructions to `_optix_...` names that
// the PTX never declares. Same names and argument orders as the OptiX device
// API, so programs read like OptiX programs; only what we use is here.
//
// Nothing here is specific to OptiX 9.1: the PTX is the same for drivers that
// grant ABI 105 and ABI 118. Do not add 9.1-only intrinsics
// (_optix_get_remaining_trace_depth) or the PTX stops loading on 9.0 drivers.
//
// Under nvcc the calls are the PTX intrinsics below. Compiled as C++ (the
// host build of the programs, run by the emulated GPU), the same calls read
// the state of the program running on the current thread
// (gpu/emulation/device_api.h); see the host half at the end.

#if defined(__CUDACC__)

#include <cstdint>

namespace norvi::device {

using TraversableHandle = unsigned long long;

// ---- Launch and shader binding table ---------------------------------------

static __forceinline__ __device__ ::uint3 optixGetLaunchIndex() {
    unsigned int x, y, z;
    asm("call (%0), _optix_get_launch_index_x, ();" : "=r"(x) :);
    asm("call (%0), _optix_get_launch_index_y, ();" : "=r"(y) :);
    asm("call (%0), _optix_get_launch_index_z, ();" : "=r"(z) :);
    return make_uint3(x, y, z);
}

static __forceinline__ __device__ ::uint3 optixGetLaunchDimensions() {
    unsigned int x, y, z;
    asm("call (%0), _optix_get_launch_dimension_x, ();" : "=r"(x) :);
    asm("call (%0), _optix_get_launch_dimension_y, ();" : "=r"(y) :);
    asm("call (%0), _optix_get_launch_dimension_z, ();" : "=r"(z) :);
    return make_uint3(x, y, z);
}

// Address of the payload of the current program's SBT record (record + 32).
static __forceinline__ __device__ unsigned long long optixGetSbtDataPointer() {
    unsigned long long ptr;
    asm("call (%0), _optix_get_sbt_data_ptr_64, ();" : "=l"(ptr) :);
    return ptr;
}

// ---- Payload registers (two per ray in every pipeline) ---------------------

static __forceinline__ __device__ unsigned int optixGetPayload_0() {
    unsigned int v;
    asm volatile("call (%0), _optix_get_payload, (%1);" : "=r"(v) : "r"(0));
    return v;
}

static __forceinline__ __device__ unsigned int optixGetPayload_1() {
    unsigned int v;
    asm volatile("call (%0), _optix_get_payload, (%1);" : "=r"(v) : "r"(1));
    return v;
}

static __forceinline__ __device__ void optixSetPayload_0(unsigned int v) {
    asm volatile("call _optix_set_payload, (%0, %1);" : : "r"(0), "r"(v));
}

static __forceinline__ __device__ void optixSetPayload_1(unsigned int v) {
    asm volatile("call _optix_set_payload, (%0, %1);" : : "r"(1), "r"(v));
}

// ---- Tracing ---------------------------------------------------------------

// optixTrace with two payload registers, default payload type, ray time 0.
// The intrinsic always takes 32 payload slots in and gives 32 back; the
// unused ones are passed as zero and their results discarded.
static __forceinline__ __device__ void optixTrace(TraversableHandle handle, ::float3 origin, ::float3 direction,
                                                  float tmin, float tmax, unsigned int visibility_mask,
                                                  unsigned int ray_flags, unsigned int sbt_offset,
                                                  unsigned int sbt_stride, unsigned int miss_index,
                                                  unsigned int& p0, unsigned int& p1) {
    unsigned int r[32];
    const unsigned int z = 0;
    const float time = 0.0f;
    asm volatile(
        "call (%0, %1, %2, %3, %4, %5, %6, %7, %8, %9, %10, %11, %12, %13, %14, %15, %16, %17, %18, %19, %20, "
        "%21, %22, %23, %24, %25, %26, %27, %28, %29, %30, %31), _optix_trace_typed_32, (%32, %33, %34, %35, "
        "%36, %37, %38, %39, %40, %41, %42, %43, %44, %45, %46, %47, %48, %49, %50, %51, %52, %53, %54, %55, "
        "%56, %57, %58, %59, %60, %61, %62, %63, %64, %65, %66, %67, %68, %69, %70, %71, %72, %73, %74, %75, "
        "%76, %77, %78, %79, %80);"
        : "=r"(r[0]), "=r"(r[1]), "=r"(r[2]), "=r"(r[3]), "=r"(r[4]), "=r"(r[5]), "=r"(r[6]), "=r"(r[7]),
          "=r"(r[8]), "=r"(r[9]), "=r"(r[10]), "=r"(r[11]), "=r"(r[12]), "=r"(r[13]), "=r"(r[14]), "=r"(r[15]),
          "=r"(r[16]), "=r"(r[17]), "=r"(r[18]), "=r"(r[19]), "=r"(r[20]), "=r"(r[21]), "=r"(r[22]),
          "=r"(r[23]), "=r"(r[24]), "=r"(r[25]), "=r"(r[26]), "=r"(r[27]), "=r"(r[28]), "=r"(r[29]),
          "=r"(r[30]), "=r"(r[31])
        : "r"(0u), "l"(handle), "f"(origin.x), "f"(origin.y), "f"(origin.z), "f"(direction.x),
          "f"(direction.y), "f"(direction.z), "f"(tmin), "f"(tmax), "f"(time), "r"(visibility_mask),
          "r"(ray_flags), "r"(sbt_offset), "r"(sbt_stride), "r"(miss_index), "r"(2u), "r"(p0), "r"(p1),
          "r"(z), "r"(z), "r"(z), "r"(z), "r"(z), "r"(z), "r"(z), "r"(z), "r"(z), "r"(z), "r"(z), "r"(z),
          "r"(z), "r"(z), "r"(z), "r"(z), "r"(z), "r"(z), "r"(z), "r"(z), "r"(z), "r"(z), "r"(z), "r"(z),
          "r"(z), "r"(z), "r"(z), "r"(z), "r"(z), "r"(z)
        :);
    p0 = r[0];
    p1 = r[1];
}

constexpr unsigned int OPTIX_RAY_FLAG_NONE = 0;
constexpr unsigned int OPTIX_RAY_FLAG_DISABLE_ANYHIT = 1;
constexpr unsigned int OPTIX_RAY_FLAG_TERMINATE_ON_FIRST_HIT = 4;
constexpr unsigned int OPTIX_RAY_FLAG_DISABLE_CLOSESTHIT = 8;

// ---- Hit state (closest hit) -----------------------------------------------

static __forceinline__ __device__ unsigned int optixGetPrimitiveIndex() {
    unsigned int v;
    asm("call (%0), _optix_read_primitive_idx, ();" : "=r"(v) :);
    return v;
}

// OptixInstance::instanceId of the instance that was hit.
static __forceinline__ __device__ unsigned int optixGetInstanceId() {
    unsigned int v;
    asm("call (%0), _optix_read_instance_id, ();" : "=r"(v) :);
    return v;
}

// Zero-based position of the hit instance in the instance acceleration structure.
static __forceinline__ __device__ unsigned int optixGetInstanceIndex() {
    unsigned int v;
    asm("call (%0), _optix_read_instance_idx, ();" : "=r"(v) :);
    return v;
}

// (b1, b2): the hit point is v0 (1 - b1 - b2) + v1 b1 + v2 b2.
static __forceinline__ __device__ ::float2 optixGetTriangleBarycentrics() {
    float b1, b2;
    asm("call (%0, %1), _optix_get_triangle_barycentrics, ();" : "=f"(b1), "=f"(b2) :);
    return make_float2(b1, b2);
}

static __forceinline__ __device__ float optixGetRayTmax() {
    float v;
    asm("call (%0), _optix_get_ray_tmax, ();" : "=f"(v) :);
    return v;
}

static __forceinline__ __device__ ::float3 optixGetWorldRayOrigin() {
    float x, y, z;
    asm("call (%0), _optix_get_world_ray_origin_x, ();" : "=f"(x) :);
    asm("call (%0), _optix_get_world_ray_origin_y, ();" : "=f"(y) :);
    asm("call (%0), _optix_get_world_ray_origin_z, ();" : "=f"(z) :);
    return make_float3(x, y, z);
}

static __forceinline__ __device__ ::float3 optixGetWorldRayDirection() {
    float x, y, z;
    asm("call (%0), _optix_get_world_ray_direction_x, ();" : "=f"(x) :);
    asm("call (%0), _optix_get_world_ray_direction_y, ();" : "=f"(y) :);
    asm("call (%0), _optix_get_world_ray_direction_z, ();" : "=f"(z) :);
    return make_float3(x, y, z);
}

// 0xFE front face, 0xFF back face for built-in triangles.
static __forceinline__ __device__ unsigned int optixGetHitKind() {
    unsigned int v;
    asm("call (%0), _optix_get_hit_kind, ();" : "=r"(v) :);
    return v;
}

static __forceinline__ __device__ bool optixIsBackFaceHit() {
    unsigned int back;
    asm("call (%0), _optix_get_backface_from_hit_kind, (%1);" : "=r"(back) : "r"(optixGetHitKind()));
    return back == 1;
}

static __forceinline__ __device__ void optixTerminateRay() { asm volatile("call _optix_terminate_ray, ();"); }

// ---- Transforms of the current hit (closest hit) ---------------------------

// Our scenes are one instance structure over geometry structures, so the
// transform list of a hit holds one instance; static and motion transforms
// are not used and count as the identity.
static __forceinline__ __device__ unsigned int optixGetTransformListSize() {
    unsigned int n;
    asm("call (%0), _optix_get_transform_list_size, ();" : "=r"(n) :);
    return n;
}

static __forceinline__ __device__ unsigned long long optixGetTransformListHandle(unsigned int index) {
    unsigned long long h;
    asm("call (%0), _optix_get_transform_list_handle, (%1);" : "=l"(h) : "r"(index));
    return h;
}

static __forceinline__ __device__ unsigned int optixGetTransformTypeFromHandle(unsigned long long handle) {
    unsigned int t;
    asm("call (%0), _optix_get_transform_type_from_handle, (%1);" : "=r"(t) : "l"(handle));
    return t;
}

static __forceinline__ __device__ const ::float4* optixGetInstanceTransformFromHandle(unsigned long long handle) {
    unsigned long long p;
    asm("call (%0), _optix_get_instance_transform_from_handle, (%1);" : "=l"(p) : "l"(handle));
    return reinterpret_cast<const ::float4*>(p);
}

static __forceinline__ __device__ const ::float4* optixGetInstanceInverseTransformFromHandle(
    unsigned long long handle) {
    unsigned long long p;
    asm("call (%0), _optix_get_instance_inverse_transform_from_handle, (%1);" : "=l"(p) : "l"(handle));
    return reinterpret_cast<const ::float4*>(p);
}

namespace detail {

// m := t x m for 3x4 affine matrices (row-major, implicit last row 0 0 0 1).
static __forceinline__ __device__ void compose(const ::float4* t, float m[12]) {
    const float r[12] = {t[0].x, t[0].y, t[0].z, t[0].w, t[1].x, t[1].y, t[1].z, t[1].w, t[2].x, t[2].y, t[2].z, t[2].w};
    float out[12];
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 4; ++j)
            out[4 * i + j] = r[4 * i] * m[j] + r[4 * i + 1] * m[4 + j] + r[4 * i + 2] * m[8 + j] + (j == 3 ? r[4 * i + 3] : 0.0f);
    }
    for (int k = 0; k < 12; ++k) m[k] = out[k];
}

static __forceinline__ __device__ void identity(float m[12]) {
    for (int k = 0; k < 12; ++k) m[k] = (k == 0 || k == 5 || k == 10) ? 1.0f : 0.0f;
}

}  // namespace detail

// Object-to-world 3x4 matrix (row-major) of the current hit.
static __forceinline__ __device__ void optixGetObjectToWorldTransformMatrix(float m[12]) {
    detail::identity(m);
    const unsigned int n = optixGetTransformListSize();
    for (unsigned int i = n; i-- > 0;) {
        const unsigned long long h = optixGetTransformListHandle(i);
        if (optixGetTransformTypeFromHandle(h) == 4u) detail::compose(optixGetInstanceTransformFromHandle(h), m);
    }
}

// World-to-object 3x4 matrix (row-major) of the current hit.
static __forceinline__ __device__ void optixGetWorldToObjectTransformMatrix(float m[12]) {
    detail::identity(m);
    const unsigned int n = optixGetTransformListSize();
    for (unsigned int i = 0; i < n; ++i) {
        const unsigned long long h = optixGetTransformListHandle(i);
        if (optixGetTransformTypeFromHandle(h) == 4u)
            detail::compose(optixGetInstanceInverseTransformFromHandle(h), m);
    }
}

}  // namespace norvi::device

#else  // host build: the emulated GPU

#include <cstdint>

#include "gpu/emulation/device_api.h"
#include "gpu/programs/host_compat.h"

namespace norvi::device {

using TraversableHandle = unsigned long long;

namespace host {

inline NorviEmuFrame& frame() { return *norvi_emu_device_thread()->frame; }

// The frame of a program of `kind`; any other program kind is refused, as
// OptiX allows hit state in closest-hit programs only and payload access in
// closest-hit and miss programs.
inline NorviEmuFrame& frame_of(int kind, const char* call) {
    NorviEmuFrame& f = frame();
    if (f.kind != kind) norvi_emu_device_fault(call);
    return f;
}

inline NorviEmuFrame& traced_frame(const char* call) {
    NorviEmuFrame& f = frame();
    if (f.kind == NORVI_EMU_RAYGEN) norvi_emu_device_fault(call);
    return f;
}

}  // namespace host

inline ::uint3 optixGetLaunchIndex() {
    const NorviEmuThread* t = norvi_emu_device_thread();
    return make_uint3(t->launch_index[0], t->launch_index[1], t->launch_index[2]);
}

inline ::uint3 optixGetLaunchDimensions() {
    const NorviEmuThread* t = norvi_emu_device_thread();
    return make_uint3(t->launch_dimensions[0], t->launch_dimensions[1], t->launch_dimensions[2]);
}

inline unsigned long long optixGetSbtDataPointer() { return host::frame().sbt_data; }

inline unsigned int optixGetPayload_0() {
    return host::traced_frame("optixGetPayload_0 outside closest-hit and miss programs").payload[0];
}
inline unsigned int optixGetPayload_1() {
    return host::traced_frame("optixGetPayload_1 outside closest-hit and miss programs").payload[1];
}
inline void optixSetPayload_0(unsigned int v) {
    host::traced_frame("optixSetPayload_0 outside closest-hit and miss programs").payload[0] = v;
}
inline void optixSetPayload_1(unsigned int v) {
    host::traced_frame("optixSetPayload_1 outside closest-hit and miss programs").payload[1] = v;
}

inline void optixTrace(TraversableHandle handle, ::float3 origin, ::float3 direction, float tmin, float tmax,
                       unsigned int visibility_mask, unsigned int ray_flags, unsigned int sbt_offset,
                       unsigned int sbt_stride, unsigned int miss_index, unsigned int& p0, unsigned int& p1) {
    const float o[3] = {origin.x, origin.y, origin.z};
    const float d[3] = {direction.x, direction.y, direction.z};
    unsigned int payload[2] = {p0, p1};
    norvi_emu_device_trace(handle, o, d, tmin, tmax, 0.0f, visibility_mask, ray_flags, sbt_offset, sbt_stride,
                           miss_index, 2u, payload);
    p0 = payload[0];
    p1 = payload[1];
}

constexpr unsigned int OPTIX_RAY_FLAG_NONE = 0;
constexpr unsigned int OPTIX_RAY_FLAG_DISABLE_ANYHIT = 1;
constexpr unsigned int OPTIX_RAY_FLAG_TERMINATE_ON_FIRST_HIT = 4;
constexpr unsigned int OPTIX_RAY_FLAG_DISABLE_CLOSESTHIT = 8;

inline unsigned int optixGetPrimitiveIndex() {
    return host::frame_of(NORVI_EMU_CLOSESTHIT, "optixGetPrimitiveIndex outside a closest-hit program")
        .primitive_index;
}
inline unsigned int optixGetInstanceId() {
    return host::frame_of(NORVI_EMU_CLOSESTHIT, "optixGetInstanceId outside a closest-hit program").instance_id;
}
inline unsigned int optixGetInstanceIndex() {
    return host::frame_of(NORVI_EMU_CLOSESTHIT, "optixGetInstanceIndex outside a closest-hit program")
        .instance_index;
}
inline ::float2 optixGetTriangleBarycentrics() {
    const NorviEmuFrame& f =
        host::frame_of(NORVI_EMU_CLOSESTHIT, "optixGetTriangleBarycentrics outside a closest-hit program");
    return make_float2(f.barycentrics[0], f.barycentrics[1]);
}
inline float optixGetRayTmax() { return host::traced_frame("optixGetRayTmax in ray generation").tmax; }
inline ::float3 optixGetWorldRayOrigin() {
    const NorviEmuFrame& f = host::traced_frame("optixGetWorldRayOrigin in ray generation");
    return make_float3(f.world_origin[0], f.world_origin[1], f.world_origin[2]);
}
inline ::float3 optixGetWorldRayDirection() {
    const NorviEmuFrame& f = host::traced_frame("optixGetWorldRayDirection in ray generation");
    return make_float3(f.world_direction[0], f.world_direction[1], f.world_direction[2]);
}
inline unsigned int optixGetHitKind() {
    return host::frame_of(NORVI_EMU_CLOSESTHIT, "optixGetHitKind outside a closest-hit program").hit_kind;
}
inline bool optixIsBackFaceHit() { return optixGetHitKind() == 0xFFu; }

inline void optixGetObjectToWorldTransformMatrix(float m[12]) {
    const NorviEmuFrame& f =
        host::frame_of(NORVI_EMU_CLOSESTHIT, "optixGetObjectToWorldTransformMatrix outside a closest-hit program");
    std::memcpy(m, f.object_to_world, sizeof f.object_to_world);
}
inline void optixGetWorldToObjectTransformMatrix(float m[12]) {
    const NorviEmuFrame& f =
        host::frame_of(NORVI_EMU_CLOSESTHIT, "optixGetWorldToObjectTransformMatrix outside a closest-hit program");
    std::memcpy(m, f.world_to_object, sizeof f.world_to_object);
}

// Any-hit programs are not emulated; a program calling this never runs.
inline void optixTerminateRay() { norvi_emu_device_fault("optixTerminateRay: any-hit programs are not emulated"); }

}  // namespace norvi::device

#endif

// ---- Transform helpers, the same under both compilers ----------------------

namespace norvi::device {

#if defined(__CUDACC__)
#define NORVI_DEVICE_FN static __forceinline__ __device__
#else
#define NORVI_DEVICE_FN inline
#endif

// Point (w = 1) and vector (w = 0) from object to world space of the current hit.
NORVI_DEVICE_FN ::float3 optixTransformPointFromObjectToWorldSpace(::float3 p) {
    float m[12];
    optixGetObjectToWorldTransformMatrix(m);
    return make_float3(m[0] * p.x + m[1] * p.y + m[2] * p.z + m[3], m[4] * p.x + m[5] * p.y + m[6] * p.z + m[7],
                       m[8] * p.x + m[9] * p.y + m[10] * p.z + m[11]);
}

NORVI_DEVICE_FN ::float3 optixTransformVectorFromObjectToWorldSpace(::float3 v) {
    float m[12];
    optixGetObjectToWorldTransformMatrix(m);
    return make_float3(m[0] * v.x + m[1] * v.y + m[2] * v.z, m[4] * v.x + m[5] * v.y + m[6] * v.z,
                       m[8] * v.x + m[9] * v.y + m[10] * v.z);
}

// Normal: the transpose of the world-to-object matrix (not renormalised).
NORVI_DEVICE_FN ::float3 optixTransformNormalFromObjectToWorldSpace(::float3 n) {
    float m[12];
    optixGetWorldToObjectTransformMatrix(m);
    return make_float3(m[0] * n.x + m[4] * n.y + m[8] * n.z, m[1] * n.x + m[5] * n.y + m[9] * n.z,
                       m[2] * n.x + m[6] * n.y + m[10] * n.z);
}

#undef NORVI_DEVICE_FN

}  // namespace norvi::device
