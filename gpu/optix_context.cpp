#include "gpu/optix_context.h"

#include <cuda_runtime_api.h>

#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "gpu/optix/optix_api.h"

namespace norvi {

namespace {

// Log level handed to OptiX: fatal, error and warning reach the callback.
constexpr int kOptixLogLevel = 3;

}  // namespace

void optix_log_callback(unsigned int level, const char* tag, const char* message, void* /*data*/) {
    if (level > 2) return;
    std::fprintf(stderr, "[OptiX][%s] %s\n", tag ? tag : "", message ? message : "");
    std::fflush(stderr);
}

OptiXContext::OptiXContext(int device_id) : device_id_(device_id) {
    const cudaError_t set = cudaSetDevice(device_id);
    if (set != cudaSuccess) {
        const char* text = cudaGetErrorString(set);
        throw std::runtime_error(std::string("Failed to set CUDA device: ") + (text ? text : ""));
    }

    // The status is not fatal: a failed query leaves an empty name and zeros.
    cudaDeviceProp props{};
    if (cudaGetDeviceProperties(&props, device_id) == cudaSuccess) {
        device_name_.assign(props.name, strnlen(props.name, sizeof(props.name)));
        total_memory_ = props.totalGlobalMem;
        cc_major_ = props.major;
        cc_minor_ = props.minor;
    }

    cudaStream_t stream = nullptr;
    if (cudaStreamCreate(&stream) != cudaSuccess) throw std::runtime_error("Failed to create CUDA stream");
    stream_ = stream;

    try {
        // Publish the table only once it is filled: contexts that already
        // exist keep calling through it.
        optix::optix_api() = optix::load_optix_api();

        optix::OptixDeviceContextOptions options{};
        options.logCallbackFunction = &optix_log_callback;
        options.logCallbackData = nullptr;
        options.logCallbackLevel = kOptixLogLevel;
        options.validationMode = optix::OPTIX_DEVICE_CONTEXT_VALIDATION_MODE_OFF;
        optix::OptixDeviceContext context = nullptr;
        if (optix::optix_api().device_context_create(nullptr, &options, &context) != optix::OPTIX_SUCCESS)
            throw std::runtime_error("Failed to create OptiX device context");
        optix_context_ = context;
    } catch (...) {
        release_();
        throw;
    }
}

OptiXContext::~OptiXContext() { release_(); }

// Release errors are ignored: there is nothing left to do with the handles.
void OptiXContext::release_() noexcept {
    if (optix_context_) {
        (void)optix::optix_api().device_context_destroy(optix_context_);
        optix_context_ = nullptr;
    }
    if (stream_) {
        (void)cudaStreamDestroy(stream_);
        stream_ = nullptr;
    }
}

std::size_t OptiXContext::free_vram_mb() const {
    // The runtime answers for the calling thread's current device, which a
    // context opened since on another device has changed: ask on ours, then
    // put the selection back.
    int current = device_id_;
    const bool switch_device = cudaGetDevice(&current) == cudaSuccess && current != device_id_;
    if (switch_device && cudaSetDevice(device_id_) != cudaSuccess) return 0;
    std::size_t free_bytes = 0;
    std::size_t total_bytes = 0;
    if (cudaMemGetInfo(&free_bytes, &total_bytes) != cudaSuccess) free_bytes = 0;
    if (switch_device) (void)cudaSetDevice(current);
    return free_bytes >> 20;
}

int OptiXContext::optix_abi() const { return optix::optix_api().abi(); }

}  // namespace norvi
