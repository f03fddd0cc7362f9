// The backward renderer: independence of the thread count, and the checks it
// makes before tracing (closed-form radiances, progress and the result layout
// are tested through simulate_cpu).

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "cpu/render_backward.h"
#include "scene/embree_scene.h"
#include "scene/mesh_generators.h"

using namespace norvi;
using norvi::embree::EmbreeSceneManager;
using norvi::embree::render_backward;

namespace {

SensorData perspective(int w, int h) {
    SensorData s;
    std::memset(&s, 0, sizeof(s));
    s.type = kSensorPerspective;
    s.width = w;
    s.height = h;
    s.fov = 1.0f;
    // looking down from (5, 5, 12), tilted toward +y
    const float c = std::cos(0.5f), sn = std::sin(0.5f);
    const float m[16] = {1, 0, 0, 5, 0, c, -sn, -2, 0, sn, c, 12, 0, 0, 0, 1};
    std::memcpy(s.cam_xform, m, sizeof(m));
    return s;
}

// Ground and a cluster of leafy spheres under sun and sky, three bands: paths
// of many bounces, roulette, leaves transmitting sunlight.
void fill_canopy(EmbreeSceneManager& s) {
    s.set_num_bands(3);
    const int ground_mat = s.add_material(MaterialType::Lambertian, 0);
    const int leaf_mat = s.add_material(MaterialType::TwoSidedLeaf, 3);
    s.material(leaf_mat).params[0] = 0.5f;
    s.material(leaf_mat).params[1] = 0.5f;
    const MeshData g = make_ground_plane(20.0f, 20.0f);
    s.add_instance(s.add_mesh(g.vertices, g.normals, g.indices, ground_mat), 5, 5, 0, 1);
    const MeshData sph = make_sphere(1.2f, {0, 0, 0}, 1);
    const int m = s.add_mesh(sph.vertices, sph.normals, sph.indices, leaf_mat);
    for (int i = 0; i < 12; ++i) s.add_instance(m, float(i % 4) * 2.5f, float(i / 4) * 3.0f + 1, 2.0f, 1.0f);
    s.upload_spectral_params({0.2f, 0.3f, 0.25f,                     // ground
                              0.1f, 0.45f, 0.4f,                      // leaf R_front
                              0.05f, 0.4f, 0.35f,                     // leaf R_back
                              0.06f, 0.4f, 0.3f,                      // leaf T
                              1.5f, 1.2f, 1.0f,                       // sun
                              0.3f, 0.2f, 0.1f});                     // sky
    s.set_emitter(EmitterType::Directional, {0.3f, 0.2f, 0.93f}, 12);
    s.set_sky(15);
    s.set_sensor(perspective(32, 24));
    s.build();
}

}  // namespace

TEST(RenderBackward, SameImageWithOneThreadAndWithAll) {
    EmbreeSceneManager s;
    fill_canopy(s);
    const auto one = render_backward(s, 3, 16, 3, 1, {});
    const auto all = render_backward(s, 3, 16, 3, 0, {});
    const auto three = render_backward(s, 3, 16, 3, 3, {});
    ASSERT_EQ(one.image.size(), 32u * 24u * 3u);
    // every pixel is summed by one thread in pass order: bit-identical
    EXPECT_EQ(one.image, all.image);
    EXPECT_EQ(one.image, three.image);
    EXPECT_NE(one.image, std::vector<float>(one.image.size(), 0.0f));
}

// The unbuilt scene and the other spectral ranges are refused in tests from Python.
TEST(RenderBackward, RefusesAParametricSkyReadingPastTheSpectralArray) {
    EmbreeSceneManager s;
    fill_canopy(s);
    s.set_num_bands(3);
    s.set_hw_sky(10, {0, 0, 1});  // 30 coefficients from offset 10 run past the 18 values
    try {
        render_backward(s, 1, 4, 3, 0, {});
        FAIL() << "no error";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(),
                     "render_backward: the parametric sky reads spectral values 10 to 39, but the "
                     "spectral array holds 18 values");
    }
}
