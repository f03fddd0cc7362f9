// Passive microwave surface hits: module "closesthit_mw". The pipeline of its family links these program
// groups; their launches are not made yet, so the programs do nothing.

#include "gpu/programs/optix_device.h"

extern "C" __global__ void __closesthit__mw_radiance() {}
