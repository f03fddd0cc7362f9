// The CUDA runtime calls our GPU code makes, emulated on the host.
//
// Codes and error strings are those of the CUDA 13 runtime. Every call is
// counted and traced, and any call can be made to fail through
// norvi_emu_fail_call; a failed call sets the runtime's last error.

#include <cuda_runtime_api.h>

#include <cstring>
#include <mutex>
#include <string>

#include "gpu/emulation/emu_state.h"

using norvi::emu::state;

namespace {

cudaError_t fail(cudaError_t code) {
    if (code != cudaSuccess) state().last_error = static_cast<int>(code);
    return code;
}

// Arms and records a call; returns the injected failure, or success.
cudaError_t enter(const char* call, const std::string& detail = std::string()) {
    return fail(static_cast<cudaError_t>(state().enter(call, detail)));
}

cudaError_t require_devices() {
    return fail(state().devices.empty() ? cudaErrorNoDevice : cudaSuccess);
}

const norvi::emu::Device* current_device() {
    auto& s = state();
    if (s.devices.empty()) return nullptr;
    // The runtime selects device 0 implicitly until cudaSetDevice is called.
    const int d = s.current_device < 0 ? 0 : s.current_device;
    return &s.devices[static_cast<std::size_t>(d)];
}

}  // namespace

const char* CUDARTAPI cudaGetErrorString(cudaError_t error) {
    switch (error) {
        case cudaSuccess: return "no error";
        case cudaErrorInvalidValue: return "invalid argument";
        case cudaErrorMemoryAllocation: return "out of memory";
        case cudaErrorInitializationError: return "initialization error";
        case cudaErrorInsufficientDriver: return "CUDA driver version is insufficient for CUDA runtime version";
        case cudaErrorNoDevice: return "no CUDA-capable device is detected";
        case cudaErrorInvalidDevice: return "invalid device ordinal";
        case cudaErrorDeviceUninitialized: return "invalid device context";
        case cudaErrorInvalidResourceHandle: return "invalid resource handle";
        case cudaErrorIllegalAddress: return "an illegal memory access was encountered";
        case cudaErrorLaunchFailure: return "unspecified launch failure";
        case cudaErrorUnknown: return "unknown error";
        default: return "unrecognized error code";
    }
}

const char* CUDARTAPI cudaGetErrorName(cudaError_t error) {
    switch (error) {
        case cudaSuccess: return "cudaSuccess";
        case cudaErrorInvalidValue: return "cudaErrorInvalidValue";
        case cudaErrorMemoryAllocation: return "cudaErrorMemoryAllocation";
        case cudaErrorInitializationError: return "cudaErrorInitializationError";
        case cudaErrorInsufficientDriver: return "cudaErrorInsufficientDriver";
        case cudaErrorNoDevice: return "cudaErrorNoDevice";
        case cudaErrorInvalidDevice: return "cudaErrorInvalidDevice";
        case cudaErrorDeviceUninitialized: return "cudaErrorDeviceUninitialized";
        case cudaErrorInvalidResourceHandle: return "cudaErrorInvalidResourceHandle";
        case cudaErrorIllegalAddress: return "cudaErrorIllegalAddress";
        case cudaErrorLaunchFailure: return "cudaErrorLaunchFailure";
        case cudaErrorUnknown: return "cudaErrorUnknown";
        default: return "unrecognized error code";
    }
}

cudaError_t CUDARTAPI cudaGetLastError(void) {
    std::lock_guard<std::mutex> lock(state().mutex);
    const int e = state().last_error;
    state().last_error = 0;
    return static_cast<cudaError_t>(e);
}

cudaError_t CUDARTAPI cudaPeekAtLastError(void) {
    std::lock_guard<std::mutex> lock(state().mutex);
    return static_cast<cudaError_t>(state().last_error);
}

cudaError_t CUDARTAPI cudaGetDeviceCount(int* count) {
    std::lock_guard<std::mutex> lock(state().mutex);
    if (cudaError_t e = enter("cudaGetDeviceCount")) return e;
    if (!count) return fail(cudaErrorInvalidValue);
    *count = static_cast<int>(state().devices.size());
    return cudaSuccess;
}

cudaError_t CUDARTAPI cudaSetDevice(int device) {
    std::lock_guard<std::mutex> lock(state().mutex);
    if (cudaError_t e = enter("cudaSetDevice", std::to_string(device))) return e;
    if (cudaError_t e = require_devices()) return e;
    if (device < 0 || device >= static_cast<int>(state().devices.size())) return fail(cudaErrorInvalidDevice);
    state().current_device = device;
    return cudaSuccess;
}

cudaError_t CUDARTAPI cudaGetDevice(int* device) {
    std::lock_guard<std::mutex> lock(state().mutex);
    if (cudaError_t e = enter("cudaGetDevice")) return e;
    if (cudaError_t e = require_devices()) return e;
    if (!device) return fail(cudaErrorInvalidValue);
    *device = state().current_device < 0 ? 0 : state().current_device;
    return cudaSuccess;
}

cudaError_t CUDARTAPI cudaGetDeviceProperties(struct cudaDeviceProp* prop, int device) {
    std::lock_guard<std::mutex> lock(state().mutex);
    if (cudaError_t e = enter("cudaGetDeviceProperties", std::to_string(device))) return e;
    if (cudaError_t e = require_devices()) return e;
    if (!prop) return fail(cudaErrorInvalidValue);
    if (device < 0 || device >= static_cast<int>(state().devices.size())) return fail(cudaErrorInvalidDevice);
    const auto& d = state().devices[static_cast<std::size_t>(device)];
    std::memset(prop, 0, sizeof(*prop));
    std::strncpy(prop->name, d.name.c_str(), sizeof(prop->name) - 1);
    prop->totalGlobalMem = d.total_bytes;
    prop->major = d.cc_major;
    prop->minor = d.cc_minor;
    return cudaSuccess;
}

cudaError_t CUDARTAPI cudaMemGetInfo(size_t* free, size_t* total) {
    std::lock_guard<std::mutex> lock(state().mutex);
    if (cudaError_t e = enter("cudaMemGetInfo")) return e;
    if (cudaError_t e = require_devices()) return e;
    if (!free || !total) return fail(cudaErrorInvalidValue);
    const auto* d = current_device();
    *free = d->free_bytes;
    *total = d->total_bytes;
    return cudaSuccess;
}

cudaError_t CUDARTAPI cudaStreamCreate(cudaStream_t* stream) {
    std::lock_guard<std::mutex> lock(state().mutex);
    if (cudaError_t e = enter("cudaStreamCreate")) return e;
    if (cudaError_t e = require_devices()) return e;
    if (!stream) return fail(cudaErrorInvalidValue);
    const char* handle = new char(0);
    state().streams.insert(handle);
    *stream = reinterpret_cast<cudaStream_t>(const_cast<char*>(handle));
    return cudaSuccess;
}

cudaError_t CUDARTAPI cudaStreamDestroy(cudaStream_t stream) {
    std::lock_guard<std::mutex> lock(state().mutex);
    if (cudaError_t e = enter("cudaStreamDestroy")) return e;
    auto it = state().streams.find(stream);
    if (it == state().streams.end()) return fail(cudaErrorInvalidResourceHandle);
    delete static_cast<const char*>(*it);
    state().streams.erase(it);
    return cudaSuccess;
}

cudaError_t CUDARTAPI cudaStreamSynchronize(cudaStream_t stream) {
    std::lock_guard<std::mutex> lock(state().mutex);
    if (cudaError_t e = enter("cudaStreamSynchronize")) return e;
    if (stream && !state().streams.count(stream)) return fail(cudaErrorInvalidResourceHandle);
    return cudaSuccess;  // every emulated operation completes before it returns
}

cudaError_t CUDARTAPI cudaDeviceSynchronize(void) {
    std::lock_guard<std::mutex> lock(state().mutex);
    if (cudaError_t e = enter("cudaDeviceSynchronize")) return e;
    return require_devices();
}
