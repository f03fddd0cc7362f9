// Procedural meshes: counts at every subdivision level, the subdivision and
// cylinder layouts, outward winding (the ground plane's whole layout is
// tested from Python).

#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>

#include "scene/mesh_generators.h"
#include "scene/vec_math.h"

using norvi::float3;
using norvi::MeshData;

namespace {

// Every triangle's winding normal points away from `centre_of(a)`.
template <typename CentreFn>
void expect_outward(const MeshData& m, CentreFn centre_of) {
    for (const auto& t : m.indices) {
        const float3 a = m.vertices[t.x], b = m.vertices[t.y], c = m.vertices[t.z];
        const float3 n = norvi::cross(b - a, c - a);
        const float3 mid = (a + b + c) / 3.0f;
        EXPECT_GT(norvi::dot(n, mid - centre_of(mid)), 0.0f);
    }
}

}  // namespace

TEST(MeshGenerators, SphereCountsNormalsRadiusAndSubdivisionLayout) {
    for (int s = -1; s <= 3; ++s) {
        const MeshData m = norvi::make_sphere(2.0f, {1, 2, 3}, s);
        const int level = s < 1 ? 0 : s;
        const std::size_t faces = 20u << (2 * level);
        EXPECT_EQ(m.indices.size(), faces);
        EXPECT_EQ(m.vertices.size(), level == 0 ? 12u : 12u + 20u * ((1u << (2 * level)) - 1u));
        for (std::size_t i = 0; i < m.vertices.size(); ++i) {
            const float3 p = m.vertices[i] - float3{1, 2, 3};
            EXPECT_NEAR(norvi::length(p), 2.0f, 1e-5f);
            EXPECT_NEAR(norvi::length(m.normals[i]), 1.0f, 1e-5f);
            EXPECT_NEAR(norvi::dot(p / 2.0f, m.normals[i]), 1.0f, 1e-5f);
        }
        expect_outward(m, [](float3) { return float3{1, 2, 3}; });
    }
    // Each face gets three vertices of its own: the first face (0, 11, 5) gives
    // 12, 13, 14 and the faces (0, 12, 14), (11, 13, 12), (5, 14, 13), (12, 13, 14).
    const MeshData m = norvi::make_sphere(1.0f, {0, 0, 0}, 1);
    EXPECT_EQ(m.indices[0].x, 0);
    EXPECT_EQ(m.indices[0].y, 12);
    EXPECT_EQ(m.indices[0].z, 14);
    EXPECT_EQ(m.indices[1].x, 11);
    EXPECT_EQ(m.indices[3].x, 12);
    EXPECT_EQ(m.indices[3].z, 14);
    const float3 ab = norvi::normalize(m.vertices[0] + m.vertices[11]);
    EXPECT_NEAR(m.vertices[12].x, ab.x, 1e-6f);
    EXPECT_NEAR(m.vertices[12].y, ab.y, 1e-6f);
    EXPECT_NEAR(m.vertices[12].z, ab.z, 1e-6f);
}

TEST(MeshGenerators, CylinderLayoutAndOutwardWinding) {
    const MeshData m = norvi::make_cylinder(0.5f, 10.0f, 8);
    ASSERT_EQ(m.vertices.size(), 18u);
    EXPECT_FLOAT_EQ(m.vertices[0].x, 0.5f);
    EXPECT_FLOAT_EQ(m.vertices[1].z, 10.0f);
    EXPECT_EQ(m.indices[0].x, 0);
    EXPECT_EQ(m.indices[0].y, 2);
    EXPECT_EQ(m.indices[0].z, 1);
    EXPECT_EQ(m.indices[1].x, 1);
    EXPECT_EQ(m.indices[1].y, 2);
    EXPECT_EQ(m.indices[1].z, 3);
    expect_outward(m, [](float3 p) { return float3{0, 0, p.z}; });
    const MeshData one = norvi::make_cylinder(1.0f, 1.0f, 1);
    EXPECT_EQ(one.vertices.size(), 4u);
    EXPECT_EQ(one.indices.size(), 2u);
    EXPECT_TRUE(norvi::make_cylinder(1.0f, 1.0f, -3).indices.empty());
    EXPECT_THROW(norvi::make_cylinder(1.0f, 1.0f, 0), std::invalid_argument);
}
