#pragma once
// The OptiX function table as the driver hands it out, and the calls we make
// through it.
//
// OptixApi holds the raw table of whichever ABI the driver granted and offers
// one method per OptiX function we use, always with the 9.1 argument types;
// under ABI 105 the methods look the function up in the 9.0 slot order and
// pass 9.0 forms of the changed option structs (optix_abi.h).
//
// load_optix_api() opens the driver's library and fills a table. optix_api()
// is the one process-wide table every GPU object calls through.

#include <array>
#include <cstddef>

#include "gpu/optix/optix_abi.h"
#include "gpu/optix/optix_types.h"

namespace norvi::optix {

class OptixApi {
public:
    using AnyFn = void (*)();

    // 0 while no table is loaded, else 118 or 105.
    int abi() const noexcept { return abi_; }

    // The memory optixQueryFunctionTable writes into, and its marking as
    // granted for an ABI. clear() zeroes the table and forgets the ABI.
    void* table_storage() noexcept { return slots_.data(); }
    void clear() noexcept;
    void set_abi(int abi) noexcept { abi_ = abi; }

    // The raw pointer in the table slot of `fn` (null when not loaded).
    AnyFn slot(Fn fn) const noexcept;

    const char* get_error_name(OptixResult result) const noexcept;
    const char* get_error_string(OptixResult result) const noexcept;

    OptixResult device_context_create(CUcontext from, const OptixDeviceContextOptions* options,
                                      OptixDeviceContext* context) const noexcept;
    OptixResult device_context_destroy(OptixDeviceContext context) const noexcept;

    OptixResult module_create(OptixDeviceContext context, const OptixModuleCompileOptions* module_options,
                              const OptixPipelineCompileOptions* pipeline_options, const char* input,
                              std::size_t input_size, char* log, std::size_t* log_size,
                              OptixModule* module) const noexcept;
    OptixResult module_destroy(OptixModule module) const noexcept;

    OptixResult program_group_create(OptixDeviceContext context, const OptixProgramGroupDesc* descs,
                                     unsigned int count, const OptixProgramGroupOptions* options, char* log,
                                     std::size_t* log_size, OptixProgramGroup* groups) const noexcept;
    OptixResult program_group_destroy(OptixProgramGroup group) const noexcept;

    OptixResult pipeline_create(OptixDeviceContext context, const OptixPipelineCompileOptions* pipeline_options,
                                const OptixPipelineLinkOptions* link_options, const OptixProgramGroup* groups,
                                unsigned int count, char* log, std::size_t* log_size,
                                OptixPipeline* pipeline) const noexcept;
    OptixResult pipeline_destroy(OptixPipeline pipeline) const noexcept;
    OptixResult pipeline_set_stack_size(OptixPipeline pipeline, unsigned int dc_from_traversal,
                                        unsigned int dc_from_state, unsigned int continuation,
                                        unsigned int max_traversable_depth) const noexcept;

    OptixResult accel_compute_memory_usage(OptixDeviceContext context, const OptixAccelBuildOptions* options,
                                           const OptixBuildInput* inputs, unsigned int count,
                                           OptixAccelBufferSizes* sizes) const noexcept;
    OptixResult accel_build(OptixDeviceContext context, CUstream stream, const OptixAccelBuildOptions* options,
                            const OptixBuildInput* inputs, unsigned int count, CUdeviceptr temp,
                            std::size_t temp_bytes, CUdeviceptr output, std::size_t output_bytes,
                            OptixTraversableHandle* handle, const OptixAccelEmitDesc* emitted,
                            unsigned int num_emitted) const noexcept;

    OptixResult sbt_record_pack_header(OptixProgramGroup group, void* header) const noexcept;
    OptixResult launch(OptixPipeline pipeline, CUstream stream, CUdeviceptr params, std::size_t params_size,
                       const OptixShaderBindingTable* sbt, unsigned int width, unsigned int height,
                       unsigned int depth) const noexcept;

private:
    template <typename F>
    F get(Fn fn) const noexcept {
        return reinterpret_cast<F>(slot(fn));
    }

    int abi_ = 0;
    std::array<AnyFn, kMaxTableSlots> slots_{};
};

// Opens "libnvoptix.so.1" and asks for ABI 118, then for ABI 105 when the
// driver answers 118 with OPTIX_ERROR_UNSUPPORTED_ABI_VERSION (or with
// OPTIX_ERROR_FUNCTION_TABLE_SIZE_MISMATCH, the other refusal of a table the
// headers name). Throws
// std::runtime_error("Failed to initialize OptiX") when the library or its
// entry point is missing or no ABI is granted. On success the library stays
// open for the life of the process.
OptixApi load_optix_api();

// The process-wide table used for every OptiX call.
OptixApi& optix_api() noexcept;

}  // namespace norvi::optix
