#pragma once
// Scattering inside vegetation volumes: the Rayleigh (dipole) phase matrix,
// and direction sampling from a caller's tabulated phase matrix.
//
// Tables. A Mueller table holds one 4x4 matrix (16 floats, row-major, acting
// on (T_H, T_V, U, V) in the meridian frames of the incident and scattered
// propagation directions) per cell (cti, cts, dphi): mu_i = cos(theta_i) and
// mu_s = cos(theta_s) each in n equal bins over [-1, 1], dphi = phi_s - phi_i
// in equal bins over [0, pi]; negative dphi mirrors the matrix
// (P(-dphi) = D P(dphi) D, D = diag(1, 1, -1, -1)). P is normalised so that
// the unpolarised response p = (P00 + P01 + P10 + P11) / 2 integrates to 1
// over the scattered directions. The cts table holds, per cti row, the
// cumulative distribution over cts of the row's scattered energy; the dphi
// table, per (cti, cts) cell, the cumulative distribution over dphi; each
// ends at 1.

#include <cmath>

#include "physics/mw_stokes.h"
#include "physics/pcg32.h"
#include "scene/host_device.h"
#include "scene/types.h"

namespace norvi {

constexpr double kMwPi = 3.14159265358979323846;

// Rayleigh phase matrix for incident (mu_i) and scattered (mu_s) direction
// cosines and azimuth difference dphi = phi_s - phi_i: (3 / 8 pi) times the
// Mueller matrix of the dipole amplitudes f_hh = cos dphi, f_hv = -mu_i sin dphi,
// f_vh = mu_s sin dphi, f_vv = mu_s mu_i cos dphi + sin theta_s sin theta_i
// (Tsang, Kong & Ding 2000, eqs. 3.2.47 and 7.2.16; Maetzler 2006, p. 111).
NORVI_HD Mueller4 rayleigh_phase_matrix(double mu_i, double mu_s, double dphi) {
    const double si = sqrt(fmax(1.0 - mu_i * mu_i, 0.0));
    const double ss = sqrt(fmax(1.0 - mu_s * mu_s, 0.0));
    const double c = cos(dphi);
    const double s = sin(dphi);
    Mueller4 p = jones_to_mueller(Cplx{c, 0.0}, Cplx{-mu_i * s, 0.0}, Cplx{mu_s * s, 0.0},
                                  Cplx{mu_s * mu_i * c + ss * si, 0.0});
    mueller_scale(p, 3.0 / (8.0 * kMwPi));
    return p;
}

// A caller's phase tables as the path reads them (null mueller: isotropic).
struct MwPhaseTables {
    const float* mueller = nullptr;
    const float* cdf_cts = nullptr;
    const float* cdf_dphi = nullptr;
    int n_cti = 0;
    int n_cts = 0;
    int n_dphi = 0;
};

// Bin of a cosine in n equal bins over [-1, 1], and of |dphi| over [0, pi].
NORVI_HD int mw_mu_bin(double mu, int n) {
    const int i = static_cast<int>(floor((mu + 1.0) * 0.5 * n));
    return i < 0 ? 0 : (i >= n ? n - 1 : i);
}
NORVI_HD int mw_dphi_bin(double abs_dphi, int n) {
    const int i = static_cast<int>(floor(abs_dphi / kMwPi * n));
    return i < 0 ? 0 : (i >= n ? n - 1 : i);
}

// First index whose cumulative value exceeds u times the last one (so that
// cells of zero probability are never drawn); -1 when the row is empty.
NORVI_HD int mw_search_cdf(const float* cdf, int n, float u) {
    const float last = cdf[n - 1];
    if (!(last > 0.0f)) return -1;
    const float target = fminf(u, 0.99999994f) * last;
    int lo = 0, hi = n - 1;
    while (lo < hi) {
        const int mid = (lo + hi) / 2;
        if (cdf[mid] > target) hi = mid;
        else lo = mid + 1;
    }
    return lo;
}

// The table's matrix for (mu_i, mu_s, dphi), mirrored for negative dphi.
NORVI_HD Mueller4 mw_table_matrix(const MwPhaseTables& t, double mu_i, double mu_s, double dphi) {
    const int ci = mw_mu_bin(mu_i, t.n_cti);
    const int cs = mw_mu_bin(mu_s, t.n_cts);
    const int cp = mw_dphi_bin(fabs(dphi), t.n_dphi);
    const float* src = t.mueller + 16 * ((static_cast<long long>(ci) * t.n_cts + cs) * t.n_dphi + cp);
    Mueller4 p;
    for (int k = 0; k < 16; ++k) p.m[k] = src[k];
    if (dphi < 0.0)
        for (int r = 0; r < 4; ++r)
            for (int c = 0; c < 4; ++c)
                if ((r < 2) != (c < 2)) p.m[4 * r + c] = -p.m[4 * r + c];
    return p;
}

// Samples the scattered direction of a table from incident direction a:
// mu from the cts row of a's bin, |dphi| from the dphi row, a uniform point
// inside the chosen cell and a random sign of dphi. Returns false when the
// row holds no energy.
NORVI_HD bool mw_sample_table_direction(const MwPhaseTables& t, float3 a, Pcg32& rng, float3& b) {
    const int ci = mw_mu_bin(a.z, t.n_cti);
    const int cs = mw_search_cdf(t.cdf_cts + static_cast<long long>(ci) * t.n_cts, t.n_cts, rng.next_float());
    if (cs < 0) return false;
    const int cp = mw_search_cdf(t.cdf_dphi + (static_cast<long long>(ci) * t.n_cts + cs) * t.n_dphi,
                                 t.n_dphi, rng.next_float());
    if (cp < 0) return false;
    const double mu = fmin(fmax(-1.0 + 2.0 * (cs + double(rng.next_float())) / t.n_cts, -1.0), 1.0);
    double dphi = (cp + double(rng.next_float())) * kMwPi / t.n_dphi;
    if (rng.next_float() < 0.5f) dphi = -dphi;
    const double phi = atan2(double(a.y), double(a.x)) + dphi;
    const double st = sqrt(fmax(1.0 - mu * mu, 0.0));
    b = normalize(float3{static_cast<float>(st * cos(phi)), static_cast<float>(st * sin(phi)),
                         static_cast<float>(mu)});
    return true;
}

// One scattering event of a backward path. The path travels along a (the
// radiation it collects propagates along s = -a) and leaves along b, so the
// radiation arrives along i = -b. With tables, b is drawn from the table row
// of a, which for a reciprocal medium (p(mu_i, mu_s, dphi) =
// p(-mu_s, -mu_i, dphi)) is distributed as P(s <- i); without, b is uniform
// and the medium isotropic and depolarising. w = P(s <- i) / p: its
// unpolarised response is 1, the single-scattering albedo is applied by the
// caller. Returns false when no direction can be drawn.
NORVI_HD bool mw_scatter(const MwPhaseTables& t, float3 a, Pcg32& rng, float3& b, Mueller4& w) {
    if (t.mueller == nullptr) {
        const double mu = 1.0 - 2.0 * double(rng.next_float());
        const double phi = 2.0 * kMwPi * double(rng.next_float());
        const double st = sqrt(fmax(1.0 - mu * mu, 0.0));
        b = normalize(float3{static_cast<float>(st * cos(phi)), static_cast<float>(st * sin(phi)),
                             static_cast<float>(mu)});
        w = Mueller4{};
        w.m[0] = w.m[1] = w.m[4] = w.m[5] = 0.5;
        return true;
    }
    if (!mw_sample_table_direction(t, a, rng, b)) return false;
    // Angles of the radiation: s = -a, i = -b; dphi = phi_s - phi_i = phi_a - phi_b.
    double dphi = atan2(double(a.y), double(a.x)) - atan2(double(b.y), double(b.x));
    if (dphi > kMwPi) dphi -= 2.0 * kMwPi;
    if (dphi < -kMwPi) dphi += 2.0 * kMwPi;
    w = mw_table_matrix(t, -double(b.z), -double(a.z), dphi);
    const double p = unpolarised_response(w);
    if (!(p > 0.0)) return false;
    mueller_scale(w, 1.0 / p);
    return true;
}

}  // namespace norvi
