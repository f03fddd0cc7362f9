#include "scene/mesh_generators.h"

#include <cmath>
#include <sstream>
#include <stdexcept>
#include <string>

#include "scene/input_checks.h"

namespace norvi {

MeshData make_ground_plane(float half_w, float half_h) {
    require_coordinate(half_w, "make_ground_plane: half_w");
    require_coordinate(half_h, "make_ground_plane: half_h");
    MeshData m;
    const float w = half_w, h = half_h;
    m.vertices = {{-w, -h, 0.0f}, {w, -h, 0.0f}, {w, h, 0.0f}, {-w, h, 0.0f}};
    m.normals.assign(4, float3{0.0f, 0.0f, 1.0f});
    m.indices = {{0, 1, 2}, {0, 2, 3}};
    return m;
}

namespace {

float3 unit(float3 p) {
    const float len = std::sqrt(p.x * p.x + p.y * p.y + p.z * p.z);
    return {p.x / len, p.y / len, p.z / len};
}

float3 midpoint_on_sphere(float3 a, float3 b) {
    return unit({(a.x + b.x) * 0.5f, (a.y + b.y) * 0.5f, (a.z + b.z) * 0.5f});
}

// A mesh of `vertices` vertices and `triangles` triangles: its indices must
// fit in 32 bits, and the mesh, its copy for the caller and `extra_bytes` of
// working storage in memory.
void check_mesh_size(double vertices, double triangles, double extra_bytes, const char* what,
                     const char* count_name, long long count) {
    if (vertices > 2147483647.0) {
        std::ostringstream os;
        os << what << ": " << count_name << " " << count << " gives " << vertices
           << " vertices, more than 32-bit indices can address";
        throw std::invalid_argument(os.str());
    }
    const double mesh_bytes = vertices * 2.0 * 12.0 + triangles * 12.0;  // float3, int3 rows
    require_memory(2.0 * mesh_bytes + extra_bytes, what);
}

}  // namespace

MeshData make_sphere(float radius, float3 center, int subdivisions) {
    require_coordinate(radius, "make_sphere: radius");
    require_point(center, "make_sphere: center");
    const float phi = 1.618034f;
    const float n = std::sqrt(3.6180341f);
    const float3 base[12] = {{-1, phi, 0}, {1, phi, 0}, {-1, -phi, 0}, {1, -phi, 0},
                             {0, -1, phi}, {0, 1, phi}, {0, -1, -phi}, {0, 1, -phi},
                             {phi, 0, -1}, {phi, 0, 1}, {-phi, 0, -1}, {-phi, 0, 1}};
    std::vector<float3> unit_vertices;
    for (const float3& p : base) unit_vertices.push_back({p.x / n, p.y / n, p.z / n});
    std::vector<int3> faces = {{0, 11, 5}, {0, 5, 1},  {0, 1, 7},   {0, 7, 10}, {0, 10, 11},
                               {1, 5, 9},  {5, 11, 4}, {11, 10, 2}, {10, 7, 6}, {7, 1, 8},
                               {3, 9, 4},  {3, 4, 2},  {3, 2, 6},   {3, 6, 8},  {3, 8, 9},
                               {4, 9, 5},  {2, 4, 11}, {6, 2, 10},  {8, 6, 7},  {9, 8, 1}};
    if (subdivisions > 0) {
        const double triangles = 20.0 * std::pow(4.0, subdivisions);
        check_mesh_size(12.0 + 20.0 * (std::pow(4.0, subdivisions) - 1.0), triangles,
                        0.25 * triangles * 12.0, "make_sphere", "subdivisions", subdivisions);
    }

    for (int level = 0; level < subdivisions; ++level) {
        std::vector<int3> next;
        next.reserve(faces.size() * 4);
        unit_vertices.reserve(unit_vertices.size() + faces.size() * 3);
        for (const int3& f : faces) {
            const float3 pa = unit_vertices[static_cast<std::size_t>(f.x)];
            const float3 pb = unit_vertices[static_cast<std::size_t>(f.y)];
            const float3 pc = unit_vertices[static_cast<std::size_t>(f.z)];
            const int ab = static_cast<int>(unit_vertices.size());
            unit_vertices.push_back(midpoint_on_sphere(pa, pb));
            const int bc = ab + 1;
            unit_vertices.push_back(midpoint_on_sphere(pb, pc));
            const int ca = ab + 2;
            unit_vertices.push_back(midpoint_on_sphere(pc, pa));
            next.push_back({f.x, ab, ca});
            next.push_back({f.y, bc, ab});
            next.push_back({f.z, ca, bc});
            next.push_back({ab, bc, ca});
        }
        faces = std::move(next);
    }

    MeshData m;
    m.vertices.reserve(unit_vertices.size());
    for (const float3& p : unit_vertices)
        m.vertices.push_back(
            {center.x + radius * p.x, center.y + radius * p.y, center.z + radius * p.z});
    m.normals = std::move(unit_vertices);
    m.indices = std::move(faces);
    return m;
}

MeshData make_cylinder(float radius, float height, int segments) {
    require_coordinate(radius, "make_cylinder: radius");
    require_coordinate(height, "make_cylinder: height");
    if (segments == 0)
        throw std::invalid_argument("make_cylinder: segments must be at least 1; got 0");
    MeshData m;
    if (segments < 0) return m;
    check_mesh_size(2.0 * (segments + 1.0), 2.0 * segments, 0.0, "make_cylinder", "segments", segments);
    const float r = radius;
    for (int i = 0; i <= segments; ++i) {
        const float theta = static_cast<float>(i) * 6.2831855f / static_cast<float>(segments);
        const float s = std::sin(theta), c = std::cos(theta);
        m.vertices.push_back({r * c, r * s, 0.0f});
        m.normals.push_back({c, s, 0.0f});
        m.vertices.push_back({r * c, r * s, height});
        m.normals.push_back({c, s, 0.0f});
    }
    for (int k = 0; k <= 2 * segments - 2; k += 2) {
        m.indices.push_back({k, k + 2, k + 1});
        m.indices.push_back({k + 1, k + 2, k + 3});
    }
    return m;
}

}  // namespace norvi
