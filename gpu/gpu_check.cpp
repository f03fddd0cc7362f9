#include "gpu/gpu_check.h"

#include <stdexcept>

namespace norvi {

std::string cuda_error_message(cudaError_t code, const char* label) {
    const char* text = cudaGetErrorString(code);
    return std::string("CUDA: ") + (label ? label : "") + " - " + (text ? text : "");
}

std::string optix_error_message(optix::OptixResult result, const char* label) {
    return std::string("OptiX: ") + (label ? label : "") + " (" + std::to_string(static_cast<int>(result)) + ")";
}

void check_cuda(cudaError_t code, const char* label) {
    if (code != cudaSuccess) throw std::runtime_error(cuda_error_message(code, label));
}

void check_optix(optix::OptixResult result, const char* label) {
    if (result != optix::OPTIX_SUCCESS) throw std::runtime_error(optix_error_message(result, label));
}

}  // namespace norvi
