// Passive microwave escapes: module "miss_mw". The ray leaves the scene: the
// caller's HitRecord keeps hit = false, and the path takes the sky brightness
// (the atmosphere, then the 2.725 K background that the miss record also
// carries) for the direction it escaped along.

#include "gpu/programs/optix_device.h"
#include "gpu/programs/payload.h"

extern "C" __global__ void __miss__mw_radiance() { norvi::device::optixSetPayload_0(norvi::device::kNoHit); }
