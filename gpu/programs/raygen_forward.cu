// Forward photon tracing: module "raygen_forward". Each launch index is one
// photon of the batch, traced with the shared forward walk
// (physics/photon_tallies.h); its absorbed, reflected and escaping energies
// go into the double accumulators of the launch record by atomic additions,
// one per value, so photons never wait on one another beyond the memory
// system's own ordering of additions to the same cell.

#include "gpu/photon_records.h"
#include "gpu/programs/photon_device.h"
#include "physics/photon_tallies.h"

extern "C" {
__constant__ norvi::PhotonLaunchParams params;
}

namespace {

struct DeviceForwardSink {
    const norvi::PhotonLaunchParams& lp;

    NORVI_HD void grid(std::size_t first, const double* a, int n) {
        double* g = reinterpret_cast<double*>(lp.grid) + first;
        for (int i = 0; i < n; ++i)
            if (a[i] > 0.0) atomicAdd(g + i, a[i]);
    }
    NORVI_HD void expect_grid(std::size_t) {}
    NORVI_HD void terrain(int first, const double* a, int n) {
        if (!lp.terrain) return;
        double* g = reinterpret_cast<double*>(lp.terrain) + first;
        for (int i = 0; i < n; ++i)
            if (a[i] > 0.0) atomicAdd(g + i, a[i]);
    }
    NORVI_HD void leaf(int instance, int prim, int first, const double* a, int n) {
        if (!lp.per_leaf || !lp.leaf || instance < 0 || prim < 0) return;
        const int32_t* off = reinterpret_cast<const int32_t*>(lp.leaf_offsets);
        const long long row = static_cast<long long>(off[instance]) + prim;
        if (row >= off[instance + 1]) return;
        double* g = reinterpret_cast<double*>(lp.leaf) + row * lp.num_bands + first;
        for (int i = 0; i < n; ++i)
            if (a[i] > 0.0) atomicAdd(g + i, a[i]);
    }
    NORVI_HD void brf(int i, double e) { atomicAdd(reinterpret_cast<double*>(lp.brf) + i, e); }
    NORVI_HD void albedo(int b, double e) {
        if (lp.albedo) atomicAdd(reinterpret_cast<double*>(lp.albedo) + b, e);
    }
};

}  // namespace

extern "C" __global__ void __raygen__forward() {
    const norvi::PhotonLaunchParams& lp = params;
    const int photon = norvi::device::launch_photon(lp);
    const int nb = static_cast<int>(lp.num_bands);
    if (photon < 0 || nb < 1 || nb > norvi::kMaxGpuBands) return;

    norvi::ForwardSetup c;
    c.source = norvi::device::photon_source(lp, static_cast<float>(lp.nx) * lp.dx, static_cast<float>(lp.ny) * lp.dy);
    c.materials = reinterpret_cast<const norvi::MaterialData*>(lp.scene.materials);
    c.num_materials = static_cast<int>(lp.scene.num_materials);
    c.spec = c.source.spec;
    c.nb = nb;
    c.nx = lp.nx;
    c.ny = lp.ny;
    c.layers = lp.layers;
    c.dx = lp.dx;
    c.dy = lp.dy;
    c.heights = reinterpret_cast<const float*>(lp.layer_heights);
    c.brf_dirs = lp.brf ? reinterpret_cast<const norvi::float3*>(lp.brf_dirs) : nullptr;
    c.num_brf_dirs = lp.num_brf_dirs;
    c.albedo = lp.albedo != 0;
    c.max_depth = lp.max_depth;
    c.rr_depth = lp.rr_depth;
    c.terrain_id = lp.terrain_instance_id;

    const norvi::device::PhotonTracer tracer = norvi::device::photon_tracer(lp.scene);
    DeviceForwardSink sink{lp};
    double w[norvi::kMaxGpuBands];
    norvi::trace_forward_photon(c, tracer, sink, photon, w);
}
