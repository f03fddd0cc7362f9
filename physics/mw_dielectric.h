#pragma once
// Relative permittivities at microwave frequencies: free water, moist soil
// (Dobson 1985 with the Peplinski 1995 correction, Mironov 2009) and
// vegetation / wood (Ulaby & El-Rayes 1987).
//
// Convention: eps = eps' - j eps'', eps'' >= 0, stored as Cplx{eps', -eps''}.
// Frequencies in Hz, temperatures in kelvin unless a name says otherwise.

#include <cmath>

#include "physics/mw_complex.h"
#include "scene/host_device.h"

namespace norvi {

constexpr double kVacuumPermittivity = 8.854e-12;  // F/m
constexpr double kTwoPi = 6.283185307179586;

// Soil dielectric model codes (last value of a soil row).
enum MwSoilModel : int {
    kMwDobson = 0,           // Dobson et al. 1985, as published
    kMwMironov = 1,          // Mironov et al. 2009
    kMwDobsonPeplinski = 2,  // Dobson 1985 with the Peplinski et al. 1995 correction
};

// Single-Debye parameters of free (pure) water at t_c degrees Celsius:
// Stogryn 1971 as given by Ulaby, Moore & Fung vol. III (1986) app. E.
struct DebyeWater {
    double eps_inf;   // high-frequency limit
    double eps_0;     // static permittivity
    double two_pi_tau;  // 2 pi x relaxation time [s]
};

NORVI_HD DebyeWater free_water_debye(double t_c) {
    DebyeWater w;
    w.eps_inf = 4.9;
    w.eps_0 = 88.045 - 0.4147 * t_c + 6.295e-4 * t_c * t_c + 1.075e-5 * t_c * t_c * t_c;
    w.two_pi_tau = 1.1109e-10 - 3.824e-12 * t_c + 6.938e-14 * t_c * t_c - 5.096e-16 * t_c * t_c * t_c;
    return w;
}

// Debye relaxation eps_inf + (eps_0 - eps_inf) / (1 + j 2 pi f tau).
NORVI_HD Cplx debye_permittivity(double eps_inf, double eps_0, double two_pi_tau, double f) {
    const double x = two_pi_tau * f;
    const double d = 1.0 + x * x;
    return {eps_inf + (eps_0 - eps_inf) / d, -x * (eps_0 - eps_inf) / d};
}

NORVI_HD Cplx free_water_permittivity(double f, double t_k) {
    const DebyeWater w = free_water_debye(t_k - 273.15);
    return debye_permittivity(w.eps_inf, w.eps_0, w.two_pi_tau, f);
}

// Dobson, Ulaby, Hallikainen & El-Rayes, IEEE TGRS GE-23(1) 1985: semi-empirical
// mixing (alpha = 0.65, particle density 2.66 g/cm^3); with
// `peplinski`, the 0.3-1.3 GHz form of Peplinski, Ulaby & Dobson, IEEE TGRS
// 1995 (their effective conductivity and eps' <- 1.15 eps' - 0.68).
// mv volumetric moisture, sand and clay mass fractions, rho_b bulk density g/cm^3.
NORVI_HD Cplx dobson_permittivity(double mv, double sand, double clay, double rho_b, double t_k,
                                  double f, bool peplinski) {
    const double rho_s = 2.66;
    const double alpha = 0.65;
    const double eps_s = (1.01 + 0.44 * rho_s) * (1.01 + 0.44 * rho_s) - 0.062;
    const double beta_re = 1.2748 - 0.519 * sand - 0.152 * clay;
    const double beta_im = 1.33797 - 0.603 * sand - 0.166 * clay;
    double sigma = peplinski ? 0.0467 + 0.2204 * rho_b - 0.4111 * sand + 0.6614 * clay
                             : -1.645 + 1.939 * rho_b - 2.25622 * sand + 1.594 * clay;
    sigma = fmax(sigma, 0.0);  // sandy, light soils give negative fits
    mv = fmax(mv, 0.0);
    const Cplx w = free_water_permittivity(f, t_k);
    // The conductivity term divides by mv; 0.001 keeps it finite near dry soil.
    const double fw_im =
        -w.im + sigma * (rho_s - rho_b) / (kTwoPi * kVacuumPermittivity * f * rho_s * fmax(mv, 1e-3));
    const double re_base = 1.0 + (rho_b / rho_s) * (pow(eps_s, alpha) - 1.0) +
                           pow(mv, beta_re) * pow(w.re, alpha) - mv;
    double re = pow(fmax(re_base, 0.0), 1.0 / alpha);
    const double im = pow(pow(mv, beta_im) * pow(fw_im, alpha), 1.0 / alpha);
    if (peplinski) re = 1.15 * re - 0.68;
    return {re, -im};
}

// Mironov, Kosolapova & Fomin, IEEE TGRS 2009, eqs. 11-25 (mineralogy-based
// spectroscopic model; no temperature input). clay mass fraction 0..1.
NORVI_HD Cplx mironov_permittivity(double mv, double clay, double f) {
    const double c = 100.0 * clay;  // the fits take percent
    const double nd = 1.634 - 0.539e-2 * c + 0.2748e-4 * c * c;
    const double kd = 0.03952 - 0.04038e-2 * c;
    const double mvt = 0.02863 + 0.30673e-2 * c;
    const double eps_inf = 4.9;
    // Bound (b) and unbound (u) soil water, eq. 16 with eq. 14 for n and k.
    auto refractive = [&](double eps0, double tau, double sigma, double& n, double& k) {
        const Cplx e = debye_permittivity(eps_inf, eps0, kTwoPi * tau, f);
        const double im = -e.im + sigma / (kTwoPi * kVacuumPermittivity * f);
        const double mag = sqrt(e.re * e.re + im * im);
        n = sqrt(0.5 * (mag + e.re));
        k = sqrt(fmax(0.5 * (mag - e.re), 0.0));
    };
    double nb, kb, nu, ku;
    refractive(79.8 - 85.4e-2 * c + 32.7e-4 * c * c, 1.062e-11 + 3.450e-14 * c, 0.3112 + 0.467e-2 * c, nb, kb);
    refractive(100.0, 8.5e-12, 0.3631 + 1.217e-2 * c, nu, ku);
    mv = fmax(mv, 0.0);
    double nm, km;
    if (mv <= mvt) {  // eq. 12
        nm = nd + (nb - 1.0) * mv;
        km = kd + kb * mv;
    } else {  // eq. 13
        nm = nd + (nb - 1.0) * mvt + (nu - 1.0) * (mv - mvt);
        km = kd + kb * mvt + ku * (mv - mvt);
    }
    return {nm * nm - km * km, -2.0 * nm * km};  // eq. 11
}

// Ulaby & El-Rayes, IEEE TGRS Sept. 1987, eqs. 2, 8, 14-17: dual-dispersion
// model of vegetation material of gravimetric moisture mg (0..1), used for
// leaves and wood. Free water with salinity-derived conductivity 1.27 S/m
// (eq. 17) and bound water of Cole-Cole form.
NORVI_HD Cplx ulaby_el_rayes_permittivity(double mg, double f) {
    const double fg = f * 1e-9;
    const double eps_r = 1.7 - 0.74 * mg + 6.16 * mg * mg;                   // eq. 14
    const double v_fw = fmax(mg * (0.55 * mg - 0.076), 0.0);                 // eq. 15, clipped at 0
    const double v_b = 4.64 * mg * mg / (1.0 + 7.36 * mg * mg);              // eq. 16
    const double sigma = 1.27;                                               // eq. 17
    const double y = fg / 18.0;                                              // eq. 2
    const Cplx eps_f{4.9 + 75.0 / (1.0 + y * y), -(75.0 * y / (1.0 + y * y) + 18.0 * sigma / fg)};
    const double x = sqrt(fg / 0.36);                                        // eq. 8: sqrt(j f / 0.18) = x (1 + j)
    const double d = (1.0 + x) * (1.0 + x) + x * x;
    const Cplx eps_b{2.9 + 55.0 * (1.0 + x) / d, -55.0 * x / d};
    return Cplx{eps_r, 0.0} + v_fw * eps_f + v_b * eps_b;
}

// Soil permittivity by model code; an unknown code gives 0 (callers validate).
NORVI_HD Cplx soil_permittivity(int model, double mv, double sand, double clay, double rho_b,
                                double t_k, double f) {
    if (model == kMwMironov) return mironov_permittivity(mv, clay, f);
    if (model == kMwDobson || model == kMwDobsonPeplinski)
        return dobson_permittivity(mv, sand, clay, rho_b, t_k, f, model == kMwDobsonPeplinski);
    return {0.0, 0.0};
}

}  // namespace norvi
