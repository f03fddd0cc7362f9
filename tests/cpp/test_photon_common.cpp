// Pieces shared by the photon engines: tally-grid indexing, where photons
// enter the scene, the source choice and energy factor, and the batch loop.

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <limits>
#include <random>
#include <set>
#include <stdexcept>
#include <tuple>
#include <utility>
#include <vector>

#include "cpu/photon_batches.h"
#include "physics/photon_entry.h"
#include "physics/photon_grid.h"
#include "scene/vec_math.h"

using namespace norvi;

namespace {

const float kNaN = std::numeric_limits<float>::quiet_NaN();
const float kInf = std::numeric_limits<float>::infinity();

// Is the start point 0.1 outside face `face` of box b and within its extent?
bool starts_outside_face(float3 o, int face, const SceneBounds& b) {
    const float eps = 1e-5f;
    auto within = [&](float v, float lo, float hi) { return v >= lo - eps && v <= hi + eps; };
    auto near = [&](float v, float target) { return std::fabs(v - target) < eps; };
    switch (face) {
        case kFaceTop:
            return near(o.z, b.top + 0.1f) && within(o.x, b.x_min, b.x_max) &&
                   within(o.y, b.y_min, b.y_max);
        case kFaceXMin:
        case kFaceXMax:
            return near(o.x, face == kFaceXMin ? b.x_min - 0.1f : b.x_max + 0.1f) &&
                   within(o.y, b.y_min, b.y_max) && within(o.z, b.bottom, b.top);
        default:
            return near(o.y, face == kFaceYMin ? b.y_min - 0.1f : b.y_max + 0.1f) &&
                   within(o.x, b.x_min, b.x_max) && within(o.z, b.bottom, b.top);
    }
}

const SceneBounds kBox{/*top*/ 5.0f, /*bottom*/ 0.0f, /*x*/ -10.0f, 10.0f, /*y*/ -5.0f, 5.0f};

}  // namespace

// Forward cells truncate and clamp to the grid; flux cells truncate toward
// zero and drop the outside; layers include their lower bound and clamp.
// No undefined conversions for non-finite values or an empty extent.
TEST(PhotonGrid, CellsAndLayersOfPositions) {
    struct Case {
        float x, cell_size;
        int clamped, or_none;
    };
    // Cells of 2 m, 5 cells: [0, 10).
    const Case cells[] = {{0.0f, 2, 0, 0},     {1.99f, 2, 0, 0},  {2.0f, 2, 1, 1},     {4.0f, 2, 2, 2},
                          {9.99f, 2, 4, 4},    {10.0f, 2, 4, -1}, {1e30f, 2, 4, -1},   {-0.6f, 2, 0, 0},
                          {-2.4f, 2, 0, -1},   {-2.0f, 2, 0, -1}, {-100.0f, 2, 0, -1}, {kInf, 2, 4, -1},
                          {-kInf, 2, 0, -1},   {kNaN, 2, 0, -1},  {3.0f, 0, 4, -1},    {0.0f, 0, 0, -1}};
    for (const Case& c : cells) {
        EXPECT_EQ(clamped_cell(c.x, c.cell_size, 5), c.clamped) << c.x << " / " << c.cell_size;
        EXPECT_EQ(grid_cell_or_none(c.x, c.cell_size, 5), c.or_none) << c.x << " / " << c.cell_size;
    }
    EXPECT_EQ(clamped_cell(7.0f, 2.0f, 1), 0);

    const float h[] = {0.0f, 1.0f, 2.5f, 4.0f};  // a boundary belongs to the layer above
    for (const auto& [z, layer] : {std::pair{0.0f, 0}, {0.99f, 0}, {1.0f, 1}, {2.5f, 2}, {-3.0f, 0}, {4.0f, 2}, {100.0f, 2}})
        EXPECT_EQ(layer_of_height(h, 3, z), layer) << z;
    const float one[] = {1.0f, 2.0f};  // one layer takes every height
    for (float z : {-5.0f, 1.0f, 1.5f, 2.0f, 50.0f}) EXPECT_EQ(layer_of_height(one, 1, z), 0);
}

TEST(PhotonGrid, GridIndexIsBandFastestThenXThenYThenLayer) {
    const int nx = 3, ny = 2, layers = 4, nb = 5;
    std::set<std::size_t> seen;
    std::size_t expected = 0;
    for (int k = 0; k < layers; ++k)
        for (int iy = 0; iy < ny; ++iy)
            for (int ix = 0; ix < nx; ++ix)
                for (int b = 0; b < nb; ++b) {
                    EXPECT_EQ(grid_index(k, iy, ix, nx, ny, nb, b), expected++);
                }
    // Large grids do not wrap around 32 bits.
    EXPECT_EQ(grid_index(999, 999, 999, 1000, 1000, 8, 7), std::size_t{1000000000} * 8 - 1);
}

// Sun photons enter the top and the two lit sides in proportion to their
// projected areas, sky photons all five faces in proportion to their areas;
// every photon starts 0.1 outside its face, heading inward.
TEST(PhotonEntry, PhotonsEnterTheFacesInProportionToTheAreaTheirSourceSees) {
    const float th = 0.6f, ph = 2.2f;  // sun toward -x, +y
    const float3 s{std::sin(th) * std::cos(ph), std::sin(th) * std::sin(ph), std::cos(th)};
    const double wx = 20, wy = 10, h = 5;
    const double sun_areas[5] = {std::fabs(s.z) * wx * wy, std::fabs(s.x) * wy * h, 0, 0, std::fabs(s.y) * wx * h};
    const double sky_areas[5] = {wx * wy, wy * h, wy * h, wx * h, wx * h};
    for (const bool sky : {false, true}) {
        const double* areas = sky ? sky_areas : sun_areas;
        const double total = areas[0] + areas[1] + areas[2] + areas[3] + areas[4];
        std::mt19937 rng(sky ? 11 : 7);
        std::uniform_real_distribution<float> u(0.0f, 1.0f);
        const int n = 200000;
        int counts[5] = {};
        for (int i = 0; i < n; ++i) {
            const float u1 = u(rng), u2 = u(rng), u3 = u(rng);
            const PhotonEntry e = sky ? sky_entry_box(kBox, u1, u2, u3) : sun_entry_box(s, kBox, u1, u2, u3);
            counts[e.face] += 1;
            EXPECT_NEAR(e.area_ratio, total / (wx * wy), 1e-5);
            ASSERT_TRUE(starts_outside_face(e.origin, e.face, kBox))
                << "face " << e.face << " at " << e.origin.x << ", " << e.origin.y << ", " << e.origin.z;
            const float inward = sky ? dot(e.inward_normal, float3{0.0f, 0.0f, 2.5f} - e.origin)
                                     : dot(-s, e.inward_normal);  // a face the sun lights
            ASSERT_GT(inward, 0.0f) << "face " << e.face << (sky ? " (sky)" : " (sun)");
        }
        for (int f = 0; f < 5; ++f)
            EXPECT_NEAR(counts[f] / double(n), areas[f] / total, 4.0 / std::sqrt(double(n))) << f << " sky " << sky;
    }
}

TEST(PhotonEntry, ZenithSunAndFlatBoxes) {
    const PhotonEntry e = sun_entry_box({0, 0, 1}, kBox, 0.25f, 0.5f, 0.999f);
    EXPECT_EQ(e.face, kFaceTop);
    EXPECT_DOUBLE_EQ(e.area_ratio, 1.0);
    // A box without horizontal extent carries no energy and still gives a start point.
    const SceneBounds flat{1, 0, 2, 2, 0, 3};
    EXPECT_EQ(sun_entry_box({0.6f, 0, 0.8f}, flat, 0.5f, 0.5f, 0.5f).area_ratio, 0.0);
    EXPECT_EQ(sky_entry_box(flat, 0.5f, 0.5f, 0.5f).area_ratio, 0.0);
    const SceneBounds empty{};
    EXPECT_EQ(sky_entry_box(empty, 0.5f, 0.5f, 0.5f).face, kFaceTop);
}

TEST(PhotonEntry, TilePhotonsCrossTheMeasurementPlaneWhereChosen) {
    const float3 d = normalize(float3{0.5f, -0.3f, -0.8f});
    const float plane = 2.0f;
    const PhotonEntry e = tile_entry(d, plane, 8.0f, 6.0f, 0.25f, 0.75f);
    EXPECT_FLOAT_EQ(e.origin.z, 2.1f);
    EXPECT_EQ(e.area_ratio, 1.0);
    const float t = (plane - e.origin.z) / d.z;
    EXPECT_NEAR(e.origin.x + t * d.x, 2.0f, 1e-5f);
    EXPECT_NEAR(e.origin.y + t * d.y, 4.5f, 1e-5f);
}

TEST(PhotonEntry, TilePhotonsStartInsideTheTileColumn) {
    // Crossing points near the walls would put the start point outside the
    // column or on a wall: it is replaced by its image whole tiles away, kept
    // 1 mm inside the walls, 0.1 above the plane.
    for (float3 d : {normalize(float3{0.5f, -0.3f, -0.8f}), normalize(float3{-0.5f, 0.3f, -0.8f}),
                     normalize(float3{-0.433f, -0.25f, -0.866f})}) {
        for (float u1 : {0.0f, 0.001f, 0.5f, 0.995002151f, 0.999f, 1.0f}) {
            for (float u2 : {0.0f, 0.5f, 0.999f, 1.0f}) {
                const PhotonEntry e = tile_entry(d, 0.0f, 8.0f, 6.0f, u1, u2);
                EXPECT_GE(e.origin.x, 0.001f);
                EXPECT_LE(e.origin.x, 7.999f);
                EXPECT_GE(e.origin.y, 0.001f);
                EXPECT_LE(e.origin.y, 5.999f);
                EXPECT_FLOAT_EQ(e.origin.z, 0.1f);
                const float t = -e.origin.z / d.z;
                const float sx = (e.origin.x + t * d.x - u1 * 8.0f) / 8.0f;
                const float sy = (e.origin.y + t * d.y - u2 * 6.0f) / 6.0f;
                EXPECT_NEAR(sx, std::round(sx), 2e-4f) << u1 << " " << u2;
                EXPECT_NEAR(sy, std::round(sy), 2e-4f) << u1 << " " << u2;
            }
        }
    }
}

TEST(PhotonSource, ChoiceAndEnergyFactorStayFinite) {
    // With a sky: sun below prob_sun; prob_sun = 1 never yields a sky photon,
    // not even for u = 1 (a sky photon would weigh 1 / 0).
    for (const auto& [u, prob_sun, sun] : {std::tuple{0.29f, 0.3f, true}, {0.3f, 0.3f, false}, {1.0f, 1.0f, true},
                                           {0.0f, 0.0f, false}})
        EXPECT_EQ(choose_sun(u, prob_sun), sun) << u << " " << prob_sun;
    EXPECT_DOUBLE_EQ(photon_energy_factor(2.0, true, true, 0.25f), 8.0);
    EXPECT_DOUBLE_EQ(photon_energy_factor(2.0, true, false, 0.25f), 2.0 / 0.75);
    // (Without a sky prob_sun changes nothing: tested through the engines.)
}

TEST(PhotonBatches, BatchCountsOfAMillion) {
    for (const auto& [photons, batches] : {std::pair{0, 0}, {-5, 0}, {1, 1}, {1000000, 1}, {1000001, 2}, {2147483647, 2148}})
        EXPECT_EQ(norvi::embree::photon_batch_count(photons), batches) << photons;
}

TEST(PhotonBatches, EveryPhotonOfTheRangeOnceAndProgressAfterEachBatch) {
    const int first = 300000, n = 2500000;
    std::vector<std::atomic<unsigned char>> visits(first + n);
    std::atomic<int> bad_thread{0};
    std::vector<std::vector<int>> calls;
    const auto start = std::chrono::system_clock::now();
    norvi::embree::run_photon_batches(
        first, first + n, 3,
        [&](int done, int total, float ms) {
            calls.push_back({done, total});
            EXPECT_GE(ms, 0.0f);
        },
        start, [&](int thread, int photon) {
            if (thread < 0 || thread >= 3) bad_thread++;
            visits[static_cast<std::size_t>(photon)]++;
        });
    EXPECT_EQ(bad_thread.load(), 0);
    std::size_t wrong = 0;
    for (int i = 0; i < first + n; ++i) wrong += visits[static_cast<std::size_t>(i)].load() != (i >= first);
    EXPECT_EQ(wrong, 0u);
    const std::vector<std::vector<int>> expected = {{1000000, n}, {2000000, n}, {n, n}};
    EXPECT_EQ(calls, expected);

    using norvi::embree::resolve_photon_range;
    EXPECT_EQ(resolve_photon_range({}, 7, "t"), std::make_pair(0, 7));
    EXPECT_EQ(resolve_photon_range({2, 3}, 7, "t"), std::make_pair(2, 5));
    EXPECT_EQ(resolve_photon_range({7, -1}, 7, "t"), std::make_pair(7, 7));
    for (norvi::embree::PhotonRange bad : {norvi::embree::PhotonRange{-1, 2}, {5, 3}, {8, -1}, {2, 6}})
        EXPECT_THROW(resolve_photon_range(bad, 7, "t"), std::invalid_argument) << bad.first << " " << bad.count;
}

TEST(PhotonBatches, NoPhotonsNoProgressAndWorkerErrorsReachTheCaller) {
    int progress_calls = 0;
    int traced = 0;
    norvi::embree::run_photon_batches(
        0, 0, 2, [&](int, int, float) { ++progress_calls; }, std::chrono::system_clock::now(),
        [&](int, int) { ++traced; });
    EXPECT_EQ(progress_calls, 0);
    EXPECT_EQ(traced, 0);

    std::atomic<int> after{0};
    EXPECT_THROW(norvi::embree::run_photon_batches(
                     0, 1500000, 2, [&](int, int, float) { ++progress_calls; },
                     std::chrono::system_clock::now(),
                     [&](int, int photon) {
                         if (photon == 1234) throw std::runtime_error("photon failed");
                         ++after;
                     }),
                 std::runtime_error);
    EXPECT_EQ(progress_calls, 0);          // the failing batch reports nothing
    EXPECT_LT(after.load(), 1000000);      // and the workers stopped early
}
