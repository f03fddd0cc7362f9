// OptiXContext in a build made without the CUDA toolkit: the class exists so
// the module keeps its shape, and construction says why it cannot work.

#include <stdexcept>

#include "gpu/optix_context.h"

namespace norvi {

void optix_log_callback(unsigned int, const char*, const char*, void*) {}

OptiXContext::OptiXContext(int device_id) : device_id_(device_id) {
    throw std::runtime_error(kNoGpuSupportMessage);
}

OptiXContext::~OptiXContext() { release_(); }

void OptiXContext::release_() noexcept {}

std::size_t OptiXContext::free_vram_mb() const { return 0; }

int OptiXContext::optix_abi() const { return 0; }

}  // namespace norvi
