#pragma once
// OptiXContext: one CUDA device, one CUDA stream on it and one OptiX device
// context. Every GPU object is built on a context and uses its stream and
// OptiX context for uploads, builds and launches; it must not outlive it.
//
// This header needs neither the CUDA toolkit nor OptiX, so the module always
// declares the class; a build without the toolkit throws at construction.

#include <cstddef>
#include <cstdint>
#include <string>

#include "gpu/optix/optix_types.h"

namespace norvi {

// Message of the exception every GPU class throws in a build made without
// the CUDA toolkit.
constexpr const char* kNoGpuSupportMessage =
    "norvi_gpu was built without GPU support (no CUDA toolkit was found at build time)";

class OptiXContext {
public:
    // Opens device `device_id`: selects it, reads its properties, creates a
    // stream, loads the OptiX function table and creates the OptiX context.
    // Throws std::runtime_error with one of
    //   "Failed to set CUDA device: " + CUDA error string
    //   "Failed to create CUDA stream"
    //   "Failed to initialize OptiX"
    //   "Failed to create OptiX device context"
    // and leaves nothing allocated behind.
    explicit OptiXContext(int device_id);
    // Destroys the OptiX context, then the stream; errors are ignored.
    ~OptiXContext();

    OptiXContext(const OptiXContext&) = delete;
    OptiXContext& operator=(const OptiXContext&) = delete;
    OptiXContext(OptiXContext&&) = delete;
    OptiXContext& operator=(OptiXContext&&) = delete;

    std::string device_name() const { return device_name_; }
    // Total memory in MiB, rounded down.
    std::size_t total_vram_mb() const { return static_cast<std::size_t>(total_memory_ >> 20); }
    // Free memory of this context's device in MiB now, rounded down; 0 when
    // the runtime cannot say. The thread's current device is left as it was.
    std::size_t free_vram_mb() const;
    int compute_capability_major() const { return cc_major_; }
    int compute_capability_minor() const { return cc_minor_; }
    int device_id() const { return device_id_; }
    // ABI of the OptiX function table in use (118 or 105).
    int optix_abi() const;

    optix::OptixDeviceContext optix_context() const { return optix_context_; }
    optix::CUstream stream() const { return stream_; }

private:
    void release_() noexcept;

    optix::OptixDeviceContext optix_context_ = nullptr;
    optix::CUstream stream_ = nullptr;
    int device_id_ = 0;
    std::string device_name_;
    std::uint64_t total_memory_ = 0;
    int cc_major_ = 0;
    int cc_minor_ = 0;
};

// The OptiX log callback: fatal (1) and error (2) messages are written to
// standard error as "[OptiX][" tag "] " message, one line each, flushed;
// warnings and anything above level 2 are dropped.
void optix_log_callback(unsigned int level, const char* tag, const char* message, void* data);

}  // namespace norvi
