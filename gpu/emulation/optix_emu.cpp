// The OptiX driver's function table, emulated on the host.
//
// The tables are laid out independently of gpu/optix/optix_abi.h, slot by
// slot from the published OptiX 9.1 (ABI 118, 60 slots) and 9.0 (ABI 105,
// 52 slots) orders, so a wrong slot map in our code calls the wrong entry
// here and fails. Entries not emulated yet answer OPTIX_ERROR_NOT_SUPPORTED.

#include <cstddef>
#include <mutex>
#include <string>
#include <utility>

#include "gpu/emulation/emu_control.h"
#include "gpu/emulation/emu_state.h"
#include "gpu/optix/optix_types.h"

using namespace norvi::optix;
using norvi::emu::state;

namespace {

using AnyFn = void (*)();

const char* error_name(OptixResult r) {
    switch (r) {
        case OPTIX_SUCCESS: return "OPTIX_SUCCESS";
        case OPTIX_ERROR_INVALID_VALUE: return "OPTIX_ERROR_INVALID_VALUE";
        case OPTIX_ERROR_INVALID_DEVICE_CONTEXT: return "OPTIX_ERROR_INVALID_DEVICE_CONTEXT";
        case OPTIX_ERROR_CUDA_NOT_INITIALIZED: return "OPTIX_ERROR_CUDA_NOT_INITIALIZED";
        case OPTIX_ERROR_NOT_SUPPORTED: return "OPTIX_ERROR_NOT_SUPPORTED";
        case OPTIX_ERROR_UNSUPPORTED_ABI_VERSION: return "OPTIX_ERROR_UNSUPPORTED_ABI_VERSION";
        case OPTIX_ERROR_FUNCTION_TABLE_SIZE_MISMATCH: return "OPTIX_ERROR_FUNCTION_TABLE_SIZE_MISMATCH";
        default: return "Unrecognized OptixResult code";
    }
}

const char* error_string(OptixResult r) {
    switch (r) {
        case OPTIX_SUCCESS: return "Success";
        case OPTIX_ERROR_INVALID_VALUE: return "Invalid value";
        case OPTIX_ERROR_INVALID_DEVICE_CONTEXT: return "Invalid device context";
        case OPTIX_ERROR_CUDA_NOT_INITIALIZED: return "CUDA is not initialized";
        default: return "Unrecognized OptixResult code";
    }
}

OptixResult injected(const char* call, const std::string& detail = std::string()) {
    return static_cast<OptixResult>(state().enter(call, detail));
}

OptixResult device_context_create(CUcontext from, const OptixDeviceContextOptions* options,
                                  OptixDeviceContext* context) {
    std::lock_guard<std::mutex> lock(state().mutex);
    if (OptixResult e = injected("optixDeviceContextCreate")) return e;
    if (!context) return OPTIX_ERROR_INVALID_VALUE;
    if (from == nullptr && state().current_device < 0) return OPTIX_ERROR_CUDA_NOT_INITIALIZED;
    norvi::emu::OptixContextRecord rec;
    if (options) {
        rec.callback = options->logCallbackFunction;
        rec.callback_data = options->logCallbackData;
        rec.callback_level = options->logCallbackLevel;
        rec.validation_mode = options->validationMode;
    }
    const char* handle = new char(0);
    state().optix_contexts.emplace(handle, rec);
    state().last_context = rec;
    state().context_created = true;
    *context = reinterpret_cast<OptixDeviceContext>(const_cast<char*>(handle));
    return OPTIX_SUCCESS;
}

OptixResult device_context_destroy(OptixDeviceContext context) {
    std::lock_guard<std::mutex> lock(state().mutex);
    if (OptixResult e = injected("optixDeviceContextDestroy")) return e;
    auto it = state().optix_contexts.find(context);
    if (it == state().optix_contexts.end()) return OPTIX_ERROR_INVALID_DEVICE_CONTEXT;
    delete static_cast<const char*>(it->first);
    state().optix_contexts.erase(it);
    return OPTIX_SUCCESS;
}

// Every entry of the two published tables, in slot order.
constexpr const char* kNames118[60] = {
    "optixGetErrorName", "optixGetErrorString", "optixDeviceContextCreate", "optixDeviceContextDestroy",
    "optixDeviceContextGetProperty", "optixDeviceContextSetLogCallback", "optixDeviceContextSetCacheEnabled",
    "optixDeviceContextSetCacheLocation", "optixDeviceContextSetCacheDatabaseSizes",
    "optixDeviceContextGetCacheEnabled", "optixDeviceContextGetCacheLocation",
    "optixDeviceContextGetCacheDatabaseSizes", "optixModuleCreate", "optixModuleCreateWithTasks",
    "optixModuleGetCompilationState", "optixModuleCancelCreation", "optixStub",
    "optixDeviceContextCancelCreations", "optixModuleDestroy", "optixBuiltinISModuleGet", "optixTaskExecute",
    "optixTaskGetSerializationKey", "optixTaskSerializeOutput", "optixTaskDeserializeOutput",
    "optixProgramGroupCreate", "optixProgramGroupDestroy", "optixProgramGroupGetStackSize",
    "optixPipelineCreate", "optixPipelineDestroy", "optixPipelineSetStackSizeFromCallDepths",
    "optixPipelineSetStackSize", "optixPipelineSymbolMemcpyAsync", "optixAccelComputeMemoryUsage",
    "optixAccelBuild", "optixAccelGetRelocationInfo", "optixCheckRelocationCompatibility",
    "optixAccelRelocate", "optixAccelCompact", "optixAccelEmitProperty",
    "optixConvertPointerToTraversableHandle", "optixOpacityMicromapArrayComputeMemoryUsage",
    "optixOpacityMicromapArrayBuild", "optixOpacityMicromapArrayGetRelocationInfo",
    "optixOpacityMicromapArrayRelocate", "stub1", "stub2", "optixClusterAccelComputeMemoryUsage",
    "optixClusterAccelBuild", "optixSbtRecordPackHeader", "optixLaunch", "optixCoopVecMatrixConvert",
    "optixCoopVecMatrixComputeSize", "optixDenoiserCreate", "optixDenoiserDestroy",
    "optixDenoiserComputeMemoryResources", "optixDenoiserSetup", "optixDenoiserInvoke",
    "optixDenoiserComputeIntensity", "optixDenoiserComputeAverageColor", "optixDenoiserCreateWithUserModel"};

constexpr const char* kNames105[52] = {
    "optixGetErrorName", "optixGetErrorString", "optixDeviceContextCreate", "optixDeviceContextDestroy",
    "optixDeviceContextGetProperty", "optixDeviceContextSetLogCallback", "optixDeviceContextSetCacheEnabled",
    "optixDeviceContextSetCacheLocation", "optixDeviceContextSetCacheDatabaseSizes",
    "optixDeviceContextGetCacheEnabled", "optixDeviceContextGetCacheLocation",
    "optixDeviceContextGetCacheDatabaseSizes", "optixModuleCreate", "optixModuleCreateWithTasks",
    "optixModuleGetCompilationState", "optixModuleDestroy", "optixBuiltinISModuleGet", "optixTaskExecute",
    "optixProgramGroupCreate", "optixProgramGroupDestroy", "optixProgramGroupGetStackSize",
    "optixPipelineCreate", "optixPipelineDestroy", "optixPipelineSetStackSize", "optixAccelComputeMemoryUsage",
    "optixAccelBuild", "optixAccelGetRelocationInfo", "optixCheckRelocationCompatibility",
    "optixAccelRelocate", "optixAccelCompact", "optixAccelEmitProperty",
    "optixConvertPointerToTraversableHandle", "optixOpacityMicromapArrayComputeMemoryUsage",
    "optixOpacityMicromapArrayBuild", "optixOpacityMicromapArrayGetRelocationInfo",
    "optixOpacityMicromapArrayRelocate", "optixDisplacementMicromapArrayComputeMemoryUsage",
    "optixDisplacementMicromapArrayBuild", "optixClusterAccelComputeMemoryUsage", "optixClusterAccelBuild",
    "optixSbtRecordPackHeader", "optixLaunch", "optixCoopVecMatrixConvert", "optixCoopVecMatrixComputeSize",
    "optixDenoiserCreate", "optixDenoiserDestroy", "optixDenoiserComputeMemoryResources",
    "optixDenoiserSetup", "optixDenoiserInvoke", "optixDenoiserComputeIntensity",
    "optixDenoiserComputeAverageColor", "optixDenoiserCreateWithUserModel"};

// An entry not emulated yet: traced under its own name, then refused.
template <bool Abi118, int I>
OptixResult not_emulated() {
    std::lock_guard<std::mutex> lock(state().mutex);
    if (const int e = state().enter(Abi118 ? kNames118[I] : kNames105[I])) return static_cast<OptixResult>(e);
    return OPTIX_ERROR_NOT_SUPPORTED;
}

template <typename F>
AnyFn any(F f) {
    return reinterpret_cast<AnyFn>(f);
}

template <bool Abi118, int... I>
void fill_not_emulated(AnyFn* table, std::integer_sequence<int, I...>) {
    ((table[I] = any(&not_emulated<Abi118, I>)), ...);
}

template <std::size_t N>
int slot_of(const char* const (&names)[N], const char* name) {
    for (std::size_t i = 0; i < N; ++i)
        if (std::string(names[i]) == name) return static_cast<int>(i);
    return -1;
}

template <std::size_t N>
void fill_table(AnyFn* table, const char* const (&names)[N]) {
    table[slot_of(names, "optixGetErrorName")] = any(&error_name);
    table[slot_of(names, "optixGetErrorString")] = any(&error_string);
    table[slot_of(names, "optixDeviceContextCreate")] = any(&device_context_create);
    table[slot_of(names, "optixDeviceContextDestroy")] = any(&device_context_destroy);
}

}  // namespace

extern "C" int norvi_emu_optix_query_function_table(int abi, unsigned int num_options, int* option_keys,
                                                    const void** option_values, void* table,
                                                    size_t table_bytes) {
    std::lock_guard<std::mutex> lock(state().mutex);
    const std::string detail = std::to_string(abi) + " " + std::to_string(table_bytes);
    if (OptixResult e = injected("optixQueryFunctionTable", detail)) return e;
    if (num_options != 0 || option_keys || option_values || !table) return OPTIX_ERROR_INVALID_VALUE;
    bool granted = false;
    for (int a : state().granted_abis) granted = granted || a == abi;
    if (!granted || (abi != 118 && abi != 105)) return OPTIX_ERROR_UNSUPPORTED_ABI_VERSION;
    const std::size_t expected = abi == 118 ? 480 : 416;
    if (table_bytes != expected) return OPTIX_ERROR_FUNCTION_TABLE_SIZE_MISMATCH;
    auto* slots = static_cast<AnyFn*>(table);
    if (abi == 118) {
        fill_not_emulated<true>(slots, std::make_integer_sequence<int, 60>{});
        fill_table(slots, kNames118);
    } else {
        fill_not_emulated<false>(slots, std::make_integer_sequence<int, 52>{});
        fill_table(slots, kNames105);
    }
    return OPTIX_SUCCESS;
}
