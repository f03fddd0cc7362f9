#pragma once
// What the two payload registers of the main pipeline carry.
//
// Shadow rays (ray type 1): the caller traces with payload 0 = kShadowOccluded
// and, with closest-hit programs disabled, only the shadow miss program
// writes: kShadowVisible when nothing lies between the point and the sky.
// Radiance rays (ray type 0): on escape the radiance miss program writes
// kNoHit into payload 0.

#include <cstdint>

namespace norvi::device {

constexpr uint32_t kShadowOccluded = 0;
constexpr uint32_t kShadowVisible = 1;
constexpr uint32_t kNoHit = 0xFFFFFFFFu;

}  // namespace norvi::device
