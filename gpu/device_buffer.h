#pragma once
// DeviceBuffer: one CUDA device allocation owned by value. The destructor
// frees it (errors ignored); moving hands the allocation over. Every
// operation that can fail takes the label its failure is reported with.

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "gpu/device_records.h"

namespace norvi {

class DeviceBuffer {
public:
    DeviceBuffer() = default;
    ~DeviceBuffer() { reset(); }
    DeviceBuffer(const DeviceBuffer&) = delete;
    DeviceBuffer& operator=(const DeviceBuffer&) = delete;
    DeviceBuffer(DeviceBuffer&& other) noexcept { swap(other); }
    DeviceBuffer& operator=(DeviceBuffer&& other) noexcept {
        if (this != &other) {
            reset();
            swap(other);
        }
        return *this;
    }

    // Frees any previous allocation, then allocates `bytes` (label `label`).
    // Zero bytes leave the buffer empty.
    void allocate(std::size_t bytes, const char* label);
    // Frees the allocation (errors ignored); the buffer is empty afterwards.
    void reset() noexcept;

    // Host-to-device copy of `bytes` at byte offset `offset` (synchronous).
    void upload(const void* host, std::size_t bytes, const char* label, std::size_t offset = 0);
    // Device-to-host copy of the first `bytes` (synchronous).
    void download(void* host, std::size_t bytes, const char* label) const;
    // Sets every byte to zero.
    void clear(const char* label);

    // allocate() then upload() of a whole vector, both under `label`.
    template <typename T>
    void assign(const std::vector<T>& values, const char* label) {
        assign(values, label, label);
    }
    template <typename T>
    void assign(const std::vector<T>& values, const char* alloc_label, const char* upload_label) {
        allocate(values.size() * sizeof(T), alloc_label);
        if (!values.empty()) upload(values.data(), values.size() * sizeof(T), upload_label);
    }

    DevicePtr ptr() const noexcept { return reinterpret_cast<DevicePtr>(ptr_); }
    void* get() const noexcept { return ptr_; }
    std::size_t size() const noexcept { return bytes_; }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }

private:
    void swap(DeviceBuffer& other) noexcept {
        std::swap(ptr_, other.ptr_);
        std::swap(bytes_, other.bytes_);
    }

    void* ptr_ = nullptr;
    std::size_t bytes_ = 0;
};

}  // namespace norvi
