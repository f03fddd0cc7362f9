// The CUDA runtime calls our GPU code makes, emulated on the host.
//
// Codes and error strings are those of the CUDA 13 runtime. Every call is
// counted and traced, and any call can be made to fail through
// norvi_emu_fail_call; a failed call sets the runtime's last error.
//
// Device memory is host memory (256-byte aligned, as cudaMalloc aligns), so
// the emulated programs dereference device addresses directly. Every
// allocation is tracked; a free of an address that is not a live allocation,
// or a copy or clear that leaves the allocation it starts in, is refused with
// cudaErrorInvalidValue and reported (norvi_emu_last_fault, stderr) instead
// of touching memory, as a memory checker would. Where the real runtime would
// corrupt memory silently or fail later, the emulation is deliberately
// stricter. Streams are accepted but every operation completes before its
// call returns, so asynchronous copies need no real ordering.

#include <cuda_runtime_api.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <sstream>
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

std::string hex(const void* p) {
    std::ostringstream out;
    out << p;
    return out.str();
}

// Refuses a device range that is not inside one live allocation.
cudaError_t check_device_range(const char* call, const char* what, const void* p, size_t bytes) {
    if (state().in_device_range(reinterpret_cast<std::uintptr_t>(p), bytes)) return cudaSuccess;
    state().fault(std::string(call) + ": " + what + " " + hex(p) + " + " + std::to_string(bytes) +
                  " bytes is not inside a live device allocation");
    return fail(cudaErrorInvalidValue);
}

cudaError_t check_stream(cudaStream_t stream) {
    if (stream && !state().streams.count(stream)) return fail(cudaErrorInvalidResourceHandle);
    return cudaSuccess;
}

// The device ranges a copy of `kind` touches must lie in live allocations;
// host ranges are the caller's business, as on the real runtime.
cudaError_t copy(const char* call, void* dst, const void* src, size_t count, cudaMemcpyKind kind) {
    if (count == 0) return cudaSuccess;
    if (!dst || !src) return fail(cudaErrorInvalidValue);
    const bool dst_device = kind == cudaMemcpyHostToDevice || kind == cudaMemcpyDeviceToDevice;
    const bool src_device = kind == cudaMemcpyDeviceToHost || kind == cudaMemcpyDeviceToDevice;
    // cudaMemcpyDefault lets the addresses tell the sides: nothing to check.
    if (kind != cudaMemcpyDefault && kind != cudaMemcpyHostToHost && !dst_device && !src_device)
        return fail(cudaErrorInvalidMemcpyDirection);
    if (dst_device)
        if (cudaError_t e = check_device_range(call, "destination", dst, count)) return e;
    if (src_device)
        if (cudaError_t e = check_device_range(call, "source", src, count)) return e;
    std::memmove(dst, src, count);
    return cudaSuccess;
}

cudaError_t set(const char* call, void* p, int value, size_t count) {
    if (count == 0) return cudaSuccess;
    if (cudaError_t e = check_device_range(call, "destination", p, count)) return e;
    std::memset(p, value, count);
    return cudaSuccess;
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
        case cudaErrorInvalidMemcpyDirection: return "invalid copy direction for memcpy";
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
        case cudaErrorInvalidMemcpyDirection: return "cudaErrorInvalidMemcpyDirection";
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
    *free = d->free_bytes > state().live_bytes ? d->free_bytes - state().live_bytes : 0;
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

cudaError_t CUDARTAPI cudaMalloc(void** dev_ptr, size_t size) {
    std::lock_guard<std::mutex> lock(state().mutex);
    if (cudaError_t e = enter("cudaMalloc", std::to_string(size))) return e;
    if (cudaError_t e = require_devices()) return e;
    if (!dev_ptr) return fail(cudaErrorInvalidValue);
    const auto* d = current_device();
    if (size > d->free_bytes || state().live_bytes + size > d->free_bytes) return fail(cudaErrorMemoryAllocation);
    // Zero bytes still gives a distinct address, as the runtime does.
    const size_t rounded = (size + 255) / 256 * 256;
    void* p = std::aligned_alloc(256, rounded == 0 ? 256 : rounded);
    if (!p) return fail(cudaErrorMemoryAllocation);
    state().allocations[reinterpret_cast<std::uintptr_t>(p)] = size;
    state().live_bytes += size;
    *dev_ptr = p;
    return cudaSuccess;
}

cudaError_t CUDARTAPI cudaFree(void* dev_ptr) {
    std::lock_guard<std::mutex> lock(state().mutex);
    if (cudaError_t e = enter("cudaFree")) return e;
    if (!dev_ptr) return cudaSuccess;
    auto& s = state();
    auto it = s.allocations.find(reinterpret_cast<std::uintptr_t>(dev_ptr));
    if (it == s.allocations.end()) {
        s.fault("cudaFree: " + hex(dev_ptr) + " is not a live device allocation (double free or foreign pointer)");
        return fail(cudaErrorInvalidValue);
    }
    norvi::emu::on_device_free(it->first);
    s.live_bytes -= it->second;
    s.allocations.erase(it);
    std::free(dev_ptr);
    return cudaSuccess;
}

cudaError_t CUDARTAPI cudaMemcpy(void* dst, const void* src, size_t count, enum cudaMemcpyKind kind) {
    std::lock_guard<std::mutex> lock(state().mutex);
    if (cudaError_t e = enter("cudaMemcpy", std::to_string(count))) return e;
    return copy("cudaMemcpy", dst, src, count, kind);
}

cudaError_t CUDARTAPI cudaMemcpyAsync(void* dst, const void* src, size_t count, enum cudaMemcpyKind kind,
                                      cudaStream_t stream) {
    std::lock_guard<std::mutex> lock(state().mutex);
    if (cudaError_t e = enter("cudaMemcpyAsync", std::to_string(count))) return e;
    if (cudaError_t e = check_stream(stream)) return e;
    return copy("cudaMemcpyAsync", dst, src, count, kind);
}

cudaError_t CUDARTAPI cudaMemset(void* dev_ptr, int value, size_t count) {
    std::lock_guard<std::mutex> lock(state().mutex);
    if (cudaError_t e = enter("cudaMemset", std::to_string(count))) return e;
    return set("cudaMemset", dev_ptr, value, count);
}

cudaError_t CUDARTAPI cudaMemsetAsync(void* dev_ptr, int value, size_t count, cudaStream_t stream) {
    std::lock_guard<std::mutex> lock(state().mutex);
    if (cudaError_t e = enter("cudaMemsetAsync", std::to_string(count))) return e;
    if (cudaError_t e = check_stream(stream)) return e;
    return set("cudaMemsetAsync", dev_ptr, value, count);
}
