// simulate_microwave_cpu and make_mw_phase_tables: passive microwave
// brightness temperature on the CPU scene, and the phase tables it reads.

#include <sstream>
#include <stdexcept>
#include <string>

#include "bindings/convert.h"
#include "bindings/microwave_args.h"
#include "bindings/registry.h"
#include "cpu/mw_tables.h"
#include "cpu/render_microwave.h"

namespace norvi::py_bind {

namespace {

// Rows of a 2-D parameter array with at least `min_cols` columns each.
void require_rows(const FloatArray& a, py::ssize_t min_cols, const char* what) {
    require_ndim(a, 2);
    if (a.shape(1) < min_cols) {
        std::ostringstream os;
        os << what << " must have at least " << min_cols << " columns per row, got " << a.shape(1);
        throw std::invalid_argument(os.str());
    }
}

std::vector<float> first_values(const FloatArray& a, std::size_t n) {
    return std::vector<float>(a.data(), a.data() + n);
}

void read_tables(const py::handle& item, std::size_t row, MicrowaveMaterial& m) {
    const std::string where = "mw_veg_mueller_luts[" + std::to_string(row) + "]";
    if (!(py::isinstance<py::tuple>(item) || py::isinstance<py::list>(item)) || py::len(item) != 3)
        throw std::invalid_argument(where + " must be None or a tuple (Mueller table, cts table, dphi table)");
    const py::sequence seq = py::reinterpret_borrow<py::sequence>(item);
    const FloatArray lut = py::cast<FloatArray>(seq[0]);
    const FloatArray cts = py::cast<FloatArray>(seq[1]);
    const FloatArray dphi = py::cast<FloatArray>(seq[2]);
    if (lut.ndim() != 5 || lut.shape(3) != 4 || lut.shape(4) != 4)
        throw std::runtime_error("mueller_lut must be 5-D (cti,cts,dphi,4,4)");
    const std::size_t n_ti = static_cast<std::size_t>(lut.shape(0));
    const std::size_t n_ts = static_cast<std::size_t>(lut.shape(1));
    const std::size_t n_ph = static_cast<std::size_t>(lut.shape(2));
    if (static_cast<std::size_t>(cts.size()) < n_ti * n_ts ||
        static_cast<std::size_t>(dphi.size()) < n_ti * n_ts * n_ph) {
        std::ostringstream os;
        os << where << ": the sampling tables hold " << cts.size() << " and " << dphi.size()
           << " values; the Mueller table of shape (" << n_ti << ", " << n_ts << ", " << n_ph
           << ", 4, 4) needs cti x cts = " << n_ti * n_ts << " and cti x cts x dphi = " << n_ti * n_ts * n_ph;
        throw std::invalid_argument(os.str());
    }
    m.cti = static_cast<int32_t>(n_ti);
    m.cts = static_cast<int32_t>(n_ts);
    m.dphi = static_cast<int32_t>(n_ph);
    m.mueller = first_values(lut, 16 * n_ti * n_ts * n_ph);
    m.cdf_cts = first_values(cts, n_ti * n_ts);
    m.cdf_dphi = first_values(dphi, n_ti * n_ts * n_ph);
}

}  // namespace

MicrowaveParams microwave_params_from_args(float frequency, int n_channels, int spp, int max_depth,
                                           float air_temperature, bool include_atmosphere, float atm_tau,
                                           const FloatArray& mw_soil_params, const FloatArray& mw_veg_params,
                                           const FloatArray& mw_trunk_params, const IntArrayArg& material_map,
                                           const py::list& mw_veg_mueller_luts) {
    MicrowaveParams p;
    p.frequency = frequency;
    p.n_channels = n_channels;
    p.spp = spp;
    p.max_depth = max_depth;
    p.air_temperature = air_temperature;
    p.atm_tau = atm_tau;
    p.include_atmosphere = include_atmosphere;

    if (mw_soil_params.size() > 0) {
        require_rows(mw_soil_params, MwSoilParams::kCount, "mw_soil_params");
        const auto a = mw_soil_params.unchecked<2>();
        for (py::ssize_t r = 0; r < a.shape(0); ++r) {
            MicrowaveMaterial m;
            m.type = kMwSoil;
            for (int k = 0; k < MwSoilParams::kCount; ++k) m.params[k] = a(r, k);
            p.materials.push_back(std::move(m));
        }
    }
    if (mw_veg_params.size() > 0) {
        require_rows(mw_veg_params, MwVegParams::kMinColumns, "mw_veg_params");
        const auto a = mw_veg_params.unchecked<2>();
        const py::ssize_t cols = a.shape(1);
        for (py::ssize_t r = 0; r < a.shape(0); ++r) {
            MicrowaveMaterial m;
            m.type = kMwVegetation;
            // Short rows repeat column 0 in the slots they lack.
            for (int k = 0; k < MwVegParams::kCount; ++k) m.params[k] = k < cols ? a(r, k) : a(r, 0);
            const std::size_t row = static_cast<std::size_t>(r);
            if (row < mw_veg_mueller_luts.size() && !mw_veg_mueller_luts[row].is_none())
                read_tables(mw_veg_mueller_luts[row], row, m);
            p.materials.push_back(std::move(m));
        }
    }
    if (mw_trunk_params.size() > 0) {
        require_rows(mw_trunk_params, MwTrunkParams::kCount, "mw_trunk_params");
        const auto a = mw_trunk_params.unchecked<2>();
        for (py::ssize_t r = 0; r < a.shape(0); ++r) {
            MicrowaveMaterial m;
            m.type = kMwTrunk;
            for (int k = 0; k < MwTrunkParams::kCount; ++k) m.params[k] = a(r, k);
            p.materials.push_back(std::move(m));
        }
    }
    const IntArray& map = material_map.values;
    if (map.size() > 0) {
        require_ndim(map, 1);
        require_exact(material_map, "material_map");
        p.material_map.assign(map.data(), map.data() + map.shape(0));
    }
    return p;
}

void register_simulate_microwave_cpu(py::module_& m) {
    def(m, "simulate_microwave_cpu",
        [](const embree::EmbreeSceneManager& scene, float frequency, int n_channels, int spp, int max_depth,
           float air_temperature, bool include_atmosphere, float atm_tau, const FloatArray& mw_soil_params,
           const FloatArray& mw_veg_params, const FloatArray& mw_trunk_params, const IntArrayArg& material_map,
           const py::list& mw_veg_mueller_luts, const py::object& /*_mw_veg_lut_dims*/) {
            const MicrowaveParams p = microwave_params_from_args(
                frequency, n_channels, spp, max_depth, air_temperature, include_atmosphere, atm_tau,
                mw_soil_params, mw_veg_params, mw_trunk_params, material_map, mw_veg_mueller_luts);
            const embree::MicrowaveResult r = embree::simulate_microwave_cpu(scene, p, 0, wrap_progress(py::none()));
            return make_array(r.image, {r.height, r.width, r.n_channels});
        },
        py::arg("scene"), py::arg("frequency") = 1.4e9f, py::arg("n_channels").noconvert() = 2,
        py::arg("spp").noconvert() = 64,
        py::arg("max_depth").noconvert() = 8, py::arg("air_temperature") = 293.0f,
        py::arg("include_atmosphere") = true,
        py::arg("atm_tau") = 0.01f, py::arg("mw_soil_params") = py::array_t<float>(0),
        py::arg("mw_veg_params") = py::array_t<float>(0), py::arg("mw_trunk_params") = py::array_t<float>(0),
        py::arg("material_map") = py::array_t<int32_t>(0), py::arg("mw_veg_mueller_luts") = py::list(),
        py::arg("_mw_veg_lut_dims") = py::none());

    def(m, "make_mw_phase_tables",
        [](const std::string& phase, int cti, int cts, int dphi) {
            MwPhaseKind kind;
            if (phase == "isotropic") kind = MwPhaseKind::Isotropic;
            else if (phase == "rayleigh") kind = MwPhaseKind::Rayleigh;
            else throw std::invalid_argument("make_mw_phase_tables: phase must be \"isotropic\" or \"rayleigh\", got \"" + phase + "\"");
            const MwPhaseTableSet t = make_mw_phase_tables(kind, cti, cts, dphi);
            return py::make_tuple(make_array(t.mueller, {cti, cts, dphi, 4, 4}), make_array(t.cdf_cts, {cti, cts}),
                                  make_array(t.cdf_dphi, {cti, cts, dphi}));
        },
        py::arg("phase") = "rayleigh", py::arg("cti").noconvert() = 32,
        py::arg("cts").noconvert() = 32, py::arg("dphi").noconvert() = 32);
}

}  // namespace norvi::py_bind
