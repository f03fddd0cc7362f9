#pragma once
// A description of one device, read from a temporary OptiXContext.

#include <cstddef>
#include <string>

namespace norvi {

struct DeviceInfo {
    std::string name;                // as the CUDA runtime reports it
    std::size_t total_vram_mb = 0;   // MiB, rounded down
    std::size_t free_vram_mb = 0;    // MiB, rounded down
    std::string compute_capability;  // "major.minor", e.g. "8.6"
    int optix_abi = 0;               // OptiX ABI in use: 118 or 105
};

// Opens the device, reads it and closes it again; construction failures
// propagate with the context's messages.
DeviceInfo query_device_info(int device_id);

}  // namespace norvi
