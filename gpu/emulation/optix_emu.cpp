// The OptiX driver's function table, emulated on the host.
//
// The tables are laid out independently of gpu/optix/optix_abi.h, slot by
// slot from the published OptiX 9.1 (ABI 118, 60 slots) and 9.0 (ABI 105,
// 52 slots) orders, so a wrong slot map in our code calls the wrong entry
// here and fails. Entries not emulated answer OPTIX_ERROR_NOT_SUPPORTED.
// Where the two ABIs pass different option structs (module and pipeline
// creation), each table gets its own reader of the struct it is given.

#include <cstddef>
#include <mutex>
#include <string>
#include <utility>

#include "gpu/emulation/emu_control.h"
#include "gpu/emulation/emu_state.h"
#include "gpu/emulation/optix_objects.h"
#include "gpu/optix/optix_abi.h"
#include "gpu/optix/optix_types.h"

using namespace norvi::optix;
using norvi::emu::state;

namespace {

using AnyFn = void (*)();

const char* error_name(OptixResult r) {
    switch (r) {
        case OPTIX_SUCCESS: return "OPTIX_SUCCESS";
        case OPTIX_ERROR_INVALID_VALUE: return "OPTIX_ERROR_INVALID_VALUE";
        case OPTIX_ERROR_INVALID_OPERATION: return "OPTIX_ERROR_INVALID_OPERATION";
        case OPTIX_ERROR_LAUNCH_FAILURE: return "OPTIX_ERROR_LAUNCH_FAILURE";
        case OPTIX_ERROR_INVALID_INPUT: return "OPTIX_ERROR_INVALID_INPUT";
        case OPTIX_ERROR_DEVICE_OUT_OF_MEMORY: return "OPTIX_ERROR_DEVICE_OUT_OF_MEMORY";
        case OPTIX_ERROR_CUDA_ERROR: return "OPTIX_ERROR_CUDA_ERROR";
        case OPTIX_ERROR_INTERNAL_ERROR: return "OPTIX_ERROR_INTERNAL_ERROR";
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
        case OPTIX_ERROR_INVALID_OPERATION: return "Invalid operation";
        case OPTIX_ERROR_LAUNCH_FAILURE: return "Launch failure";
        case OPTIX_ERROR_INVALID_INPUT: return "Invalid input";
        case OPTIX_ERROR_NOT_SUPPORTED: return "Not supported";
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
    norvi::emu::destroy_context_objects(it->first);
    delete static_cast<const char*>(it->first);
    state().optix_contexts.erase(it);
    return OPTIX_SUCCESS;
}

// Module and pipeline creation read the option structs of their ABI.
template <bool Abi118>
OptixResult module_create(OptixDeviceContext context, const void* module_options, const void* pipeline_options,
                          const char* input, std::size_t input_size, char* log, std::size_t* log_size,
                          OptixModule* module) {
    (void)module_options;  // nothing is compiled: optimisation and debug levels change nothing here
    norvi::emu::CompileOptions o;
    if (pipeline_options) {
        if constexpr (Abi118) {
            const auto* p = static_cast<const OptixPipelineCompileOptions*>(pipeline_options);
            o.num_payload_values = p->numPayloadValues;
            o.params_name = p->pipelineLaunchParamsVariableName ? p->pipelineLaunchParamsVariableName : "";
            o.params_bytes = p->pipelineLaunchParamsSizeInBytes;
        } else {
            const auto* p = static_cast<const norvi::optix::OptixPipelineCompileOptions90*>(pipeline_options);
            o.num_payload_values = p->numPayloadValues;
            o.params_name = p->pipelineLaunchParamsVariableName ? p->pipelineLaunchParamsVariableName : "";
        }
    }
    return norvi::emu::module_create(context, pipeline_options ? &o : nullptr, input, input_size, log, log_size,
                                     module);
}

OptixResult program_group_create(OptixDeviceContext context, const OptixProgramGroupDesc* descs,
                                 unsigned int count, const OptixProgramGroupOptions*, char* log,
                                 std::size_t* log_size, OptixProgramGroup* groups) {
    return norvi::emu::program_group_create(context, descs, count, log, log_size, groups);
}

template <bool Abi118>
OptixResult pipeline_create(OptixDeviceContext context, const void* pipeline_options, const void* link_options,
                            const OptixProgramGroup* groups, unsigned int count, char* log, std::size_t* log_size,
                            OptixPipeline* pipeline) {
    (void)pipeline_options;
    unsigned int trace_depth = 0, traversable_depth = 0;
    if (link_options) {
        if constexpr (Abi118) {
            const auto* l = static_cast<const OptixPipelineLinkOptions*>(link_options);
            trace_depth = l->maxTraceDepth;
            traversable_depth = l->maxTraversableGraphDepth;
        } else {
            trace_depth = static_cast<const norvi::optix::OptixPipelineLinkOptions90*>(link_options)->maxTraceDepth;
        }
    }
    return norvi::emu::pipeline_create(context, groups, count, trace_depth, traversable_depth, log, log_size,
                                       pipeline);
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

template <bool Abi118, std::size_t N>
void fill_table(AnyFn* table, const char* const (&names)[N]) {
    table[slot_of(names, "optixGetErrorName")] = any(&error_name);
    table[slot_of(names, "optixGetErrorString")] = any(&error_string);
    table[slot_of(names, "optixDeviceContextCreate")] = any(&device_context_create);
    table[slot_of(names, "optixDeviceContextDestroy")] = any(&device_context_destroy);
    table[slot_of(names, "optixModuleCreate")] = any(&module_create<Abi118>);
    table[slot_of(names, "optixModuleDestroy")] = any(&norvi::emu::module_destroy);
    table[slot_of(names, "optixProgramGroupCreate")] = any(&program_group_create);
    table[slot_of(names, "optixProgramGroupDestroy")] = any(&norvi::emu::program_group_destroy);
    table[slot_of(names, "optixPipelineCreate")] = any(&pipeline_create<Abi118>);
    table[slot_of(names, "optixPipelineDestroy")] = any(&norvi::emu::pipeline_destroy);
    table[slot_of(names, "optixPipelineSetStackSize")] = any(&norvi::emu::pipeline_set_stack_size);
    table[slot_of(names, "optixAccelComputeMemoryUsage")] = any(&norvi::emu::accel_compute_memory_usage);
    table[slot_of(names, "optixAccelBuild")] = any(&norvi::emu::accel_build);
    table[slot_of(names, "optixSbtRecordPackHeader")] = any(&norvi::emu::sbt_record_pack_header);
    table[slot_of(names, "optixLaunch")] = any(&norvi::emu::launch);
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
        fill_table<true>(slots, kNames118);
    } else {
        fill_not_emulated<false>(slots, std::make_integer_sequence<int, 52>{});
        fill_table<false>(slots, kNames105);
    }
    return OPTIX_SUCCESS;
}
