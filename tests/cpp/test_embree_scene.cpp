// Scene queries of the CPU scene: closest hits, shadow rays, the periodic
// shadow test, instancing, bounds, updates and input validation.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "scene/embree_scene.h"
#include "scene/huge_pages.h"
#include "scene/mesh_generators.h"
#include "scene/vec_math.h"

using norvi::float3;
using norvi::int3;
using norvi::MaterialType;
using norvi::embree::EmbreeSceneManager;
using norvi::embree::HitRecord;

namespace {

constexpr float kEps = 1e-5f;

// A unit square in the plane z = 0 centred on the origin, winding normal +z.
int add_square(EmbreeSceneManager& s, float half = 0.5f, bool with_normals = false,
               int material = 0) {
    std::vector<float3> v = {{-half, -half, 0}, {half, -half, 0}, {half, half, 0}, {-half, half, 0}};
    std::vector<float3> n;
    if (with_normals) n = {{0.6f, 0, 0.8f}, {0.6f, 0, 0.8f}, {0.6f, 0, 0.8f}, {0.6f, 0, 0.8f}};
    return s.add_mesh(v, n, {{0, 1, 2}, {0, 2, 3}}, material);
}

void expect_near3(float3 a, float3 b, float tol = 1e-5f) {
    EXPECT_NEAR(a.x, b.x, tol);
    EXPECT_NEAR(a.y, b.y, tol);
    EXPECT_NEAR(a.z, b.z, tol);
}

const float3 kDown{0, 0, -1};
const float3 kUp{0, 0, 1};

}  // namespace

TEST(EmbreeScene, EmptyAndUnbuiltScenesMissInsteadOfCrashing) {
    EmbreeSceneManager s;
    s.build();
    EXPECT_TRUE(s.is_built());  // its zero bounds are tested from Python
    const HitRecord h = s.trace_ray({0, 0, 10}, kDown);
    EXPECT_FALSE(h.hit);
    EXPECT_EQ(h.t, 0.0f);
    EXPECT_EQ(h.instance_id, 0);
    EXPECT_FALSE(s.trace_shadow({0, 0, 10}, kDown, 1e16f));
    EmbreeSceneManager unbuilt;
    add_square(unbuilt);
    unbuilt.add_instance(0, 0, 0, 0, 1);
    EXPECT_FALSE(unbuilt.trace_ray({0, 0, 1}, kDown).hit);
    EXPECT_FALSE(unbuilt.occluded_periodic({0, 0, 1}, kDown));
}

TEST(EmbreeScene, ClosestHitDistancePositionIdsAndFacing) {
    EmbreeSceneManager s;
    s.add_material(MaterialType::Lambertian, 0);
    s.add_material(MaterialType::TwoSidedLeaf, 1);
    const int m0 = add_square(s, 5.0f, false, 0);
    const int m1 = add_square(s, 0.5f, false, 1);
    s.add_instance(m0, 0, 0, 0, 1);  // ground, instance 0
    s.add_instance(m1, 0, 0, 2, 1);  // small plate at z = 2, instance 1
    s.add_instance(m1, 3, 0, 4, 1);  // plate at x = 3, z = 4, instance 2
    s.build();

    HitRecord h = s.trace_ray({0, 0, 10}, kDown);
    ASSERT_TRUE(h.hit);
    EXPECT_NEAR(h.t, 8.0f, kEps);
    expect_near3(h.position, {0, 0, 2});
    EXPECT_EQ(h.instance_id, 1);
    EXPECT_EQ(h.material_id, 1);
    EXPECT_FALSE(h.back_face);
    expect_near3(h.geometric_normal, kUp);

    h = s.trace_ray({3.1f, 0.1f, 10}, kDown);
    ASSERT_TRUE(h.hit);
    EXPECT_EQ(h.instance_id, 2);
    EXPECT_NEAR(h.t, 6.0f, kEps);

    h = s.trace_ray({2, 2, 10}, kDown);
    ASSERT_TRUE(h.hit);
    EXPECT_EQ(h.instance_id, 0);
    EXPECT_EQ(h.material_id, 0);
    EXPECT_GE(h.prim_id, 0);
    EXPECT_LE(h.prim_id, 1);

    // From below, the back face: both normals turn toward the ray.
    h = s.trace_ray({2.1f, 2.1f, -3}, kUp);
    ASSERT_TRUE(h.hit);
    EXPECT_TRUE(h.back_face);
    expect_near3(h.geometric_normal, kDown);
    expect_near3(h.shading_normal, kDown);  // no vertex normals: equal to geometric

    EXPECT_FALSE(s.trace_ray({20, 0, 10}, kDown).hit);  // outside everything
    EXPECT_FALSE(s.trace_ray({0, 0, 10}, kUp).hit);     // pointing away
}

TEST(EmbreeScene, InstanceIdsFollowAttachOrderOverManyInstances) {
    EmbreeSceneManager s;
    s.add_material(MaterialType::Lambertian, 0);
    add_square(s, 0.4f);
    for (int i = 0; i < 50; ++i) s.add_instance(0, static_cast<float>(i), 0, 0, 1);
    s.build();
    for (int i = 0; i < 50; ++i) {
        const HitRecord h = s.trace_ray({static_cast<float>(i), 0.1f, 5}, kDown);
        ASSERT_TRUE(h.hit);
        EXPECT_EQ(h.instance_id, i);
    }
}

TEST(EmbreeScene, ShadingNormalInterpolatedRotatedAndFlippedOntoRaySide) {
    EmbreeSceneManager s;
    s.add_material(MaterialType::Lambertian, 0);
    add_square(s, 0.5f, /*with_normals=*/true);
    // Rotate 90 degrees about x (y -> z, z -> -y), scale 2, translate.
    const float m[12] = {2, 0, 0, 1, 0, 0, -2, 5, 0, 2, 0, 0};
    s.add_instance(0, m);
    s.build();

    // The square now lies in the plane y = 5 with winding normal -y.
    HitRecord h = s.trace_ray({1.2f, 0, 0.3f}, {0, 1, 0});
    ASSERT_TRUE(h.hit);
    EXPECT_NEAR(h.t, 5.0f, 1e-4f);
    EXPECT_FALSE(h.back_face);
    expect_near3(h.geometric_normal, {0, -1, 0});
    // Vertex normal (0.6, 0, 0.8) rotated: (0.6, -0.8, 0); unit after the uniform scale.
    expect_near3(h.shading_normal, {0.6f, -0.8f, 0});
    EXPECT_NEAR(norvi::length(h.shading_normal), 1.0f, 1e-5f);

    // From the other side: both normals flip onto the ray's side.
    h = s.trace_ray({1.2f, 10, 0.3f}, {0, -1, 0});
    ASSERT_TRUE(h.hit);
    EXPECT_TRUE(h.back_face);
    expect_near3(h.geometric_normal, {0, 1, 0});
    expect_near3(h.shading_normal, {-0.6f, 0.8f, 0});
}

// Bounds come from each mesh's box kept when it was added; they must equal
// the box of every vertex, its corners carried through each instance's
// matrix, and hold every transformed vertex.
TEST(EmbreeScene, BoundsOfRotatedScaledTranslatedInstancesMatchEveryVertex) {
    EmbreeSceneManager s;
    s.add_material(MaterialType::Lambertian, 0);
    const norvi::MeshData sph = norvi::make_sphere(1.3f, {0.4f, -2.0f, 0.7f}, 2);
    const norvi::MeshData cyl = norvi::make_cylinder(1.0f, 4.0f, 8);
    const std::vector<const norvi::MeshData*> meshes = {&sph, &cyl};
    for (const norvi::MeshData* m : meshes) s.add_mesh(m->vertices, m->normals, m->indices, 0);
    const int empty = s.add_mesh({}, {}, {}, 0);
    const float c = std::cos(0.7f), sn = std::sin(0.7f);
    const std::vector<std::vector<float>> xf = {
        {c, -sn, 0, 10, sn * 0.5f, c * 0.5f, 0.2f, -3, 0, -0.3f, 2.0f, 1},  // rotated, sheared, scaled
        {0, 0, 1, 10, 0, 1, 0, 0, -1, 0, 0, 0},                             // cylinder on its side
        {-1.5f, 0, 0, -7, 0, 2.5f, 0, 4, 0, 0, 0.5f, 30}};                  // mirrored and stretched
    float lo[3] = {1e30f, 1e30f, 1e30f}, hi[3] = {-1e30f, -1e30f, -1e30f};
    std::vector<float3> world;
    for (std::size_t k = 0; k < xf.size(); ++k) {
        const norvi::MeshData& m = *meshes[k % 2];
        s.add_instance(static_cast<int>(k % 2), xf[k].data());
        float3 blo = m.vertices[0], bhi = m.vertices[0];
        for (const float3& v : m.vertices) {
            blo = {std::min(blo.x, v.x), std::min(blo.y, v.y), std::min(blo.z, v.z)};
            bhi = {std::max(bhi.x, v.x), std::max(bhi.y, v.y), std::max(bhi.z, v.z)};
            world.push_back(norvi::xform_point(xf[k].data(), v));
        }
        for (int i = 0; i < 8; ++i) {
            const float3 w = norvi::xform_point(
                xf[k].data(), {(i & 1) ? bhi.x : blo.x, (i & 2) ? bhi.y : blo.y, (i & 4) ? bhi.z : blo.z});
            const float p[3] = {w.x, w.y, w.z};
            for (int a = 0; a < 3; ++a) lo[a] = std::min(lo[a], p[a]), hi[a] = std::max(hi[a], p[a]);
        }
    }
    s.add_instance(empty, 100, 100, 100, 1);  // contributes nothing
    for (int pass = 0; pass < 2; ++pass) {
        if (pass == 0) s.build();
        else s.build_reuse_gas();
        const auto& b = s.bounds();
        EXPECT_EQ(b.x_min, lo[0]);
        EXPECT_EQ(b.x_max, hi[0]);
        EXPECT_EQ(b.y_min, lo[1]);
        EXPECT_EQ(b.y_max, hi[1]);
        EXPECT_EQ(b.bottom, lo[2]);
        EXPECT_EQ(b.top, hi[2]);
        for (const float3& w : world) {
            EXPECT_TRUE(w.x >= b.x_min && w.x <= b.x_max && w.y >= b.y_min && w.y <= b.y_max &&
                        w.z >= b.bottom && w.z <= b.top);
        }
    }
}

TEST(EmbreeScene, TriangleCountsCountMeshesOnceAndInstancesEach) {
    EmbreeSceneManager s;
    add_square(s);
    const norvi::MeshData sph = norvi::make_sphere(1.0f, {0, 0, 0}, 1);
    s.add_mesh(sph.vertices, sph.normals, sph.indices, 0);
    s.add_instance(1, 0, 0, 0, 1);
    s.add_instance(0, 0, 0, 0, 1);
    s.add_instance(1, 5, 0, 0, 1);
    s.add_instance(1, 9, 0, 0, 1);
    EXPECT_EQ(s.total_triangles(), 2u + 80u);
    EXPECT_EQ(s.instance_triangle_counts(), (std::vector<uint32_t>{80, 2, 80, 80}));
}

// Shadow rays stop at tmax. Embree aborts the process on a ray with a NaN
// component or one above about 1.8e18; such a ray is never handed over and
// meets nothing.
TEST(EmbreeScene, ShadowRaysRespectTmaxAndRaysOutsideTheTracersRangeMiss) {
    EmbreeSceneManager s;
    add_square(s);
    s.add_instance(0, 0, 0, 0, 1);
    s.build();
    EXPECT_TRUE(s.trace_shadow({0, 0, 5}, kDown, 6.0f));
    EXPECT_FALSE(s.trace_shadow({0, 0, 5}, kDown, 4.0f));
    EXPECT_FALSE(s.trace_shadow({0, 0, 5}, kUp, 1e16f));
    EXPECT_FALSE(s.trace_ray({NAN, 0, 5}, kDown).hit);
    EXPECT_FALSE(s.trace_ray({0, 0, 5}, {0, 0, -3e19f}).hit);
    EXPECT_FALSE(s.trace_shadow({0, 0, 3e19f}, kDown, 1e16f));
    EXPECT_FALSE(s.occluded_periodic({0, 0, 5}, {NAN, 0, -1}));
    EXPECT_TRUE(s.trace_ray({0, 0, 5}, kDown).hit);
}

// A 10 x 10 tile with one small blocker plate [4.5, 5.5]^2 hovering at z = 5.
TEST(EmbreeScene, PeriodicShadowWrapsThroughTheTileWalls) {
    EmbreeSceneManager s;
    s.add_material(MaterialType::Lambertian, 0);
    add_square(s, 0.5f);
    s.add_instance(0, 5, 5, 5, 1);
    s.build();
    struct Case {
        const char* what;
        int reps;
        float size_y;
        float3 o, d;
        bool blocked;
    };
    const Case cases[] = {
        {"direct hit, no repetition", 0, 10, {5, 5, 0}, kUp, true},
        {"reaches x = 5 at z = 5 in its own tile", 0, 10, {0.2f, 5, 0.2f}, {1, 0, 1}, true},
        {"reaches x = 14 at z = 5: only through the wall", 0, 10, {9, 5, 0}, {1, 0, 1}, false},
        {"a tile size of 0 keeps the mode off", 3, 0, {9, 5, 0}, {1, 0, 1}, false},
        // 6 in x per 5 in z: from x = 9, z = 5 at x = 15, the plate's x = 5 after the wall x = 10.
        {"x wall", 3, 10, {9, 5, 0}, {6, 0, 5}, true},
        {"toward -y: y = -5 (wrapped 5) at z = 5", 2, 10, {5, 1, 0}, {0, -6, 5}, true},
        // At z = 5 the ray is at (14.8, 15.2): wrapped (4.8, 5.2), after the y wall, then the x wall.
        {"y wall, then x wall", 2, 10, {8.8f, 9.2f, 0}, {6, 6, 5}, true},
        // A flat ray climbs to z = 5 only at x = 55, after five re-entries.
        {"ten repetitions reach the sixth tile", 10, 10, {5, 5, 0}, {10, 0, 1}, true},
        {"four do not", 4, 10, {5, 5, 0}, {10, 0, 1}, false},
        {"parallel to both walls: only the first test", 5, 10, {1, 1, 0}, kUp, false},
        {"parallel to both walls, under the plate", 5, 10, {5, 5, 0}, kUp, true},
    };
    for (const Case& c : cases) {
        s.set_repetitive(c.reps, 10, c.size_y);
        EXPECT_EQ(c.blocked, s.occluded_periodic(c.o, norvi::normalize(c.d))) << c.what;
    }
}

// The update's messages are tested from Python.
TEST(EmbreeScene, RefitNeedsABuildAndMovesTheUpdatedInstance) {
    EmbreeSceneManager s;
    add_square(s);
    s.add_instance(0, 0, 0, 0, 1);
    s.add_instance(0, 0, 0, -5, 1);
    EXPECT_THROW(s.refit_ias(), std::runtime_error);
    s.build();
    EXPECT_EQ(s.trace_ray({0, 0, 10}, kDown).instance_id, 0);
    const float m[12] = {1, 0, 0, 20, 0, 1, 0, 0, 0, 0, 1, 0};
    EXPECT_THROW(s.update_instance_transform(-1, m), std::runtime_error);
    s.update_instance_transform(0, m);
    s.refit_ias();
    HitRecord h = s.trace_ray({0, 0, 10}, kDown);
    ASSERT_TRUE(h.hit);
    EXPECT_EQ(h.instance_id, 1);
    EXPECT_NEAR(h.t, 15.0f, 1e-4f);
    h = s.trace_ray({20, 0, 10}, kDown);
    ASSERT_TRUE(h.hit);
    EXPECT_EQ(h.instance_id, 0);
}

TEST(EmbreeScene, ClearForReuseKeepsGeometryAndResetsLightsAndReuseBuildsWhenNeeded) {
    EmbreeSceneManager s;
    s.add_material(MaterialType::Lambertian, 0);
    add_square(s);
    s.add_instance(0, 0, 0, 0, 1);
    s.upload_spectral_params({1, 2, 3});
    s.set_sky(1);
    s.set_hw_sky(0, {1, 0, 0});
    s.set_emitter(norvi::EmitterType::Directional, {0, 0, 1}, 2);
    s.set_repetitive(2, 10, 10);
    s.build_reuse_gas();  // nothing to reuse yet: a full build
    EXPECT_TRUE(s.trace_ray({0, 0, 1}, kDown).hit);
    s.clear_for_reuse();
    EXPECT_EQ(s.num_materials(), 0);
    EXPECT_TRUE(s.spectral_params().empty());
    EXPECT_EQ(s.sky_offset(), -1);
    EXPECT_EQ(s.hw_sky_offset(), -1);
    expect_near3(s.emitter().direction, {0, 0, 0});
    EXPECT_EQ(s.num_instances(), 1);
    EXPECT_EQ(s.num_repetitions(), 2);
    EXPECT_TRUE(s.is_built());
    s.add_material(MaterialType::Lambertian, 0);
    s.build_reuse_gas();
    EXPECT_TRUE(s.trace_ray({0, 0, 1}, kDown).hit);
    // A full build sees geometry added since.
    s.add_instance(0, 10, 0, 0, 1);
    s.build();
    EXPECT_EQ(s.trace_ray({10, 0, 1}, kDown).instance_id, 1);
    EXPECT_FLOAT_EQ(s.bounds().x_max, 10.5f);
}

TEST(EmbreeSceneValidation, SpectralUpdatesStayInsideTheArrayAndMaterialIdsAreCheckedLate) {
    EmbreeSceneManager s;
    s.upload_spectral_params({1, 2, 3, 4});
    s.update_spectral_params(2, {7, 8});
    EXPECT_EQ(s.spectral_params(), (std::vector<float>{1, 2, 7, 8}));
    for (const auto& [offset, range] : {std::pair{3, "[3, 5)"}, {-1, "[-1, 1)"}}) {
        try {
            s.update_spectral_params(offset, {9, 9});
            ADD_FAILURE() << "offset " << offset << " accepted";
        } catch (const std::invalid_argument& e) {
            EXPECT_EQ(e.what(), std::string("update_spectral_params: range ") + range +
                                    " lies outside the uploaded spectral array of 4 values");
        }
    }
    EXPECT_EQ(s.spectral_params(), (std::vector<float>{1, 2, 7, 8}));

    add_square(s, 0.5f, false, 1);  // material 1 does not exist yet: legal until rendering
    s.add_instance(0, 0, 0, 0, 1);
    s.build();
    s.add_material(MaterialType::Lambertian, 0);
    EXPECT_THROW(s.check_materials(), std::invalid_argument);  // the message: tested from Python
    s.add_material(MaterialType::Lambertian, 0);
    EXPECT_NO_THROW(s.check_materials());
}

TEST(EmbreeScene, ConcurrentQueriesAgreeWithSerialOnes) {
    EmbreeSceneManager s;
    s.add_material(MaterialType::Lambertian, 0);
    const norvi::MeshData sph = norvi::make_sphere(1.0f, {0, 0, 0}, 2);
    s.add_mesh(sph.vertices, sph.normals, sph.indices, 0);
    for (int i = 0; i < 16; ++i)
        s.add_instance(0, static_cast<float>(i % 4) * 3.0f, static_cast<float>(i / 4) * 3.0f, 2, 1);
    s.set_repetitive(3, 12, 12);
    s.build();

    const int n = 4000;
    auto ray = [](int i) {
        const float a = static_cast<float>(i) * 0.37f;
        return std::pair<float3, float3>{{std::fmod(a * 7.1f, 12.0f), std::fmod(a * 3.3f, 12.0f), 0.5f},
                                         norvi::normalize({std::sin(a), std::cos(a), 0.7f})};
    };
    std::vector<int> serial(n), parallel(n);
    for (int i = 0; i < n; ++i) {
        const auto [o, d] = ray(i);
        serial[i] = s.trace_ray(o, d).instance_id * 4 + (s.occluded_periodic(o, d) ? 1 : 0);
    }
    std::vector<std::thread> workers;
    for (int t = 0; t < 4; ++t)
        workers.emplace_back([&, t] {
            for (int i = t; i < n; i += 4) {
                const auto [o, d] = ray(i);
                parallel[i] = s.trace_ray(o, d).instance_id * 4 + (s.occluded_periodic(o, d) ? 1 : 0);
            }
        });
    for (auto& w : workers) w.join();
    EXPECT_EQ(serial, parallel);
}

// Huge-page advice leaves every byte where it was, whatever the range: none,
// empty, inside one page, unaligned across several huge pages; and a mesh
// large enough for it gives back exactly what it was given.
TEST(EmbreeScene, HugePageAdviceKeepsContents) {
    std::vector<uint32_t> data(3u << 20);  // 12 MiB
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint32_t>(i * 2654435761u);
    const std::vector<uint32_t> copy = data;
    const struct { std::size_t first, bytes; } cases[] = {{0, 0}, {1, 100}, {3, 5u << 20}, {0, data.size() * 4}};
    norvi::embree::advise_huge_pages(nullptr, 1u << 22);
    for (const auto& c : cases) {
        norvi::embree::advise_huge_pages(data.data() + c.first, c.bytes);
        ASSERT_EQ(data, copy) << "first " << c.first << ", " << c.bytes << " bytes";
    }

    const norvi::MeshData m = norvi::make_sphere(1.0f, {0, 0, 0}, 7);
    EmbreeSceneManager s;
    s.add_material(MaterialType::Lambertian, 0);
    s.add_mesh(m.vertices, m.normals, m.indices, 0);
    s.add_instance(0, 0, 0, 0, 1);
    s.build();
    const auto& kept = s.meshes()[0];
    EXPECT_EQ(0, std::memcmp(kept.indices.data(), m.indices.data(), m.indices.size() * sizeof(m.indices[0])));
    EXPECT_EQ(0, std::memcmp(kept.normals.data(), m.normals.data(), m.normals.size() * sizeof(m.normals[0])));
    EXPECT_EQ(kept.indices.size(), m.indices.size());
    EXPECT_EQ(kept.normals.size(), m.normals.size());
    EXPECT_TRUE(s.trace_ray({0, 0, 5}, {0, 0, -1}).hit);
}
