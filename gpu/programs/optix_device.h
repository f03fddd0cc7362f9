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
// Only nvcc reads this header today; the host build of the programs for
// emulated launches will give these functions host definitions instead.

#if !defined(__CUDACC__)
#error "gpu/programs/optix_device.h is device code: compile with nvcc"
#endif

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

}  // namespace norvi::device
