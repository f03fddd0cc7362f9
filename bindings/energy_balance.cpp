// run_energy_balance_cpu and run_energy_balance_multiband_cpu: the CPU
// energy-balance engines on an EmbreeSceneManager, with the arguments,
// defaults, checks and result layouts of the GPU Simulator methods. The
// module of parts (norvi._parts) gets both with first_primitive and
// primitive_count, the range of primitives one call computes; they run with
// the interpreter lock released.

#include "bindings/convert.h"
#include "bindings/registry.h"
#include "cpu/energy_balance.h"

namespace norvi::py_bind {

using embree::EmbreeSceneManager;

namespace {

py::tuple single_band(const EmbreeSceneManager& scene, int band_type, int n_samples,
                      float sun_irradiance, float sky_diffuse_radiance, float sky_lw_radiance,
                      float sun_dir_x, float sun_dir_y, float sun_dir_z, bool two_sided,
                      const py::object& sw_albedos, embree::PrimitiveRange prims,
                      bool release_gil) {
    const EnergyBalanceArgs args =
        energy_balance_args(band_type, n_samples, sun_irradiance, sky_diffuse_radiance, sky_lw_radiance, sun_dir_x,
                            sun_dir_y, sun_dir_z, two_sided, sw_albedos);
    const EnergyBalanceParams& p = args.p;
    const ProgressFn check_signals = wrap_progress(py::none());
    const embree::EnergyBalanceResult r = call_engine(
        release_gil, [&] { return embree::run_energy_balance_cpu(scene, p, 0, prims, check_signals); });
    return py::make_tuple(make_array(r.top, {static_cast<py::ssize_t>(r.top.size())}),
                          make_array(r.bot, {static_cast<py::ssize_t>(r.bot.size())}));
}

py::tuple multiband(const EmbreeSceneManager& scene, int n_bands, int n_samples,
                    const FloatArray& sun_irradiance, const FloatArray& sky_diffuse_radiance,
                    float sun_dir_x, float sun_dir_y, float sun_dir_z, bool two_sided,
                    const py::object& sw_albedos, embree::PrimitiveRange prims,
                    bool release_gil) {
    const EnergyBalanceMultibandArgs args =
        energy_balance_multiband_args(n_bands, n_samples, sun_irradiance, sky_diffuse_radiance, sun_dir_x,
                                      sun_dir_y, sun_dir_z, two_sided, sw_albedos);
    const EnergyBalanceMultibandParams& p = args.p;
    const ProgressFn check_signals = wrap_progress(py::none());
    const embree::EnergyBalanceResult r = call_engine(
        release_gil, [&] { return embree::run_energy_balance_multiband_cpu(scene, p, 0, prims, check_signals); });
    const auto nb = static_cast<py::ssize_t>(r.n_bands);
    const auto np = static_cast<py::ssize_t>(r.n_primitives);
    py::array_t<float> bot = r.bot.empty() ? make_array(r.bot, {0, 0}) : make_array(r.bot, {nb, np});
    return py::make_tuple(make_array(r.top, {nb, np}), bot);
}

}  // namespace

#define NORVI_EB_ARGS                                                                       \
    py::arg("scene"), py::arg("band_type").noconvert() = 0,                                 \
        py::arg("n_samples").noconvert() = 64,                                              \
        py::arg("sun_irradiance") = 0.0f, py::arg("sky_diffuse_radiance") = 0.0f,           \
        py::arg("sky_lw_radiance") = 0.0f, py::arg("sun_dir_x") = 0.0f,                     \
        py::arg("sun_dir_y") = 0.0f, py::arg("sun_dir_z") = 1.0f, py::arg("two_sided") = true, \
        py::arg("sw_albedos") = py::none()

#define NORVI_EB_MULTIBAND_ARGS                                                             \
    py::arg("scene"), py::arg("n_bands").noconvert(), py::arg("n_samples").noconvert() = 64, \
        py::arg("sun_irradiance") = py::array_t<float>(0),                                  \
        py::arg("sky_diffuse_radiance") = py::array_t<float>(0), py::arg("sun_dir_x") = 0.0f, \
        py::arg("sun_dir_y") = 0.0f, py::arg("sun_dir_z") = 1.0f, py::arg("two_sided") = true, \
        py::arg("sw_albedos") = py::none()

void register_energy_balance_cpu(py::module_& m) {
    def(m, "run_energy_balance_cpu",
        [](const EmbreeSceneManager& scene, int band_type, int n_samples, float sun_irradiance,
           float sky_diffuse_radiance, float sky_lw_radiance, float sun_dir_x, float sun_dir_y,
           float sun_dir_z, bool two_sided, const py::object& sw_albedos) {
            return single_band(scene, band_type, n_samples, sun_irradiance, sky_diffuse_radiance,
                               sky_lw_radiance, sun_dir_x, sun_dir_y, sun_dir_z, two_sided,
                               sw_albedos, {}, false);
        },
        NORVI_EB_ARGS);
    def(m, "run_energy_balance_multiband_cpu",
        [](const EmbreeSceneManager& scene, int n_bands, int n_samples,
           const FloatArray& sun_irradiance, const FloatArray& sky_diffuse_radiance,
           float sun_dir_x, float sun_dir_y, float sun_dir_z, bool two_sided,
           const py::object& sw_albedos) {
            return multiband(scene, n_bands, n_samples, sun_irradiance, sky_diffuse_radiance,
                             sun_dir_x, sun_dir_y, sun_dir_z, two_sided, sw_albedos, {}, false);
        },
        NORVI_EB_MULTIBAND_ARGS);
}

void register_energy_balance_parts(py::module_& m) {
    def(m, "run_energy_balance_cpu",
        [](const EmbreeSceneManager& scene, int band_type, int n_samples, float sun_irradiance,
           float sky_diffuse_radiance, float sky_lw_radiance, float sun_dir_x, float sun_dir_y,
           float sun_dir_z, bool two_sided, const py::object& sw_albedos,
           long long first_primitive, long long primitive_count) {
            return single_band(scene, band_type, n_samples, sun_irradiance, sky_diffuse_radiance,
                               sky_lw_radiance, sun_dir_x, sun_dir_y, sun_dir_z, two_sided,
                               sw_albedos, {first_primitive, primitive_count}, true);
        },
        NORVI_EB_ARGS, py::arg("first_primitive").noconvert() = 0,
        py::arg("primitive_count").noconvert() = -1);
    def(m, "run_energy_balance_multiband_cpu",
        [](const EmbreeSceneManager& scene, int n_bands, int n_samples,
           const FloatArray& sun_irradiance, const FloatArray& sky_diffuse_radiance,
           float sun_dir_x, float sun_dir_y, float sun_dir_z, bool two_sided,
           const py::object& sw_albedos, long long first_primitive, long long primitive_count) {
            return multiband(scene, n_bands, n_samples, sun_irradiance, sky_diffuse_radiance,
                             sun_dir_x, sun_dir_y, sun_dir_z, two_sided, sw_albedos,
                             {first_primitive, primitive_count}, true);
        },
        NORVI_EB_MULTIBAND_ARGS, py::arg("first_primitive").noconvert() = 0,
        py::arg("primitive_count").noconvert() = -1);
}

}  // namespace norvi::py_bind
