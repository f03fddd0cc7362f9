#pragma once
// Reflectance evaluation and direction sampling for each material kind, in the
// local shading frame (z = shading normal, on the viewer's side).
//
// eval_bsdf returns f with  L_reflected = f * L_incident * |cos theta_i|, so
// integrating f |cos| over the sphere gives the albedo toward wo. sample_bsdf
// draws wi with the density pdf_bsdf (per unit solid angle, including the
// leaf's reflect / transmit choice). Kinds other than Lambertian, RPV and the
// two-sided leaf are black: they evaluate to 0 and sample straight up with
// density 1, so a path that meets them ends.

#include <cmath>

#include "scene/host_device.h"
#include "scene/types.h"
#include "scene/vec_math.h"

namespace norvi {

constexpr float kPi = 3.14159265f;
constexpr float kInvPi = 0.31830987f;
constexpr float kTwoPi = 6.2831855f;

// Number of spectral arrays (each num_bands long) a material kind reads at its
// spectral offset; in thermal mode every kind reads at least its emissivity.
NORVI_HD int material_array_count(MaterialType type, bool thermal) {
    int n = 0;
    switch (type) {
        case MaterialType::Lambertian: n = 1; break;
        case MaterialType::Rpv: n = 4; break;
        case MaterialType::TwoSidedLeaf: n = 3; break;
        default: n = 0; break;
    }
    return (thermal && n < 1) ? 1 : n;
}

// Band-independent part of the Rahman-Pinty-Verstraete model for one pair of
// directions (local, both pointing away from the surface).
struct RpvGeometry {
    float mu0;    // cosine of the viewing direction wo
    float mu;     // cosine of the light direction wi
    float cos_g;  // cosine of the phase angle, wo . wi
    float g;      // hot-spot distance sqrt(tan0^2 + tan1^2 - 2 tan0 tan1 cos phi)
};

NORVI_HD RpvGeometry rpv_geometry(float3 wo, float3 wi) {
    RpvGeometry r;
    r.mu0 = wo.z;
    r.mu = wi.z;
    r.cos_g = dot(wo, wi);
    const float sin0 = sqrtf(fmaxf(1.0f - r.mu0 * r.mu0, 0.0f));
    const float sin1 = sqrtf(fmaxf(1.0f - r.mu * r.mu, 0.0f));
    const float tan0 = r.mu0 >= 1e-6f ? sin0 / r.mu0 : 0.0f;
    const float tan1 = r.mu >= 1e-6f ? sin1 / r.mu : 0.0f;
    float cos_phi = 0.0f;
    if (sin0 > 1e-6f && sin1 > 1e-6f)
        cos_phi = fminf(fmaxf((wo.x * wi.x + wo.y * wi.y) / (sin0 * sin1), -1.0f), 1.0f);
    r.g = sqrtf(fmaxf(tan0 * tan0 + tan1 * tan1 - 2.0f * tan0 * tan1 * cos_phi, 0.0f));
    return r;
}

// RPV reflectance factor (dimensionless; 1 for a white Lambertian surface):
// rho0 times the Minnaert-like shape M, the Henyey-Greenstein phase term F and
// the hot-spot term H. Reduces to rho0 for k = 1, Theta = 0, rho_c = 1.
NORVI_HD float rpv_reflectance_factor(float rho0, float k, float theta, float rho_c,
                                      const RpvGeometry& geo) {
    if (geo.mu0 <= 0.0f || geo.mu <= 0.0f) return 0.0f;
    const float m = powf(geo.mu0, k - 1.0f) * powf(geo.mu, k - 1.0f);
    const float d = 1.0f + theta * theta + 2.0f * theta * geo.cos_g;
    const float f = (1.0f - theta * theta) / (d * sqrtf(fmaxf(d, 1e-6f)));
    const float h = 1.0f + (1.0f - rho_c) / (1.0f + geo.g);
    return fmaxf(rho0 * m * f * h, 0.0f);
}

NORVI_HD float rpv_reflectance_factor(float rho0, float k, float theta, float rho_c, float3 wo,
                                      float3 wi) {
    return rpv_reflectance_factor(rho0, k, theta, rho_c, rpv_geometry(wo, wi));
}

// f(wo, wi) of band `band` for a material of kind `type` whose arrays start at
// spectral[spectral_offset]. back_face: the hit met the side opposite to the
// winding normal (selects the leaf's back reflectance). thermal: the
// Lambertian array holds emissivity, so it reflects 1 - epsilon.
NORVI_HD float eval_bsdf(MaterialType type, int spectral_offset, int band, float3 wo, float3 wi,
                         const float* spectral, int num_bands, bool back_face, bool thermal) {
    if (wo.z <= 0.0f) return 0.0f;
    switch (type) {
        case MaterialType::Lambertian: {
            float rho = spectral[spectral_offset + band];
            if (thermal) rho = 1.0f - rho;
            return wi.z > 0.0f ? rho * kInvPi : 0.0f;
        }
        case MaterialType::TwoSidedLeaf: {
            if (wi.z > 0.0f) {
                const int k = back_face ? 1 : 0;
                return spectral[spectral_index(spectral_offset, k, num_bands, band)] * kInvPi;
            }
            return spectral[spectral_index(spectral_offset, 2, num_bands, band)] * kInvPi;
        }
        case MaterialType::Rpv: {
            const float rho0 = spectral[spectral_index(spectral_offset, 0, num_bands, band)];
            const float k = spectral[spectral_index(spectral_offset, 1, num_bands, band)];
            const float theta = spectral[spectral_index(spectral_offset, 2, num_bands, band)];
            const float rho_c = spectral[spectral_index(spectral_offset, 3, num_bands, band)];
            return rpv_reflectance_factor(rho0, k, theta, rho_c, wo, wi) * kInvPi;
        }
        default:
            return 0.0f;
    }
}

// eval_bsdf for `count` bands from `first` on: f[i] equal to eval_bsdf(type,
// ..., first + i, ...). The kind is dispatched once and the band-independent
// geometry computed once.
NORVI_HD void eval_bsdf_span(MaterialType type, int spectral_offset, int first, int count, float3 wo, float3 wi,
                             const float* spectral, int num_bands, bool back_face, bool thermal, float* f) {
    const float* a = spectral + spectral_offset + first;
    const int nb = num_bands;
    if (wo.z <= 0.0f) type = static_cast<MaterialType>(-1);
    switch (type) {
        case MaterialType::Lambertian:
            if (!(wi.z > 0.0f)) break;
            if (thermal)
                for (int b = 0; b < count; ++b) f[b] = (1.0f - a[b]) * kInvPi;
            else
                for (int b = 0; b < count; ++b) f[b] = a[b] * kInvPi;
            return;
        case MaterialType::TwoSidedLeaf: {
            const float* r = a + (wi.z > 0.0f ? (back_face ? nb : 0) : 2 * nb);
            for (int b = 0; b < count; ++b) f[b] = r[b] * kInvPi;
            return;
        }
        case MaterialType::Rpv: {
            const RpvGeometry geo = rpv_geometry(wo, wi);
            for (int b = 0; b < count; ++b)
                f[b] = rpv_reflectance_factor(a[b], a[nb + b], a[2 * nb + b], a[3 * nb + b], geo) * kInvPi;
            return;
        }
        default:
            break;
    }
    for (int b = 0; b < count; ++b) f[b] = 0.0f;
}

// eval_bsdf for every band at once: f[b] for b = 0 .. num_bands - 1.
NORVI_HD void eval_bsdf_bands(MaterialType type, int spectral_offset, float3 wo, float3 wi,
                              const float* spectral, int num_bands, bool back_face, bool thermal,
                              float* f) {
    eval_bsdf_span(type, spectral_offset, 0, num_bands, wo, wi, spectral, num_bands, back_face, thermal, f);
}

// Cosine-weighted direction on the upper hemisphere; density z / pi.
NORVI_HD float3 sample_cosine_hemisphere(float u1, float u2) {
    const float r = sqrtf(u1);
    const float phi = kTwoPi * u2;
    const float x = r * cosf(phi);
    const float y = r * sinf(phi);
    return float3{x, y, sqrtf(fmaxf(1.0f - x * x - y * y, 0.0f))};
}

// The leaf's probability of choosing reflection when sampling, from its
// reflect / transmit weights (params[0], params[1]); negative weights count as
// 0. Returns a negative value when both weights vanish (the leaf samples like
// a black surface).
NORVI_HD float leaf_reflect_probability(const MaterialData& m) {
    const float r = fmaxf(m.params[0], 0.0f);
    const float t = fmaxf(m.params[1], 0.0f);
    if (r + t < 1e-8f) return -1.0f;
    return r / (r + t);
}

// Draws wi (local) for material m from u in [0, 1]^3 and returns its density
// in pdf. The engines fill u from three consecutive draws d1, d2, d3 as
// u = (d3, d2, d1).
NORVI_HD void sample_bsdf(const MaterialData& m, const float u[3], float3& wi, float& pdf) {
    if (m.type == MaterialType::Lambertian || m.type == MaterialType::Rpv) {
        wi = sample_cosine_hemisphere(u[0], u[1]);
        pdf = fmaxf(wi.z, 0.0f) * kInvPi;
        return;
    }
    if (m.type == MaterialType::TwoSidedLeaf) {
        const float p_r = leaf_reflect_probability(m);
        if (p_r >= 0.0f) {
            wi = sample_cosine_hemisphere(u[1], u[2]);
            const float pdf0 = fmaxf(wi.z, 0.0f) * kInvPi;
            if (u[0] < p_r) {
                pdf = pdf0 * p_r;
            } else {
                wi.z = -wi.z;
                pdf = pdf0 * (1.0f - p_r);
            }
            return;
        }
    }
    wi = float3{0.0f, 0.0f, 1.0f};
    pdf = 1.0f;
}

// sample_bsdf driven by a generator: three consecutive draws d1, d2, d3 go
// in as u = (d3, d2, d1), the order every engine uses.
template <class Rng>
NORVI_HD void sample_bsdf_from(Rng& rng, const MaterialData& m, float3& wi, float& pdf) {
    const float d1 = rng.next_float();
    const float d2 = rng.next_float();
    const float d3 = rng.next_float();
    const float u[3] = {d3, d2, d1};
    sample_bsdf(m, u, wi, pdf);
}

// Density of sample_bsdf at wi per unit solid angle. The black kinds (and a
// leaf without weights) sample one fixed direction, which has no density:
// they give 0 here.
NORVI_HD float pdf_bsdf(const MaterialData& m, float3 wi) {
    if (m.type == MaterialType::Lambertian || m.type == MaterialType::Rpv)
        return fmaxf(wi.z, 0.0f) * kInvPi;
    if (m.type == MaterialType::TwoSidedLeaf) {
        const float p_r = leaf_reflect_probability(m);
        if (p_r < 0.0f) return 0.0f;
        return fabsf(wi.z) * kInvPi * (wi.z > 0.0f ? p_r : 1.0f - p_r);
    }
    return 0.0f;
}

}  // namespace norvi
