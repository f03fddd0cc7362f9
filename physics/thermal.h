#pragma once
// Thermal (Planck) emission of surfaces and the choice of their temperature.

#include <cmath>

#include "scene/host_device.h"
#include "scene/types.h"

namespace norvi {

// Planck spectral radiance [W m^-2 sr^-1 nm^-1] at wavelength_nm for a black
// body at temperature [K]. Bands where exp(hc / lambda k T) would overflow
// (exponent above 500), and non-positive wavelengths or temperatures, give 0.
NORVI_HD float planck_radiance_nm(float wavelength_nm, float temperature) {
    const double lambda = static_cast<double>(wavelength_nm) * 1e-9;
    if (!(lambda > 0.0) || !(temperature > 0.0f)) return 0.0f;
    const double x = 0.014387768775039337 / (lambda * static_cast<double>(temperature));
    if (x > 500.0) return 0.0f;
    const double l2 = lambda * lambda;
    const double b = 1.1910429723971884e-16 / (l2 * l2 * lambda * (exp(x) - 1.0));
    return static_cast<float>(b * 1e-9);
}

// Whether the material's temperature depends on the sun: both the sunlit
// (params[3]) and the shaded (params[4]) temperature are set.
NORVI_HD bool has_sunlit_shaded_temperatures(const MaterialData& m) {
    return m.params[3] > 0.0f && m.params[4] > 0.0f;
}

// Emission temperature of a surface of material m; `shaded` is the result of
// the sun shadow test and only matters when sunlit and shaded temperatures are
// set. Otherwise the single temperature params[2]; 0 when the surface does not
// emit.
NORVI_HD float emission_temperature(const MaterialData& m, bool shaded) {
    if (has_sunlit_shaded_temperatures(m)) return shaded ? m.params[4] : m.params[3];
    if (m.params[2] > 0.0f) return m.params[2];
    return 0.0f;
}

}  // namespace norvi
