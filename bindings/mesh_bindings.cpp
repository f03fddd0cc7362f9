// make_ground_plane, make_sphere, make_cylinder.

#include "bindings/convert.h"
#include "bindings/registry.h"
#include "scene/mesh_generators.h"

namespace norvi::py_bind {

namespace {

py::dict mesh_to_dict(const MeshData& mesh) {
    const auto nv = static_cast<py::ssize_t>(mesh.vertices.size());
    const auto nt = static_cast<py::ssize_t>(mesh.indices.size());
    py::dict d;
    d["vertices"] = make_array(reinterpret_cast<const float*>(mesh.vertices.data()), {nv, 3});
    d["normals"] = make_array(reinterpret_cast<const float*>(mesh.normals.data()), {nv, 3});
    d["indices"] = make_int_array(reinterpret_cast<const int32_t*>(mesh.indices.data()), {nt, 3});
    return d;
}

}  // namespace

void register_mesh_generators(py::module_& m) {
    def(m, "make_ground_plane",
        [](float half_w, float half_h, int /*material_id*/) {
            return mesh_to_dict(make_ground_plane(half_w, half_h));
        },
        py::arg("half_w") = 50.0f, py::arg("half_h") = 50.0f,
        py::arg("material_id").noconvert() = 0);
    def(m, "make_sphere",
        [](float radius, const FloatArray& center, int subdivisions) {
            const std::vector<float> c = first_values_1d(center, 3, "make_sphere: center");
            return mesh_to_dict(make_sphere(radius, float3{c[0], c[1], c[2]}, subdivisions));
        },
        py::arg("radius"), py::arg("center"), py::arg("subdivisions").noconvert() = 2);
    def(m, "make_cylinder",
        [](float radius, float height, int segments) {
            return mesh_to_dict(make_cylinder(radius, height, segments));
        },
        py::arg("radius"), py::arg("height"), py::arg("segments").noconvert() = 8);
}

}  // namespace norvi::py_bind
