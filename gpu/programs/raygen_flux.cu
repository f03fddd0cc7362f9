// Flux maps: module "raygen_flux". Each launch index is one photon of the
// batch, traced with the shared flux walk (physics/photon_tallies.h); its
// downwelling and upwelling arrivals go into the double maps of the launch
// record by atomic additions.

#include "gpu/photon_records.h"
#include "gpu/programs/photon_device.h"
#include "physics/photon_tallies.h"

extern "C" {
__constant__ norvi::PhotonLaunchParams params;
}

namespace {

struct DeviceFluxSink {
    const norvi::PhotonLaunchParams& lp;

    NORVI_HD void down(int cell, int b, double e) {
        atomicAdd(reinterpret_cast<double*>(lp.flux_down) + static_cast<long long>(cell) * lp.num_bands + b, e);
    }
    NORVI_HD void up(int cell, int b, double e) {
        atomicAdd(reinterpret_cast<double*>(lp.flux_up) + static_cast<long long>(cell) * lp.num_bands + b, e);
    }
};

}  // namespace

extern "C" __global__ void __raygen__flux() {
    const norvi::PhotonLaunchParams& lp = params;
    const int photon = norvi::device::launch_photon(lp);
    const int nb = static_cast<int>(lp.num_bands);
    if (photon < 0 || nb < 1 || nb > norvi::kMaxGpuBands) return;

    norvi::FluxSetup c;
    c.source = norvi::device::photon_source(lp, static_cast<float>(lp.flux_nx) * lp.flux_dx,
                                            static_cast<float>(lp.flux_ny) * lp.flux_dy);
    c.materials = reinterpret_cast<const norvi::MaterialData*>(lp.scene.materials);
    c.num_materials = static_cast<int>(lp.scene.num_materials);
    c.spec = c.source.spec;
    c.nb = nb;
    c.nx = lp.flux_nx;
    c.ny = lp.flux_ny;
    c.cell_x = lp.flux_dx;
    c.cell_y = lp.flux_dy;
    c.max_bounces = lp.max_bounces;
    c.max_depth = lp.max_depth;
    c.rr_depth = lp.rr_depth;

    const norvi::device::PhotonTracer tracer = norvi::device::photon_tracer(lp.scene);
    DeviceFluxSink sink{lp};
    double w[norvi::kMaxGpuBands];
    norvi::trace_flux_photon(c, tracer, sink, photon, w);
}
