// Miss programs of the main pipeline: module "miss".

#include "gpu/programs/optix_device.h"
#include "gpu/programs/payload.h"

using namespace norvi::device;

extern "C" __global__ void __miss__radiance() { optixSetPayload_0(kNoHit); }

extern "C" __global__ void __miss__shadow() { optixSetPayload_0(kShadowVisible); }
