#include "gpu/optix/optix_api.h"

#include <dlfcn.h>

#include <stdexcept>

namespace norvi::optix {

namespace {

// optixQueryFunctionTable(abiId, numOptions, optionKeys, optionValues,
//                         functionTable, sizeOfTable)
using QueryFunctionTable = OptixResult (*)(int, unsigned int, int*, const void**, void*, std::size_t);

constexpr const char* kInitFailed = "Failed to initialize OptiX";

// The 9.0 form of an optional option-struct argument: null stays null.
template <typename Abi90>
class Abi90Arg {
public:
    template <typename Abi91>
    explicit Abi90Arg(const Abi91* options) noexcept
        : value_(options ? to_abi90(*options) : Abi90{}), present_(options != nullptr) {}
    const Abi90* get() const noexcept { return present_ ? &value_ : nullptr; }

private:
    Abi90 value_;
    bool present_;
};

}  // namespace

void OptixApi::clear() noexcept {
    abi_ = 0;
    slots_.fill(nullptr);
}

OptixApi::AnyFn OptixApi::slot(Fn fn) const noexcept {
    const int i = table_slot(abi_, fn);
    if (i < 0) return nullptr;
    return slots_[static_cast<std::size_t>(i)];
}

const char* OptixApi::get_error_name(OptixResult result) const noexcept {
    auto f = get<const char* (*)(OptixResult)>(Fn::GetErrorName);
    return f ? f(result) : "OPTIX_ERROR_UNKNOWN";
}

const char* OptixApi::get_error_string(OptixResult result) const noexcept {
    auto f = get<const char* (*)(OptixResult)>(Fn::GetErrorString);
    return f ? f(result) : "OptiX is not initialized";
}

OptixResult OptixApi::device_context_create(CUcontext from, const OptixDeviceContextOptions* options,
                                            OptixDeviceContext* context) const noexcept {
    using F = OptixResult (*)(CUcontext, const OptixDeviceContextOptions*, OptixDeviceContext*);
    auto f = get<F>(Fn::DeviceContextCreate);
    return f ? f(from, options, context) : OPTIX_ERROR_NOT_SUPPORTED;
}

OptixResult OptixApi::device_context_destroy(OptixDeviceContext context) const noexcept {
    auto f = get<OptixResult (*)(OptixDeviceContext)>(Fn::DeviceContextDestroy);
    return f ? f(context) : OPTIX_ERROR_NOT_SUPPORTED;
}

OptixResult OptixApi::module_create(OptixDeviceContext context, const OptixModuleCompileOptions* module_options,
                                    const OptixPipelineCompileOptions* pipeline_options, const char* input,
                                    std::size_t input_size, char* log, std::size_t* log_size,
                                    OptixModule* module) const noexcept {
    if (abi_ == kAbi90) {
        using F = OptixResult (*)(OptixDeviceContext, const OptixModuleCompileOptions90*,
                                  const OptixPipelineCompileOptions90*, const char*, std::size_t, char*,
                                  std::size_t*, OptixModule*);
        auto f = get<F>(Fn::ModuleCreate);
        if (!f) return OPTIX_ERROR_NOT_SUPPORTED;
        const Abi90Arg<OptixModuleCompileOptions90> m90(module_options);
        const Abi90Arg<OptixPipelineCompileOptions90> p90(pipeline_options);
        return f(context, m90.get(), p90.get(), input, input_size, log, log_size, module);
    }
    using F = OptixResult (*)(OptixDeviceContext, const OptixModuleCompileOptions*,
                              const OptixPipelineCompileOptions*, const char*, std::size_t, char*, std::size_t*,
                              OptixModule*);
    auto f = get<F>(Fn::ModuleCreate);
    return f ? f(context, module_options, pipeline_options, input, input_size, log, log_size, module)
             : OPTIX_ERROR_NOT_SUPPORTED;
}

OptixResult OptixApi::module_destroy(OptixModule module) const noexcept {
    auto f = get<OptixResult (*)(OptixModule)>(Fn::ModuleDestroy);
    return f ? f(module) : OPTIX_ERROR_NOT_SUPPORTED;
}

OptixResult OptixApi::program_group_create(OptixDeviceContext context, const OptixProgramGroupDesc* descs,
                                           unsigned int count, const OptixProgramGroupOptions* options, char* log,
                                           std::size_t* log_size, OptixProgramGroup* groups) const noexcept {
    using F = OptixResult (*)(OptixDeviceContext, const OptixProgramGroupDesc*, unsigned int,
                              const OptixProgramGroupOptions*, char*, std::size_t*, OptixProgramGroup*);
    auto f = get<F>(Fn::ProgramGroupCreate);
    return f ? f(context, descs, count, options, log, log_size, groups) : OPTIX_ERROR_NOT_SUPPORTED;
}

OptixResult OptixApi::program_group_destroy(OptixProgramGroup group) const noexcept {
    auto f = get<OptixResult (*)(OptixProgramGroup)>(Fn::ProgramGroupDestroy);
    return f ? f(group) : OPTIX_ERROR_NOT_SUPPORTED;
}

OptixResult OptixApi::pipeline_create(OptixDeviceContext context, const OptixPipelineCompileOptions* pipeline_options,
                                      const OptixPipelineLinkOptions* link_options, const OptixProgramGroup* groups,
                                      unsigned int count, char* log, std::size_t* log_size,
                                      OptixPipeline* pipeline) const noexcept {
    if (abi_ == kAbi90) {
        using F = OptixResult (*)(OptixDeviceContext, const OptixPipelineCompileOptions90*,
                                  const OptixPipelineLinkOptions90*, const OptixProgramGroup*, unsigned int, char*,
                                  std::size_t*, OptixPipeline*);
        auto f = get<F>(Fn::PipelineCreate);
        if (!f) return OPTIX_ERROR_NOT_SUPPORTED;
        const Abi90Arg<OptixPipelineCompileOptions90> p90(pipeline_options);
        const Abi90Arg<OptixPipelineLinkOptions90> l90(link_options);
        return f(context, p90.get(), l90.get(), groups, count, log, log_size, pipeline);
    }
    using F = OptixResult (*)(OptixDeviceContext, const OptixPipelineCompileOptions*, const OptixPipelineLinkOptions*,
                              const OptixProgramGroup*, unsigned int, char*, std::size_t*, OptixPipeline*);
    auto f = get<F>(Fn::PipelineCreate);
    return f ? f(context, pipeline_options, link_options, groups, count, log, log_size, pipeline)
             : OPTIX_ERROR_NOT_SUPPORTED;
}

OptixResult OptixApi::pipeline_destroy(OptixPipeline pipeline) const noexcept {
    auto f = get<OptixResult (*)(OptixPipeline)>(Fn::PipelineDestroy);
    return f ? f(pipeline) : OPTIX_ERROR_NOT_SUPPORTED;
}

OptixResult OptixApi::pipeline_set_stack_size(OptixPipeline pipeline, unsigned int dc_from_traversal,
                                              unsigned int dc_from_state, unsigned int continuation,
                                              unsigned int max_traversable_depth) const noexcept {
    using F = OptixResult (*)(OptixPipeline, unsigned int, unsigned int, unsigned int, unsigned int);
    auto f = get<F>(Fn::PipelineSetStackSize);
    return f ? f(pipeline, dc_from_traversal, dc_from_state, continuation, max_traversable_depth)
             : OPTIX_ERROR_NOT_SUPPORTED;
}

OptixResult OptixApi::accel_compute_memory_usage(OptixDeviceContext context, const OptixAccelBuildOptions* options,
                                                 const OptixBuildInput* inputs, unsigned int count,
                                                 OptixAccelBufferSizes* sizes) const noexcept {
    using F = OptixResult (*)(OptixDeviceContext, const OptixAccelBuildOptions*, const OptixBuildInput*,
                              unsigned int, OptixAccelBufferSizes*);
    auto f = get<F>(Fn::AccelComputeMemoryUsage);
    return f ? f(context, options, inputs, count, sizes) : OPTIX_ERROR_NOT_SUPPORTED;
}

OptixResult OptixApi::accel_build(OptixDeviceContext context, CUstream stream, const OptixAccelBuildOptions* options,
                                  const OptixBuildInput* inputs, unsigned int count, CUdeviceptr temp,
                                  std::size_t temp_bytes, CUdeviceptr output, std::size_t output_bytes,
                                  OptixTraversableHandle* handle, const OptixAccelEmitDesc* emitted,
                                  unsigned int num_emitted) const noexcept {
    using F = OptixResult (*)(OptixDeviceContext, CUstream, const OptixAccelBuildOptions*, const OptixBuildInput*,
                              unsigned int, CUdeviceptr, std::size_t, CUdeviceptr, std::size_t,
                              OptixTraversableHandle*, const OptixAccelEmitDesc*, unsigned int);
    auto f = get<F>(Fn::AccelBuild);
    return f ? f(context, stream, options, inputs, count, temp, temp_bytes, output, output_bytes, handle, emitted,
                 num_emitted)
             : OPTIX_ERROR_NOT_SUPPORTED;
}

OptixResult OptixApi::sbt_record_pack_header(OptixProgramGroup group, void* header) const noexcept {
    auto f = get<OptixResult (*)(OptixProgramGroup, void*)>(Fn::SbtRecordPackHeader);
    return f ? f(group, header) : OPTIX_ERROR_NOT_SUPPORTED;
}

OptixResult OptixApi::launch(OptixPipeline pipeline, CUstream stream, CUdeviceptr params, std::size_t params_size,
                             const OptixShaderBindingTable* sbt, unsigned int width, unsigned int height,
                             unsigned int depth) const noexcept {
    using F = OptixResult (*)(OptixPipeline, CUstream, CUdeviceptr, std::size_t, const OptixShaderBindingTable*,
                              unsigned int, unsigned int, unsigned int);
    auto f = get<F>(Fn::Launch);
    return f ? f(pipeline, stream, params, params_size, sbt, width, height, depth) : OPTIX_ERROR_NOT_SUPPORTED;
}

OptixApi load_optix_api() {
    void* library = dlopen("libnvoptix.so.1", RTLD_NOW);
    if (!library) throw std::runtime_error(kInitFailed);
    auto query = reinterpret_cast<QueryFunctionTable>(dlsym(library, "optixQueryFunctionTable"));
    if (!query) {
        dlclose(library);
        throw std::runtime_error(kInitFailed);
    }

    OptixApi api;
    for (const int abi : {kAbi91, kAbi90}) {
        api.clear();
        const OptixResult r = query(abi, 0, nullptr, nullptr, api.table_storage(), table_bytes(abi));
        if (r == OPTIX_SUCCESS) {
            api.set_abi(abi);
            return api;  // the library stays open for the life of the process
        }
        // Ask again with 9.0 only when the driver refused the 9.1 table
        // itself: an ABI it does not know, or a size it does not expect for
        // it (a driver may check the size first). A 9.0 grant is checked by
        // the driver on its own terms, so asking costs nothing and a grant is
        // a valid 9.0 table. Any other answer means OptiX is unusable.
        if (r != OPTIX_ERROR_UNSUPPORTED_ABI_VERSION && r != OPTIX_ERROR_FUNCTION_TABLE_SIZE_MISMATCH) break;
    }
    api.clear();
    dlclose(library);
    throw std::runtime_error(kInitFailed);
}

OptixApi& optix_api() noexcept {
    static OptixApi api;
    return api;
}

}  // namespace norvi::optix
