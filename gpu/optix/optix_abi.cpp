#include "gpu/optix/optix_abi.h"

#include <cstring>
#include <type_traits>

namespace norvi::optix {

namespace {

constexpr int kFnCount = static_cast<int>(Fn::Count);

// Slots in the order of Fn. ABI 118: OptiX 9.1 table; ABI 105: OptiX 9.0.
constexpr int kSlots91[kFnCount] = {0, 1, 2, 3, 12, 18, 24, 25, 27, 28, 30, 32, 33, 48, 49};
constexpr int kSlots90[kFnCount] = {0, 1, 2, 3, 12, 15, 18, 19, 21, 22, 23, 24, 25, 40, 41};

// The 9.0 form of a struct whose 9.0 layout is the leading part of its 9.1
// layout: every 9.0 field at its 9.1 offset (both layouts are asserted
// field by field in optix_abi.h and optix_types.h).
template <typename Abi90, typename Abi91>
Abi90 leading_part(const Abi91& o) noexcept {
    static_assert(sizeof(Abi90) <= sizeof(Abi91), "the 9.0 form is the shorter one");
    static_assert(std::is_trivially_copyable_v<Abi90> && std::is_trivially_copyable_v<Abi91>, "");
    Abi90 r{};
    std::memcpy(&r, &o, sizeof(r));
    return r;
}

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
    return leading_part<OptixModuleCompileOptions90>(o);
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
    return leading_part<OptixPipelineLinkOptions90>(o);
}

}  // namespace norvi::optix
