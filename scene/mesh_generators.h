#pragma once
// Procedural meshes in the layout add_mesh takes: terrain planes, icosphere
// crowns and open cylinder trunks. Triangles wind counter-clockwise seen from
// the side the normals point to.

#include <vector>

#include "scene/types.h"

namespace norvi {

struct MeshData {
    std::vector<float3> vertices;
    std::vector<float3> normals;  // one unit normal per vertex
    std::vector<int3> indices;
};

// Rectangle [-half_w, half_w] x [-half_h, half_h] in the plane z = 0, normal +z.
MeshData make_ground_plane(float half_w, float half_h);

// Icosphere with `subdivisions` levels (none below 1); midpoints are not shared
// between neighbouring faces, so every subdivided face owns its three new vertices.
MeshData make_sphere(float radius, float3 center, int subdivisions);

// Open cylinder (no caps) of radius r along +z from z = 0 to z = height.
// Throws std::invalid_argument for segments == 0; negative gives an empty mesh.
MeshData make_cylinder(float radius, float height, int segments);

}  // namespace norvi
