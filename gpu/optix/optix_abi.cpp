#include "gpu/optix/optix_abi.h"

namespace norvi::optix {

namespace {

constexpr int kFnCount = static_cast<int>(Fn::Count);

// Slots in the order of Fn. ABI 118: OptiX 9.1 table; ABI 105: OptiX 9.0.
constexpr int kSlots91[kFnCount] = {0, 1, 2, 3, 12, 18, 24, 25, 27, 28, 30, 32, 33, 48, 49};
constexpr int kSlots90[kFnCount] = {0, 1, 2, 3, 12, 15, 18, 19, 21, 22, 23, 24, 25, 40, 41};

}  // namespace

std::size_t table_bytes(int abi) noexcept {
    if (abi == kAbi91) return kTableBytes91;
    if (abi == kAbi90) return kTableBytes90;
    return 0;
}

int table_slot(int abi, Fn fn) noexcept {
    const int i = static_cast<int>(fn);
    if (i < 0 || i >= kFnCount) return -1;
    if (abi == kAbi91) return kSlots91[i];
    if (abi == kAbi90) return kSlots90[i];
    return -1;
}

OptixModuleCompileOptions90 to_abi90(const OptixModuleCompileOptions& o) noexcept {
    OptixModuleCompileOptions90 r{};
    r.maxRegisterCount = o.maxRegisterCount;
    r.optLevel = o.optLevel;
    r.debugLevel = o.debugLevel;
    r.boundValues = o.boundValues;
    r.numBoundValues = o.numBoundValues;
    r.numPayloadTypes = o.numPayloadTypes;
    r.payloadTypes = o.payloadTypes;
    return r;
}

OptixPipelineCompileOptions90 to_abi90(const OptixPipelineCompileOptions& o) noexcept {
    OptixPipelineCompileOptions90 r{};
    r.usesMotionBlur = o.usesMotionBlur;
    r.traversableGraphFlags = o.traversableGraphFlags;
    r.numPayloadValues = o.numPayloadValues;
    r.numAttributeValues = o.numAttributeValues;
    r.exceptionFlags = o.exceptionFlags;
    r.pipelineLaunchParamsVariableName = o.pipelineLaunchParamsVariableName;
    r.usesPrimitiveTypeFlags = o.usesPrimitiveTypeFlags;
    r.allowOpacityMicromaps = o.allowOpacityMicromaps;
    r.allowClusteredGeometry = o.allowClusteredGeometry;
    return r;
}

OptixPipelineLinkOptions90 to_abi90(const OptixPipelineLinkOptions& o) noexcept {
    OptixPipelineLinkOptions90 r{};
    r.maxTraceDepth = o.maxTraceDepth;
    return r;
}

}  // namespace norvi::optix
