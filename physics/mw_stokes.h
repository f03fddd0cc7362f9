#pragma once
// Polarised brightness temperatures: the modified Stokes vector
// (T_H, T_V, U, V) of radiation propagating along a unit direction d, in the
// meridian frame of d (h = z x d / |z x d|, v = h x d), and 4x4 Mueller
// matrices acting on it. With field components (a_h, a_v):
// T_H = |a_h|^2, T_V = |a_v|^2, U = 2 Re(a_v a_h*), V = 2 Im(a_v a_h*)
// (Tsang, Kong & Ding 2000, ch. 7).

#include <cmath>

#include "physics/mw_complex.h"
#include "scene/host_device.h"
#include "scene/types.h"
#include "scene/vec_math.h"

namespace norvi {

// Row-major 4x4 matrix; row = output Stokes component.
struct Mueller4 {
    double m[16];
};

NORVI_HD Mueller4 mueller_identity() {
    Mueller4 r{};
    r.m[0] = r.m[5] = r.m[10] = r.m[15] = 1.0;
    return r;
}

NORVI_HD Mueller4 operator*(const Mueller4& a, const Mueller4& b) {
    Mueller4 r{};
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) {
            double s = 0.0;
            for (int k = 0; k < 4; ++k) s += a.m[4 * i + k] * b.m[4 * k + j];
            r.m[4 * i + j] = s;
        }
    return r;
}

NORVI_HD void mueller_scale(Mueller4& a, double s) {
    for (double& x : a.m) x *= s;
}

// out += a * (t_h, t_v, 0, 0): adds an incoherent source seen through a.
NORVI_HD void add_through(const Mueller4& a, double t_h, double t_v, double out[4]) {
    for (int i = 0; i < 4; ++i) out[i] += a.m[4 * i] * t_h + a.m[4 * i + 1] * t_v;
}

// Unpolarised response (T_H + T_V) / 2 to an unpolarised input of unit
// brightness: the mean of the upper-left 2x2 block.
NORVI_HD double unpolarised_response(const Mueller4& a) {
    return 0.5 * (a.m[0] + a.m[1] + a.m[4] + a.m[5]);
}

// Mueller matrix of a Jones matrix J (a' = J a, a = (a_h, a_v)).
NORVI_HD Mueller4 jones_to_mueller(Cplx j00, Cplx j01, Cplx j10, Cplx j11) {
    const Cplx p0001 = j00 * conj(j01);
    const Cplx p1011 = j10 * conj(j11);
    const Cplx p1000 = j10 * conj(j00);
    const Cplx p1101 = j11 * conj(j01);
    const Cplx p1001 = j10 * conj(j01);
    const Cplx p1100 = j11 * conj(j00);
    Mueller4 r{};
    r.m[0] = norm2(j00);
    r.m[1] = norm2(j01);
    r.m[2] = p0001.re;
    r.m[3] = p0001.im;
    r.m[4] = norm2(j10);
    r.m[5] = norm2(j11);
    r.m[6] = p1011.re;
    r.m[7] = p1011.im;
    r.m[8] = 2.0 * p1000.re;
    r.m[9] = 2.0 * p1101.re;
    r.m[10] = p1001.re + p1100.re;
    r.m[11] = p1001.im - p1100.im;
    r.m[12] = 2.0 * p1000.im;
    r.m[13] = 2.0 * p1101.im;
    r.m[14] = p1001.im + p1100.im;
    r.m[15] = p1100.re - p1001.re;
    return r;
}

// Mueller matrix of a real change of field basis: from (h1, v1) to (h2, v2),
// both orthonormal bases of the plane normal to one propagation direction.
NORVI_HD Mueller4 basis_change(float3 h1, float3 v1, float3 h2, float3 v2) {
    return jones_to_mueller(Cplx{dot(h1, h2), 0.0}, Cplx{dot(v1, h2), 0.0}, Cplx{dot(h1, v2), 0.0},
                            Cplx{dot(v1, v2), 0.0});
}

// Meridian frame of propagation direction d; along the vertical, where z x d
// vanishes, h = +y (the azimuth-0 limit).
NORVI_HD void meridian_frame(float3 d, float3& h, float3& v) {
    const float hx = -d.y;
    const float hy = d.x;
    const float len = sqrtf(hx * hx + hy * hy);
    h = len > 1e-7f ? float3{hx / len, hy / len, 0.0f} : float3{0.0f, 1.0f, 0.0f};
    v = normalize(cross(h, d));
}

}  // namespace norvi
