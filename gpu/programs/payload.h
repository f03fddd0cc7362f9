#pragma once
// What the two payload registers of the main pipeline carry.
//
// Shadow rays (ray type 1): the caller traces with payload 0 = kShadowOccluded
// and, with closest-hit programs disabled, only the shadow miss program
// writes: kShadowVisible when nothing lies between the point and the sky.
// Radiance rays (ray type 0): on escape the radiance miss program writes
// kNoHit into payload 0; on a hit the radiance closest-hit program fills the
// HitRecord whose address the payload carries (below).

#include <cstdint>

#include "scene/host_device.h"

namespace norvi::device {

constexpr uint32_t kShadowOccluded = 0;
constexpr uint32_t kShadowVisible = 1;
constexpr uint32_t kNoHit = 0xFFFFFFFFu;

}  // namespace norvi::device

namespace norvi::device {

// Radiance rays carry the address of the caller's HitRecord in the two
// payload registers (high word in payload 0); the radiance closest-hit
// program fills the record, and a miss leaves it as it was (hit = false).
NORVI_HD void pack_pointer(const void* ptr, uint32_t& p0, uint32_t& p1) {
    const auto v = reinterpret_cast<unsigned long long>(ptr);
    p0 = static_cast<uint32_t>(v >> 32);
    p1 = static_cast<uint32_t>(v & 0xFFFFFFFFull);
}

template <typename T>
NORVI_HD T* unpack_pointer(uint32_t p0, uint32_t p1) {
    return reinterpret_cast<T*>((static_cast<unsigned long long>(p0) << 32) | static_cast<unsigned long long>(p1));
}

// Ray types of the main pipeline (SBT offset within a mesh's record pair,
// and miss index), and the SBT stride every trace uses.
constexpr uint32_t kRayRadiance = 0;
constexpr uint32_t kRayShadow = 1;
constexpr uint32_t kRayTypeCount = 2;

}  // namespace norvi::device
