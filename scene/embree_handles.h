#pragma once
// Move-only owners of Embree handles. Copying is only possible through an
// explicit rtcRetain*; these types never copy.

#include <utility>

#include "scene/embree_api.h"

namespace norvi::embree {

template <typename Handle, void (*Release)(Handle)>
class EmbreeHandle {
public:
    EmbreeHandle() noexcept = default;
    explicit EmbreeHandle(Handle h) noexcept : handle_(h) {}
    ~EmbreeHandle() { reset(); }

    EmbreeHandle(const EmbreeHandle&) = delete;
    EmbreeHandle& operator=(const EmbreeHandle&) = delete;
    EmbreeHandle(EmbreeHandle&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
    EmbreeHandle& operator=(EmbreeHandle&& other) noexcept {
        if (this != &other) {
            reset();
            handle_ = std::exchange(other.handle_, nullptr);
        }
        return *this;
    }

    // Releases the held handle (if any) and takes ownership of h.
    void reset(Handle h = nullptr) noexcept {
        if (handle_) Release(handle_);
        handle_ = h;
    }

    Handle get() const noexcept { return handle_; }
    explicit operator bool() const noexcept { return handle_ != nullptr; }

private:
    Handle handle_ = nullptr;
};

using DeviceHandle = EmbreeHandle<RTCDevice, rtcReleaseDevice>;
using SceneHandle = EmbreeHandle<RTCScene, rtcReleaseScene>;
using GeometryHandle = EmbreeHandle<RTCGeometry, rtcReleaseGeometry>;

}  // namespace norvi::embree
