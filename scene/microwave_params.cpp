#include <cmath>
#include <cstring>
#include <sstream>
#include <stdexcept>

#include "physics/mw_dielectric.h"
#include "scene/microwave_types.h"

namespace norvi {

MwMaterialRecord make_mw_material_record(const MicrowaveMaterial& m, const float* mueller,
                                         const float* cdf_cts, const float* cdf_dphi) {
    MwMaterialRecord r;
    std::memset(&r, 0, sizeof(r));
    r.type = m.type;
    if (m.type == kMwSoil) {
        for (int k = 0; k < 8; ++k) r.params[k] = m.params[k];
        r.soil.param9 = m.params[8];
        r.soil.model = static_cast<int32_t>(m.params[9]);
    } else if (m.type == kMwVegetation) {
        for (int k = 0; k < 8; ++k) r.params[k] = m.params[k];
        if (!m.mueller.empty()) {
            r.mueller = mueller;
            r.cdf_cts = cdf_cts;
            r.cdf_dphi = cdf_dphi;
            r.cti = m.cti;
            r.cts = m.cts;
            r.dphi = m.dphi;
        }
    } else if (m.type == kMwTrunk) {
        for (int k = 0; k < 6; ++k) r.params[k] = m.params[k];
    }
    return r;
}

namespace {

[[noreturn]] void fail(const char* engine, const std::string& what) {
    throw std::invalid_argument(std::string(engine) + ": " + what);
}

template <class T>
std::string text(const T& v) {
    std::ostringstream os;
    os << v;
    return os.str();
}

// Value `col` of material `i` must lie in [lo, hi].
void require_range(const char* engine, const char* rows, std::size_t row, const MicrowaveMaterial& m,
                   int col, const char* name, double lo, double hi) {
    const double v = m.params[col];
    if (!(v >= lo && v <= hi))
        fail(engine, std::string(rows) + " row " + text(row) + ": " + name + " (column " + text(col) +
                         ") must lie in [" + text(lo) + ", " + text(hi) + "], got " + text(v));
}

void check_tables(const char* engine, std::size_t row, const MicrowaveMaterial& m) {
    if (m.mueller.empty()) return;
    const std::string where = "mw_veg_mueller_luts[" + text(row) + "]: ";
    if (m.cti < 1 || m.cts < 1 || m.dphi < 1)
        fail(engine, where + "table dimensions (cti, cts, dphi) must be at least 1, got (" + text(m.cti) +
                         ", " + text(m.cts) + ", " + text(m.dphi) + ")");
    const std::size_t cells = std::size_t(m.cti) * std::size_t(m.cts) * std::size_t(m.dphi);
    if (m.mueller.size() < 16 * cells)
        fail(engine, where + "the Mueller table holds " + text(m.mueller.size()) + " values, " +
                         text(16 * cells) + " needed (16 per cell)");
    if (m.cdf_cts.size() < std::size_t(m.cti) * std::size_t(m.cts))
        fail(engine, where + "the cts table holds " + text(m.cdf_cts.size()) + " values, cti x cts = " +
                         text(std::size_t(m.cti) * std::size_t(m.cts)) + " needed");
    if (m.cdf_dphi.size() < cells)
        fail(engine, where + "the dphi table holds " + text(m.cdf_dphi.size()) +
                         " values, cti x cts x dphi = " + text(cells) + " needed");
}

}  // namespace

void validate_microwave_params(const MicrowaveParams& p, const char* engine) {
    if (p.n_channels != 1 && p.n_channels != 2 && p.n_channels != 4)
        fail(engine, "n_channels must be 1 (total), 2 (H, V) or 4 (full Stokes), got " + text(p.n_channels));
    if (p.spp < 1) fail(engine, "spp must be at least 1, got " + text(p.spp));
    if (p.max_depth < 1) fail(engine, "max_depth must be at least 1, got " + text(p.max_depth));
    if (!(std::isfinite(p.frequency) && p.frequency > 0.0f))
        fail(engine, "frequency must be a positive number of Hz, got " + text(p.frequency));
    if (!(std::isfinite(p.air_temperature) && p.air_temperature >= 0.0f))
        fail(engine, "air_temperature must be a finite temperature >= 0 K, got " + text(p.air_temperature));
    if (!(std::isfinite(p.atm_tau) && p.atm_tau >= 0.0f))
        fail(engine, "atm_tau must be a finite optical depth >= 0, got " + text(p.atm_tau));

    constexpr double kBig = 1e30;
    std::size_t soil = 0, veg = 0, trunk = 0;
    for (const MicrowaveMaterial& m : p.materials) {
        if (m.type == kMwSoil) {
            const std::size_t r = soil++;
            require_range(engine, "mw_soil_params", r, m, MwSoilParams::kMoisture, "volumetric moisture", 0.0, 1.0);
            require_range(engine, "mw_soil_params", r, m, MwSoilParams::kSand, "sand fraction", 0.0, 1.0);
            require_range(engine, "mw_soil_params", r, m, MwSoilParams::kClay, "clay fraction", 0.0, 1.0);
            require_range(engine, "mw_soil_params", r, m, MwSoilParams::kTemperature, "temperature [K]", 0.0, kBig);
            require_range(engine, "mw_soil_params", r, m, MwSoilParams::kRoughnessH, "HQN h", 0.0, kBig);
            require_range(engine, "mw_soil_params", r, m, MwSoilParams::kRoughnessQ, "HQN Q", 0.0, 1.0);
            require_range(engine, "mw_soil_params", r, m, MwSoilParams::kRoughnessNH, "HQN N_H", -kBig, kBig);
            require_range(engine, "mw_soil_params", r, m, MwSoilParams::kRoughnessNV, "HQN N_V", -kBig, kBig);
            const float code = m.params[MwSoilParams::kModel];
            const int model = std::isfinite(code) && std::fabs(code) < 1e6f ? static_cast<int>(code) : -1;
            if (model != kMwDobson && model != kMwMironov && model != kMwDobsonPeplinski)
                fail(engine, "mw_soil_params row " + text(r) +
                                 ": dielectric model (column 9) must be 0 (Dobson 1985), 1 (Mironov 2009) "
                                 "or 2 (Dobson with the Peplinski 1995 correction), got " + text(code));
            // Only the Dobson forms read the bulk density, which cannot exceed the grains' 2.66.
            if (model != kMwMironov)
                require_range(engine, "mw_soil_params", r, m, MwSoilParams::kBulkDensity, "bulk density [g/cm^3]",
                              0.01, 2.66);
        } else if (m.type == kMwVegetation) {
            const std::size_t r = veg++;
            require_range(engine, "mw_veg_params", r, m, MwVegParams::kTemperature, "temperature [K]", 0.0, kBig);
            require_range(engine, "mw_veg_params", r, m, MwVegParams::kExtinction, "extinction coefficient [1/m]", 0.0, kBig);
            require_range(engine, "mw_veg_params", r, m, MwVegParams::kAlbedo, "single-scattering albedo", 0.0, 1.0);
            check_tables(engine, r, m);
        } else if (m.type == kMwTrunk) {
            const std::size_t r = trunk++;
            require_range(engine, "mw_trunk_params", r, m, MwTrunkParams::kMoisture, "gravimetric moisture", 0.0, 1.0);
            require_range(engine, "mw_trunk_params", r, m, MwTrunkParams::kTemperature, "temperature [K]", 0.0, kBig);
        } else {
            fail(engine, "microwave material type must be 1 (soil), 2 (vegetation) or 3 (trunk), got " + text(m.type));
        }
    }
    const long long n = static_cast<long long>(p.materials.size());
    for (std::size_t i = 0; i < p.material_map.size(); ++i) {
        const int32_t v = p.material_map[i];
        if (v < -1 || v >= n)
            fail(engine, "material_map[" + text(i) + "] = " + text(v) + " names no microwave material (" +
                             text(n) + " given: soil rows, then vegetation rows, then trunk rows; -1 for none)");
    }
}

}  // namespace norvi
