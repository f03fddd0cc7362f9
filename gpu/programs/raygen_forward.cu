// Ray generation of the forward photon mode: module "raygen_forward". The main
// pipeline links this program group beside the backward one; its launches
// are not made yet, so the program does nothing.

#include "gpu/programs/optix_device.h"

extern "C" __global__ void __raygen__forward() {}
