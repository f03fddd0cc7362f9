#pragma once
// What differs between the two OptiX ABIs we accept, in one place.
//
// We ask the driver for ABI 118 (OptiX 9.1) first and fall back to ABI 105
// (OptiX 9.0), which the 580-series drivers grant. For everything we call, the
// two differ only in (a) the slot order of the function table and (b) three
// option structs. The rest of the GPU code is written once against the 9.1
// declarations in optix_types.h; OptixApi (optix_api.h) uses the slot map and
// the converters below when the granted ABI is 105.

#include <cstddef>

#include "gpu/optix/optix_types.h"

namespace norvi::optix {

constexpr int kAbi91 = 118;                // OptiX 9.1
constexpr std::size_t kTableBytes91 = 480;  // 60 slots
constexpr int kAbi90 = 105;                // OptiX 9.0
constexpr std::size_t kTableBytes90 = 416;  // 52 slots
constexpr std::size_t kMaxTableSlots = kTableBytes91 / sizeof(void*);

// The table entries we call.
enum class Fn : int {
    GetErrorName,
    GetErrorString,
    DeviceContextCreate,
    DeviceContextDestroy,
    ModuleCreate,
    ModuleDestroy,
    ProgramGroupCreate,
    ProgramGroupDestroy,
    PipelineCreate,
    PipelineDestroy,
    PipelineSetStackSize,
    AccelComputeMemoryUsage,
    AccelBuild,
    SbtRecordPackHeader,
    Launch,
    Count
};

// Table size in bytes for an ABI we accept; 0 for any other.
std::size_t table_bytes(int abi) noexcept;

// Slot index (byte offset / 8) of `fn` in the table of `abi`; -1 for an ABI
// we do not accept.
int table_slot(int abi, Fn fn) noexcept;

// ---- OptiX 9.0 forms of the structs whose layout changed in 9.1 ----------

// 9.1 without baseModule: an exact prefix of the 9.1 struct.
struct OptixModuleCompileOptions90 {
    int maxRegisterCount;
    OptixCompileOptimizationLevel optLevel;
    OptixCompileDebugLevel debugLevel;
    const OptixModuleCompileBoundValueEntry* boundValues;
    unsigned int numBoundValues;
    unsigned int numPayloadTypes;
    const OptixPayloadType* payloadTypes;
};

// 9.1 without pipelineLaunchParamsSizeInBytes: the later fields sit 8 bytes
// earlier, so this is not a prefix of the 9.1 struct.
struct OptixPipelineCompileOptions90 {
    int usesMotionBlur;
    unsigned int traversableGraphFlags;
    int numPayloadValues;
    int numAttributeValues;
    unsigned int exceptionFlags;
    const char* pipelineLaunchParamsVariableName;
    unsigned int usesPrimitiveTypeFlags;
    int allowOpacityMicromaps;
    int allowClusteredGeometry;
};

// 9.0 links with the trace depth only; the traversable-graph depth goes to
// optixPipelineSetStackSize, which both ABIs have.
struct OptixPipelineLinkOptions90 {
    unsigned int maxTraceDepth;
};

static_assert(sizeof(OptixModuleCompileOptions90) == 40 && alignof(OptixModuleCompileOptions90) == 8, "");
static_assert(offsetof(OptixModuleCompileOptions90, maxRegisterCount) == 0, "");
static_assert(offsetof(OptixModuleCompileOptions90, optLevel) == 4, "");
static_assert(offsetof(OptixModuleCompileOptions90, debugLevel) == 8, "");
static_assert(offsetof(OptixModuleCompileOptions90, boundValues) == 16, "");
static_assert(offsetof(OptixModuleCompileOptions90, numBoundValues) == 24, "");
static_assert(offsetof(OptixModuleCompileOptions90, numPayloadTypes) == 28, "");
static_assert(offsetof(OptixModuleCompileOptions90, payloadTypes) == 32, "");

static_assert(sizeof(OptixPipelineCompileOptions90) == 48 && alignof(OptixPipelineCompileOptions90) == 8, "");
static_assert(offsetof(OptixPipelineCompileOptions90, usesMotionBlur) == 0, "");
static_assert(offsetof(OptixPipelineCompileOptions90, traversableGraphFlags) == 4, "");
static_assert(offsetof(OptixPipelineCompileOptions90, numPayloadValues) == 8, "");
static_assert(offsetof(OptixPipelineCompileOptions90, numAttributeValues) == 12, "");
static_assert(offsetof(OptixPipelineCompileOptions90, exceptionFlags) == 16, "");
static_assert(offsetof(OptixPipelineCompileOptions90, pipelineLaunchParamsVariableName) == 24, "");
static_assert(offsetof(OptixPipelineCompileOptions90, usesPrimitiveTypeFlags) == 32, "");
static_assert(offsetof(OptixPipelineCompileOptions90, allowOpacityMicromaps) == 36, "");
static_assert(offsetof(OptixPipelineCompileOptions90, allowClusteredGeometry) == 40, "");

static_assert(sizeof(OptixPipelineLinkOptions90) == 4 && offsetof(OptixPipelineLinkOptions90, maxTraceDepth) == 0, "");

OptixModuleCompileOptions90 to_abi90(const OptixModuleCompileOptions& o) noexcept;
OptixPipelineCompileOptions90 to_abi90(const OptixPipelineCompileOptions& o) noexcept;
OptixPipelineLinkOptions90 to_abi90(const OptixPipelineLinkOptions& o) noexcept;

}  // namespace norvi::optix
