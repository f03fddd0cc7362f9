// Images and tallies of the CPU engines on a fixed seed, against fingerprints
// recorded from the previous build: changes that only make the tracer faster
// must leave every bit of every result as it was.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "cpu/render_backward.h"
#include "cpu/render_flux.h"
#include "cpu/render_forward.h"
#include "scene/embree_scene.h"
#include "scene/mesh_generators.h"

using namespace norvi;
using norvi::embree::EmbreeSceneManager;

namespace {

// FNV-1a over the bit patterns of the floats.
uint64_t fingerprint(const std::vector<float>& v) {
    uint64_t h = 1469598103934665603ull;
    for (float f : v) {
        uint32_t b;
        std::memcpy(&b, &f, sizeof(b));
        for (int k = 0; k < 4; ++k) {
            h ^= (b >> (8 * k)) & 0xFFu;
            h *= 1099511628211ull;
        }
    }
    return h;
}

// Ground, leafy spheres (shading normals, rotated and scaled placements) and
// normal-less cylinders under sun and sky, three bands.
void fill(EmbreeSceneManager& s) {
    s.set_num_bands(3);
    const int ground = s.add_material(MaterialType::Lambertian, 0);
    const int leaf = s.add_material(MaterialType::TwoSidedLeaf, 3);
    s.material(leaf).params[0] = 0.5f;
    s.material(leaf).params[1] = 0.5f;
    const MeshData g = make_ground_plane(10.0f, 10.0f);
    s.add_instance(s.add_mesh(g.vertices, g.normals, g.indices, ground), 5, 5, 0, 1);
    const MeshData sph = make_sphere(1.2f, {0, 0, 0}, 2);
    const int m = s.add_mesh(sph.vertices, sph.normals, sph.indices, leaf);
    const MeshData cyl = make_cylinder(0.3f, 2.0f, 7);
    const int c = s.add_mesh(cyl.vertices, {}, cyl.indices, ground);
    for (int i = 0; i < 6; ++i) {
        const float a = 0.4f * float(i), sc = 0.8f + 0.1f * float(i);
        const float r[12] = {sc * std::cos(a), -sc * std::sin(a), 0, 1.5f + float(i % 3) * 3.0f,
                             sc * std::sin(a), sc * std::cos(a) * 0.7f, 0.3f, 2.0f + float(i / 3) * 5.0f,
                             0, -0.2f, sc, 2.5f};
        s.add_instance(m, r);
        s.add_instance(c, 1.5f + float(i % 3) * 3.0f, 2.0f + float(i / 3) * 5.0f, 0.0f, 1.0f);
    }
    s.upload_spectral_params({0.2f, 0.3f, 0.25f, 0.1f, 0.45f, 0.4f, 0.05f, 0.4f, 0.35f,
                              0.06f, 0.4f, 0.3f, 1.5f, 1.2f, 1.0f, 0.3f, 0.2f, 0.1f});
    s.set_emitter(EmitterType::Directional, {0.3f, 0.2f, 0.93f}, 12);
    s.set_sky(15);
    s.set_repetitive(2, 10.0f, 10.0f);
    SensorData cam;
    std::memset(&cam, 0, sizeof(cam));
    cam.type = kSensorPerspective;
    cam.width = 24;
    cam.height = 16;
    cam.fov = 1.0f;
    const float cz = std::cos(0.5f), sz = std::sin(0.5f);
    const float xf[16] = {1, 0, 0, 5, 0, cz, -sz, -2, 0, sz, cz, 12, 0, 0, 0, 1};
    std::memcpy(cam.cam_xform, xf, sizeof(xf));
    s.set_sensor(cam);
    s.build();
}

}  // namespace

TEST(RecordedResults, EveryEngineKeepsItsBits) {
    EmbreeSceneManager s;
    fill(s);
    const auto back = embree::render_backward(s, 4, 8, 3, 1, {});
    const std::vector<float> heights{0.0f, 1.5f, 3.0f, 4.5f};
    const float views[6] = {0, 0, 1, 0.5f, 0, 0.866f};
    const auto fwd = embree::render_forward(s, 4, 4, heights, 20000, 3, true, 0.7f, views, 2, 8, 3,
                                            1, {}, 0);
    // Grid and terrain alone, without the per-triangle tally.
    const auto grid = embree::render_forward(s, 3, 5, heights, 20000, 3, false, 0.7f, nullptr, 0, 8, 3,
                                             1, {}, 0);
    const auto flux = embree::render_flux(s, 5, 5, 20000, 3, 0.7f, 0, 8, 3, 1, {});
    std::vector<float> flux_all = flux.down;
    flux_all.insert(flux_all.end(), flux.up.begin(), flux.up.end());
    const uint64_t got[] = {fingerprint(back.image), fingerprint(fwd.grid), fingerprint(fwd.leaf),
                            fingerprint(fwd.brf),    fingerprint(fwd.albedo), fingerprint(fwd.terrain),
                            fingerprint(flux_all), fingerprint(grid.grid), fingerprint(grid.terrain)};
    const uint64_t recorded[] = {0xb05bf89e50e4544aull, 0x3eaff9effb8c2f49ull, 0x2aec69196db95650ull,
                                 0x100684b939bd7f30ull, 0x722491341d89160cull, 0xd08451a056e97df1ull,
                                 0xb420db78fb88fd7bull, 0x939b2caee5e0d175ull, 0xd08451a056e97df1ull};
    const char* names[] = {"image", "grid", "leaf", "brf", "albedo", "terrain", "flux", "grid alone",
                           "terrain alone"};
    for (int k = 0; k < 9; ++k)
        EXPECT_EQ(got[k], recorded[k]) << names[k] << std::hex << " 0x" << got[k];
}
