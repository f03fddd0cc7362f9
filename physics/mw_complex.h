#pragma once
// A minimal double-precision complex number for the microwave formulas, usable
// from host and device code (std::complex is not available in device code).

#include <cmath>

#include "scene/host_device.h"

namespace norvi {

struct Cplx {
    double re = 0.0;
    double im = 0.0;
};

NORVI_HD Cplx operator+(Cplx a, Cplx b) { return {a.re + b.re, a.im + b.im}; }
NORVI_HD Cplx operator-(Cplx a, Cplx b) { return {a.re - b.re, a.im - b.im}; }
NORVI_HD Cplx operator*(Cplx a, Cplx b) { return {a.re * b.re - a.im * b.im, a.re * b.im + a.im * b.re}; }
NORVI_HD Cplx operator*(double s, Cplx a) { return {s * a.re, s * a.im}; }
NORVI_HD Cplx operator/(Cplx a, Cplx b) {
    const double d = b.re * b.re + b.im * b.im;
    return {(a.re * b.re + a.im * b.im) / d, (a.im * b.re - a.re * b.im) / d};
}
NORVI_HD Cplx conj(Cplx a) { return {a.re, -a.im}; }
NORVI_HD double norm2(Cplx a) { return a.re * a.re + a.im * a.im; }
NORVI_HD double cabs(Cplx a) { return sqrt(norm2(a)); }

// Principal square root: real part >= 0.
NORVI_HD Cplx csqrt(Cplx a) {
    const double m = cabs(a);
    const double re = sqrt(fmax(0.5 * (m + a.re), 0.0));
    double im = sqrt(fmax(0.5 * (m - a.re), 0.0));
    if (a.im < 0.0) im = -im;
    return {re, im};
}

}  // namespace norvi
