// LiDAR pulses: module "raygen_lidar". The pipeline of its family links these program
// groups; their launches are not made yet, so the programs do nothing.

#include "gpu/programs/optix_device.h"

extern "C" __global__ void __raygen__lidar() {}
