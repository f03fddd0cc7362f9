#pragma once
// Specular surfaces at microwave frequencies: Fresnel coefficients of a
// half-space of relative permittivity eps, and the HQN roughness correction.

#include <cmath>

#include "physics/mw_complex.h"
#include "scene/host_device.h"

namespace norvi {

// Field reflection coefficients for horizontal (TE) and vertical (TM)
// polarisation at incidence cosine mu: the Fresnel equations (Ulaby & Long
// 2014, ch. 2), q = sqrt(eps - sin^2) with Re q >= 0.
struct FresnelCoefficients {
    Cplx h;
    Cplx v;
};

NORVI_HD FresnelCoefficients fresnel_coefficients(Cplx eps, double mu) {
    mu = fmin(fmax(mu, 0.0), 1.0);
    const double sin2 = 1.0 - mu * mu;
    const Cplx q = csqrt(Cplx{eps.re - sin2, eps.im});
    const Cplx c{mu, 0.0};
    const Cplx ec = mu * eps;
    return {(c - q) / (c + q), (ec - q) / (ec + q)};
}

// Power reflectivities |R|^2 of a smooth surface.
struct Reflectivity {
    double h;
    double v;
};

NORVI_HD Reflectivity fresnel_reflectivity(Cplx eps, double mu) {
    const FresnelCoefficients r = fresnel_coefficients(eps, mu);
    return {norm2(r.h), norm2(r.v)};
}

// HQN rough-surface reflectivity (Wang & Choudhury 1981 in the L-MEB form,
// Wigneron et al.; h = 4 k^2 sigma^2 and N = 2 give Choudhury et al. 1979):
// r_H = [(1 - Q) r*_H + Q r*_V] exp(-h cos^NH), r_V likewise with NV.
NORVI_HD Reflectivity hqn_reflectivity(Reflectivity smooth, double mu, double h, double q,
                                       double n_h, double n_v) {
    const double c = fmax(mu, 1e-6);
    return {((1.0 - q) * smooth.h + q * smooth.v) * exp(-h * pow(c, n_h)),
            ((1.0 - q) * smooth.v + q * smooth.h) * exp(-h * pow(c, n_v))};
}

}  // namespace norvi
