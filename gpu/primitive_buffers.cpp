#include "gpu/primitive_buffers.h"

#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

#include "scene/vec_math.h"

namespace norvi {

namespace {

struct Vec3d {
    double x, y, z;
};

Vec3d to_d(float3 p) { return {p.x, p.y, p.z}; }

void check_triangle(const MeshView& mesh, std::size_t mesh_index, std::size_t t) {
    const int3 tri = mesh.indices[t];
    const long long n = static_cast<long long>(mesh.num_vertices);
    for (const int32_t v : {tri.x, tri.y, tri.z}) {
        if (v < 0 || v >= n) {
            throw std::invalid_argument("mesh " + std::to_string(mesh_index) + ": triangle " + std::to_string(t) +
                                        " has vertex index " + std::to_string(v) + " outside [0, " +
                                        std::to_string(n) + ")");
        }
    }
}

}  // namespace

PrimitiveBuffers derive_primitive_buffers(const std::vector<MeshView>& meshes,
                                          const std::vector<InstanceData>& instances) {
    PrimitiveBuffers out;
    out.instance_prim_offsets.reserve(instances.size() + 1);
    out.instance_prim_offsets.push_back(0);

    // Offsets first, so bad input is refused before anything is computed.
    long long total = 0;
    for (std::size_t k = 0; k < instances.size(); ++k) {
        const int32_t m = instances[k].mesh_index;
        if (m < 0 || static_cast<std::size_t>(m) >= meshes.size()) {
            throw std::invalid_argument("instance " + std::to_string(k) + ": mesh_index " + std::to_string(m) +
                                        " outside [0, " + std::to_string(meshes.size()) + ")");
        }
        total += static_cast<long long>(meshes[static_cast<std::size_t>(m)].num_triangles);
        if (total > std::numeric_limits<int32_t>::max()) {
            throw std::invalid_argument("instances: " + std::to_string(total) + " primitives up to instance " +
                                        std::to_string(k) + " exceed the 32-bit primitive offsets (at most " +
                                        std::to_string(std::numeric_limits<int32_t>::max()) + ")");
        }
        out.instance_prim_offsets.push_back(static_cast<int32_t>(total));
    }
    for (std::size_t m = 0; m < meshes.size(); ++m)
        for (std::size_t t = 0; t < meshes[m].num_triangles; ++t) check_triangle(meshes[m], m, t);

    const auto n = static_cast<std::size_t>(total);
    out.v0.resize(n);
    out.v1.resize(n);
    out.v2.resize(n);
    out.normals.resize(n);
    out.areas.resize(n);
    out.material_ids.resize(n);

    for (std::size_t k = 0; k < instances.size(); ++k) {
        const InstanceData& inst = instances[k];
        const MeshView& mesh = meshes[static_cast<std::size_t>(inst.mesh_index)];
        const auto base = static_cast<std::size_t>(out.instance_prim_offsets[k]);
        for (std::size_t t = 0; t < mesh.num_triangles; ++t) {
            const int3 tri = mesh.indices[t];
            const float3 p0 = xform_point(inst.transform, mesh.vertices[tri.x]);
            const float3 p1 = xform_point(inst.transform, mesh.vertices[tri.y]);
            const float3 p2 = xform_point(inst.transform, mesh.vertices[tri.z]);

            // Edge cross product in double: small triangles far from the
            // origin keep their area and normal.
            const Vec3d a = to_d(p0), b = to_d(p1), c = to_d(p2);
            const Vec3d e1{b.x - a.x, b.y - a.y, b.z - a.z};
            const Vec3d e2{c.x - a.x, c.y - a.y, c.z - a.z};
            const Vec3d cr{e1.y * e2.z - e1.z * e2.y, e1.z * e2.x - e1.x * e2.z, e1.x * e2.y - e1.y * e2.x};
            const double len = std::sqrt(cr.x * cr.x + cr.y * cr.y + cr.z * cr.z);

            const std::size_t i = base + t;
            out.v0[i] = p0;
            out.v1[i] = p1;
            out.v2[i] = p2;
            out.areas[i] = static_cast<float>(0.5 * len);
            out.normals[i] = len > kDegenerateCrossLength
                                 ? float3{static_cast<float>(cr.x / len), static_cast<float>(cr.y / len),
                                          static_cast<float>(cr.z / len)}
                                 : float3{0.0f, 0.0f, 1.0f};
            out.material_ids[i] = mesh.material_id;
        }
    }
    return out;
}

}  // namespace norvi
