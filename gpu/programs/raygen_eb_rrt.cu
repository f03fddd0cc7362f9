// Energy balance: module "raygen_eb_rrt". The pipeline of its family links these program
// groups; their launches are not made yet, so the programs do nothing.

#include "gpu/programs/optix_device.h"

extern "C" __global__ void __raygen__eb_rrt() {}
extern "C" __global__ void __raygen__eb_rrt_multiband() {}
extern "C" __global__ void __miss__eb_rrt() {}
extern "C" __global__ void __closesthit__eb_rrt() {}
