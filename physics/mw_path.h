#pragma once
// Passive microwave brightness temperature of one pixel: backward Monte Carlo
// in brightness temperature with the polarisation carried through 4x4 Mueller
// matrices. The CPU engine and the device program raygen_passive are two loops
// around mw_pixel; the ray queries go through a Tracer whose trace(o, d)
// returns a hit with .hit, .t, .position, .geometric_normal, .material_id
// (the optical material).
//
// A path starts at the sensor and carries M, the matrix that maps the Stokes
// vector (T_H, T_V, U, V) of the radiation it is about to collect (in the
// meridian frame of that radiation's propagation direction) to the measured
// one. Sources add M S: soil and trunk emission (1 - r_p) T, vegetation
// emission (1 - omega) T at each collision, the sky on escape. Every weight
// has an unpolarised response of at most 1 and exactly 1 with the emission of
// the same interaction added, so a scene at one temperature T gives T.
//   - Vegetation: the closed mesh of a vegetation material bounds a volume;
//     free paths come from kappa_e, a collision scores (1 - omega) T_c and
//     continues with weight omega and a direction from the phase tables (the
//     expected-value estimator; omega = 0 gives the zero-order tau-omega model
//     exactly).
//   - Soil and trunks: opaque specular dielectric surfaces (Fresnel with the
//     soil model or Ulaby & El-Rayes wood, HQN roughness for soil).
//   - Surfaces of optical materials without a microwave material are
//     transparent.
//   - Escape: the sky brightness (isothermal atmosphere when atm_tau > 0, then
//     the 2.725 K background). A downward-looking path ends above the
//     atmosphere: Tb = t Tb_scene + T_a (1 - t) on T_H and T_V, t U, t V.
//   - The max_depth-th interaction closes the path: what would have been
//     scattered or reflected further is taken at the local physical
//     temperature, which keeps the isothermal balance whatever the depth.

#include <cmath>
#include <cstdint>

#include "physics/camera.h"
#include "physics/mw_atmosphere.h"
#include "physics/mw_dielectric.h"
#include "physics/mw_phase.h"
#include "physics/mw_stokes.h"
#include "physics/mw_surface.h"
#include "physics/pcg32.h"
#include "physics/ray_offset.h"
#include "scene/host_device.h"
#include "scene/microwave_types.h"
#include "scene/periodic_wrap.h"
#include "scene/types.h"
#include "scene/vec_math.h"

namespace norvi {

// Everything a microwave path reads.
struct MwSetup {
    const MwMaterialRecord* materials = nullptr;
    int num_materials = 0;
    const int32_t* material_map = nullptr;  // optical material -> microwave material
    int map_size = 0;
    double frequency = 1.4e9;  // [Hz]
    double air_temperature = 293.0;
    double atm_tau = 0.0;
    SensorData sensor{};
    int n_channels = 2;
    int spp = 64;
    int max_depth = 8;
    bool repetitive = false;
    int num_repetitions = 0;
    float tile_x = 0, tile_y = 0, top = 0;
};

// Generator of pixel i: PCG32 with initial state 31 + 17 i and sequence 7 + 13 i.
NORVI_HD void mw_seed_pixel(Pcg32& rng, uint64_t pixel) {
    rng.seed(31ULL + 17ULL * pixel, 7ULL + 13ULL * pixel);
}

NORVI_HD int mw_material_of(const MwSetup& c, int optical) {
    if (optical < 0 || optical >= c.map_size) return -1;
    const int m = c.material_map[optical];
    return (m >= 0 && m < c.num_materials) ? m : -1;
}

// Permittivity of an opaque surface material: soil by its model, wood by
// Ulaby & El-Rayes.
NORVI_HD Cplx mw_surface_permittivity(const MwSetup& c, const MwMaterialRecord& r) {
    if (r.type == kMwSoil)
        return soil_permittivity(r.soil.model, r.params[MwSoilParams::kMoisture], r.params[MwSoilParams::kSand],
                                 r.params[MwSoilParams::kClay], r.params[MwSoilParams::kBulkDensity],
                                 r.params[MwSoilParams::kTemperature], c.frequency);
    return ulaby_el_rayes_permittivity(r.params[MwTrunkParams::kMoisture], c.frequency);
}

// Reflection of the path (travelling along a) at an opaque surface of
// material r with normal n facing the path's side: adds the emission and
// turns M into M R and a into the mirror direction; when `close`, adds the
// reflected part at the surface temperature instead.
NORVI_HD void mw_reflect(const MwSetup& c, const MwMaterialRecord& r, float3 n, float3& a, Mueller4& M,
                           double tb[4], bool close) {
    const bool soil = r.type == kMwSoil;
    const double temp = soil ? r.params[MwSoilParams::kTemperature] : r.params[MwTrunkParams::kTemperature];
    const float3 b = normalize(a - n * (2.0f * dot(a, n)));
    const float3 s = -a;  // radiation leaving the surface toward the sensor
    const float3 i = -b;  // radiation arriving at the surface
    const double mu = fmin(fmax(double(dot(s, n)), 0.0), 1.0);
    const FresnelCoefficients f = fresnel_coefficients(mw_surface_permittivity(c, r), mu);
    const Reflectivity smooth{norm2(f.h), norm2(f.v)};
    Reflectivity rough = smooth;
    double coherent = 1.0;  // scale of the U / V block
    if (soil) {
        const double h = r.params[MwSoilParams::kRoughnessH];
        const double q = r.params[MwSoilParams::kRoughnessQ];
        const double nh = r.params[MwSoilParams::kRoughnessNH];
        const double nv = r.soil.param9;
        rough = hqn_reflectivity(smooth, mu, h, q, nh, nv);
        // The coherent (U, V) part loses the mean of the two attenuations.
        coherent = (1.0 - q) * exp(-0.5 * h * (pow(fmax(mu, 1e-6), nh) + pow(fmax(mu, 1e-6), nv)));
    }
    // Local frames: h perpendicular to the plane of incidence.
    float3 hl = cross(i, n);
    const float len = length(hl);
    float3 hs, vs, hi, vi;
    meridian_frame(s, hs, vs);
    meridian_frame(i, hi, vi);
    hl = len > 1e-6f ? hl / len : hs;
    const float3 vl_i = normalize(cross(hl, i));
    const float3 vl_s = normalize(cross(hl, s));
    const Mueller4 to_global_s = basis_change(hl, vl_s, hs, vs);
    const Mueller4 to_local_i = basis_change(hi, vi, hl, vl_i);

    // Emission (1 - r_p) T, and at the closing interaction the reflected
    // part at the same temperature.
    const Mueller4 Ms = M * to_global_s;
    const double eh = close ? 1.0 : 1.0 - rough.h;
    const double ev = close ? 1.0 : 1.0 - rough.v;
    add_through(Ms, eh * temp, ev * temp, tb);
    if (close) return;

    const Cplx vh = f.v * conj(f.h);
    Mueller4 L{};
    L.m[0] = rough.h;
    L.m[5] = rough.v;
    L.m[10] = coherent * vh.re;
    L.m[11] = -coherent * vh.im;
    L.m[14] = coherent * vh.im;
    L.m[15] = coherent * vh.re;
    M = Ms * L * to_local_i;
    a = b;
}

// Follows one path from o along a; adds the Stokes vector it collects to tb.
template <class Tracer>
NORVI_HD void mw_trace_path(const MwSetup& c, const Tracer& tracer, Pcg32& rng, float3 o, float3 a,
                            double tb[4]) {
    Mueller4 M = mueller_identity();
    int medium = -1;  // vegetation material the path is inside, or -1
    int depth = 0;
    int wraps = 0;
    int crossings = 0;  // transparent surfaces and volume boundaries passed
    for (;;) {
        const auto hit = tracer.trace(o, a);
        float seg = hit.hit ? hit.t : 3.0e38f;
        float3 wrapped = o;
        bool wrap = false;
        // Above the scene and rising, nothing can be met again: no wrap.
        const bool leaving = a.z >= 0.0f && o.z >= c.top;
        if (!hit.hit && c.repetitive && wraps < c.num_repetitions && !leaving) {
            const float t = periodic_wrap(wrapped, a, c.tile_x, c.tile_y);
            if (t >= 0.0f) {
                seg = t;
                wrap = true;
            }
        }
        if (medium >= 0) {
            const MwMaterialRecord& v = c.materials[medium];
            const double kappa = v.params[MwVegParams::kExtinction];
            const double free_path = kappa > 0.0 ? -log(fmax(1.0 - double(rng.next_float()), 1e-300)) / kappa : 1e300;
            if (free_path < double(seg)) {
                const double tc = v.params[MwVegParams::kTemperature];
                const double omega = v.params[MwVegParams::kAlbedo];
                o = o + a * static_cast<float>(free_path);
                if (++depth >= c.max_depth) {
                    add_through(M, tc, tc, tb);
                    return;
                }
                add_through(M, (1.0 - omega) * tc, (1.0 - omega) * tc, tb);
                if (!(omega > 0.0)) return;
                MwPhaseTables t;
                t.mueller = v.mueller == nullptr || v.cti < 1 ? nullptr : v.mueller;
                t.cdf_cts = v.cdf_cts;
                t.cdf_dphi = v.cdf_dphi;
                t.n_cti = v.cti;
                t.n_cts = v.cts;
                t.n_dphi = v.dphi;
                float3 b;
                Mueller4 w;
                if (!mw_scatter(t, a, rng, b, w)) return;
                mueller_scale(w, omega);
                M = M * w;
                a = b;
                continue;
            }
        }
        if (wrap) {
            o = wrapped;
            ++wraps;
            continue;
        }
        if (!hit.hit) {
            const double sky = sky_brightness(c.air_temperature, c.atm_tau, double(a.z));
            add_through(M, sky, sky, tb);
            return;
        }
        const int m = mw_material_of(c, hit.material_id);
        const MwMaterialRecord* r = m >= 0 ? &c.materials[m] : nullptr;
        if (r == nullptr || r->type == kMwVegetation || (r->type != kMwSoil && r->type != kMwTrunk)) {
            // Crossing: a volume boundary toggles the medium, anything else is transparent.
            if (r != nullptr && r->type == kMwVegetation) medium = (medium == m) ? -1 : m;
            if (++crossings > 10000) return;  // guards degenerate geometry
            o = offset_ray_origin(hit.position, face_toward(hit.geometric_normal, a));
            continue;
        }
        const float3 n = face_toward(hit.geometric_normal, -a);
        const bool close = ++depth >= c.max_depth;
        mw_reflect(c, *r, n, a, M, tb, close);
        if (close) return;
        o = offset_ray_origin(hit.position, n);
    }
}

// Brightness temperatures of pixel (x, y): spp jittered samples, averaged,
// written to out[0 .. n_channels - 1] (1: (T_H + T_V) / 2; 2: T_H, T_V;
// 4: T_H, T_V, U, V).
template <class Tracer>
NORVI_HD void mw_pixel(const MwSetup& c, const Tracer& tracer, Pcg32& rng, int x, int y, float* out) {
    const SensorData& s = c.sensor;
    double sum[4] = {0.0, 0.0, 0.0, 0.0};
    for (int k = 0; k < c.spp; ++k) {
        const float u = (rng.next_float() + static_cast<float>(x)) / static_cast<float>(s.width) - 0.5f;
        const float v = (rng.next_float() + static_cast<float>(y)) / static_cast<float>(s.height) - 0.5f;
        float3 o, d;
        const CameraRay kind = generate_camera_ray(s, u, v, o, d);
        if (kind == CameraRay::kDropped) continue;
        if (kind == CameraRay::kCamera && c.repetitive) periodic_entry(o, d, c.tile_x, c.tile_y, c.top);
        double tb[4] = {0.0, 0.0, 0.0, 0.0};
        mw_trace_path(c, tracer, rng, o, d, tb);
        const double mu = -double(d.z);
        if (mu > 0.0 && c.atm_tau > 0.0) {
            const double t = atmosphere_transmissivity(c.atm_tau, mu);
            const double up = atmosphere_upwelling(c.air_temperature, c.atm_tau, mu);
            tb[0] = t * tb[0] + up;
            tb[1] = t * tb[1] + up;
            tb[2] *= t;
            tb[3] *= t;
        }
        for (int i = 0; i < 4; ++i) sum[i] += tb[i];
    }
    const double inv = 1.0 / c.spp;
    if (c.n_channels == 1) {
        out[0] = static_cast<float>(0.5 * (sum[0] + sum[1]) * inv);
    } else {
        for (int i = 0; i < c.n_channels && i < 4; ++i) out[i] = static_cast<float>(sum[i] * inv);
    }
}

}  // namespace norvi
