#pragma once
// One sample of the per-primitive energy balance by reverse ray tracing, for
// the CPU engine and the GPU device program alike: both loop over primitives
// and samples around eb_sample, and differ only in how rays are traced.
//
// A sample of primitive p on one side (top: along its winding normal n;
// bottom: along -n) takes a point x uniformly on the triangle and a
// cosine-weighted direction d on that side's hemisphere, and estimates the
// irradiance arriving there [W m^-2]:
//   direct sun   E cos(n_side, s), when the shadow ray from x toward s is free;
//   along d      pi L, with L the radiance seen along d:
//                  a miss above the horizon sees the sky (short-wave diffuse or
//                  long-wave radiance), a miss below it sees nothing;
//                  short-wave, with albedos: a hit surface q returns its sunlit
//                  Lambertian radiance a_q E cos(n_q, s) / pi (next-event
//                  estimation of the second bounce); without albedos, nothing;
//                  long-wave: a hit surface q emits eps_q sigma T_q^4 / pi.
// Cosine-weighted directions make pi times the mean radiance an unbiased
// estimate of the irradiance. The absorbed part is (1 - a_p) of it in the
// short-wave band (all of it without albedos) and eps_p in the long-wave band.
// The meaning of every input and output is documented with
// EnergyBalanceParams (scene/energy_balance_params.h).
//
// Tracer interface (a plain object, passed by reference):
//   EbHit closest(float3 origin, float3 dir) const;  // nearest hit, t in (1e-4, 1e16)
//   bool any_hit(float3 origin, float3 dir, float tmax) const;
// EbHit carries the hit's global primitive index and its geometric normal
// turned toward the ray's origin.

#include <cmath>
#include <cstddef>
#include <cstdint>

#include "physics/bsdf.h"
#include "physics/pcg32.h"
#include "physics/ray_offset.h"
#include "physics/shading_frame.h"
#include "scene/host_device.h"
#include "scene/periodic_wrap.h"
#include "scene/types.h"
#include "scene/vec_math.h"

namespace norvi {

constexpr float kStefanBoltzmann = 5.670374419e-8f;  // W m^-2 K^-4

struct EbHit {
    bool hit = false;
    float t = 0.0f;
    long long prim = -1;          // global primitive index
    float3 normal{0.0f, 0.0f, 1.0f};  // unit geometric normal, facing the ray's origin
};

// Everything one sample reads, as plain data. Per-primitive arrays follow the
// global primitive order; absent arrays are null.
struct EbInputs {
    int band_type = 0;        // 0 short-wave, 1 long-wave
    int n_bands = 1;
    long long n_primitives = 0;
    float3 sun{0.0f, 0.0f, 0.0f};  // unit vector toward the sun; zero: no sun
    const float* sun_irradiance = nullptr;  // n_bands values (short-wave)
    const float* sky_radiance = nullptr;    // n_bands values (short-wave diffuse)
    float sky_lw_radiance = 0.0f;           // long-wave sky
    const float* albedos = nullptr;         // n_bands x n_primitives, band-major
    const float* temperatures = nullptr;    // K, per primitive
    const float* emissivities = nullptr;    // per primitive
    // Periodic tile: escaping rays re-enter through the opposite wall at most
    // num_repetitions times; `top` and `bottom` are the highest and lowest z
    // of the scene: a ray beyond them, moving away, can hit nothing more.
    int num_repetitions = 0;
    float tile_x = 0.0f;
    float tile_y = 0.0f;
    float top = 0.0f;
    float bottom = 0.0f;

    NORVI_HD bool repetitive() const {
        return num_repetitions >= 1 && tile_x > 0.0f && tile_y > 0.0f;
    }
    NORVI_HD bool leaving(float3 o, float3 d) const {
        return (d.z > 0.0f && o.z >= top) || (d.z < 0.0f && o.z <= bottom);
    }
    // Whether any band has sunlight to trace. A sun at or below the horizon
    // lights nothing: the shadow ray toward it would leave the scene below
    // the horizon, where rays see nothing.
    NORVI_HD bool has_sun() const {
        if (band_type != 0 || sun_irradiance == nullptr || !(sun.z > 0.0f)) return false;
        for (int b = 0; b < n_bands; ++b)
            if (sun_irradiance[b] != 0.0f) return true;
        return false;
    }
};

// The random stream of one (primitive, sample, side): independent of how the
// work is spread over threads or launch indices.
NORVI_HD Pcg32 eb_stream(long long prim, int sample, int side) {
    Pcg32 rng;
    rng.seed(static_cast<uint64_t>(sample), 2u * static_cast<uint64_t>(prim) + (side ? 1u : 0u));
    return rng;
}

// Uniform point on a triangle from two uniform numbers.
NORVI_HD float3 eb_point_on_triangle(float3 v0, float3 v1, float3 v2, float u0, float u1) {
    const float su = sqrtf(u0);
    const float b0 = 1.0f - su;
    const float b1 = u1 * su;
    return v0 * b0 + v1 * b1 + v2 * (1.0f - b0 - b1);
}

// Unit winding normal (v1 - v0) x (v2 - v0) of a primitive; +z for a
// triangle too thin to have one.
NORVI_HD float3 eb_winding_normal(float3 v0, float3 v1, float3 v2) {
    const float3 c = cross(v1 - v0, v2 - v0);
    const float len = length(c);
    return len > 1e-20f ? c / len : float3{0.0f, 0.0f, 1.0f};
}

// Whether a ray is blocked on its way out; in a periodic tile the ray is
// followed through the side walls (at most num_repetitions re-entries).
template <class Tracer>
NORVI_HD bool eb_occluded(const Tracer& tracer, const EbInputs& in, float3 o, float3 d) {
    constexpr float kFar = 1e16f;
    if (tracer.any_hit(o, d, kFar)) return true;
    if (!in.repetitive()) return false;
    float remaining = kFar;
    for (int k = 0; k < in.num_repetitions; ++k) {
        if (in.leaving(o, d)) return false;
        const float t = periodic_wrap(o, d, in.tile_x, in.tile_y);
        if (t < 0.0f) return false;
        remaining -= t;
        if (remaining <= 0.0f) return false;
        if (tracer.any_hit(o, d, remaining)) return true;
    }
    return false;
}

// Nearest hit along a ray, followed through the side walls of a periodic
// tile. `o` ends at the origin of the segment that hit.
template <class Tracer>
NORVI_HD EbHit eb_closest(const Tracer& tracer, const EbInputs& in, float3& o, float3 d) {
    EbHit h = tracer.closest(o, d);
    if (h.hit || !in.repetitive()) return h;
    for (int k = 0; k < in.num_repetitions; ++k) {
        if (in.leaving(o, d)) break;
        if (periodic_wrap(o, d, in.tile_x, in.tile_y) < 0.0f) break;
        h = tracer.closest(o, d);
        if (h.hit) break;
    }
    return h;
}

// Adds one sample's absorbed irradiance [W m^-2] of primitive `prim` (vertices
// v0, v1, v2, unit winding normal n) on side `side` (0 top, 1 bottom) to
// acc[0 .. n_bands).
template <class Tracer>
NORVI_HD void eb_sample(const Tracer& tracer, const EbInputs& in, long long prim, float3 v0,
                        float3 v1, float3 v2, float3 n, int side, int sample, double* acc) {
    Pcg32 rng = eb_stream(prim, sample, side);
    const float u0 = rng.next_float();
    const float u1 = rng.next_float();
    const float u2 = rng.next_float();
    const float u3 = rng.next_float();
    const float3 ns = side ? -n : n;
    const float3 x = eb_point_on_triangle(v0, v1, v2, u0, u1);
    const float3 origin = offset_ray_origin(x, ns);
    const bool sun = in.has_sun();

    // Direct sun on this side.
    float sun_cos = 0.0f;
    if (sun) {
        const float c = dot(ns, in.sun);
        if (c > 0.0f && !eb_occluded(tracer, in, origin, in.sun)) sun_cos = c;
    }

    // One cosine-weighted direction on this side's hemisphere.
    const float r = sqrtf(u2);
    const float phi = kTwoPi * u3;
    const float3 local{r * cosf(phi), r * sinf(phi), sqrtf(fmaxf(1.0f - u2, 0.0f))};
    const float3 d = normalize(to_world(make_shading_frame(ns), local));
    float3 o = origin;
    const EbHit h = eb_closest(tracer, in, o, d);

    const bool sky = !h.hit && d.z > 0.0f;
    const long long q = h.hit ? h.prim : -1;
    const bool q_valid = q >= 0 && q < in.n_primitives;
    // Short-wave second bounce: the sunlit cosine of the surface seen.
    float hit_sun_cos = 0.0f;
    if (sun && in.albedos != nullptr && q_valid) {
        const float c = dot(h.normal, in.sun);
        if (c > 0.0f) {
            const float3 y = offset_ray_origin(o + d * h.t, h.normal);
            if (!eb_occluded(tracer, in, y, in.sun)) hit_sun_cos = c;
        }
    }

    const auto np = static_cast<size_t>(in.n_primitives);
    const auto ip = static_cast<size_t>(prim);
    if (in.band_type == 1) {
        float incident = sky ? kPi * in.sky_lw_radiance : 0.0f;
        if (q_valid && in.temperatures != nullptr) {
            const float t = in.temperatures[static_cast<size_t>(q)];
            const float eps_q = in.emissivities ? in.emissivities[static_cast<size_t>(q)] : 1.0f;
            incident += eps_q * kStefanBoltzmann * (t * t) * (t * t);
        }
        const float eps_p = in.emissivities ? in.emissivities[ip] : 1.0f;
        acc[0] += static_cast<double>(eps_p) * static_cast<double>(incident);
        return;
    }
    for (int b = 0; b < in.n_bands; ++b) {
        const size_t row = static_cast<size_t>(b) * np;
        const double e = in.sun_irradiance ? static_cast<double>(in.sun_irradiance[b]) : 0.0;
        double incident = e * static_cast<double>(sun_cos);
        if (sky && in.sky_radiance) incident += kPi * static_cast<double>(in.sky_radiance[b]);
        if (hit_sun_cos > 0.0f)
            incident += static_cast<double>(in.albedos[row + static_cast<size_t>(q)]) * e *
                        static_cast<double>(hit_sun_cos);
        const double absorbed = in.albedos ? 1.0 - static_cast<double>(in.albedos[row + ip]) : 1.0;
        acc[b] += absorbed * incident;
    }
}

}  // namespace norvi
