// Per-primitive view of the CPU scene: the global primitive order, world
// triangles, areas, material ids, and the per-primitive temperatures and
// emissivities read by the energy balance. The same order and the same
// messages as the GPU scene's per-primitive buffers.

#include <limits>
#include <sstream>
#include <stdexcept>

#include "scene/embree_scene.h"
#include "scene/vec_math.h"

namespace norvi::embree {

void EmbreeSceneManager::compute_prim_offsets_() {
    prim_offsets_.assign(1, 0);
    prim_offsets_.reserve(instances_.size() + 1);
    for (const EmbreeInstance& inst : instances_)
        prim_offsets_.push_back(
            prim_offsets_.back() +
            static_cast<long long>(meshes_[static_cast<std::size_t>(inst.mesh_id)].indices.size()));
}

void EmbreeSceneManager::primitive_vertices(int inst, int tri, float3& v0, float3& v1,
                                            float3& v2) const {
    const EmbreeInstance& in = instances_[static_cast<std::size_t>(inst)];
    const EmbreeMesh& m = meshes_[static_cast<std::size_t>(in.mesh_id)];
    const int3 t = m.indices[static_cast<std::size_t>(tri)];
    v0 = xform_point(in.xform, m.vertices[static_cast<std::size_t>(t.x)]);
    v1 = xform_point(in.xform, m.vertices[static_cast<std::size_t>(t.y)]);
    v2 = xform_point(in.xform, m.vertices[static_cast<std::size_t>(t.z)]);
}

std::vector<float> EmbreeSceneManager::primitive_areas() const {
    std::vector<float> areas;
    areas.reserve(static_cast<std::size_t>(n_primitives()));
    const int ni = static_cast<int>(prim_offsets_.empty() ? 0 : prim_offsets_.size() - 1);
    for (int k = 0; k < ni; ++k) {
        const int nt = static_cast<int>(prim_offsets_[static_cast<std::size_t>(k) + 1] -
                                        prim_offsets_[static_cast<std::size_t>(k)]);
        for (int t = 0; t < nt; ++t) {
            float3 v0, v1, v2;
            primitive_vertices(k, t, v0, v1, v2);
            areas.push_back(0.5f * length(cross(v1 - v0, v2 - v0)));
        }
    }
    return areas;
}

std::vector<int32_t> EmbreeSceneManager::primitive_material_ids() const {
    std::vector<int32_t> ids;
    ids.reserve(static_cast<std::size_t>(n_primitives()));
    for (std::size_t k = 0; k + 1 < prim_offsets_.size(); ++k)
        ids.insert(ids.end(), static_cast<std::size_t>(prim_offsets_[k + 1] - prim_offsets_[k]),
                   instance_info_[k].material_id);
    return ids;
}

namespace {

void check_primitive_values(const char* method, const std::vector<float>& values,
                            long long n_primitives, float upper, const char* range_text) {
    if (static_cast<long long>(values.size()) != n_primitives) {
        std::ostringstream os;
        os << method << ": array length " << values.size() << " does not match n_primitives() = "
           << n_primitives;
        throw std::runtime_error(os.str());
    }
    for (std::size_t i = 0; i < values.size(); ++i) {
        const float v = values[i];
        if (v >= 0.0f && v <= upper) continue;  // false for NaN
        std::ostringstream os;
        os << method << ": value " << i << " is " << v << "; expected " << range_text;
        throw std::invalid_argument(os.str());
    }
}

}  // namespace

void EmbreeSceneManager::set_primitive_temperatures(const std::vector<float>& values) {
    check_primitive_values("set_primitive_temperatures", values, n_primitives(),
                           std::numeric_limits<float>::max(), "a finite temperature >= 0 K");
    prim_temperatures_ = values;
}

void EmbreeSceneManager::set_primitive_emissivities(const std::vector<float>& values) {
    check_primitive_values("set_primitive_emissivities", values, n_primitives(), 1.0f,
                           "an emissivity in [0, 1]");
    prim_emissivities_ = values;
}

}  // namespace norvi::embree
