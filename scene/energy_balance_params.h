#pragma once
// Inputs of the per-primitive energy balance, shared by the CPU engines and
// the GPU simulator, and the checks both back ends make on them in one order.
//
// What the runs compute (both back ends, single band and multiband):
//   For every primitive (one triangle of one instance, in instance order and
//   then triangle order), the radiation it ABSORBS per unit area [W m^-2] on
//   its top side (the side its winding normal (v1 - v0) x (v2 - v0) points to)
//   and on its bottom side.
//   band_type 0, short-wave: direct sun (irradiance E on a plane facing the
//     sun, shadowed by the scene) plus the diffuse sky (radiance L in every
//     direction above the horizon); with per-primitive short-wave albedos a,
//     also the sunlit surfaces seen once (Lambertian radiance a E cos / pi,
//     the second bounce). A primitive absorbs the fraction 1 - a of what
//     reaches it; without albedos every primitive is black (absorbs all of it,
//     reflects nothing).
//   band_type 1, long-wave: the sky's long-wave radiance above the horizon
//     plus the emission eps sigma T^4 / pi of every surface seen, with the
//     per-primitive emissivity eps (1 when not set) and temperature T (0 K, no
//     emission, when not set). A primitive absorbs the fraction eps of what
//     reaches it. Long-wave light is not reflected.
//   A ray that leaves the scene below the horizon (direction z <= 0) sees
//   nothing, in both bands: a scene carries its own ground. So a sun at or
//   below the horizon, or a zero sun direction, gives no sunlight.
//   The multiband run is the short-wave run for n bands with per-band sun
//   irradiance and sky radiance (absent arrays mean 0) and per-band albedos;
//   with one band it equals the single-band short-wave run.

#include <cstdint>
#include <sstream>
#include <stdexcept>
#include <string>

namespace norvi {

enum EnergyBalanceBand : int {
    kEnergyBalanceShortwave = 0,  // sun and diffuse sky
    kEnergyBalanceLongwave = 1,   // long-wave sky and surface emission
};

// Single-band run.
struct EnergyBalanceParams {
    int band_type = 0;
    int n_samples = 64;               // hemisphere samples per primitive and side
    float sun_irradiance = 0.0f;      // W m^-2 on a plane facing the sun (short-wave)
    float sky_diffuse_radiance = 0.0f;  // W m^-2 sr^-1 above the horizon (short-wave)
    float sky_lw_radiance = 0.0f;     // W m^-2 sr^-1 above the horizon (long-wave)
    float sun_dir_x = 0.0f;           // toward the sun; normalised by the runs
    float sun_dir_y = 0.0f;
    float sun_dir_z = 1.0f;
    bool two_sided = true;            // also compute the bottom side
    const float* sw_albedos = nullptr;  // n_primitives values, or null
    int32_t n_sw_albedos = 0;
};

// Multiband short-wave run.
struct EnergyBalanceMultibandParams {
    int n_bands = 0;
    int n_samples = 64;
    float sun_dir_x = 0.0f;
    float sun_dir_y = 0.0f;
    float sun_dir_z = 1.0f;
    bool two_sided = true;
    const float* sun_irradiance = nullptr;        // n_bands values, or null (0)
    const float* sky_diffuse_radiance = nullptr;  // n_bands values, or null (0)
    const float* sw_albedos = nullptr;  // n_bands x n_primitives, band-major, or null
    int32_t n_sw_albedos = 0;
};

namespace eb_detail {

[[noreturn]] inline void fail_value(const std::string& text) { throw std::invalid_argument(text); }

inline void check_sun_direction(const char* method, float x, float y, float z) {
    // x - x is 0 for every finite value and NaN for infinities and NaN.
    if (x - x == 0.0f && y - y == 0.0f && z - z == 0.0f) return;
    std::ostringstream os;
    os << method << ": the sun direction (sun_dir_x, sun_dir_y, sun_dir_z) = (" << x << ", " << y
       << ", " << z << ") must be finite";
    fail_value(os.str());
}

// Irradiances and radiances: finite (a NaN or an infinity would fill every
// primitive's result with it).
inline void check_finite(const char* method, const char* name, const float* values, int count) {
    if (values == nullptr) return;
    for (int i = 0; i < count; ++i) {
        if (values[i] - values[i] == 0.0f) continue;
        std::ostringstream os;
        os << method << ": " << name;
        if (count > 1) os << "[" << i << "]";
        os << " = " << values[i] << " must be finite";
        fail_value(os.str());
    }
}

// One albedo per primitive (and band), each in [0, 1].
inline void check_albedos(const char* method, const float* albedos, int32_t count,
                          long long expected, const char* expected_text) {
    if (albedos == nullptr || count <= 0) return;
    std::ostringstream os;
    if (count != expected) {
        os << method << ": sw_albedos holds " << count << " values; expected " << expected_text
           << " = " << expected;
        fail_value(os.str());
    }
    for (int32_t i = 0; i < count; ++i) {
        if (albedos[i] >= 0.0f && albedos[i] <= 1.0f) continue;  // false for NaN
        os << method << ": sw_albedos[" << i << "] = " << albedos[i]
           << "; expected a value in [0, 1]";
        fail_value(os.str());
    }
}

}  // namespace eb_detail

// The checks after the built check, in the order of the messages:
// primitives, samples, then band type, sun direction, irradiances and albedos.
inline void check_energy_balance(const EnergyBalanceParams& p, long long n_primitives) {
    if (n_primitives < 1) throw std::runtime_error("run_energy_balance: scene has 0 primitives");
    if (p.n_samples < 1) throw std::runtime_error("run_energy_balance: n_samples must be > 0");
    if (p.band_type != kEnergyBalanceShortwave && p.band_type != kEnergyBalanceLongwave)
        eb_detail::fail_value(
            "run_energy_balance: band_type must be 0 (short-wave) or 1 (long-wave); got " +
            std::to_string(p.band_type));
    eb_detail::check_sun_direction("run_energy_balance", p.sun_dir_x, p.sun_dir_y, p.sun_dir_z);
    eb_detail::check_finite("run_energy_balance", "sun_irradiance", &p.sun_irradiance, 1);
    eb_detail::check_finite("run_energy_balance", "sky_diffuse_radiance", &p.sky_diffuse_radiance, 1);
    eb_detail::check_finite("run_energy_balance", "sky_lw_radiance", &p.sky_lw_radiance, 1);
    eb_detail::check_albedos("run_energy_balance", p.sw_albedos, p.n_sw_albedos, n_primitives,
                                  "n_primitives");
}

inline void check_energy_balance(const EnergyBalanceMultibandParams& p, long long n_primitives) {
    if (n_primitives < 1)
        throw std::runtime_error("run_energy_balance_multiband: scene has 0 primitives");
    if (p.n_bands < 1)
        throw std::runtime_error("run_energy_balance_multiband: n_bands must be > 0");
    if (p.n_samples < 1)
        throw std::runtime_error("run_energy_balance_multiband: n_samples must be > 0");
    eb_detail::check_sun_direction("run_energy_balance_multiband", p.sun_dir_x, p.sun_dir_y,
                                   p.sun_dir_z);
    eb_detail::check_finite("run_energy_balance_multiband", "sun_irradiance", p.sun_irradiance, p.n_bands);
    eb_detail::check_finite("run_energy_balance_multiband", "sky_diffuse_radiance", p.sky_diffuse_radiance,
                            p.n_bands);
    const std::string what = "n_bands * n_primitives = " + std::to_string(p.n_bands) + " * " +
                             std::to_string(n_primitives);
    eb_detail::check_albedos("run_energy_balance_multiband", p.sw_albedos, p.n_sw_albedos,
                                  static_cast<long long>(p.n_bands) * n_primitives, what.c_str());
}

}  // namespace norvi
