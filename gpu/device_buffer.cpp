#include "gpu/device_buffer.h"

#include <cuda_runtime_api.h>

#include "gpu/gpu_check.h"

namespace norvi {

void DeviceBuffer::allocate(std::size_t bytes, const char* label) {
    reset();
    if (bytes == 0) return;
    void* p = nullptr;
    check_cuda(cudaMalloc(&p, bytes), label);
    ptr_ = p;
    bytes_ = bytes;
}

void DeviceBuffer::reset() noexcept {
    if (ptr_) (void)cudaFree(ptr_);
    ptr_ = nullptr;
    bytes_ = 0;
}

void DeviceBuffer::upload(const void* host, std::size_t bytes, const char* label, std::size_t offset) {
    if (bytes == 0) return;
    check_cuda(cudaMemcpy(static_cast<char*>(ptr_) + offset, host, bytes, cudaMemcpyHostToDevice), label);
}

void DeviceBuffer::download(void* host, std::size_t bytes, const char* label) const {
    if (bytes == 0) return;
    check_cuda(cudaMemcpy(host, ptr_, bytes, cudaMemcpyDeviceToHost), label);
}

void DeviceBuffer::clear(const char* label) {
    if (bytes_ == 0) return;
    check_cuda(cudaMemset(ptr_, 0, bytes_), label);
}

}  // namespace norvi
