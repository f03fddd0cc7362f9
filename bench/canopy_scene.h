#pragma once
// The benchmark canopy: instanced icosphere crowns on cylinder trunks over a
// ground plane, on a jittered grid. Shared by the benchmark programs.

#include <cmath>
#include <cstdint>

#include "scene/embree_scene.h"
#include "scene/mesh_generators.h"

namespace norvi::bench {

struct CanopyOptions {
    int trees = 2000;          // instances of the crown (and as many trunks)
    int crown_subdiv = 3;      // 3 gives 1280 triangles per crown
    float spacing = 4.0f;      // grid spacing between trees
    bool with_trunks = true;
};

struct CanopyInfo {
    float extent_x = 0.0f;  // the canopy covers [0, extent_x] x [0, extent_y]
    float extent_y = 0.0f;
};

// Fills `scene` (materials: 0 ground Lambertian, 1 leaf, 2 bark) and builds
// it; Scene is the CPU scene or the GPU scene, which share these methods.
template <class Scene>
CanopyInfo build_canopy(Scene& scene, const CanopyOptions& opt) {
    const int side = static_cast<int>(std::ceil(std::sqrt(static_cast<double>(opt.trees))));
    CanopyInfo info;
    info.extent_x = info.extent_y = static_cast<float>(side) * opt.spacing;

    scene.add_material(MaterialType::Lambertian, 0);
    const int leaf = scene.add_material(MaterialType::TwoSidedLeaf, 1);
    scene.material(leaf).params[0] = 0.5f;
    scene.material(leaf).params[1] = 0.5f;
    scene.add_material(MaterialType::Lambertian, 0);

    const MeshData ground = make_ground_plane(info.extent_x * 0.5f, info.extent_y * 0.5f);
    const MeshData crown = make_sphere(1.5f, {0, 0, 0}, opt.crown_subdiv);
    const MeshData trunk = make_cylinder(0.15f, 3.0f, 8);
    const int g = scene.add_mesh(ground.vertices, ground.normals, ground.indices, 0);
    const int c = scene.add_mesh(crown.vertices, crown.normals, crown.indices, leaf);
    const int t = scene.add_mesh(trunk.vertices, trunk.normals, trunk.indices, 2);
    scene.add_instance(g, info.extent_x * 0.5f, info.extent_y * 0.5f, 0.0f, 1.0f);

    uint32_t h = 12345u;
    auto jitter = [&h]() {
        h = h * 1664525u + 1013904223u;
        return (static_cast<float>(h >> 8) / 16777216.0f - 0.5f);
    };
    for (int i = 0; i < opt.trees; ++i) {
        const float x = (static_cast<float>(i % side) + 0.5f) * opt.spacing + jitter();
        const float y = (static_cast<float>(i / side) + 0.5f) * opt.spacing + jitter();
        const float s = 1.0f + 0.3f * jitter();
        scene.add_instance(c, x, y, 3.0f + 1.5f * s, s);
        if (opt.with_trunks) scene.add_instance(t, x, y, 0.0f, 1.0f);
    }
    scene.build();
    return info;
}

}  // namespace norvi::bench
