// Simulator.run_energy_balance and Simulator.run_energy_balance_multiband:
// argument conversion and result shapes of the GPU energy-balance runs; the
// same conversions as the CPU functions run_energy_balance_cpu and
// run_energy_balance_multiband_cpu. Each has a private form over a range of
// primitives, for norvi.distributed.

#include "bindings/convert.h"
#include "bindings/registry.h"
#include "gpu/scene_manager.h"
#include "gpu/simulator.h"

namespace norvi::py_bind {

namespace {

// Adds `f` to the bound class `cls` as the method `name`.
template <typename F, typename... Extra>
void add_method(py::object& cls, const char* name, F&& f, const Extra&... extra) {
    cls.attr(name) = py::cpp_function(with_named_ints(name, true, std::forward<F>(f), extra...), py::name(name),
                                      py::is_method(cls),
                                      py::sibling(py::getattr(cls, name, py::none())), extra...);
}

}  // namespace

void register_simulator_energy_balance(py::module_& m) {
    py::object cls = m.attr("Simulator");
    add_method(
        cls, "run_energy_balance",
        [](Simulator& sim, SceneManager& scene, int band_type, int n_samples, float sun_irradiance,
           float sky_diffuse_radiance, float sky_lw_radiance, float sun_dir_x, float sun_dir_y, float sun_dir_z,
           bool two_sided, const py::object& sw_albedos) {
            const EnergyBalanceArgs args =
                energy_balance_args(band_type, n_samples, sun_irradiance, sky_diffuse_radiance, sky_lw_radiance,
                                    sun_dir_x, sun_dir_y, sun_dir_z, two_sided, sw_albedos);
            std::vector<float> top, bot;
            sim.run_energy_balance(scene, args.p, top, bot);
            return py::make_tuple(make_array(top, {static_cast<py::ssize_t>(top.size())}),
                                  make_array(bot, {static_cast<py::ssize_t>(bot.size())}));
        },
        py::arg("scene"), py::arg("band_type").noconvert() = 0, py::arg("n_samples").noconvert() = 64,
        py::arg("sun_irradiance") = 0.0f, py::arg("sky_diffuse_radiance") = 0.0f, py::arg("sky_lw_radiance") = 0.0f,
        py::arg("sun_dir_x") = 0.0f, py::arg("sun_dir_y") = 0.0f, py::arg("sun_dir_z") = 1.0f,
        py::arg("two_sided") = true, py::arg("sw_albedos") = py::none(),
        "Run the energy balance reverse RT kernel. Returns (top, bot) numpy arrays of length n_primitives. "
        "bot is empty when two_sided=False. sw_albedos: optional float32[n_primitives] for 2-bounce SW NEE.");

    add_method(
        cls, "run_energy_balance_multiband",
        [](Simulator& sim, SceneManager& scene, int n_bands, int n_samples, const FloatArray& sun_irradiance,
           const FloatArray& sky_diffuse_radiance, float sun_dir_x, float sun_dir_y, float sun_dir_z, bool two_sided,
           const py::object& sw_albedos) {
            const EnergyBalanceMultibandArgs args =
                energy_balance_multiband_args(n_bands, n_samples, sun_irradiance, sky_diffuse_radiance, sun_dir_x,
                                              sun_dir_y, sun_dir_z, two_sided, sw_albedos);
            std::vector<float> top, bot;
            sim.run_energy_balance_multiband(scene, args.p, top, bot);
            const auto nb = static_cast<py::ssize_t>(n_bands);
            const auto np = static_cast<py::ssize_t>(scene.n_primitives());
            return py::make_tuple(make_array(top, {nb, np}),
                                  bot.empty() ? make_array(bot, {0, 0}) : make_array(bot, {nb, np}));
        },
        py::arg("scene"), py::arg("n_bands").noconvert(), py::arg("n_samples").noconvert() = 64,
        py::arg("sun_irradiance") = py::array_t<float>(0), py::arg("sky_diffuse_radiance") = py::array_t<float>(0),
        py::arg("sun_dir_x") = 0.0f, py::arg("sun_dir_y") = 0.0f, py::arg("sun_dir_z") = 1.0f,
        py::arg("two_sided") = true, py::arg("sw_albedos") = py::none(),
        "Run multi-band energy balance reverse RT kernel (Phase 3.1). Returns (top, bot) numpy arrays of shape "
        "[n_bands, n_primitives]. bot is empty when two_sided=False. sw_albedos: flattened float32[n_bands * "
        "n_primitives] (SoA layout).");

    // The part forms: every argument by name, then the range of primitives
    // [first_primitive, first_primitive + primitive_count) (count < 0: to the
    // end); the outputs hold that range's values.
    add_method(
        cls, "_run_energy_balance_part",
        [](Simulator& sim, SceneManager& scene, int band_type, int n_samples, float sun_irradiance,
           float sky_diffuse_radiance, float sky_lw_radiance, float sun_dir_x, float sun_dir_y, float sun_dir_z,
           bool two_sided, const py::object& sw_albedos, long long first_primitive, long long primitive_count) {
            const EnergyBalanceArgs args =
                energy_balance_args(band_type, n_samples, sun_irradiance, sky_diffuse_radiance, sky_lw_radiance,
                                    sun_dir_x, sun_dir_y, sun_dir_z, two_sided, sw_albedos);
            std::vector<float> top, bot;
            sim.run_energy_balance(scene, args.p, top, bot, RunRange{first_primitive, primitive_count});
            return py::make_tuple(make_array(top, {static_cast<py::ssize_t>(top.size())}),
                                  make_array(bot, {static_cast<py::ssize_t>(bot.size())}));
        },
        py::arg("scene"), py::arg("band_type"), py::arg("n_samples"), py::arg("sun_irradiance"),
        py::arg("sky_diffuse_radiance"), py::arg("sky_lw_radiance"), py::arg("sun_dir_x"), py::arg("sun_dir_y"),
        py::arg("sun_dir_z"), py::arg("two_sided"), py::arg("sw_albedos"), py::arg("first_primitive"),
        py::arg("primitive_count"));
    add_method(
        cls, "_run_energy_balance_multiband_part",
        [](Simulator& sim, SceneManager& scene, int n_bands, int n_samples, const FloatArray& sun_irradiance,
           const FloatArray& sky_diffuse_radiance, float sun_dir_x, float sun_dir_y, float sun_dir_z, bool two_sided,
           const py::object& sw_albedos, long long first_primitive, long long primitive_count) {
            const EnergyBalanceMultibandArgs args =
                energy_balance_multiband_args(n_bands, n_samples, sun_irradiance, sky_diffuse_radiance, sun_dir_x,
                                              sun_dir_y, sun_dir_z, two_sided, sw_albedos);
            std::vector<float> top, bot;
            sim.run_energy_balance_multiband(scene, args.p, top, bot, RunRange{first_primitive, primitive_count});
            const auto nb = static_cast<py::ssize_t>(n_bands);
            const auto np = nb > 0 ? static_cast<py::ssize_t>(top.size()) / nb : 0;
            return py::make_tuple(make_array(top, {nb, np}),
                                  bot.empty() ? make_array(bot, {0, 0}) : make_array(bot, {nb, np}));
        },
        py::arg("scene"), py::arg("n_bands"), py::arg("n_samples"), py::arg("sun_irradiance"),
        py::arg("sky_diffuse_radiance"), py::arg("sun_dir_x"), py::arg("sun_dir_y"), py::arg("sun_dir_z"),
        py::arg("two_sided"), py::arg("sw_albedos"), py::arg("first_primitive"), py::arg("primitive_count"));
}

}  // namespace norvi::py_bind
