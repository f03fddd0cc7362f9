// EmbreeSceneManager: the CPU scene, with the same methods, arguments and
// defaults as the GPU SceneManager so scripts run on either back end.

#include <cmath>
#include <cstring>
#include <memory>
#include <string>

#include "bindings/convert.h"
#include "bindings/registry.h"
#include "bindings/scene_state_dict.h"
#include "scene/embree_scene.h"
#include "scene/input_checks.h"
#include "scene/scene_state.h"

namespace norvi::py_bind {

using embree::EmbreeSceneManager;

// SensorData from the set_sensor arguments: fov in degrees becomes radians,
// the first min(len, 16) cam_xform values fill the 4x4 in order.
// Every value that places a camera ray is checked: the footprint and the
// matrix within the coordinate range, the corners of an orthographic
// footprint too, and a field of view that opens (perspective: below 180
// degrees, fisheye: at most 360).
SensorData make_sensor_record(int type, int width, int height, float ortho_w, float ortho_h,
                              const FloatArray& cam_xform, float fov, int projection_type) {
    require_ndim(cam_xform, 1);
    require_coordinate(ortho_w, "set_sensor: ortho_w");
    require_coordinate(ortho_h, "set_sensor: ortho_h");
    require_finite(fov, "set_sensor: fov");
    const auto count = std::min<py::ssize_t>(cam_xform.shape(0), 16);
    for (py::ssize_t i = 0; i < count; ++i) {
        const std::string what = "set_sensor: cam_xform[" + std::to_string(i) + "]";
        require_coordinate(cam_xform.data()[i], what.c_str());
    }
    if (type == kSensorPerspective && !(fov > 0.0f && fov < 180.0f))
        throw std::invalid_argument("set_sensor: fov must lie in (0, 180) degrees for a perspective "
                                    "sensor; got " + py::repr(py::float_(fov)).cast<std::string>());
    if (type == kSensorFisheye && !(fov > 0.0f && fov <= 360.0f))
        throw std::invalid_argument("set_sensor: fov must lie in (0, 360] degrees for a fisheye "
                                    "sensor; got " + py::repr(py::float_(fov)).cast<std::string>());
    SensorData s;
    std::memset(&s, 0, sizeof(s));
    s.type = type;
    s.width = width;
    s.height = height;
    s.ortho_w = ortho_w;
    s.ortho_h = ortho_h;
    s.projection_type = projection_type;
    s.fov = fov * 3.1415927f / 180.0f;
    const auto n = std::min<py::ssize_t>(cam_xform.shape(0), 16);
    for (py::ssize_t i = 0; i < n; ++i) s.cam_xform[i] = cam_xform.data()[i];
    if (type == kSensorOrthographic) {
        const float* m = s.cam_xform;
        for (int corner = 0; corner < 4; ++corner) {
            const double cx = ((corner & 1) ? 0.5 : -0.5) * ortho_w;
            const double cy = ((corner & 2) ? 0.5 : -0.5) * ortho_h;
            for (int r = 0; r < 3; ++r) {
                const double w = m[4 * r] * cx + m[4 * r + 1] * cy + m[4 * r + 3];
                if (std::fabs(w) <= static_cast<double>(kMaxCoordinate)) continue;
                throw std::invalid_argument(
                    "set_sensor: the orthographic footprint (ortho_w x ortho_h) placed by cam_xform "
                    "must lie within 1e+09 of the origin; a corner lands at coordinate " +
                    py::repr(py::float_(w)).cast<std::string>());
            }
        }
    }
    return s;
}

static float3 first_three(const FloatArray& a, const char* what) {
    const std::vector<float> v = first_values_1d(a, 3, what);
    return {v[0], v[1], v[2]};
}

void register_embree_scene(py::module_& m) {
    Class<EmbreeSceneManager, std::unique_ptr<EmbreeSceneManager>>(
        m, "EmbreeSceneManager", py::release_gil_before_calling_cpp_dtor())
        .def(py::init<>())
        .def(
            "add_mesh",
            [](EmbreeSceneManager& s, const FloatArray& vertices, const FloatArray& normals,
               const IntArrayArg& indices, int material_id) {
                return s.add_mesh(to_float3_rows(vertices, "add_mesh: vertices"),
                                  to_float3_rows(normals, "add_mesh: normals"),
                                  to_int3_rows(indices, "add_mesh: indices"), material_id);
            },
            py::arg("vertices"), py::arg("normals"), py::arg("indices"),
            py::arg("material_id").noconvert() = 0)
        .def(
            "add_instance",
            [](EmbreeSceneManager& s, int mesh_id, float x, float y, float z, float scale) {
                return s.add_instance(mesh_id, x, y, z, scale);
            },
            py::arg("mesh_id").noconvert(), py::arg("x") = 0, py::arg("y") = 0, py::arg("z") = 0,
            py::arg("scale") = 1.0f)
        .def(
            "add_instance_xform",
            [](EmbreeSceneManager& s, int mesh_id, const FloatArray& xform) {
                const std::vector<float> m12 = first_values_1d(xform, 12, "add_instance_xform: xform");
                return s.add_instance(mesh_id, m12.data());
            },
            py::arg("mesh_id").noconvert(), py::arg("xform"))
        .def(
            "update_instance_transform",
            [](EmbreeSceneManager& s, int id, const FloatArray& xform) {
                const std::vector<float> m12 =
                    first_values_1d(xform, 12, "update_instance_transform: xform");
                s.update_instance_transform(id, m12.data());
            },
            py::arg("id").noconvert(), py::arg("xform"))
        .def("refit_ias", &EmbreeSceneManager::refit_ias)
        .def("set_num_bands", &EmbreeSceneManager::set_num_bands, py::arg().noconvert())
        .def(
            "add_material",
            [](EmbreeSceneManager& s, int type, int offset, const py::list& scalar_params) {
                const std::vector<float> params = list_to_floats(scalar_params, "add_material: scalar_params");
                const int id = s.add_material(static_cast<MaterialType>(type), offset);
                MaterialData& mat = s.material(id);
                for (std::size_t i = 0; i < params.size() && i < kMaterialParamsWritable; ++i)
                    mat.params[i] = params[i];
                return id;
            },
            py::arg("type").noconvert(), py::arg("offset").noconvert(),
            py::arg("scalar_params") = py::list())
        .def("upload_spectral_params",
             [](EmbreeSceneManager& s, const FloatArray& values) {
                 s.upload_spectral_params(to_vector_1d(values));
             })
        .def("set_emitter",
             [](EmbreeSceneManager& s, int type, const FloatArray& direction, int spectral_offset) {
                 s.set_emitter(static_cast<EmitterType>(type),
                               first_three(direction, "set_emitter: direction (arg1)"),
                               spectral_offset);
             },
             py::arg().noconvert(), py::arg(), py::arg().noconvert())
        .def("update_emitter_direction",
             [](EmbreeSceneManager& s, const FloatArray& direction) {
                 s.update_emitter_direction(
                     first_three(direction, "update_emitter_direction: direction (arg0)"));
             })
        .def(
            "set_sensor",
            [](EmbreeSceneManager& s, int type, int width, int height, float ortho_w, float ortho_h,
               const FloatArray& cam_xform, float fov, int projection_type, bool terrain_following) {
                s.set_sensor(make_sensor_record(type, width, height, ortho_w, ortho_h, cam_xform,
                                                fov, projection_type));
                s.set_terrain_following(terrain_following);
            },
            py::arg("type").noconvert(), py::arg("width").noconvert(),
            py::arg("height").noconvert(), py::arg("ortho_w"),
            py::arg("ortho_h"), py::arg("cam_xform"), py::arg("fov") = 60.0f,
            py::arg("projection_type").noconvert() = 0, py::arg("terrain_following") = false)
        .def("set_sky", &EmbreeSceneManager::set_sky, py::arg("spectral_offset").noconvert())
        .def(
            "set_hw_sky",
            [](EmbreeSceneManager& s, int spectral_offset, float sun_x, float sun_y, float sun_z) {
                s.set_hw_sky(spectral_offset, float3{sun_x, sun_y, sun_z});
            },
            py::arg("spectral_offset").noconvert(), py::arg("sun_x"), py::arg("sun_y"),
            py::arg("sun_z"))
        .def(
            "set_thermal_mode",
            [](EmbreeSceneManager& s, bool enabled, const py::list& wavelengths) {
                s.set_thermal_mode(enabled, list_to_floats(wavelengths, "set_thermal_mode: wavelengths"));
            },
            py::arg("enabled"), py::arg("wavelengths"))
        .def("set_repetitive", &EmbreeSceneManager::set_repetitive,
             py::arg("num_repetitions").noconvert(), py::arg("scene_x_size"),
             py::arg("scene_y_size"))
        .def("build", &EmbreeSceneManager::build)
        .def("is_built", &EmbreeSceneManager::is_built)
        .def("has_gpu_meshes", &EmbreeSceneManager::has_meshes)
        .def("clear_for_reuse", &EmbreeSceneManager::clear_for_reuse)
        .def("build_reuse_gas", &EmbreeSceneManager::build_reuse_gas)
        .def("total_triangles", &EmbreeSceneManager::total_triangles)
        .def("num_instances", &EmbreeSceneManager::num_instances)
        .def("max_height", [](const EmbreeSceneManager& s) { return s.bounds().top; })
        .def("min_height", [](const EmbreeSceneManager& s) { return s.bounds().bottom; })
        .def("aabb",
             [](const EmbreeSceneManager& s) {
                 const SceneBounds& b = s.bounds();
                 return py::make_tuple(py::make_tuple(b.x_min, b.y_min, b.bottom),
                                       py::make_tuple(b.x_max, b.y_max, b.top));
             })
        .def("set_measurement_plane", &EmbreeSceneManager::set_measurement_height,
             py::arg("height"))
        // Per-primitive data, as on the GPU scene (global primitive order).
        .def("n_primitives", &EmbreeSceneManager::n_primitives)
        .def("get_primitive_areas",
             [](const EmbreeSceneManager& s) {
                 const std::vector<float> a = s.primitive_areas();
                 return make_array(a, {static_cast<py::ssize_t>(a.size())});
             })
        .def("get_primitive_mat_ids",
             [](const EmbreeSceneManager& s) {
                 const std::vector<int32_t> ids = s.primitive_material_ids();
                 return make_int_array(ids.data(), {static_cast<py::ssize_t>(ids.size())});
             })
        .def(
            "set_primitive_temperatures",
            [](EmbreeSceneManager& s, const FloatArray& temperatures) {
                if (temperatures.ndim() != 1) throw std::runtime_error("temperatures must be 1D");
                s.set_primitive_temperatures(to_vector_1d(temperatures));
            },
            py::arg("temperatures"))
        .def("clear_primitive_temperatures", &EmbreeSceneManager::clear_primitive_temperatures)
        .def("get_primitive_temperatures",
             [](const EmbreeSceneManager& s) {
                 const std::vector<float>& t = s.primitive_temperatures();
                 return make_array(t, {static_cast<py::ssize_t>(t.size())});
             })
        .def(
            "set_primitive_emissivities",
            [](EmbreeSceneManager& s, const FloatArray& emissivities) {
                if (emissivities.ndim() != 1) throw std::runtime_error("emissivities must be 1D");
                s.set_primitive_emissivities(to_vector_1d(emissivities));
            },
            py::arg("emissivities"))
        .def("clear_primitive_emissivities", &EmbreeSceneManager::clear_primitive_emissivities)
        .def("get_primitive_emissivities", [](const EmbreeSceneManager& s) {
            const std::vector<float>& e = s.primitive_emissivities();
            return make_array(e, {static_cast<py::ssize_t>(e.size())});
        })
        // The state: a dictionary of arrays holding everything the scene was
        // given (scene_state_dict.cpp); it is also what pickling carries.
        .def("get_state", [](const EmbreeSceneManager& s) { return state_to_dict(scene_state(s)); })
        .def_static("from_state",
                    [](const py::dict& state) { return scene_from_state(state_from_dict(state)); },
                    py::arg("state"))
        .def(py::pickle(
            [](const EmbreeSceneManager& s) { return state_to_dict(scene_state(s)); },
            [](const py::dict& state) { return scene_from_state(state_from_dict(state)); }));
}

}  // namespace norvi::py_bind
