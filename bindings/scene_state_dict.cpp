// Scene state <-> dictionary. Version 2 fields (M meshes, I instances,
// K materials):
//   format_version           int, 2 (version 1 states, without the three SIF
//                            fields, are still read: no SIF)
//   mesh_vertices            float32 (sum of vertex counts, 3), meshes in order
//   mesh_vertex_counts       int64 (M,)
//   mesh_normals             float32 (sum of normal counts, 3)
//   mesh_normal_counts       int64 (M,), each 0 or the mesh's vertex count
//   mesh_indices             int32 (sum of triangle counts, 3), per mesh, zero-based
//   mesh_triangle_counts     int64 (M,)
//   mesh_material_ids        int32 (M,)
//   instance_mesh_ids        int32 (I,)
//   instance_xforms          float32 (I, 12), row-major 3x4
//   material_types           int32 (K,)
//   material_spectral_offsets int32 (K,)
//   material_params          float32 (K, 19)
//   spectral_params          float32 (S,)
//   num_bands                int
//   emitter_type, emitter_spectral_offset  int;  emitter_direction  float32 (3,)
//   sensor_type, sensor_width, sensor_height, sensor_projection_type  int
//   sensor_cam_xform         float32 (16,);  sensor_fov (radians), sensor_ortho_w,
//                            sensor_ortho_h  float
//   terrain_following        bool
//   sky_offset, hw_sky_offset  int;  hw_sky_sun  float32 (3,)
//   num_repetitions          int;  scene_x_size, scene_y_size  float
//   thermal_mode             bool;  thermal_wavelengths  float32 (W,)
//   measurement_height       float
//   primitive_temperatures   float32 (P,) or (0,): per primitive [K], global
//   primitive_emissivities   float32 (P,) or (0,)  primitive order; empty: none
//   primitive_sif_spectra    float32 (n_sif_bands * P,) or (0,), band-major  } GPU
//   n_sif_bands              int;  sif_only  bool                             } scene only
//   built                    bool
// Scalars may also come as 0-d arrays or NumPy scalars (what numpy.load gives).

#include "bindings/scene_state_dict.h"

#include <pybind11/numpy.h>

#include <cstdint>
#include <cstring>
#include <iomanip>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

namespace norvi::py_bind {

namespace py = pybind11;

namespace {

template <typename T>
py::array_t<T> copy_array(const T* values, std::vector<py::ssize_t> shape) {
    py::array_t<T> a(shape);
    if (a.size() > 0)
        std::memcpy(a.mutable_data(), values, static_cast<std::size_t>(a.size()) * sizeof(T));
    return a;
}

template <typename Triple>
py::array_t<typename std::conditional<std::is_same<Triple, float3>::value, float, int32_t>::type>
stack_rows(const std::vector<SceneMeshState>& meshes, std::vector<Triple> SceneMeshState::*field,
           std::vector<int64_t>& counts) {
    using T = typename std::conditional<std::is_same<Triple, float3>::value, float, int32_t>::type;
    std::vector<Triple> all;
    for (const SceneMeshState& m : meshes) {
        counts.push_back(static_cast<int64_t>((m.*field).size()));
        all.insert(all.end(), (m.*field).begin(), (m.*field).end());
    }
    return copy_array(reinterpret_cast<const T*>(all.data()),
                      {static_cast<py::ssize_t>(all.size()), 3});
}

// Reads the fields of one state dictionary, remembering which were used.
class FieldReader {
public:
    explicit FieldReader(const py::dict& d) : d_(d) {}
    int version = kSceneStateVersion;

    py::object get(const char* key) {
        used_.insert(key);
        if (!d_.contains(key)) fail(key, "is missing");
        return d_[key];
    }

    [[noreturn]] static void fail(const std::string& key, const std::string& what) {
        throw std::invalid_argument("scene state: field '" + key + "' " + what);
    }

    // An array of exactly this kind ('f', 'i') and item size, with ndim
    // dimensions and, when cols >= 0, that many columns.
    template <typename T>
    py::array_t<T, py::array::c_style | py::array::forcecast> array(const char* key, int ndim,
                                                                    py::ssize_t cols,
                                                                    const char* expected) {
        const py::object obj = get(key);
        py::array a = py::array::ensure(obj);
        const bool want_float = std::is_floating_point<T>::value;
        bool ok = a && a.ndim() == ndim && a.dtype().kind() == (want_float ? 'f' : 'i') &&
                  a.dtype().itemsize() == static_cast<py::ssize_t>(sizeof(T));
        if (ok && cols >= 0) ok = a.shape(ndim - 1) == cols;
        if (!ok) {
            std::string got =
                "an object of type " + std::string(py::str(py::type::of(obj).attr("__name__")));
            if (a) {
                std::ostringstream os;
                os << "a " << std::string(py::str(a.dtype())) << " array of shape (";
                for (py::ssize_t i = 0; i < a.ndim(); ++i) os << (i ? ", " : "") << a.shape(i);
                os << (a.ndim() == 1 ? ",)" : ")");
                got = os.str();
            }
            fail(key, std::string("must be ") + expected + "; got " + got);
        }
        return py::array_t<T, py::array::c_style | py::array::forcecast>::ensure(a);
    }

    // A 0-d value: Python or NumPy scalar, or a 0-d array; kind 'i', 'f' or 'b'.
    py::object scalar(const char* key, char kind) {
        const py::object obj = get(key);
        py::array a = py::array::ensure(obj);
        const char k = a ? a.dtype().kind() : '?';
        const bool ok =
            a && a.ndim() == 0 &&
            (k == kind || (kind == 'i' && k == 'u') || (kind == 'f' && (k == 'i' || k == 'u')));
        if (!ok) {
            const char* name = kind == 'i' ? "an integer" : kind == 'f' ? "a number" : "a bool";
            fail(key, std::string("must be ") + name + "; got " + std::string(py::repr(obj)));
        }
        return a.attr("item")();
    }
    int integer(const char* key) {
        const long long v = scalar(key, 'i').cast<long long>();
        if (v < INT32_MIN || v > INT32_MAX)
            fail(key, "is out of the 32-bit range: " + std::to_string(v));
        return static_cast<int>(v);
    }
    float real(const char* key) { return static_cast<float>(scalar(key, 'f').cast<double>()); }
    bool flag(const char* key) { return scalar(key, 'b').cast<bool>(); }

    void refuse_unknown() const {
        for (const auto& item : d_) {
            const std::string key = py::str(item.first);
            if (!used_.count(key))
                fail(key, "is not a field of scene state version " + std::to_string(version));
        }
    }

private:
    const py::dict& d_;
    std::set<std::string> used_;
};

// Counts that split `total` rows into one slice per mesh.
std::vector<int64_t> read_counts(FieldReader& r, const char* key, py::ssize_t meshes,
                                 py::ssize_t total, const char* rows_key) {
    const auto a = r.array<int64_t>(key, 1, meshes, "an int64 array with one count per mesh");
    std::vector<int64_t> counts(a.data(), a.data() + a.size());
    // Summed in double, which no count can wrap around to the right total.
    double sum = 0.0;
    for (int64_t c : counts) {
        if (c < 0) FieldReader::fail(key, "holds a negative count " + std::to_string(c));
        sum += static_cast<double>(c);
    }
    if (sum != static_cast<double>(total)) {
        std::ostringstream os;
        os << std::fixed << std::setprecision(0) << "adds up to " << sum << " rows, but '"
           << rows_key << "' has " << total;
        FieldReader::fail(key, os.str());
    }
    return counts;
}

}  // namespace

py::dict state_to_dict(const SceneState& s) {
    py::dict d;
    d["format_version"] = kSceneStateVersion;
    std::vector<int64_t> nv, nn, nt;
    std::vector<int32_t> mesh_materials;
    for (const SceneMeshState& m : s.meshes) mesh_materials.push_back(m.material_id);
    d["mesh_vertices"] = stack_rows(s.meshes, &SceneMeshState::vertices, nv);
    d["mesh_vertex_counts"] = copy_array(nv.data(), {static_cast<py::ssize_t>(nv.size())});
    d["mesh_normals"] = stack_rows(s.meshes, &SceneMeshState::normals, nn);
    d["mesh_normal_counts"] = copy_array(nn.data(), {static_cast<py::ssize_t>(nn.size())});
    d["mesh_indices"] = stack_rows(s.meshes, &SceneMeshState::indices, nt);
    d["mesh_triangle_counts"] = copy_array(nt.data(), {static_cast<py::ssize_t>(nt.size())});
    d["mesh_material_ids"] =
        copy_array(mesh_materials.data(), {static_cast<py::ssize_t>(mesh_materials.size())});

    const auto ni = static_cast<py::ssize_t>(s.instances.size());
    std::vector<int32_t> inst_mesh;
    std::vector<float> xforms;
    for (const SceneInstanceState& i : s.instances) {
        inst_mesh.push_back(i.mesh_id);
        xforms.insert(xforms.end(), i.xform, i.xform + 12);
    }
    d["instance_mesh_ids"] = copy_array(inst_mesh.data(), {ni});
    d["instance_xforms"] = copy_array(xforms.data(), {ni, 12});

    const auto nm = static_cast<py::ssize_t>(s.materials.size());
    std::vector<int32_t> types, offsets;
    std::vector<float> params;
    for (const MaterialData& m : s.materials) {
        types.push_back(static_cast<int32_t>(m.type));
        offsets.push_back(m.spectral_offset);
        params.insert(params.end(), m.params, m.params + kMaterialParamSlots);
    }
    d["material_types"] = copy_array(types.data(), {nm});
    d["material_spectral_offsets"] = copy_array(offsets.data(), {nm});
    d["material_params"] = copy_array(params.data(), {nm, kMaterialParamSlots});

    d["spectral_params"] =
        copy_array(s.spectral.data(), {static_cast<py::ssize_t>(s.spectral.size())});
    d["num_bands"] = s.num_bands;
    d["emitter_type"] = static_cast<int>(s.emitter.type);
    d["emitter_direction"] = copy_array(&s.emitter.direction.x, {3});
    d["emitter_spectral_offset"] = s.emitter.spectral_offset;
    d["sensor_type"] = s.sensor.type;
    d["sensor_width"] = s.sensor.width;
    d["sensor_height"] = s.sensor.height;
    d["sensor_cam_xform"] = copy_array(s.sensor.cam_xform, {16});
    d["sensor_fov"] = s.sensor.fov;
    d["sensor_ortho_w"] = s.sensor.ortho_w;
    d["sensor_ortho_h"] = s.sensor.ortho_h;
    d["sensor_projection_type"] = s.sensor.projection_type;
    d["terrain_following"] = s.terrain_following;
    d["sky_offset"] = s.sky_offset;
    d["hw_sky_offset"] = s.hw_sky_offset;
    d["hw_sky_sun"] = copy_array(&s.hw_sky_sun.x, {3});
    d["num_repetitions"] = s.num_repetitions;
    d["scene_x_size"] = s.scene_x_size;
    d["scene_y_size"] = s.scene_y_size;
    d["thermal_mode"] = s.thermal_mode;
    d["thermal_wavelengths"] = copy_array(s.thermal_wavelengths.data(),
                                          {static_cast<py::ssize_t>(s.thermal_wavelengths.size())});
    d["measurement_height"] = s.measurement_height;
    d["primitive_temperatures"] = copy_array(
        s.primitive_temperatures.data(), {static_cast<py::ssize_t>(s.primitive_temperatures.size())});
    d["primitive_emissivities"] = copy_array(
        s.primitive_emissivities.data(), {static_cast<py::ssize_t>(s.primitive_emissivities.size())});
    d["primitive_sif_spectra"] = copy_array(
        s.primitive_sif_spectra.data(), {static_cast<py::ssize_t>(s.primitive_sif_spectra.size())});
    d["n_sif_bands"] = s.n_sif_bands;
    d["sif_only"] = s.sif_only;
    d["built"] = s.built;
    return d;
}

SceneState state_from_dict(const py::dict& d) {
    FieldReader r(d);
    const int version = r.integer("format_version");
    if (version < 1 || version > kSceneStateVersion)
        FieldReader::fail(
            "format_version",
            "is " + std::to_string(version) + "; this NORVI reads versions 1 to " +
                std::to_string(kSceneStateVersion) +
                (version > kSceneStateVersion ? " (the state comes from a newer NORVI)" : ""));
    r.version = version;
    SceneState s;

    const auto verts = r.array<float>("mesh_vertices", 2, 3, "a float32 array of shape (N, 3)");
    const auto norms = r.array<float>("mesh_normals", 2, 3, "a float32 array of shape (N, 3)");
    const auto idx = r.array<int32_t>("mesh_indices", 2, 3, "an int32 array of shape (N, 3)");
    const auto mats = r.array<int32_t>("mesh_material_ids", 1, -1, "an int32 array of shape (M,)");
    const py::ssize_t nm = mats.shape(0);
    const auto nv = read_counts(r, "mesh_vertex_counts", nm, verts.shape(0), "mesh_vertices");
    const auto nn = read_counts(r, "mesh_normal_counts", nm, norms.shape(0), "mesh_normals");
    const auto nt = read_counts(r, "mesh_triangle_counts", nm, idx.shape(0), "mesh_indices");
    const auto* vp = reinterpret_cast<const float3*>(verts.data());
    const auto* np_ = reinterpret_cast<const float3*>(norms.data());
    const auto* ip = reinterpret_cast<const int3*>(idx.data());
    for (py::ssize_t i = 0; i < nm; ++i) {
        const auto k = static_cast<std::size_t>(i);
        if (nn[k] != 0 && nn[k] != nv[k])
            FieldReader::fail("mesh_normal_counts", "gives mesh " + std::to_string(i) + " " +
                                                        std::to_string(nn[k]) + " normals for " +
                                                        std::to_string(nv[k]) +
                                                        " vertices (0 or one per vertex)");
        SceneMeshState m;
        m.vertices.assign(vp, vp + nv[k]);
        m.normals.assign(np_, np_ + nn[k]);
        m.indices.assign(ip, ip + nt[k]);
        m.material_id = mats.data()[i];
        vp += nv[k];
        np_ += nn[k];
        ip += nt[k];
        s.meshes.push_back(std::move(m));
    }

    const auto inst = r.array<int32_t>("instance_mesh_ids", 1, -1, "an int32 array of shape (I,)");
    const auto xf = r.array<float>("instance_xforms", 2, 12, "a float32 array of shape (I, 12)");
    if (xf.shape(0) != inst.shape(0))
        FieldReader::fail("instance_xforms", "has " + std::to_string(xf.shape(0)) + " rows for " +
                                                 std::to_string(inst.shape(0)) + " instances");
    for (py::ssize_t i = 0; i < inst.shape(0); ++i) {
        SceneInstanceState is;
        is.mesh_id = inst.data()[i];
        std::memcpy(is.xform, xf.data() + 12 * i, sizeof(is.xform));
        s.instances.push_back(is);
    }

    const auto types = r.array<int32_t>("material_types", 1, -1, "an int32 array of shape (K,)");
    const auto offs = r.array<int32_t>("material_spectral_offsets", 1, types.shape(0),
                                       "an int32 array with one offset per material type");
    const auto params = r.array<float>("material_params", 2, kMaterialParamSlots,
                                       "a float32 array of shape (K, 19)");
    if (params.shape(0) != types.shape(0))
        FieldReader::fail("material_params", "has " + std::to_string(params.shape(0)) +
                                                 " rows for " + std::to_string(types.shape(0)) +
                                                 " materials");
    for (py::ssize_t i = 0; i < types.shape(0); ++i) {
        MaterialData m;
        std::memset(&m, 0, sizeof(m));
        m.type = static_cast<MaterialType>(types.data()[i]);
        m.spectral_offset = offs.data()[i];
        std::memcpy(m.params, params.data() + kMaterialParamSlots * i, sizeof(m.params));
        s.materials.push_back(m);
    }

    const auto spec = r.array<float>("spectral_params", 1, -1, "a float32 array of shape (S,)");
    s.spectral.assign(spec.data(), spec.data() + spec.size());
    s.num_bands = r.integer("num_bands");

    std::memset(&s.emitter, 0, sizeof(s.emitter));
    s.emitter.type = static_cast<EmitterType>(r.integer("emitter_type"));
    const auto dir = r.array<float>("emitter_direction", 1, 3, "a float32 array of shape (3,)");
    s.emitter.direction = {dir.data()[0], dir.data()[1], dir.data()[2]};
    s.emitter.spectral_offset = r.integer("emitter_spectral_offset");

    std::memset(&s.sensor, 0, sizeof(s.sensor));
    s.sensor.type = r.integer("sensor_type");
    s.sensor.width = r.integer("sensor_width");
    s.sensor.height = r.integer("sensor_height");
    const auto cam = r.array<float>("sensor_cam_xform", 1, 16, "a float32 array of shape (16,)");
    std::memcpy(s.sensor.cam_xform, cam.data(), sizeof(s.sensor.cam_xform));
    s.sensor.fov = r.real("sensor_fov");
    s.sensor.ortho_w = r.real("sensor_ortho_w");
    s.sensor.ortho_h = r.real("sensor_ortho_h");
    s.sensor.projection_type = r.integer("sensor_projection_type");
    s.terrain_following = r.flag("terrain_following");

    s.sky_offset = r.integer("sky_offset");
    s.hw_sky_offset = r.integer("hw_sky_offset");
    const auto sun = r.array<float>("hw_sky_sun", 1, 3, "a float32 array of shape (3,)");
    s.hw_sky_sun = {sun.data()[0], sun.data()[1], sun.data()[2]};
    s.num_repetitions = r.integer("num_repetitions");
    s.scene_x_size = r.real("scene_x_size");
    s.scene_y_size = r.real("scene_y_size");
    s.thermal_mode = r.flag("thermal_mode");
    const auto wl = r.array<float>("thermal_wavelengths", 1, -1, "a float32 array of shape (W,)");
    s.thermal_wavelengths.assign(wl.data(), wl.data() + wl.size());
    s.measurement_height = r.real("measurement_height");
    const auto temps =
        r.array<float>("primitive_temperatures", 1, -1, "a float32 array of shape (P,) or (0,)");
    s.primitive_temperatures.assign(temps.data(), temps.data() + temps.size());
    const auto emis =
        r.array<float>("primitive_emissivities", 1, -1, "a float32 array of shape (P,) or (0,)");
    s.primitive_emissivities.assign(emis.data(), emis.data() + emis.size());
    if (version >= 2) {
        const auto sif = r.array<float>("primitive_sif_spectra", 1, -1,
                                        "a float32 array of shape (n_sif_bands * P,) or (0,)");
        s.primitive_sif_spectra.assign(sif.data(), sif.data() + sif.size());
        s.n_sif_bands = r.integer("n_sif_bands");
        s.sif_only = r.flag("sif_only");
    }
    s.built = r.flag("built");
    r.refuse_unknown();
    return s;
}

}  // namespace norvi::py_bind
