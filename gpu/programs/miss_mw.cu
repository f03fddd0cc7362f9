// Passive microwave sky: module "miss_mw". The pipeline of its family links these program
// groups; their launches are not made yet, so the programs do nothing.

#include "gpu/programs/optix_device.h"

extern "C" __global__ void __miss__mw_radiance() {}
