// Simulator.simulate_microwave: the arguments of simulate_microwave_cpu
// turned into a MicrowaveParams record (bindings/microwave_args.h), one GPU
// run, the film shaped [height, width, n_channels].

#include "bindings/simulator_microwave.h"

#include "bindings/microwave_args.h"

namespace norvi::py_bind {

void register_simulator_microwave(py::module_& m) {
    auto cls = py::reinterpret_borrow<Class<Simulator, std::unique_ptr<Simulator>>>(m.attr("Simulator"));
    cls.def(
        "simulate_microwave",
        [](Simulator& sim, SceneManager& scene, float frequency, int n_channels, int spp, int max_depth,
           float air_temperature, bool include_atmosphere, float atm_tau, const FloatArray& mw_soil_params,
           const FloatArray& mw_veg_params, const FloatArray& mw_trunk_params, const IntArrayArg& material_map,
           const py::list& mw_veg_mueller_luts, const py::object& /*_mw_veg_lut_dims*/) {
            const MicrowaveParams p = microwave_params_from_args(
                frequency, n_channels, spp, max_depth, air_temperature, include_atmosphere, atm_tau,
                mw_soil_params, mw_veg_params, mw_trunk_params, material_map, mw_veg_mueller_luts);
            const std::vector<float> film = sim.simulate_microwave(scene, p);
            const SceneData sd = scene.get_scene_data();
            return make_array(film, {static_cast<py::ssize_t>(sd.sensor.height),
                                     static_cast<py::ssize_t>(sd.sensor.width),
                                     static_cast<py::ssize_t>(p.n_channels)});
        },
        py::arg("scene"), py::arg("frequency") = 1.4e9f, py::arg("n_channels").noconvert() = 2,
        py::arg("spp").noconvert() = 64, py::arg("max_depth").noconvert() = 8, py::arg("air_temperature") = 293.0f,
        py::arg("include_atmosphere") = true, py::arg("atm_tau") = 0.01f,
        py::arg("mw_soil_params") = py::array_t<float>(0), py::arg("mw_veg_params") = py::array_t<float>(0),
        py::arg("mw_trunk_params") = py::array_t<float>(0), py::arg("material_map") = py::array_t<int32_t>(0),
        py::arg("mw_veg_mueller_luts") = py::list(), py::arg("_mw_veg_lut_dims") = py::none(),
        "Run passive microwave simulation.\n\nReturns numpy array of shape [height, width, n_channels] with "
        "brightness temperature (K).\nn_channels: 1=total, 2=H+V, 4=full Stokes.\natm_tau: nadir atmospheric "
        "optical depth (0 = no atmosphere).\nmw_soil_params: float32[n_soil_mats, 10] with MwSoilParams "
        "fields.\nmw_trunk_params: float32[n_trunk_mats, 6] with MwTrunkParams fields (radius, moisture, "
        "temperature, axis_xyz).\nmaterial_map: int32[n_optical_mats] mapping optical \u2192 MW material index "
        "(-1 = none).");
}

}  // namespace norvi::py_bind
