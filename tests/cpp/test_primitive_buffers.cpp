// Per-primitive derivation: world vertices, areas, normals, material ids and
// the global primitive order, against values worked out by hand.

#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>
#include <vector>

#include "gpu/primitive_buffers.h"

namespace norvi {
namespace {

MeshView view(const std::vector<float3>& v, const std::vector<int3>& i, int32_t material) {
    return MeshView{v.data(), v.size(), i.data(), i.size(), material};
}

InstanceData translate_scale(int32_t mesh, float x, float y, float z, float s) {
    return InstanceData{mesh, {s, 0, 0, x, 0, s, 0, y, 0, 0, s, z}};
}

void expect_near3(float3 a, float3 b, float tol, const char* what) {
    EXPECT_NEAR(a.x, b.x, tol) << what;
    EXPECT_NEAR(a.y, b.y, tol) << what;
    EXPECT_NEAR(a.z, b.z, tol) << what;
}

TEST(PrimitiveBuffers, RotatedScaledInstanceMovesVerticesAndNormal) {
    // Unit right triangle in the xy plane, normal +z, area 1/2.
    const std::vector<float3> v = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}};
    const std::vector<int3> idx = {{0, 1, 2}};
    // 90 degrees about x (y -> z, z -> -y), scale 2, then translate (1, 2, 3).
    const InstanceData inst{0, {2, 0, 0, 1, 0, 0, -2, 2, 0, 2, 0, 3}};
    const PrimitiveBuffers p = derive_primitive_buffers({view(v, idx, 5)}, {inst});

    ASSERT_EQ(1u, p.size());
    expect_near3(p.v0[0], {1, 2, 3}, 1e-6f, "v0");
    expect_near3(p.v1[0], {3, 2, 3}, 1e-6f, "v1");
    expect_near3(p.v2[0], {1, 2, 5}, 1e-6f, "v2");
    EXPECT_NEAR(2.0f, p.areas[0], 1e-6f);  // 1/2 scaled by 2 squared
    expect_near3(p.normals[0], {0, -1, 0}, 1e-6f, "normal");
    EXPECT_EQ(5, p.material_ids[0]);
    EXPECT_EQ((std::vector<int32_t>{0, 1}), p.instance_prim_offsets);
}

TEST(PrimitiveBuffers, DegenerateTrianglesGetZeroAreaAndUpNormalWhileTinyOnesKeepTheirs) {
    // Collinear, one point, and a cross product of about 1e-16: far above the
    // degenerate threshold.
    const std::vector<float3> v = {{0, 0, 0}, {1, 1, 1}, {2, 2, 2}, {5, 5, 5}, {1e-8f, 0, 0}, {0, 0, 1e-8f}};
    const std::vector<int3> idx = {{0, 1, 2}, {3, 3, 3}, {0, 4, 5}};
    const PrimitiveBuffers p = derive_primitive_buffers({view(v, idx, 0)}, {translate_scale(0, 0, 0, 0, 1)});
    ASSERT_EQ(3u, p.size());
    for (std::size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(0.0f, p.areas[i]);
        expect_near3(p.normals[i], {0, 0, 1}, 0.0f, "degenerate normal");
    }
    expect_near3(p.normals[2], {0, -1, 0}, 1e-6f, "tiny normal");
    EXPECT_NEAR(0.5e-16, p.areas[2], 1e-22);
}

TEST(PrimitiveBuffers, GlobalOrderIsInstancesThenTheirTriangles) {
    const std::vector<float3> quad_v = {{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}};
    const std::vector<int3> quad_i = {{0, 1, 2}, {0, 2, 3}};
    const std::vector<float3> tri_v = {{0, 0, 0}, {0, 1, 0}, {1, 0, 0}};  // facing -z
    const std::vector<int3> tri_i = {{0, 1, 2}};
    const std::vector<MeshView> meshes = {view(quad_v, quad_i, 3), view(tri_v, tri_i, 9)};
    const std::vector<InstanceData> instances = {translate_scale(1, 10, 0, 0, 1), translate_scale(0, 0, 0, 0, 1),
                                                 translate_scale(0, 0, 0, 7, 3)};
    const PrimitiveBuffers p = derive_primitive_buffers(meshes, instances);

    EXPECT_EQ((std::vector<int32_t>{0, 1, 3, 5}), p.instance_prim_offsets);
    EXPECT_EQ((std::vector<int32_t>{9, 3, 3, 3, 3}), p.material_ids);
    ASSERT_EQ(5u, p.size());
    expect_near3(p.v0[0], {10, 0, 0}, 0, "instance 0 triangle 0");
    expect_near3(p.normals[0], {0, 0, -1}, 1e-6f, "instance 0 faces down");
    expect_near3(p.v1[2], {1, 1, 0}, 0, "instance 1 triangle 1 is (0, 2, 3)");
    expect_near3(p.v2[2], {0, 1, 0}, 0, "instance 1 triangle 1 is (0, 2, 3)");
    // Global index of triangle t of instance k is offsets[k] + t.
    expect_near3(p.v1[3 + 1], {3, 3, 7}, 0, "instance 2 triangle 1");
    EXPECT_NEAR(4.5f, p.areas[4], 1e-6f);
    float total = 0;
    for (float a : p.areas) total += a;
    EXPECT_NEAR(0.5f + 1.0f + 9.0f, total, 1e-5f);
}

TEST(PrimitiveBuffers, NoInstancesGivesOneZeroOffsetAndNoPrimitives) {
    const std::vector<float3> v = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}};
    const std::vector<int3> idx = {{0, 1, 2}};
    const PrimitiveBuffers p = derive_primitive_buffers({view(v, idx, 0)}, {});
    EXPECT_EQ(0u, p.size());
    EXPECT_EQ((std::vector<int32_t>{0}), p.instance_prim_offsets);
}

TEST(PrimitiveBuffers, RefusesUnknownMeshesIndicesOutsideTheMeshAndTotalsBeyond32Bits) {
    const std::vector<float3> v = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}};
    const std::vector<int3> good = {{0, 1, 2}};
    const std::vector<int3> bad = {{0, 1, 2}, {0, 3, 1}};
    // Only the counts are read before a total of 2^31 (one past the largest
    // offset) is refused: no mesh data.
    const MeshView huge{nullptr, 0, nullptr, std::size_t{1} << 30, 0};
    const InstanceData unit = translate_scale(0, 0, 0, 0, 1);
    const struct {
        std::vector<MeshView> meshes;
        std::vector<InstanceData> instances;
        const char* message;
    } cases[] = {
        {{view(v, good, 0)}, {translate_scale(1, 0, 0, 0, 1)}, "instance 0: mesh_index 1 outside [0, 1)"},
        {{view(v, good, 0)}, {InstanceData{-1, {}}}, "instance 0: mesh_index -1 outside [0, 1)"},
        {{view(v, bad, 0)}, {unit}, "mesh 0: triangle 1 has vertex index 3 outside [0, 3)"},
        {{huge}, {unit, unit},
         "instances: 2147483648 primitives up to instance 1 exceed the 32-bit primitive offsets (at most "
         "2147483647)"},
    };
    for (const auto& c : cases) {
        try {
            derive_primitive_buffers(c.meshes, c.instances);
            ADD_FAILURE() << "accepted: " << c.message;
        } catch (const std::invalid_argument& e) {
            EXPECT_STREQ(c.message, e.what());
        }
    }
}

}  // namespace
}  // namespace norvi
