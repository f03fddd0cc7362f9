#pragma once
// The one place that knows which Embree is installed.
//
// The CPU scene is written against the Embree 4 API. When only Embree 3 is
// found (NORVI_EMBREE3 is defined by the build), the few calls whose
// signatures differ are provided here with their Embree 4 form on top of the
// Embree 3 ones, so no other file needs to know.

#if defined(NORVI_EMBREE3)

#include <embree3/rtcore.h>

// Embree 4 passes optional per-query arguments instead of a context. We use
// none, so the structs only exist to give the calls their Embree 4 shape.
struct RTCIntersectArguments;
struct RTCOccludedArguments;

// Embree 3 needs an intersect context on every query; a default-initialised
// one gives Embree 4's behaviour (coherent flag off, no filter).
inline void rtcIntersect1(RTCScene scene, RTCRayHit* rayhit, RTCIntersectArguments* = nullptr) {
    RTCIntersectContext context;
    rtcInitIntersectContext(&context);
    rtcIntersect1(scene, &context, rayhit);
}

inline void rtcOccluded1(RTCScene scene, RTCRay* ray, RTCOccludedArguments* = nullptr) {
    RTCIntersectContext context;
    rtcInitIntersectContext(&context);
    rtcOccluded1(scene, &context, ray);
}

#else

#include <embree4/rtcore.h>

#endif
