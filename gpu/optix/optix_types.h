#pragma once
// Our own declarations of the OptiX host types we use: handles, enums and
// structs, laid out as OptiX 9.1 (ABI 118) lays them out on x86-64 Linux.
//
// Only the types the GPU code calls with are declared. The few structs whose
// layout differs under ABI 105 (OptiX 9.0) have their 9.0 form in
// gpu/optix/optix_abi.h, which translates; everything else here is identical
// in both releases. Every size and offset is fixed by a static_assert: these
// structs are read by the driver byte for byte.
//
// Nothing here needs cuda.h: the three CUDA driver types OptiX takes are
// declared below with the same underlying types the CUDA headers use.

#include <cstddef>
#include <cstdint>

struct CUctx_st;
struct CUstream_st;

namespace norvi::optix {

using CUdeviceptr = unsigned long long;
using CUcontext = ::CUctx_st*;
using CUstream = ::CUstream_st*;  // the same type as cudaStream_t

struct OptixDeviceContext_t;
struct OptixModule_t;
struct OptixProgramGroup_t;
struct OptixPipeline_t;
using OptixDeviceContext = OptixDeviceContext_t*;
using OptixModule = OptixModule_t*;
using OptixProgramGroup = OptixProgramGroup_t*;
using OptixPipeline = OptixPipeline_t*;
using OptixTraversableHandle = unsigned long long;

// Result codes (every non-zero code is an error).
enum OptixResult : int {
    OPTIX_SUCCESS = 0,
    OPTIX_ERROR_INVALID_VALUE = 7001,
    OPTIX_ERROR_HOST_OUT_OF_MEMORY = 7002,
    OPTIX_ERROR_INVALID_OPERATION = 7003,
    OPTIX_ERROR_LAUNCH_FAILURE = 7050,
    OPTIX_ERROR_INVALID_DEVICE_CONTEXT = 7051,
    OPTIX_ERROR_CUDA_NOT_INITIALIZED = 7052,
    OPTIX_ERROR_INVALID_INPUT = 7200,
    OPTIX_ERROR_PIPELINE_LINK_ERROR = 7251,
    OPTIX_ERROR_INTERNAL_COMPILER_ERROR = 7299,
    OPTIX_ERROR_NOT_SUPPORTED = 7800,
    OPTIX_ERROR_UNSUPPORTED_ABI_VERSION = 7801,
    OPTIX_ERROR_FUNCTION_TABLE_SIZE_MISMATCH = 7802,
    OPTIX_ERROR_LIBRARY_NOT_FOUND = 7804,
    OPTIX_ERROR_ENTRY_SYMBOL_NOT_FOUND = 7805,
    OPTIX_ERROR_DEVICE_OUT_OF_MEMORY = 7807,
    OPTIX_ERROR_CUDA_ERROR = 7900,
    OPTIX_ERROR_INTERNAL_ERROR = 7990,
    OPTIX_ERROR_UNKNOWN = 7999
};

enum OptixDeviceContextValidationMode : unsigned int {
    OPTIX_DEVICE_CONTEXT_VALIDATION_MODE_OFF = 0,
    OPTIX_DEVICE_CONTEXT_VALIDATION_MODE_ALL = 0xFFFFFFFFu
};

enum OptixCompileOptimizationLevel : int {
    OPTIX_COMPILE_OPTIMIZATION_DEFAULT = 0,
    OPTIX_COMPILE_OPTIMIZATION_LEVEL_0 = 0x2340,
    OPTIX_COMPILE_OPTIMIZATION_LEVEL_3 = 0x2343
};

enum OptixCompileDebugLevel : int {
    OPTIX_COMPILE_DEBUG_LEVEL_DEFAULT = 0,
    OPTIX_COMPILE_DEBUG_LEVEL_NONE = 0x2350,
    OPTIX_COMPILE_DEBUG_LEVEL_MINIMAL = 0x2351,
    OPTIX_COMPILE_DEBUG_LEVEL_FULL = 0x2352,
    OPTIX_COMPILE_DEBUG_LEVEL_MODERATE = 0x2353
};

enum OptixProgramGroupKind : int {
    OPTIX_PROGRAM_GROUP_KIND_RAYGEN = 0x2421,
    OPTIX_PROGRAM_GROUP_KIND_MISS = 0x2422,
    OPTIX_PROGRAM_GROUP_KIND_EXCEPTION = 0x2423,
    OPTIX_PROGRAM_GROUP_KIND_HITGROUP = 0x2424,
    OPTIX_PROGRAM_GROUP_KIND_CALLABLES = 0x2425
};

enum OptixBuildInputType : int {
    OPTIX_BUILD_INPUT_TYPE_TRIANGLES = 0x2141,
    OPTIX_BUILD_INPUT_TYPE_INSTANCES = 0x2143
};

enum OptixVertexFormat : int { OPTIX_VERTEX_FORMAT_NONE = 0, OPTIX_VERTEX_FORMAT_FLOAT3 = 0x2121 };
enum OptixIndicesFormat : int { OPTIX_INDICES_FORMAT_NONE = 0, OPTIX_INDICES_FORMAT_UNSIGNED_INT3 = 0x2103 };
enum OptixTransformFormat : int { OPTIX_TRANSFORM_FORMAT_NONE = 0, OPTIX_TRANSFORM_FORMAT_MATRIX_FLOAT12 = 0x21E1 };
enum OptixBuildOperation : int { OPTIX_BUILD_OPERATION_BUILD = 0x2161, OPTIX_BUILD_OPERATION_UPDATE = 0x2162 };
enum OptixAccelPropertyType : int { OPTIX_PROPERTY_TYPE_COMPACTED_SIZE = 0x2181, OPTIX_PROPERTY_TYPE_AABBS = 0x2182 };

// Bit flags, passed as unsigned int fields.
constexpr unsigned int OPTIX_GEOMETRY_FLAG_NONE = 0;
constexpr unsigned int OPTIX_GEOMETRY_FLAG_DISABLE_ANYHIT = 1;
constexpr unsigned int OPTIX_BUILD_FLAG_NONE = 0;
constexpr unsigned int OPTIX_BUILD_FLAG_ALLOW_UPDATE = 1;
constexpr unsigned int OPTIX_BUILD_FLAG_ALLOW_COMPACTION = 2;
constexpr unsigned int OPTIX_BUILD_FLAG_PREFER_FAST_TRACE = 4;
constexpr unsigned int OPTIX_INSTANCE_FLAG_NONE = 0;
constexpr unsigned int OPTIX_EXCEPTION_FLAG_NONE = 0;
constexpr unsigned int OPTIX_TRAVERSABLE_GRAPH_FLAG_ALLOW_ANY = 0;
constexpr unsigned int OPTIX_PRIMITIVE_TYPE_FLAGS_DEFAULT = 0;  // custom and triangles
constexpr unsigned int OPTIX_PROGRAM_GROUP_FLAGS_NONE = 0;

constexpr std::size_t OPTIX_SBT_RECORD_HEADER_SIZE = 32;
constexpr unsigned long long OPTIX_SBT_RECORD_ALIGNMENT = 16;
constexpr unsigned long long OPTIX_ACCEL_BUFFER_BYTE_ALIGNMENT = 128;
constexpr unsigned long long OPTIX_INSTANCE_BYTE_ALIGNMENT = 16;

// Log callback: level 1 fatal, 2 error, 3 warning, 4 print.
using OptixLogCallback = void (*)(unsigned int level, const char* tag, const char* message, void* cbdata);

struct OptixDeviceContextOptions {
    OptixLogCallback logCallbackFunction;
    void* logCallbackData;
    int logCallbackLevel;
    OptixDeviceContextValidationMode validationMode;
};

struct OptixModuleCompileBoundValueEntry {
    std::size_t pipelineParamOffsetInBytes;
    std::size_t sizeInBytes;
    const void* boundValuePtr;
    const char* annotation;
};

struct OptixPayloadType {
    unsigned int numPayloadValues;
    const unsigned int* payloadSemantics;
};

struct OptixModuleCompileOptions {
    int maxRegisterCount;
    OptixCompileOptimizationLevel optLevel;
    OptixCompileDebugLevel debugLevel;
    const OptixModuleCompileBoundValueEntry* boundValues;
    unsigned int numBoundValues;
    unsigned int numPayloadTypes;
    const OptixPayloadType* payloadTypes;
    OptixModule baseModule;  // 9.1 only
};

struct OptixPipelineCompileOptions {
    int usesMotionBlur;
    unsigned int traversableGraphFlags;
    int numPayloadValues;
    int numAttributeValues;
    unsigned int exceptionFlags;
    const char* pipelineLaunchParamsVariableName;
    std::size_t pipelineLaunchParamsSizeInBytes;  // 9.1 only
    unsigned int usesPrimitiveTypeFlags;
    int allowOpacityMicromaps;
    int allowClusteredGeometry;
};

struct OptixPipelineLinkOptions {
    unsigned int maxTraceDepth;
    unsigned int maxContinuationCallableDepth;         // 9.1 only
    unsigned int maxDirectCallableDepthFromState;      // 9.1 only
    unsigned int maxDirectCallableDepthFromTraversal;  // 9.1 only
    unsigned int maxTraversableGraphDepth;             // 9.1 only
};

struct OptixProgramGroupOptions {
    const OptixPayloadType* payloadType;
};

struct OptixProgramGroupSingleModule {
    OptixModule module;
    const char* entryFunctionName;
};

struct OptixProgramGroupHitgroup {
    OptixModule moduleCH;
    const char* entryFunctionNameCH;
    OptixModule moduleAH;
    const char* entryFunctionNameAH;
    OptixModule moduleIS;
    const char* entryFunctionNameIS;
};

struct OptixProgramGroupCallables {
    OptixModule moduleDC;
    const char* entryFunctionNameDC;
    OptixModule moduleCC;
    const char* entryFunctionNameCC;
};

// Set the union member by name: 9.0 and 9.1 declare the members in a
// different order, so brace-initialising the first one means different things.
struct OptixProgramGroupDesc {
    OptixProgramGroupKind kind;
    unsigned int flags;
    union {
        OptixProgramGroupHitgroup hitgroup;
        OptixProgramGroupSingleModule raygen;
        OptixProgramGroupSingleModule miss;
        OptixProgramGroupSingleModule exception;
        OptixProgramGroupCallables callables;
    };
};

struct OptixBuildInputOpacityMicromap {
    int indexingMode;  // 0 = none
    CUdeviceptr opacityMicromapArray;
    CUdeviceptr indexBuffer;
    unsigned int indexSizeInBytes;
    unsigned int indexStrideInBytes;
    unsigned int indexOffset;
    unsigned int numMicromapUsageCounts;
    const void* micromapUsageCounts;
};

struct OptixBuildInputTriangleArray {
    const CUdeviceptr* vertexBuffers;  // host array, one device pointer per motion key
    unsigned int numVertices;
    OptixVertexFormat vertexFormat;
    unsigned int vertexStrideInBytes;
    CUdeviceptr indexBuffer;
    unsigned int numIndexTriplets;
    OptixIndicesFormat indexFormat;
    unsigned int indexStrideInBytes;
    CUdeviceptr preTransform;
    const unsigned int* flags;  // host array of numSbtRecords geometry flags
    unsigned int numSbtRecords;
    CUdeviceptr sbtIndexOffsetBuffer;
    unsigned int sbtIndexOffsetSizeInBytes;
    unsigned int sbtIndexOffsetStrideInBytes;
    unsigned int primitiveIndexOffset;
    OptixTransformFormat transformFormat;
    OptixBuildInputOpacityMicromap opacityMicromap;
};

struct OptixBuildInputInstanceArray {
    CUdeviceptr instances;  // device array of OptixInstance, 16-byte aligned
    unsigned int numInstances;
    unsigned int instanceStride;  // 0 = sizeof(OptixInstance)
};

// One build input. Always value-initialise it (all 1032 bytes zero) before
// filling: a 9.0 driver reads a displacement-micromap member at bytes
// 152..247, which in the 9.1 layout are pad and must be zero to mean "none".
struct OptixBuildInput {
    OptixBuildInputType type;
    union {
        char pad[1024];
        OptixBuildInputTriangleArray triangleArray;
        OptixBuildInputInstanceArray instanceArray;
    };
};

struct OptixMotionOptions {
    unsigned short numKeys;
    unsigned short flags;
    float timeBegin;
    float timeEnd;
};

struct OptixAccelBuildOptions {
    unsigned int buildFlags;
    OptixBuildOperation operation;
    OptixMotionOptions motionOptions;
};

struct OptixAccelBufferSizes {
    std::size_t outputSizeInBytes;
    std::size_t tempSizeInBytes;
    std::size_t tempUpdateSizeInBytes;
};

struct OptixAccelEmitDesc {
    CUdeviceptr result;
    OptixAccelPropertyType type;
};

struct OptixInstance {
    float transform[12];  // object-to-world, row-major 3x4
    unsigned int instanceId;
    unsigned int sbtOffset;
    unsigned int visibilityMask;
    unsigned int flags;
    OptixTraversableHandle traversableHandle;
    unsigned int pad[2];
};

struct OptixShaderBindingTable {
    CUdeviceptr raygenRecord;
    CUdeviceptr exceptionRecord;
    CUdeviceptr missRecordBase;
    unsigned int missRecordStrideInBytes;
    unsigned int missRecordCount;
    CUdeviceptr hitgroupRecordBase;
    unsigned int hitgroupRecordStrideInBytes;
    unsigned int hitgroupRecordCount;
    CUdeviceptr callablesRecordBase;
    unsigned int callablesRecordStrideInBytes;
    unsigned int callablesRecordCount;
};

// ---- Layout checks (x86-64 LP64, OptiX 9.1) -------------------------------

static_assert(sizeof(OptixResult) == 4 && sizeof(OptixProgramGroupKind) == 4, "OptiX enums are 4 bytes");
static_assert(sizeof(OptixDeviceContextValidationMode) == 4, "OptiX enums are 4 bytes");
static_assert(sizeof(CUdeviceptr) == 8 && sizeof(OptixTraversableHandle) == 8, "64-bit device addresses");

static_assert(sizeof(OptixDeviceContextOptions) == 24 && alignof(OptixDeviceContextOptions) == 8, "");
static_assert(offsetof(OptixDeviceContextOptions, logCallbackFunction) == 0, "");
static_assert(offsetof(OptixDeviceContextOptions, logCallbackData) == 8, "");
static_assert(offsetof(OptixDeviceContextOptions, logCallbackLevel) == 16, "");
static_assert(offsetof(OptixDeviceContextOptions, validationMode) == 20, "");

static_assert(sizeof(OptixModuleCompileBoundValueEntry) == 32 && alignof(OptixModuleCompileBoundValueEntry) == 8, "");
static_assert(offsetof(OptixModuleCompileBoundValueEntry, sizeInBytes) == 8, "");
static_assert(offsetof(OptixModuleCompileBoundValueEntry, boundValuePtr) == 16, "");
static_assert(offsetof(OptixModuleCompileBoundValueEntry, annotation) == 24, "");

static_assert(sizeof(OptixPayloadType) == 16 && alignof(OptixPayloadType) == 8, "");
static_assert(offsetof(OptixPayloadType, payloadSemantics) == 8, "");

static_assert(sizeof(OptixModuleCompileOptions) == 48 && alignof(OptixModuleCompileOptions) == 8, "");
static_assert(offsetof(OptixModuleCompileOptions, maxRegisterCount) == 0, "");
static_assert(offsetof(OptixModuleCompileOptions, optLevel) == 4, "");
static_assert(offsetof(OptixModuleCompileOptions, debugLevel) == 8, "");
static_assert(offsetof(OptixModuleCompileOptions, boundValues) == 16, "");
static_assert(offsetof(OptixModuleCompileOptions, numBoundValues) == 24, "");
static_assert(offsetof(OptixModuleCompileOptions, numPayloadTypes) == 28, "");
static_assert(offsetof(OptixModuleCompileOptions, payloadTypes) == 32, "");
static_assert(offsetof(OptixModuleCompileOptions, baseModule) == 40, "");

static_assert(sizeof(OptixPipelineCompileOptions) == 56 && alignof(OptixPipelineCompileOptions) == 8, "");
static_assert(offsetof(OptixPipelineCompileOptions, usesMotionBlur) == 0, "");
static_assert(offsetof(OptixPipelineCompileOptions, traversableGraphFlags) == 4, "");
static_assert(offsetof(OptixPipelineCompileOptions, numPayloadValues) == 8, "");
static_assert(offsetof(OptixPipelineCompileOptions, numAttributeValues) == 12, "");
static_assert(offsetof(OptixPipelineCompileOptions, exceptionFlags) == 16, "");
static_assert(offsetof(OptixPipelineCompileOptions, pipelineLaunchParamsVariableName) == 24, "");
static_assert(offsetof(OptixPipelineCompileOptions, pipelineLaunchParamsSizeInBytes) == 32, "");
static_assert(offsetof(OptixPipelineCompileOptions, usesPrimitiveTypeFlags) == 40, "");
static_assert(offsetof(OptixPipelineCompileOptions, allowOpacityMicromaps) == 44, "");
static_assert(offsetof(OptixPipelineCompileOptions, allowClusteredGeometry) == 48, "");

static_assert(sizeof(OptixPipelineLinkOptions) == 20 && alignof(OptixPipelineLinkOptions) == 4, "");
static_assert(offsetof(OptixPipelineLinkOptions, maxTraceDepth) == 0, "");
static_assert(offsetof(OptixPipelineLinkOptions, maxContinuationCallableDepth) == 4, "");
static_assert(offsetof(OptixPipelineLinkOptions, maxDirectCallableDepthFromState) == 8, "");
static_assert(offsetof(OptixPipelineLinkOptions, maxDirectCallableDepthFromTraversal) == 12, "");
static_assert(offsetof(OptixPipelineLinkOptions, maxTraversableGraphDepth) == 16, "");

static_assert(sizeof(OptixProgramGroupOptions) == 8, "");
static_assert(sizeof(OptixProgramGroupSingleModule) == 16, "");
static_assert(offsetof(OptixProgramGroupSingleModule, entryFunctionName) == 8, "");
static_assert(sizeof(OptixProgramGroupHitgroup) == 48, "");
static_assert(offsetof(OptixProgramGroupHitgroup, entryFunctionNameCH) == 8, "");
static_assert(offsetof(OptixProgramGroupHitgroup, moduleAH) == 16, "");
static_assert(offsetof(OptixProgramGroupHitgroup, entryFunctionNameAH) == 24, "");
static_assert(offsetof(OptixProgramGroupHitgroup, moduleIS) == 32, "");
static_assert(offsetof(OptixProgramGroupHitgroup, entryFunctionNameIS) == 40, "");
static_assert(sizeof(OptixProgramGroupCallables) == 32, "");
static_assert(offsetof(OptixProgramGroupCallables, entryFunctionNameDC) == 8, "");
static_assert(offsetof(OptixProgramGroupCallables, moduleCC) == 16, "");
static_assert(offsetof(OptixProgramGroupCallables, entryFunctionNameCC) == 24, "");
static_assert(sizeof(OptixProgramGroupDesc) == 56 && alignof(OptixProgramGroupDesc) == 8, "");
static_assert(offsetof(OptixProgramGroupDesc, kind) == 0, "");
static_assert(offsetof(OptixProgramGroupDesc, flags) == 4, "");
static_assert(offsetof(OptixProgramGroupDesc, hitgroup) == 8, "");
static_assert(offsetof(OptixProgramGroupDesc, raygen) == 8, "");
static_assert(offsetof(OptixProgramGroupDesc, miss) == 8, "");
static_assert(offsetof(OptixProgramGroupDesc, exception) == 8, "");
static_assert(offsetof(OptixProgramGroupDesc, callables) == 8, "");

static_assert(sizeof(OptixBuildInputOpacityMicromap) == 48 && alignof(OptixBuildInputOpacityMicromap) == 8, "");
static_assert(offsetof(OptixBuildInputOpacityMicromap, opacityMicromapArray) == 8, "");
static_assert(offsetof(OptixBuildInputOpacityMicromap, indexBuffer) == 16, "");
static_assert(offsetof(OptixBuildInputOpacityMicromap, indexSizeInBytes) == 24, "");
static_assert(offsetof(OptixBuildInputOpacityMicromap, indexStrideInBytes) == 28, "");
static_assert(offsetof(OptixBuildInputOpacityMicromap, indexOffset) == 32, "");
static_assert(offsetof(OptixBuildInputOpacityMicromap, numMicromapUsageCounts) == 36, "");
static_assert(offsetof(OptixBuildInputOpacityMicromap, micromapUsageCounts) == 40, "");

static_assert(sizeof(OptixBuildInputTriangleArray) == 144 && alignof(OptixBuildInputTriangleArray) == 8, "");
static_assert(offsetof(OptixBuildInputTriangleArray, vertexBuffers) == 0, "");
static_assert(offsetof(OptixBuildInputTriangleArray, numVertices) == 8, "");
static_assert(offsetof(OptixBuildInputTriangleArray, vertexFormat) == 12, "");
static_assert(offsetof(OptixBuildInputTriangleArray, vertexStrideInBytes) == 16, "");
static_assert(offsetof(OptixBuildInputTriangleArray, indexBuffer) == 24, "");
static_assert(offsetof(OptixBuildInputTriangleArray, numIndexTriplets) == 32, "");
static_assert(offsetof(OptixBuildInputTriangleArray, indexFormat) == 36, "");
static_assert(offsetof(OptixBuildInputTriangleArray, indexStrideInBytes) == 40, "");
static_assert(offsetof(OptixBuildInputTriangleArray, preTransform) == 48, "");
static_assert(offsetof(OptixBuildInputTriangleArray, flags) == 56, "");
static_assert(offsetof(OptixBuildInputTriangleArray, numSbtRecords) == 64, "");
static_assert(offsetof(OptixBuildInputTriangleArray, sbtIndexOffsetBuffer) == 72, "");
static_assert(offsetof(OptixBuildInputTriangleArray, sbtIndexOffsetSizeInBytes) == 80, "");
static_assert(offsetof(OptixBuildInputTriangleArray, sbtIndexOffsetStrideInBytes) == 84, "");
static_assert(offsetof(OptixBuildInputTriangleArray, primitiveIndexOffset) == 88, "");
static_assert(offsetof(OptixBuildInputTriangleArray, transformFormat) == 92, "");
static_assert(offsetof(OptixBuildInputTriangleArray, opacityMicromap) == 96, "");

static_assert(sizeof(OptixBuildInputInstanceArray) == 16 && alignof(OptixBuildInputInstanceArray) == 8, "");
static_assert(offsetof(OptixBuildInputInstanceArray, numInstances) == 8, "");
static_assert(offsetof(OptixBuildInputInstanceArray, instanceStride) == 12, "");

static_assert(sizeof(OptixBuildInput) == 1032 && alignof(OptixBuildInput) == 8, "");
static_assert(offsetof(OptixBuildInput, type) == 0, "");
static_assert(offsetof(OptixBuildInput, pad) == 8, "");
static_assert(offsetof(OptixBuildInput, triangleArray) == 8, "");
static_assert(offsetof(OptixBuildInput, instanceArray) == 8, "");

static_assert(sizeof(OptixMotionOptions) == 12 && alignof(OptixMotionOptions) == 4, "");
static_assert(offsetof(OptixMotionOptions, flags) == 2, "");
static_assert(offsetof(OptixMotionOptions, timeBegin) == 4, "");
static_assert(offsetof(OptixMotionOptions, timeEnd) == 8, "");
static_assert(sizeof(OptixAccelBuildOptions) == 20 && alignof(OptixAccelBuildOptions) == 4, "");
static_assert(offsetof(OptixAccelBuildOptions, operation) == 4, "");
static_assert(offsetof(OptixAccelBuildOptions, motionOptions) == 8, "");
static_assert(sizeof(OptixAccelBufferSizes) == 24 && alignof(OptixAccelBufferSizes) == 8, "");
static_assert(offsetof(OptixAccelBufferSizes, tempSizeInBytes) == 8, "");
static_assert(offsetof(OptixAccelBufferSizes, tempUpdateSizeInBytes) == 16, "");
static_assert(sizeof(OptixAccelEmitDesc) == 16 && alignof(OptixAccelEmitDesc) == 8, "");
static_assert(offsetof(OptixAccelEmitDesc, type) == 8, "");

static_assert(sizeof(OptixInstance) == 80 && alignof(OptixInstance) == 8, "");
static_assert(offsetof(OptixInstance, instanceId) == 48, "");
static_assert(offsetof(OptixInstance, sbtOffset) == 52, "");
static_assert(offsetof(OptixInstance, visibilityMask) == 56, "");
static_assert(offsetof(OptixInstance, flags) == 60, "");
static_assert(offsetof(OptixInstance, traversableHandle) == 64, "");
static_assert(offsetof(OptixInstance, pad) == 72, "");

static_assert(sizeof(OptixShaderBindingTable) == 64 && alignof(OptixShaderBindingTable) == 8, "");
static_assert(offsetof(OptixShaderBindingTable, exceptionRecord) == 8, "");
static_assert(offsetof(OptixShaderBindingTable, missRecordBase) == 16, "");
static_assert(offsetof(OptixShaderBindingTable, missRecordStrideInBytes) == 24, "");
static_assert(offsetof(OptixShaderBindingTable, missRecordCount) == 28, "");
static_assert(offsetof(OptixShaderBindingTable, hitgroupRecordBase) == 32, "");
static_assert(offsetof(OptixShaderBindingTable, hitgroupRecordStrideInBytes) == 40, "");
static_assert(offsetof(OptixShaderBindingTable, hitgroupRecordCount) == 44, "");
static_assert(offsetof(OptixShaderBindingTable, callablesRecordBase) == 48, "");
static_assert(offsetof(OptixShaderBindingTable, callablesRecordStrideInBytes) == 56, "");
static_assert(offsetof(OptixShaderBindingTable, callablesRecordCount) == 60, "");

}  // namespace norvi::optix
