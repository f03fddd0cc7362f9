#pragma once
// Sky brightness at microwave frequencies: the cosmic background and an
// isothermal plane-parallel atmosphere of nadir optical depth tau.

#include <cmath>

#include "scene/host_device.h"

namespace norvi {

// Cosmic microwave background [K] (Fixsen 2009: 2.72548 K). Physical
// temperatures are used for every source, so no Rayleigh-Jeans offset applies.
constexpr double kCosmicBackgroundK = 2.725;

// Transmissivity e^(-tau / mu) of the layer along a path of cosine mu to the
// vertical; a horizontal or downward path is opaque.
NORVI_HD double atmosphere_transmissivity(double tau, double mu) {
    if (tau <= 0.0) return 1.0;
    if (mu <= 0.0) return 0.0;
    return exp(-tau / mu);
}

// Upwelling brightness the layer adds above the scene: T_a (1 - t) for an
// isothermal layer (Ulaby & Long 2014, ch. 6; the "Ulaby" option of ECMWF CMEM).
NORVI_HD double atmosphere_upwelling(double t_air, double tau, double mu) {
    return t_air * (1.0 - atmosphere_transmissivity(tau, mu));
}

// Downwelling sky brightness seen looking up at cosine mu: the layer's
// emission plus the cosmic background through it, T_a (1 - t) + T_cos t.
// Without atmosphere (tau <= 0) this is the cosmic background.
NORVI_HD double sky_brightness(double t_air, double tau, double mu) {
    const double t = atmosphere_transmissivity(tau, mu);
    return t_air * (1.0 - t) + kCosmicBackgroundK * t;
}

}  // namespace norvi
