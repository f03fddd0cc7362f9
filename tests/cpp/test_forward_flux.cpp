// The CPU photon engines called directly: tallies independent of the thread
// count, the shared per-triangle tally, and arguments refused before tracing.

#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>
#include <vector>

#include "cpu/leaf_tally.h"
#include "cpu/photon_args.h"
#include "cpu/render_flux.h"
#include "cpu/render_forward.h"
#include "scene/mesh_generators.h"

using norvi::float3;
using norvi::MaterialType;
using norvi::embree::EmbreeSceneManager;

namespace {

// Two leafy crowns over a Lambertian ground on a 10 x 10 tile, an oblique sun
// and a constant sky. spectral: ground rho | leaf R_front, R_back, T | sun |
// sky, nb values each (two bands by default).
void build_canopy(EmbreeSceneManager& s,
                  const std::vector<float>& spectral = {0.2f, 0.3f, 0.1f, 0.45f, 0.1f, 0.4f, 0.05f, 0.4f, 1.5f,
                                                        1.0f, 0.1f, 0.05f}) {
    const int nb = static_cast<int>(spectral.size() / 6);
    s.set_num_bands(nb);
    s.upload_spectral_params(spectral);
    s.add_material(MaterialType::Lambertian, 0);
    const int leaf = s.add_material(MaterialType::TwoSidedLeaf, nb);
    s.material(leaf).params[0] = 0.5f;
    s.material(leaf).params[1] = 0.5f;
    const norvi::MeshData g = norvi::make_ground_plane(5.0f, 5.0f);
    const norvi::MeshData c = norvi::make_sphere(2.0f, {0, 0, 0}, 2);
    s.add_mesh(g.vertices, g.normals, g.indices, 0);
    s.add_mesh(c.vertices, c.normals, c.indices, leaf);
    s.add_instance(0, 5.0f, 5.0f, 0.0f, 1.0f);
    s.add_instance(1, 3.0f, 4.0f, 3.0f, 1.0f);
    s.add_instance(1, 7.5f, 6.0f, 3.5f, 0.8f);
    const float th = 0.5f, ph = 1.0f;
    s.set_emitter(norvi::EmitterType::Directional,
                  {std::sin(th) * std::cos(ph), std::sin(th) * std::sin(ph), std::cos(th)}, 4 * nb);
    s.set_sky(5 * nb);
    s.set_repetitive(20, 10.0f, 10.0f);
    s.set_measurement_height(5.5f);
    s.build();
}

void expect_close(const std::vector<float>& a, const std::vector<float>& b, const char* what) {
    ASSERT_EQ(a.size(), b.size()) << what;
    for (std::size_t i = 0; i < a.size(); ++i)
        EXPECT_NEAR(a[i], b[i], 1e-5 * (std::fabs(a[i]) + 1e-3)) << what << "[" << i << "]";
}

const std::vector<float> kHeights = {0.0f, 1.0f, 3.0f, 6.0f};
const float kViews[] = {0, 0, 1, 0.6f, 0, 0.8f, 0, 0.6f, 0.8f};

}  // namespace

TEST(PhotonEngines, TalliesAndMapsDoNotDependOnTheThreadCount) {
    EmbreeSceneManager s;
    build_canopy(s);
    const auto forward = [&](int threads) {
        return norvi::embree::render_forward(s, 3, 2, kHeights, 20000, 2, true, 0.7f, kViews, 3, 16,
                                             3, threads, {}, 0);
    };
    const auto one = forward(1);
    const auto many = forward(3);
    expect_close(one.grid, many.grid, "grid");
    expect_close(one.leaf, many.leaf, "leaf");
    expect_close(one.brf, many.brf, "brf");
    expect_close(one.albedo, many.albedo, "albedo");
    expect_close(one.terrain, many.terrain, "terrain");
    EXPECT_EQ(many.layers, 3);
    // (That the leaf and terrain tallies split the grid's absorption is
    // tested from Python; every tally is non-zero in the band-order test.)

    std::vector<int> progress;
    const auto flux = [&](int threads) {
        return norvi::embree::render_flux(s, 4, 3, 20000, 2, 0.7f, 0, 16, 3, threads,
                                          [&](int done, int, float) { progress.push_back(done); });
    };
    const auto flux_one = flux(1);
    const auto flux_many = flux(4);
    expect_close(flux_one.down, flux_many.down, "down");
    expect_close(flux_one.up, flux_many.up, "up");
    EXPECT_EQ(progress, (std::vector<int>{20000, 20000}));
    double up = 0;
    for (float v : flux_many.up) up += v;
    EXPECT_GT(up, 0.0);
}

// Every band of a photon is its own: with the bands listed in reverse, every
// tally comes back exactly reversed band for band. Seventy bands, so that the
// bands are handled in several groups and the last one only partly filled.
TEST(ForwardEngine, ReversedBandsGiveExactlyReversedTallies) {
    const int nb = 70;
    std::vector<float> spectral(6 * nb), reversed(6 * nb);
    for (int k = 0; k < 6; ++k)
        for (int b = 0; b < nb; ++b) {
            const float w = float(b) / float(nb - 1);
            const float v = k == 4 ? 1.6f - w : k == 5 ? 0.02f + 0.1f * w : 0.04f + 0.4f * w * w / float(k + 1);
            spectral[static_cast<std::size_t>(k * nb + b)] = v;
            reversed[static_cast<std::size_t>(k * nb + nb - 1 - b)] = v;
        }
    EmbreeSceneManager s, r;
    build_canopy(s, spectral);
    build_canopy(r, reversed);
    auto run = [&](const EmbreeSceneManager& scene) {
        return norvi::embree::render_forward(scene, 3, 2, kHeights, 4000, nb, true, 0.7f, kViews, 3, 16, 3, 1, {},
                                             0);
    };
    const auto a = run(s);
    const auto z = run(r);
    for (const auto tally : {&norvi::embree::ForwardResult::grid, &norvi::embree::ForwardResult::leaf,
                             &norvi::embree::ForwardResult::brf, &norvi::embree::ForwardResult::albedo,
                             &norvi::embree::ForwardResult::terrain}) {
        const std::vector<float>& x = a.*tally;
        const std::vector<float>& y = z.*tally;
        ASSERT_EQ(x.size(), y.size());
        ASSERT_EQ(x.size() % nb, 0u);
        double total = 0;
        for (std::size_t i = 0; i < x.size(); ++i) {
            const std::size_t j = i - i % nb + (nb - 1 - i % nb);
            ASSERT_EQ(x[i], y[j]) << "entry " << i;
            total += x[i];
        }
        EXPECT_GT(total, 0.0);
    }
}

// The Python layer refuses short direction arrays itself; the engine still
// refuses a count without directions, and the layer rule keeps its type.
TEST(ForwardEngine, RefusesWhatWouldReadOutOfBoundsBeforeTracing) {
    EmbreeSceneManager s;
    build_canopy(s);
    int calls = 0;
    auto progress = [&](int, int, float) { ++calls; };
    using norvi::embree::render_forward;
    EXPECT_THROW(render_forward(s, 1, 1, kHeights, 10, 2, false, 1.0f, nullptr, 2, 16, 3, 1,
                                progress, -1),
                 std::invalid_argument);
    EXPECT_THROW(render_forward(s, 1, 1, {1.0f}, 10, 2, false, 1.0f, nullptr, 0, 16, 3, 1,
                                progress, -1),
                 std::runtime_error);
    EXPECT_EQ(calls, 0);
}

// Grid dimensions whose product wraps around 64 bits to 0 would size empty
// tallies that the photons then write far past.
TEST(PhotonEngines, TallySizesBeyondAnIntAreRefused) {
    using norvi::embree::checked_tally_size;
    EXPECT_EQ(checked_tally_size({3, 0, 5}, "t"), 0u);
    EXPECT_EQ(checked_tally_size({46341, 46340}, "t"), 2147441940u);
    try {
        checked_tally_size({65536, 65536, 65536, 65536}, "render_forward: grid");
        ADD_FAILURE() << "no error";
    } catch (const std::length_error& e) {
        EXPECT_STREQ(e.what(), "render_forward: grid tally of 65536 x 65536 x 65536 x 65536 "
                               "values is too large (at most 2147483647)");
    }

    const int nb = 1 << 16;
    EmbreeSceneManager s;
    s.set_num_bands(nb);
    s.upload_spectral_params(std::vector<float>(2 * nb, 0.5f));  // ground rho | sun
    s.add_material(MaterialType::Lambertian, 0);
    const norvi::MeshData g = norvi::make_ground_plane(5.0f, 5.0f);
    s.add_mesh(g.vertices, g.normals, g.indices, 0);
    s.add_instance(0, 5.0f, 5.0f, 0.0f, 1.0f);
    s.set_emitter(norvi::EmitterType::Directional, {0.0f, 0.0f, 1.0f}, nb);
    s.set_repetitive(1, 10.0f, 10.0f);
    s.build();
    std::vector<float> heights(static_cast<std::size_t>(nb) + 1);
    for (std::size_t k = 0; k < heights.size(); ++k) heights[k] = static_cast<float>(k) - 1.0f;
    EXPECT_THROW(norvi::embree::render_forward(s, nb, nb, heights, 1, nb, false, 1.0f, nullptr, 0,
                                               16, 3, 1, {}, -1),
                 std::length_error);
    EXPECT_THROW(norvi::embree::render_flux(s, 1 << 24, 1 << 24, 1, nb, 1.0f, 0, 16, 3, 1, {}),
                 std::length_error);
}

TEST(LeafTally, SkipsIndicesOutsideTheTable) {
    EmbreeSceneManager s;
    build_canopy(s);
    norvi::embree::LeafTally off(s, 2, false);
    EXPECT_FALSE(off.active());
    norvi::embree::LeafTally::Pending pending;
    off.add(pending, 0, 0, 0, 1.0);
    off.flush(pending);
    EXPECT_TRUE(off.to_float().empty());

    norvi::embree::LeafTally t(s, 2, true);
    ASSERT_TRUE(t.active());
    const auto counts = s.instance_triangle_counts();
    const std::size_t total = counts[0] + counts[1] + counts[2];
    t.add(pending, 1, 0, 1, 2.0);                            // first triangle of instance 1
    t.add(pending, 0, static_cast<int>(counts[0]), 0, 5.0);  // past instance 0's triangles
    t.add(pending, 3, 0, 0, 5.0);                            // no such instance
    t.add(pending, -1, 0, 0, 5.0);
    t.add(pending, 0, 0, 2, 5.0);                            // no such band
    EXPECT_EQ(t.to_float()[(counts[0] + 0) * 2 + 1], 0.0f);  // still in the worker's buffer
    t.flush(pending);
    const std::vector<float> v = t.to_float();
    ASSERT_EQ(v.size(), total * 2);
    double sum = 0;
    for (float x : v) sum += x;
    EXPECT_EQ(sum, 2.0);
    EXPECT_EQ(v[(counts[0] + 0) * 2 + 1], 2.0f);

    // A full buffer moves into the shared array by itself.
    for (int i = 0; i < 5000; ++i) t.add(pending, 2, i % 7, 0, 1.0);
    double shared = 0;
    for (float x : t.to_float()) shared += x;
    EXPECT_GT(shared, 4000.0 + 2.0);
    t.flush(pending);
    shared = 0;
    for (float x : t.to_float()) shared += x;
    EXPECT_EQ(shared, 5002.0);
}
