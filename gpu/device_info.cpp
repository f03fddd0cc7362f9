#include "gpu/device_info.h"

#include "gpu/optix_context.h"

namespace norvi {

DeviceInfo query_device_info(int device_id) {
    const OptiXContext ctx(device_id);
    DeviceInfo info;
    info.name = ctx.device_name();
    info.total_vram_mb = ctx.total_vram_mb();
    info.free_vram_mb = ctx.free_vram_mb();
    info.compute_capability =
        std::to_string(ctx.compute_capability_major()) + "." + std::to_string(ctx.compute_capability_minor());
    info.optix_abi = ctx.optix_abi();
    return info;
}

}  // namespace norvi
