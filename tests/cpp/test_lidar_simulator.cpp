// The CPU LiDAR simulator against scenes worked out by hand: a flat and a tilted
// Lambertian target, two targets in one beam, a leaf seen from behind; input
// refused before anything is traced; the same result with one thread and many.

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "cpu/lidar_simulator.h"
#include "cpu/lidar_waveform.h"
#include "scene/embree_scene.h"
#include "scene/mesh_generators.h"

using namespace norvi;
using norvi::embree::EmbreeSceneManager;
using norvi::embree::LidarResult;

namespace {

constexpr double kPi = 3.14159265358979323846;

// A horizontal square of half side `half` at height z (normal +z), material m.
void add_plate(EmbreeSceneManager& s, float half, float z, int m, float x0 = 0.0f) {
    const MeshData g = make_ground_plane(half, half);
    s.add_instance(s.add_mesh(g.vertices, g.normals, g.indices, m), x0, 0.0f, z, 1.0f);
}

// One Lambertian plate of reflectance rho and half side `half` at z = 0, built.
void lambert_plate(EmbreeSceneManager& s, float rho, float half = 50.0f) {
    s.add_material(MaterialType::Lambertian, 0);
    s.upload_spectral_params({rho});
    add_plate(s, half, 0.0f, 0);
    s.build();
}

// The arguments of simulate_lidar with their Python defaults.
struct Scan {
    std::vector<float> origins, directions;
    int pulses = 0;
    float half_angle = 0.0005f;
    int samples = 10;
    float energy = 1.0f, area = 0.1f, res = 0.15f, min_range = 0.0f, max_range = 100.0f;
    int wavelengths = 1;
    float fwhm = 4.0f, threshold = 1e-8f;
    int max_returns = 5;
    bool direct = false;
    int threads = 0;

    void add_pulse(float3 o, float3 d) {
        origins.insert(origins.end(), {o.x, o.y, o.z});
        directions.insert(directions.end(), {d.x, d.y, d.z});
        ++pulses;
    }
    LidarResult operator()(const EmbreeSceneManager& s,
                           const std::function<void(int, int, float)>& progress = {}) const {
        return embree::simulate_lidar(s, origins.empty() ? nullptr : origins.data(),
                                      directions.data(), pulses, half_angle,
                                      samples, energy, area, res, min_range, max_range,
                                      wavelengths, fwhm, threshold, max_returns, direct, threads,
                                      progress);
    }
};

double waveform_sum(const LidarResult& r, int pulse, int wavelength, int nw) {
    double s = 0.0;
    for (int b = 0; b < r.num_bins; ++b)
        s += r.waveform[(static_cast<std::size_t>(pulse) * r.num_bins + b) * nw + wavelength];
    return s;
}

// Energy back from a Lambertian plate of reflectance rho at range R, nadir.
double lambert_energy(double rho, double E, double A, double R) { return rho * E * A / (kPi * R * R); }

}  // namespace

// A target tilted 60 degrees about x whose centre lies 12 m below the pulse:
// the energy back is rho E A |cos| / (pi R^2) in both modes (sub-rays leave
// at up to 0.5 mrad: cos^3 of that differs from 1 by less than 1e-6). The flat
// target and the point layout are tested from Python.
TEST(LidarSimulator, ATiltedLambertianTargetReturnsItsClosedFormEnergyInBothModes) {
    const float tilted[12] = {1, 0, 0, 0, 0, 0.5f, -0.8660254f, 0, 0, 0.8660254f, 0.5f, 0};
    const float rho = 0.8f, range = 12.0f;
    EmbreeSceneManager s;
    s.add_material(MaterialType::Lambertian, 0);
    s.upload_spectral_params({rho});
    const MeshData g = make_ground_plane(50.0f, 50.0f);
    s.add_instance(s.add_mesh(g.vertices, g.normals, g.indices, 0), tilted);
    s.build();
    Scan run;
    run.add_pulse({1.0f, 0.0f, range}, {0, 0, -1});
    const double expected = 0.5 * lambert_energy(rho, run.energy, run.area, range);

    run.direct = true;
    const LidarResult d = run(s);
    EXPECT_TRUE(d.waveform.empty());
    ASSERT_EQ(d.num_returns, 1);
    EXPECT_NEAR(d.points[3], expected, 1e-5 * expected);
    run.direct = false;
    const LidarResult w = run(s);
    ASSERT_EQ(w.num_returns, 1);
    EXPECT_NEAR(waveform_sum(w, 0, 0, 1), expected, 1e-4 * expected);
    EXPECT_LE(std::fabs(w.points[6] - range), run.res);
    EXPECT_NEAR(w.points[2], range - w.points[6], 1e-5f);
    // The return's intensity is the convolved waveform at its bin.
    EXPECT_FLOAT_EQ(w.points[3], w.waveform[static_cast<std::size_t>(w.points[6] / run.res)]);

    // A direction of any length is the same pulse.
    Scan longer = run;
    longer.directions = {0, 0, -2.0f};
    for (bool direct : {false, true}) {
        run.direct = longer.direct = direct;
        EXPECT_EQ(longer(s).points, run(s).points) << "direct " << direct;
    }
}

TEST(LidarSimulator, TwoTargetsInOneBeamGiveTwoReturnsNearestFirst) {
    // A plate at z = 5 covers the part of the footprint with x above 4.5 cm;
    // the ground at z = 0 gets the rest. Pulse from z = 20 down, 10 mrad beam.
    EmbreeSceneManager s;
    s.add_material(MaterialType::Lambertian, 0);  // ground
    s.add_material(MaterialType::Lambertian, 1);  // plate
    s.upload_spectral_params({0.3f, 0.6f});
    add_plate(s, 50.0f, 0.0f, 0);
    add_plate(s, 5.0f, 5.0f, 1, 5.045f);
    s.build();

    Scan run;
    run.half_angle = 0.01f;
    run.add_pulse({0, 0, 20}, {0, 0, -1});
    const LidarResult r = run(s);
    ASSERT_EQ(r.num_returns, 2);
    EXPECT_LE(std::fabs(r.points[6] - 15.0f), run.res);
    EXPECT_LE(std::fabs(r.points[8 + 6] - 20.0f), run.res);  // (return numbers: tested from Python)

    // Sub-rays with a >= 0.4 (x = a t 15 m >= 6 cm) meet the plate: Gaussian
    // weights exp(-r^2 / (2 * 0.50016385)) over the 81 disc points of the grid.
    double plate_w = 0.0, all_w = 0.0;
    for (int i = 0; i <= 10; ++i)
        for (int j = 0; j <= 10; ++j) {
            const double a = 0.2 * j - 1, b = 0.2 * i - 1, r2 = a * a + b * b;
            if (r2 > 1.0001) continue;
            const double w = std::exp(-0.5 * r2 / 0.50016385);
            all_w += w;
            if (a > 0.3) plate_w += w;
        }
    plate_w /= all_w;
    const double expected =
        plate_w * lambert_energy(0.6, 1, 0.1, 15) + (1 - plate_w) * lambert_energy(0.3, 1, 0.1, 20);
    EXPECT_NEAR(waveform_sum(r, 0, 0, 1), expected, 1e-3 * expected);
}

// The waveforms of each face and band are tested from Python; direct mode
// reads the first band of the first array whatever the face.
TEST(LidarSimulator, DirectModeReadsTheLeafsFrontReflectanceFromEitherSide) {
    EmbreeSceneManager s;
    s.set_num_bands(2);
    s.add_material(MaterialType::TwoSidedLeaf, 0);
    s.upload_spectral_params({0.1f, 0.2f, 0.5f, 0.7f, 0.05f, 0.05f});  // R_front, R_back, T
    add_plate(s, 10.0f, 0.0f, 0);
    s.build();
    Scan run;
    run.wavelengths = 2;
    run.direct = true;
    run.add_pulse({0, 0, -10}, {0, 0, 1});  // from below: the back face
    run.add_pulse({0, 0, 10}, {0, 0, -1});  // from above: the front face
    const LidarResult d = run(s);
    const double e = lambert_energy(1.0, 1, 0.1, 10);
    ASSERT_EQ(d.num_returns, 2);
    EXPECT_NEAR(d.points[3], 0.1 * e, 1e-6 * e);
    EXPECT_NEAR(d.points[8 + 3], 0.1 * e, 1e-6 * e);
}

TEST(LidarSimulator, PulseOrderRangeWindowAndThreadCountIndependence) {
    // Three crowns on trunks over a ground, scanned along a line.
    EmbreeSceneManager s;
    s.add_material(MaterialType::Lambertian, 0);
    s.add_material(MaterialType::TwoSidedLeaf, 1);
    s.upload_spectral_params({0.2f, 0.45f, 0.3f, 0.4f});
    add_plate(s, 20.0f, 0.0f, 0);
    const MeshData crown = make_sphere(1.5f, {0, 0, 0}, 2);
    const MeshData trunk = make_cylinder(0.2f, 3.0f, 8);
    const int cm = s.add_mesh(crown.vertices, crown.normals, crown.indices, 1);
    const int tm = s.add_mesh(trunk.vertices, trunk.normals, trunk.indices, 0);
    for (int i = 0; i < 3; ++i) {
        s.add_instance(cm, -3.0f + 3.0f * float(i), 0.3f * float(i), 4.0f, 1.0f);
        s.add_instance(tm, -3.0f + 3.0f * float(i), 0.3f * float(i), 0.0f, 1.0f);
    }
    s.build();

    Scan run;
    run.half_angle = 0.02f;
    run.samples = 6;
    run.min_range = 2.0f;
    run.max_range = 40.0f;
    for (int p = 0; p < 60; ++p)
        run.add_pulse({-6.0f + 0.2f * float(p), 0.05f * float(p % 5), 25.0f},
                      {0.05f * float(p % 3 - 1), 0.0f, -0.99874922f});
    // Pulses 60..62: too near (1 m above the ground), too far, missing (up).
    run.add_pulse({15, 0, 1}, {0, 0, -1});
    run.add_pulse({15, 0, 60}, {0, 0, -1});
    run.add_pulse({0, 0, 30}, {0, 0, 1});

    for (bool direct : {false, true}) {
        run.direct = direct;
        run.threads = 1;
        const LidarResult a = run(s);
        run.threads = 5;
        const LidarResult b = run(s);
        EXPECT_GE(a.num_returns, direct ? 60 : 61);  // every scan pulse; crowns give more
        EXPECT_EQ(a.waveform, b.waveform);
        EXPECT_EQ(a.points, b.points);
        EXPECT_EQ(a.num_returns, b.num_returns);
        // Pulse order, nearest first within a pulse; nothing from pulses 60..62.
        for (int i = 1; i < a.num_returns; ++i) {
            const float* prev = &a.points[8 * (i - 1)];
            const float* cur = &a.points[8 * i];
            EXPECT_LE(prev[7], cur[7]);
            if (prev[7] == cur[7]) {
                EXPECT_LT(prev[6], cur[6]);
            }
        }
        EXPECT_EQ(a.points[8 * (a.num_returns - 1) + 7], 59.0f);
        if (direct) {
            for (int i = 0; i < a.num_returns; ++i) EXPECT_EQ(a.points[8 * i + 7], float(i));
        }
    }
}

// The console lines are tested from Python.
TEST(LidarSimulator, ProgressOnceAndNoPulses) {
    EmbreeSceneManager s;
    lambert_plate(s, 0.5f, 5.0f);
    Scan run;
    run.add_pulse({0, 0, 10}, {0, 0, -1});
    run.add_pulse({1, 0, 10}, {0, 0, -1});
    run.threads = 3;
    int calls = 0;
    testing::internal::CaptureStdout();
    run(s, [&](int done, int total, float ms) {
        ++calls;
        EXPECT_EQ(done, 2);
        EXPECT_EQ(total, 2);
        EXPECT_GE(ms, 0.0f);
    });
    EXPECT_EQ(calls, 1);
    Scan none;
    for (bool direct : {false, true}) {
        none.direct = direct;
        const LidarResult r = none(s);
        EXPECT_TRUE(r.waveform.empty());
        EXPECT_TRUE(r.points.empty());
        EXPECT_EQ(r.num_returns, 0);
        EXPECT_EQ(r.num_bins, 667);
    }
    testing::internal::GetCapturedStdout();
}

TEST(LidarSimulator, BadInputIsRefusedBeforeAnythingIsTraced) {
    EmbreeSceneManager s;
    s.set_num_bands(2);
    s.add_material(MaterialType::Lambertian, 0);
    s.add_material(MaterialType::TwoSidedLeaf, 2);
    s.upload_spectral_params({0.5f, 0.5f, 0.3f, 0.3f, 0.1f});  // leaf back array ends short
    add_plate(s, 5.0f, 0.0f, 0);
    s.build();
    Scan base;
    base.threads = 1;
    base.add_pulse({0, 0, 10}, {0, 0, -1});

    // Each case: a change to the waveform-mode defaults and a word of the
    // message (the beam, window and band checks, with whole messages, are
    // tested from Python).
    const std::vector<std::pair<std::function<void(Scan&)>, std::string>> bad = {
        {[](Scan& r) { r.res = 0.0f; }, "range_resolution"},
        {[](Scan& r) { r.pulses = -1; }, "num_pulses"},
        {[](Scan& r) { r.origins.clear(); }, "pulse_origins"},
        {[](Scan& r) { r.energy = std::nanf(""), r.direct = true; }, "pulse_energy"},
        {[](Scan& r) { r.area = -0.1f; }, "sensor_area"},
        {[](Scan& r) { r.threshold = std::nanf(""); }, "peak_threshold"},
        // A zero, NaN or infinite direction or origin, in the second pulse.
        {[](Scan& r) { r.add_pulse({0, 0, 10}, {0, 0, 0}); }, "pulse_directions of pulse 1"},
        {[](Scan& r) { r.add_pulse({0, 0, 10}, {0, NAN, -1}), r.direct = true; }, "pulse 1"},
        {[](Scan& r) { r.add_pulse({0, 0, INFINITY}, {0, 0, -1}); }, "pulse 1"},
    };
    testing::internal::CaptureStdout();
    for (const auto& [change, word] : bad) {
        Scan run = base;
        change(run);
        try {
            run(s);
            ADD_FAILURE() << "not refused: " << word;
        } catch (const std::invalid_argument& e) {
            EXPECT_NE(std::string(e.what()).find(word), std::string::npos) << e.what();
        }
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

    // Direct mode reads no second wavelength and needs neither a pulse width
    // nor a beam.
    testing::internal::CaptureStdout();
    Scan direct = base;
    direct.direct = true;
    direct.wavelengths = 2;
    direct.fwhm = 0.0f;
    direct.samples = 0;
    direct.half_angle = std::nanf("");
    EXPECT_EQ(direct(s).num_returns, 1);

    // The leaf's back reflectance of band 1 would be value 5: one past the end.
    const MeshData g = make_ground_plane(1, 1);
    const int leaf_mesh = s.add_mesh(g.vertices, g.normals, g.indices, 1);
    Scan two = base;
    two.wavelengths = 2;
    EXPECT_NO_THROW(two(s));  // not placed: never hit
    s.add_instance(leaf_mesh, 0.0f, 0.0f, -5.0f, 1.0f);
    s.build();
    EXPECT_THROW(two(s), std::invalid_argument);
    EXPECT_NO_THROW(base(s));  // band 0 of the back array: value 4
    // A mesh naming a material that does not exist.
    s.add_mesh(g.vertices, g.normals, g.indices, 7);
    EXPECT_THROW(base(s), std::invalid_argument);
    // An unbuilt scene.
    EmbreeSceneManager unbuilt;
    EXPECT_THROW(direct(unbuilt), std::runtime_error);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "LiDAR (CPU): 1 pulses, 1 beam samples, direct mode, 1 threads\n"
                   "LiDAR (CPU): 1 pulses, 81 beam samples, waveform mode, 1 threads\n"
                   "LiDAR (CPU): 1 pulses, 81 beam samples, waveform mode, 1 threads\n");
}
