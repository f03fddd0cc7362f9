#pragma once
// The one way every GPU class reports a failed CUDA runtime or OptiX call.
//
// Each call is checked with a short label naming the operation ("gas build",
// "sbt rg", "launch flux"). A failure throws std::runtime_error with
//   "CUDA: " + label + " - " + the CUDA runtime's error string
//   "OptiX: " + label + " (" + the decimal result code + ")"

#include <cuda_runtime_api.h>

#include <string>

#include "gpu/optix/optix_types.h"

namespace norvi {

std::string cuda_error_message(cudaError_t code, const char* label);
std::string optix_error_message(optix::OptixResult result, const char* label);

void check_cuda(cudaError_t code, const char* label);
void check_optix(optix::OptixResult result, const char* label);

}  // namespace norvi
