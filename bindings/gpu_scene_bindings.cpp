// SceneManager (the GPU scene) and Simulator: the same scene methods,
// arguments and defaults as EmbreeSceneManager, then the GPU-only methods.

#include <dlfcn.h>

#include <cstring>
#include <memory>
#include <string>

#include "bindings/convert.h"
#include "bindings/registry.h"
#include "bindings/scene_state_dict.h"
#include "bindings/simulator_microwave.h"
#include "gpu/optix_context.h"
#include "gpu/scene_manager.h"
#include "gpu/scene_manager_state.h"
#include "gpu/simulator.h"

namespace norvi::py_bind {

namespace {

float3 first_three(const FloatArray& a, const char* what) {
    const std::vector<float> v = first_values_1d(a, 3, what);
    return {v[0], v[1], v[2]};
}

}  // namespace

void register_gpu_scene(py::module_& m) {
    Class<SceneManager, std::unique_ptr<SceneManager>>(m, "SceneManager", py::dynamic_attr(),
                                                            py::release_gil_before_calling_cpp_dtor())
        // The scene keeps a reference to its context: the context object
        // stays alive as long as the scene.
        .def(py::init<OptiXContext&>(), py::keep_alive<1, 2>())
        .def(
            "add_mesh",
            [](SceneManager& s, const FloatArray& vertices, const FloatArray& normals, const IntArrayArg& indices,
               int material_id) {
                return s.add_mesh(to_float3_rows(vertices, "add_mesh: vertices"),
                                  to_float3_rows(normals, "add_mesh: normals"),
                                  to_int3_rows(indices, "add_mesh: indices"), material_id);
            },
            py::arg("vertices"), py::arg("normals"), py::arg("indices"), py::arg("material_id").noconvert() = 0)
        .def(
            "add_instance",
            [](SceneManager& s, int mesh_id, float x, float y, float z, float scale) {
                return s.add_instance(mesh_id, x, y, z, scale);
            },
            py::arg("mesh_id").noconvert(), py::arg("x") = 0, py::arg("y") = 0, py::arg("z") = 0,
            py::arg("scale") = 1.0f)
        .def(
            "add_instance_xform",
            [](SceneManager& s, int mesh_id, const FloatArray& xform) {
                const std::vector<float> m12 = first_values_1d(xform, 12, "add_instance_xform: xform");
                return s.add_instance(mesh_id, m12.data());
            },
            py::arg("mesh_id").noconvert(), py::arg("xform"))
        .def(
            "update_instance_transform",
            [](SceneManager& s, int id, const FloatArray& xform) {
                const std::vector<float> m12 = first_values_1d(xform, 12, "update_instance_transform: xform");
                s.update_instance_transform(id, m12.data());
            },
            py::arg("id").noconvert(), py::arg("xform"))
        .def("refit_ias", &SceneManager::refit_ias)
        .def("set_num_bands", &SceneManager::set_num_bands, py::arg().noconvert())
        .def("clear_for_reuse", &SceneManager::clear_for_reuse)
        .def("build_reuse_gas", &SceneManager::build_reuse_gas)
        .def("has_gpu_meshes", &SceneManager::has_gpu_meshes)
        .def(
            "add_material",
            [](SceneManager& s, int type, int offset, const py::list& scalar_params) {
                const std::vector<float> params = list_to_floats(scalar_params, "add_material: scalar_params");
                const int id = s.add_material(static_cast<MaterialType>(type), offset);
                MaterialData& mat = s.material(id);
                for (std::size_t i = 0; i < params.size() && i < kMaterialParamsWritable; ++i)
                    mat.params[i] = params[i];
                return id;
            },
            py::arg("type").noconvert(), py::arg("offset").noconvert(), py::arg("scalar_params") = py::list())
        .def("upload_spectral_params",
             [](SceneManager& s, const FloatArray& values) { s.upload_spectral_params(to_vector_1d(values)); })
        .def("set_emitter",
             [](SceneManager& s, int type, const FloatArray& direction, int spectral_offset) {
                 s.set_emitter(static_cast<EmitterType>(type), first_three(direction, "set_emitter: direction (arg1)"),
                               spectral_offset);
             },
             py::arg().noconvert(), py::arg(), py::arg().noconvert())
        .def("update_emitter_direction",
             [](SceneManager& s, const FloatArray& direction) {
                 s.update_emitter_direction(first_three(direction, "update_emitter_direction: direction (arg0)"));
             })
        .def(
            "set_sensor",
            [](SceneManager& s, int type, int width, int height, float ortho_w, float ortho_h,
               const FloatArray& cam_xform, float fov, int projection_type, bool terrain_following) {
                s.set_sensor(make_sensor_record(type, width, height, ortho_w, ortho_h, cam_xform, fov,
                                                projection_type));
                s.set_terrain_following(terrain_following);
            },
            py::arg("type").noconvert(), py::arg("width").noconvert(), py::arg("height").noconvert(),
            py::arg("ortho_w"), py::arg("ortho_h"), py::arg("cam_xform"), py::arg("fov") = 60.0f,
            py::arg("projection_type").noconvert() = 0, py::arg("terrain_following") = false)
        .def("set_sky", &SceneManager::set_sky, py::arg("spectral_offset").noconvert())
        .def(
            "set_hw_sky",
            [](SceneManager& s, int spectral_offset, float sun_x, float sun_y, float sun_z) {
                s.set_hw_sky(spectral_offset, float3{sun_x, sun_y, sun_z});
            },
            py::arg("spectral_offset").noconvert(), py::arg("sun_x"), py::arg("sun_y"), py::arg("sun_z"))
        .def("set_repetitive", &SceneManager::set_repetitive, py::arg("num_repetitions").noconvert(),
             py::arg("scene_x_size"), py::arg("scene_y_size"))
        .def("build", &SceneManager::build)
        .def("is_built", &SceneManager::is_built)
        .def("total_triangles", &SceneManager::total_triangles)
        .def("num_instances", &SceneManager::num_instances)
        .def("max_height", &SceneManager::max_height)
        .def("min_height", &SceneManager::min_height)
        .def("aabb",
             [](const SceneManager& s) {
                 return py::make_tuple(py::make_tuple(s.x_min(), s.y_min(), s.min_height()),
                                       py::make_tuple(s.x_max(), s.y_max(), s.max_height()));
             })
        .def("set_measurement_plane", &SceneManager::set_measurement_height, py::arg("height"))
        .def(
            "set_thermal_mode",
            [](SceneManager& s, bool enabled, const py::list& wavelengths) {
                s.set_thermal_mode(enabled, list_to_floats(wavelengths, "set_thermal_mode: wavelengths"));
            },
            py::arg("enabled"), py::arg("wavelengths"))
        // GPU-only methods.
        .def(
            "update_spectral_params",
            [](SceneManager& s, int offset, const FloatArray& values) {
                s.update_spectral_params(offset, to_vector_1d(values));
            },
            py::arg().noconvert(), py::arg())
        .def(
            "n_primitives", [](const SceneManager& s) { return s.n_primitives(); },
            "Total triangle count across all instances (after build).")
        .def(
            "get_primitive_areas",
            [](const SceneManager& s) {
                const std::vector<float>& a = s.primitive_areas();
                return make_array(a, {static_cast<py::ssize_t>(a.size())});
            },
            "Return per-primitive areas (m²) as a numpy array.")
        .def(
            "get_primitive_mat_ids",
            [](const SceneManager& s) {
                const std::vector<int32_t>& ids = s.primitive_material_ids();
                return make_int_array(ids.data(), {static_cast<py::ssize_t>(ids.size())});
            },
            "Return per-primitive material IDs as a numpy array.")
        .def(
            "set_primitive_temperatures",
            [](SceneManager& s, const FloatArray& temperatures) {
                require_ndim(temperatures, 1);
                s.set_primitive_temperatures(to_vector_1d(temperatures));
            },
            py::arg("temperatures"),
            "Upload per-primitive temperatures (K). Length must equal n_primitives(). Closesthit thermal mode "
            "reads these in preference to mat.params[2..4] when set.")
        .def("clear_primitive_temperatures", &SceneManager::clear_primitive_temperatures,
             "Clear the per-primitive temperature override (kernel reverts to mat.params[2..4]).")
        .def(
            "get_primitive_temperatures",
            [](const SceneManager& s) {
                const std::vector<float>& t = s.primitive_temperatures();
                return make_array(t, {static_cast<py::ssize_t>(t.size())});
            },
            "Return host-side per-primitive temperatures (mostly for testing).")
        .def(
            "set_primitive_emissivities",
            [](SceneManager& s, const FloatArray& emissivities) {
                require_ndim(emissivities, 1);
                s.set_primitive_emissivities(to_vector_1d(emissivities));
            },
            py::arg("emissivities"),
            "Upload per-primitive longwave emissivities. Length must equal n_primitives(). Used by the EB "
            "reverse-RT kernel for ε in the Lambertian emission term ε σ T⁴ / π.")
        .def("clear_primitive_emissivities", &SceneManager::clear_primitive_emissivities,
             "Clear the per-primitive emissivity override.")
        .def(
            "set_primitive_sif_spectra",
            [](SceneManager& s, const FloatArray& spectra, int n_sif_bands) {
                require_ndim(spectra, 1);
                s.set_primitive_sif_spectra(to_vector_1d(spectra), n_sif_bands);
            },
            py::arg("spectra"), py::arg("n_sif_bands").noconvert(),
            "Upload per-primitive SIF emission spectra. spectra: float32[n_sif_bands * n_primitives] SoA "
            "(band-major). After upload, the backward kernel emits SIF from each hit primitive.")
        .def("clear_primitive_sif_spectra", &SceneManager::clear_primitive_sif_spectra,
             "Clear the per-primitive SIF emission spectra.")
        .def("set_sif_only_mode", &SceneManager::set_sif_only_mode, py::arg("enabled"),
             "Enable/disable SIF-only mode. When true the backward kernel returns pure SIF emission and "
             "suppresses optical reflectance (BSDF/NEE/sky).")
        // The state: the CPU scene's dictionary (scene_state_dict.cpp) plus
        // the SIF fields. A pickle carries the state, not the context: it
        // unpickles onto a new OptiXContext (device 0 of the process), kept
        // in the new scene's attribute _context.
        .def("get_state", [](const SceneManager& s) { return state_to_dict(scene_state(s)); })
        .def_static(
            "from_state",
            [](OptiXContext& ctx, const py::dict& state) { return scene_from_state(ctx, state_from_dict(state)); },
            py::arg("ctx"), py::arg("state"), py::keep_alive<0, 1>())
        .def_property_readonly(
            "context", [](const SceneManager& s) -> OptiXContext& { return s.context(); },
            py::return_value_policy::reference, "The OptiXContext the scene lives on.")
        .def(py::pickle([](const SceneManager& s) { return state_to_dict(scene_state(s)); },
                        [](const py::dict& state) {
                            const SceneState parsed = state_from_dict(state);  // refused before a context is made
                            py::object ctx = py::type::of<OptiXContext>()(0);
                            py::dict attrs;
                            attrs["_context"] = ctx;
                            return std::make_pair(scene_from_state(ctx.cast<OptiXContext&>(), parsed), attrs);
                        }));
}

void register_simulator(py::module_& m) {
    Class<Simulator, std::unique_ptr<Simulator>>(m, "Simulator", py::release_gil_before_calling_cpp_dtor())
        .def(py::init<OptiXContext&, const std::string&>(), py::keep_alive<1, 2>())
        .def("init", &Simulator::init)
        .def(
            "simulate",
            [](Simulator& sim, SceneManager& scene, int spp, int max_depth, const py::object& progress) {
                // Called between passes, also without a callable: Ctrl-C stops the run there.
                const std::vector<float> film = sim.simulate(scene, spp, max_depth, wrap_progress(progress));
                const SceneData sd = scene.get_scene_data();
                return make_array(film, {static_cast<py::ssize_t>(sd.sensor.height),
                                         static_cast<py::ssize_t>(sd.sensor.width),
                                         static_cast<py::ssize_t>(sd.num_bands)});
            },
            py::arg("scene"), py::arg("spp").noconvert() = 16, py::arg("max_depth").noconvert() = 16,
            py::arg("progress") = py::none());
    register_simulator_photon_modes(m);
    register_simulator_microwave(m);  // Simulator.simulate_microwave
    register_simulator_energy_balance(m);
}

// The folder of the PTX files: the module's own folder, where they are
// installed, unless the build names another.
void register_ptx_dir(py::module_& m) {
#ifdef NORVI_PTX_DIR_OVERRIDE
    m.attr("PTX_DIR") = NORVI_PTX_DIR_OVERRIDE;
#else
    Dl_info info{};
    std::string dir;
    if (dladdr(reinterpret_cast<void*>(&register_ptx_dir), &info) && info.dli_fname) {
        dir = info.dli_fname;
        const std::size_t slash = dir.rfind('/');
        dir = slash == std::string::npos ? std::string(".") : dir.substr(0, slash);
    }
    m.attr("PTX_DIR") = dir;
#endif
}

}  // namespace norvi::py_bind
