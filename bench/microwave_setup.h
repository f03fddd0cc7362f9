#pragma once
// The passive microwave benchmark case shared by bench_microwave (CPU) and
// bench_gpu_microwave (emulated GPU): the benchmark canopy seen at 40 degrees
// from nadir by an orthographic sensor, and L-band materials (moist rough
// soil, crowns as vegetation volumes with Rayleigh phase tables, wet wood).

#include <cmath>
#include <cstring>

#include "bench/canopy_scene.h"
#include "cpu/mw_tables.h"
#include "scene/microwave_types.h"

namespace norvi::bench {

inline SensorData microwave_sensor(const CanopyInfo& info, int width, int height) {
    SensorData s;
    std::memset(&s, 0, sizeof(s));
    s.type = kSensorOrthographic;
    s.width = width;
    s.height = height;
    s.ortho_w = s.ortho_h = 0.8f * info.extent_x;
    const float c = std::cos(0.6981317f), sn = std::sin(0.6981317f);
    const float cx = 0.5f * info.extent_x, cy = 0.5f * info.extent_y;
    const float m[16] = {1, 0, 0, cx, 0, c, -sn, cy - 100 * sn, 0, sn, c, 100 * c, 0, 0, 0, 1};
    std::memcpy(s.cam_xform, m, sizeof(m));
    return s;
}

// 1.4 GHz, H and V, atmosphere tau 0.01; optical materials 0, 1, 2 (ground,
// leaf, bark of the canopy) are soil, crown and trunk.
inline MicrowaveParams microwave_params(int spp) {
    MicrowaveParams p;
    p.spp = spp;
    MicrowaveMaterial soil;
    soil.type = kMwSoil;
    const float soil_row[10] = {0.25f, 0.4f, 0.2f, 1.4f, 295.0f, 0.3f, 0.1f, 1.0f, 2.0f, 1.0f};
    std::memcpy(soil.params, soil_row, sizeof(soil_row));
    MicrowaveMaterial crown;
    crown.type = kMwVegetation;
    crown.params[0] = 290.0f;
    crown.params[1] = 0.6f;
    crown.params[2] = 0.1f;
    const MwPhaseTableSet t = make_mw_phase_tables(MwPhaseKind::Rayleigh, 32, 32, 32);
    crown.mueller = t.mueller;
    crown.cdf_cts = t.cdf_cts;
    crown.cdf_dphi = t.cdf_dphi;
    crown.cti = crown.cts = crown.dphi = 32;
    MicrowaveMaterial wood;
    wood.type = kMwTrunk;
    wood.params[0] = 0.15f;
    wood.params[1] = 0.5f;
    wood.params[2] = 290.0f;
    p.materials = {soil, crown, wood};
    p.material_map = {0, 1, 2};
    return p;
}

}  // namespace norvi::bench
