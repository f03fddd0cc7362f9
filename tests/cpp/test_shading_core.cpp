// The shading and sampling core: generator, frames, ray offsets, reflectance
// models against closed forms and their samplers against their densities,
// sun and sky, Planck emission, roulette, periodic wrapping, engine plumbing.

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "cpu/threading.h"
#include "physics/bsdf.h"
#include "physics/pcg32.h"
#include "physics/ray_offset.h"
#include "physics/roulette.h"
#include "physics/shading_frame.h"
#include "physics/sun_sky.h"
#include "physics/thermal.h"
#include "scene/periodic_wrap.h"
#include "scene/vec_math.h"
#include "tests/cpp/chi2.h"

using namespace norvi;

namespace {

constexpr double kPiD = 3.14159265358979323846;

MaterialData make_material(MaterialType type, int offset = 0, float p0 = 0, float p1 = 0) {
    MaterialData m;
    std::memset(&m, 0, sizeof(m));
    m.type = type;
    m.spectral_offset = offset;
    m.params[0] = p0;
    m.params[1] = p1;
    return m;
}

float3 unit(float x, float y, float z) { return normalize(float3{x, y, z}); }

void expect_near3(float3 got, float3 want, float tol) {
    EXPECT_NEAR(got.x, want.x, tol);
    EXPECT_NEAR(got.y, want.y, tol);
    EXPECT_NEAR(got.z, want.z, tol);
}

// Integral over the whole sphere of f(wo, wi) |wi.z| (midpoint rule; the
// theta grid has an edge at the horizon, where the leaf switches lobes).
double albedo(MaterialType type, const std::vector<float>& a, int nb, int band, float3 wo,
              bool back_face, bool thermal) {
    const int nt = 200, np = 200;
    double sum = 0;
    for (int i = 0; i < nt; ++i) {
        const double th = kPiD * (i + 0.5) / nt;
        for (int j = 0; j < np; ++j) {
            const double ph = 2 * kPiD * (j + 0.5) / np;
            const float3 wi = test::sphere_direction(th, ph);
            sum += double(eval_bsdf(type, 0, band, wo, wi, a.data(), nb, back_face, thermal)) *
                   std::fabs(std::cos(th)) * std::sin(th);
        }
    }
    return sum * (kPiD / nt) * (2 * kPiD / np);
}

// Six sampler checks below share one family-wise level of 1%.
const double kAlpha = test::sidak_alpha(0.01, 6);

test::Chi2Outcome chi2_of(const MaterialData& m, uint64_t seed) {
    Pcg32 rng;
    rng.seed(seed, 7);
    auto sample = [&]() {
        float3 wi;
        float pdf;
        sample_bsdf_from(rng, m, wi, pdf);
        return wi;
    };
    auto pdf = [&](float3 w) { return double(pdf_bsdf(m, w)); };
    return test::chi2_sphere(sample, pdf, 200000, kAlpha);
}

}  // namespace

// --- generator --------------------------------------------------------------

TEST(Pcg32, ReproducesReferenceStreamForPublishedSeed) {
    Pcg32 rng;
    rng.seed(42u, 54u);
    const uint32_t expected[] = {0xa15c02b7u, 0x7b47f409u, 0xba1d3330u,
                                 0x83d2f293u, 0xbfa4784bu, 0xcbed606eu};
    for (uint32_t e : expected) EXPECT_EQ(rng.next_uint(), e);
}

// (The floats' uniformity is exercised by every sampler's chi-square test.)

// --- frames and offsets -------------------------------------------------------

TEST(ShadingFrame, IsRightHandedOrthonormalAndRoundTrips) {
    const float3 normals[] = {unit(0, 0, 1),  unit(0, 0, -1), unit(1, 0, 0),  unit(0, 1, 0),
                              unit(1, 2, 3),  unit(-3, 1, -2), unit(0.f, 1e-3f, 1), unit(5, -1, 0.1f)};
    for (const float3 n : normals) {
        const ShadingFrame f = make_shading_frame(n);
        EXPECT_NEAR(dot(f.s, f.s), 1.0f, 1e-5f);
        EXPECT_NEAR(dot(f.t, f.t), 1.0f, 1e-5f);
        EXPECT_NEAR(dot(f.s, f.t), 0.0f, 1e-5f);
        EXPECT_NEAR(dot(f.s, f.n), 0.0f, 1e-5f);
        EXPECT_NEAR(dot(f.t, f.n), 0.0f, 1e-5f);
        const float3 c = cross(f.s, f.t);  // S x T = N
        EXPECT_NEAR(dot(c, n), 1.0f, 1e-5f);
        const float3 v = unit(0.3f, -0.7f, 0.2f);
        expect_near3(to_world(f, to_local(f, v)), v, 1e-5f);
        EXPECT_NEAR(to_local(f, n).z, 1.0f, 1e-5f);
    }
    const ShadingFrame up = make_shading_frame({0, 0, 1});
    EXPECT_EQ(up.s.x, 1.0f);
    EXPECT_EQ(up.t.y, 1.0f);
}

TEST(RayOffset, MovesAlongTheNormalByFixedUlpsOrAbsoluteStep) {
    // Far from the origin: 256 ulps along a unit axis normal.
    const float3 p = offset_ray_origin({1.0f, -2.0f, 100.0f}, {0, 0, 1});
    EXPECT_EQ(p.x, 1.0f);
    EXPECT_EQ(p.y, -2.0f);
    EXPECT_EQ(p.z, 100.0f + 256 * std::nextafter(100.0f, 200.0f) - 256 * 100.0f);
    // Negative coordinates still move along +n.
    const float3 q = offset_ray_origin({-5.0f, -5.0f, -5.0f}, {0, 0, 1});
    EXPECT_GT(q.z, -5.0f);
    EXPECT_EQ(q.x, -5.0f);
    // Near zero the step is n * 2^-16.
    const float3 r = offset_ray_origin({0.0f, 0.01f, -0.02f}, unit(1, 1, 1));
    const float nn = unit(1, 1, 1).x;
    EXPECT_FLOAT_EQ(r.x, nn / 65536.0f);
    EXPECT_FLOAT_EQ(r.y, 0.01f + nn / 65536.0f);
    EXPECT_FLOAT_EQ(r.z, -0.02f + nn / 65536.0f);
    // Every component moves toward the side n points to.
    const float3 n = unit(-1, 2, -3);
    const float3 p0{3.0f, -4.0f, 7.0f};
    const float3 p1 = offset_ray_origin(p0, n);
    EXPECT_LT(p1.x, p0.x);
    EXPECT_GT(p1.y, p0.y);
    EXPECT_LT(p1.z, p0.z);
    EXPECT_LT(length(p1 - p0), 1e-3f);
    // face_toward turns a normal to the side of the new direction.
    EXPECT_EQ(face_toward({0, 0, 1}, {0, 0.1f, -1}).z, -1.0f);
    EXPECT_EQ(face_toward({0, 0, 1}, {0, 0.1f, 1}).z, 1.0f);
}

// --- reflectance models ---------------------------------------------------------

TEST(Bsdf, LambertianIsRhoOverPiAndOneMinusEpsilonOverPiInThermal) {
    const std::vector<float> a = {0.2f, 0.6f};
    const float3 wo = unit(0.3f, 0.1f, 1), wi = unit(-0.5f, 0.2f, 0.4f);
    EXPECT_FLOAT_EQ(eval_bsdf(MaterialType::Lambertian, 0, 1, wo, wi, a.data(), 2, false, false),
                    0.6f / 3.14159265f);
    EXPECT_FLOAT_EQ(eval_bsdf(MaterialType::Lambertian, 0, 0, wo, wi, a.data(), 2, false, true),
                    0.8f / 3.14159265f);
    EXPECT_EQ(eval_bsdf(MaterialType::Lambertian, 0, 0, wo, unit(0, 0, -1), a.data(), 2, false, false), 0.0f);
    EXPECT_EQ(eval_bsdf(MaterialType::Lambertian, 0, 0, unit(0, 1, -1), wi, a.data(), 2, false, false), 0.0f);
    // every other kind is black
    EXPECT_EQ(eval_bsdf(static_cast<MaterialType>(7), 0, 0, wo, wi, a.data(), 2, false, false), 0.0f);
}

TEST(Bsdf, LeafReflectsFrontOrBackAndTransmitsThroughEitherSide) {
    // bands: R_front = {0.1, 0.2}, R_back = {0.3, 0.4}, T = {0.5, 0.05}
    const std::vector<float> a = {0.1f, 0.2f, 0.3f, 0.4f, 0.5f, 0.05f};
    const float3 wo = unit(0.2f, 0.1f, 1), up = unit(0.4f, -0.3f, 0.8f), down = unit(0.1f, 0.1f, -1);
    const auto leaf = MaterialType::TwoSidedLeaf;
    EXPECT_FLOAT_EQ(eval_bsdf(leaf, 0, 0, wo, up, a.data(), 2, false, false), 0.1f * kInvPi);
    EXPECT_FLOAT_EQ(eval_bsdf(leaf, 0, 1, wo, up, a.data(), 2, true, false), 0.4f * kInvPi);
    EXPECT_FLOAT_EQ(eval_bsdf(leaf, 0, 0, wo, down, a.data(), 2, false, false), 0.5f * kInvPi);
    EXPECT_FLOAT_EQ(eval_bsdf(leaf, 0, 1, wo, down, a.data(), 2, true, false), 0.05f * kInvPi);
    // albedo seen from the front is R_front + T, from the back R_back + T
    EXPECT_NEAR(albedo(leaf, a, 2, 0, wo, false, false), 0.1 + 0.5, 1e-3);
    EXPECT_NEAR(albedo(leaf, a, 2, 0, wo, true, false), 0.3 + 0.5, 1e-3);
    EXPECT_NEAR(albedo(leaf, a, 2, 1, wo, true, false), 0.4 + 0.05, 1e-3);
}

TEST(Bsdf, RpvReducesToRho0AndIsReciprocal) {
    // k = 1, Theta = 0, rho_c = 1: M = F = H = 1, the reflectance factor is rho0
    const float dirs[][3] = {{0, 0, 1}, {0.5f, 0.2f, 0.6f}, {-0.9f, 0.1f, 0.2f}, {0.1f, -0.8f, 0.05f}};
    for (auto& o : dirs)
        for (auto& i : dirs)
            EXPECT_FLOAT_EQ(rpv_reflectance_factor(0.35f, 1.0f, 0.0f, 1.0f, unit(o[0], o[1], o[2]),
                                                   unit(i[0], i[1], i[2])),
                            0.35f);
    // evaluated as a reflectance distribution it is Lambertian with albedo rho0
    const std::vector<float> reduced = {0.35f, 1.0f, 0.0f, 1.0f};
    EXPECT_FLOAT_EQ(eval_bsdf(MaterialType::Rpv, 0, 0, unit(0.3f, 0, 1), unit(0, 0.2f, 1),
                              reduced.data(), 1, false, false),
                    0.35f * kInvPi);
    // general parameters against hand-worked values (rho0 0.2, k 0.7, Theta -0.2, rho_c 0.4):
    // at nadir M = 1, F = (1 - Theta) / (1 + Theta)^2 = 1.875, H = 2 - rho_c = 1.6
    EXPECT_NEAR(rpv_reflectance_factor(0.2f, 0.7f, -0.2f, 0.4f, {0, 0, 1}, {0, 0, 1}), 0.6f, 1e-6f);
    // both at 60 degrees: M = 0.25^-0.3; in the hot spot F = 1.875, H = 1.6; opposite
    // azimuths give cos g = -1/2, D = 1.24, G = sqrt(12)
    const float s60 = std::sqrt(3.0f) / 2;
    EXPECT_NEAR(rpv_reflectance_factor(0.2f, 0.7f, -0.2f, 0.4f, {s60, 0, 0.5f}, {s60, 0, 0.5f}),
                0.9094299f, 1e-6f);
    EXPECT_NEAR(rpv_reflectance_factor(0.2f, 0.7f, -0.2f, 0.4f, {s60, 0, 0.5f}, {-s60, 0, 0.5f}),
                0.2390865f, 1e-6f);
    // ... read band by band from the four arrays rho0, k, Theta, rho_c, divided by pi
    const std::vector<float> two_bands = {0.9f, 0.2f, 0.3f, 0.7f, 0.5f, -0.2f, 0.1f, 0.4f};
    EXPECT_NEAR(eval_bsdf(MaterialType::Rpv, 0, 1, {s60, 0, 0.5f}, {-s60, 0, 0.5f}, two_bands.data(), 2,
                          false, false),
                0.2390865 / kPiD, 1e-6);
    // symmetric in wo and wi, positive, zero below the horizon
    const float3 w1 = unit(0.6f, 0.1f, 0.5f), w2 = unit(-0.2f, 0.7f, 0.3f);
    const float f12 = rpv_reflectance_factor(0.2f, 0.7f, -0.2f, 0.4f, w1, w2);
    const float f21 = rpv_reflectance_factor(0.2f, 0.7f, -0.2f, 0.4f, w2, w1);
    EXPECT_GT(f12, 0.0f);
    EXPECT_NEAR(f12, f21, 1e-6f * f12);
    EXPECT_EQ(rpv_reflectance_factor(0.2f, 0.7f, -0.2f, 0.4f, w1, unit(0, 0.1f, -1)), 0.0f);
    // a backward-scattering Theta < 0 with rho_c < 1 brightens the hot spot (wi = wo)
    EXPECT_GT(rpv_reflectance_factor(0.2f, 0.8f, -0.2f, 0.4f, w1, w1),
              rpv_reflectance_factor(0.2f, 0.8f, -0.2f, 0.4f, w1, unit(-0.6f, -0.1f, 0.5f)));
}

TEST(Bsdf, SamplersMatchTheirDensities) {
    const MaterialData kinds[] = {
        make_material(MaterialType::Lambertian),
        make_material(MaterialType::Rpv),
        make_material(MaterialType::TwoSidedLeaf, 0, 0.3f, 0.7f),
        make_material(MaterialType::TwoSidedLeaf, 0, 1.0f, 0.0f),
        make_material(MaterialType::TwoSidedLeaf, 0, 0.0f, 2.0f),
        // a negative weight counts as 0: transmission only, not a density of total 2
        make_material(MaterialType::TwoSidedLeaf, 0, -1.0f, 2.0f),
    };
    uint64_t seed = 1;
    for (const MaterialData& m : kinds) {
        const test::Chi2Outcome r = chi2_of(m, seed++);
        EXPECT_TRUE(r.passed) << "kind " << int(m.type) << " weights " << m.params[0] << ", "
                              << m.params[1] << ": " << r.message;
    }
}

TEST(Bsdf, ChiSquareRejectsASamplerThatDoesNotMatch) {
    // uniform hemisphere directions against the cosine density must fail
    Pcg32 rng;
    rng.seed(3, 3);
    auto uniform = [&]() {
        const float z = rng.next_float(), phi = kTwoPi * rng.next_float();
        const float r = std::sqrt(std::max(0.0f, 1 - z * z));
        return float3{r * std::cos(phi), r * std::sin(phi), z};
    };
    const MaterialData lamb = make_material(MaterialType::Lambertian);
    auto pdf = [&](float3 w) { return double(pdf_bsdf(lamb, w)); };
    EXPECT_FALSE(test::chi2_sphere(uniform, pdf, 200000, kAlpha).passed);
}

TEST(Bsdf, LeafSampleWeightsEstimateTheAlbedoAndBlackKindsSampleStraightUp) {
    // f |cos| / pdf averages to R + T: the density includes the lobe choice.
    const std::vector<float> a = {0.3f, 0.1f, 0.45f};
    const MaterialData leaf = make_material(MaterialType::TwoSidedLeaf, 0, 0.8f, 0.2f);
    Pcg32 rng;
    rng.seed(11, 5);
    const float3 wo = unit(0.1f, 0.3f, 1);
    const int n = 200000;
    double sum = 0, sum2 = 0;
    for (int i = 0; i < n; ++i) {
        const float u[3] = {rng.next_float(), rng.next_float(), rng.next_float()};
        float3 wi;
        float pdf;
        sample_bsdf(leaf, u, wi, pdf);
        ASSERT_GT(pdf, 0.0f);
        EXPECT_NEAR(pdf, pdf_bsdf(leaf, wi), 1e-5f);
        const double w = eval_bsdf(leaf.type, 0, 0, wo, wi, a.data(), 1, false, false) * std::fabs(wi.z) / pdf;
        sum += w;
        sum2 += w * w;
    }
    const double mean = sum / n, se = std::sqrt((sum2 / n - mean * mean) / n);
    EXPECT_NEAR(mean, 0.3 + 0.45, 5 * se);

    // a leaf without weights, and unknown kinds, give (0, 0, 1) with density 1
    const float u[3] = {0.5f, 0.5f, 0.5f};
    for (const MaterialData& m : {make_material(MaterialType::TwoSidedLeaf), make_material(static_cast<MaterialType>(42))}) {
        float3 wi;
        float pdf = 0;
        sample_bsdf(m, u, wi, pdf);
        EXPECT_EQ(wi.z, 1.0f);
        EXPECT_EQ(pdf, 1.0f);
    }
    // ... and the weightless leaf then evaluates to its front (back) reflectance / pi
    EXPECT_FLOAT_EQ(eval_bsdf(leaf.type, 0, 0, wo, {0, 0, 1}, a.data(), 1, false, false), 0.3f * kInvPi);
    EXPECT_FLOAT_EQ(eval_bsdf(leaf.type, 0, 0, wo, {0, 0, 1}, a.data(), 1, true, false), 0.1f * kInvPi);
    // a sample at u0 = 1 (allowed) lies on the horizon with zero density
    const float u1[3] = {1.0f, 0.0f, 0.0f};
    float3 wi;
    float pdf;
    sample_bsdf(make_material(MaterialType::Lambertian), u1, wi, pdf);
    EXPECT_LT(pdf, kMinSamplePdf);
}

TEST(Bsdf, AllBandsAtOnceEqualsBandByBand) {
    const int nb = 3;
    std::vector<float> a = {0.2f, 0.5f, 0.9f, 0.9f, 1.2f, 0.7f, -0.2f, 0.1f, 0.3f, 0.4f, 1.0f, 0.6f};
    Pcg32 rng;
    rng.seed(5, 9);
    auto dir = [&]() {
        return normalize(float3{rng.next_float() - 0.5f, rng.next_float() - 0.5f, rng.next_float() - 0.3f});
    };
    for (const MaterialType type : {MaterialType::Lambertian, MaterialType::Rpv, MaterialType::TwoSidedLeaf,
                                    static_cast<MaterialType>(5)}) {
        for (int i = 0; i < 200; ++i) {
            const float3 wo = dir(), wi = dir();
            const bool back = i % 2 == 0, thermal = i % 3 == 0;
            float f[nb];
            eval_bsdf_bands(type, 0, wo, wi, a.data(), nb, back, thermal, f);
            for (int b = 0; b < nb; ++b)
                ASSERT_EQ(f[b], eval_bsdf(type, 0, b, wo, wi, a.data(), nb, back, thermal))
                    << "kind " << int(type) << " band " << b;
        }
    }
}

// --- sun and sky -------------------------------------------------------------------

TEST(SunSky, SolarDiskAndSunRules) {
    const float3 sun = unit(0.3f, 0, 1);
    EXPECT_TRUE(in_solar_disk(sun, sun));
    EXPECT_FALSE(in_solar_disk(unit(0.32f, 0, 1), sun));  // about 0.9 degrees off
    EXPECT_TRUE(sun_tried(MaterialType::Lambertian, 0.1f));
    EXPECT_FALSE(sun_tried(MaterialType::Lambertian, -0.1f));
    EXPECT_TRUE(sun_tried(MaterialType::TwoSidedLeaf, -0.1f));
}

TEST(SunSky, ParametricSkyGivesC9AtTheZenithForAnyShape) {
    std::vector<float> a(20);
    const float c[10] = {-0.8f, -0.3f, 1.2f, -2.5f, 0.4f, 0.3f, -0.5f, 0.2f, 0.1f, 37.0f};
    for (int i = 0; i < 10; ++i) a[10 + i] = c[i];  // band 1
    for (const float3 s : {unit(0.5f, 0.2f, 0.8f), unit(0, 0, 1), unit(1, 0, 0.05f)})
        EXPECT_NEAR(sky_radiance(a.data(), 0, {0, 0, 1}, 1, s), 37.0f, 37.0f * 1e-5f);
    // with a flat shape (c0..c8 = 0) the sky is c9 everywhere
    std::vector<float> flat(10, 0.0f);
    flat[9] = 2.5f;
    EXPECT_FLOAT_EQ(sky_radiance(flat.data(), 0, unit(1, 1, 0.2f), 0, unit(0, 0.3f, 1)), 2.5f);
    // c7 alone: 1 + c7 sqrt(cos t) relative to 1 + c7
    flat[7] = 1.0f;
    EXPECT_NEAR(sky_radiance(flat.data(), 0, unit(0, std::sqrt(3.0f), 1), 0, {0, 0, 1}),
                2.5f * (1 + std::sqrt(0.5f)) / 2, 1e-5f);
    // every coefficient at work, hand-worked: sun at the zenith, view at 60 degrees
    // (cos t = cos g = 1/2, g = pi/3), relative to the zenith (t = ts = 0)
    const std::vector<float> shaped = {-1.0f, -0.32f, 10.0f, -3.0f, 0.45f, 0.5f, -0.8f, 0.2f, 0.1f, 2.0f};
    EXPECT_NEAR(sky_radiance(shaped.data(), 0, {std::sqrt(3.0f) / 2, 0, 0.5f}, 0, {0, 0, 1}), 0.5619533f,
                1e-5f);
    // no zenith radiance, no sky
    flat[9] = 0.0f;
    EXPECT_EQ(sky_radiance(flat.data(), 0, {0, 0, 1}, 0, {0, 0, 1}), 0.0f);
}

// --- thermal -----------------------------------------------------------------------

TEST(Thermal, PlanckRadianceAgainstPhysicalConstants) {
    const double h = 6.62607015e-34, c = 299792458.0, k = 1.380649e-23;
    for (const auto& [nm, t] : {std::pair<float, float>{10000.0f, 300.0f}, {4000.0f, 320.0f},
                                {550.0f, 5778.0f}, {12000.0f, 250.0f}}) {
        const double lam = nm * 1e-9;
        const double b = 2 * h * c * c / std::pow(lam, 5) / std::expm1(h * c / (lam * k * t)) * 1e-9;
        EXPECT_NEAR(planck_radiance_nm(nm, t), b, b * 1e-5) << nm << " nm, " << t << " K";
    }
    // 1 nm at 300 K: exponent far above 500, nothing emitted
    EXPECT_EQ(planck_radiance_nm(1.0f, 300.0f), 0.0f);
    EXPECT_EQ(planck_radiance_nm(0.0f, 300.0f), 0.0f);
    EXPECT_EQ(planck_radiance_nm(10000.0f, 0.0f), 0.0f);
}

// The sunlit and shaded pair is tested through simulate_cpu.
TEST(Thermal, NoTemperatureOrASunlitOneAloneGivesTheSingleTemperature) {
    MaterialData m = make_material(MaterialType::Lambertian);
    EXPECT_EQ(emission_temperature(m, false), 0.0f);
    m.params[2] = 290.0f;
    m.params[3] = 310.0f;
    EXPECT_FALSE(has_sunlit_shaded_temperatures(m));
    EXPECT_EQ(emission_temperature(m, false), 290.0f);
}

// --- termination -------------------------------------------------------------------

TEST(Roulette, SurvivalIsTheLargestThroughputCapped) {
    const double t1[] = {0.2, 0.7, 0.1};
    EXPECT_FLOAT_EQ(roulette_survival(t1, 3), 0.7f);
    const double t2[] = {0.2, 3.0};
    EXPECT_FLOAT_EQ(roulette_survival(t2, 2), 0.95f);
    const double t3[] = {-1.0, 0.0};
    EXPECT_EQ(roulette_survival(t3, 2), 0.0f);
    EXPECT_TRUE(throughput_alive(t1, 3));
    const double dead[] = {1e-10, 0.0, -2.0};
    EXPECT_FALSE(throughput_alive(dead, 3));
}

// --- periodic tiling ----------------------------------------------------------------

TEST(PeriodicWrap, CrossesTheNearestWallAndReentersOpposite) {
    float3 p{9.0f, 5.0f, 2.0f};
    const float3 d = unit(1, 0, -0.5f);
    const float t = periodic_wrap(p, d, 10.0f, 10.0f);
    EXPECT_NEAR(t, 1.0f / d.x, 1e-5f);
    expect_near3(p, {0.0f, 5.0f, 1.5f}, 1e-5f);
    // y wall nearer than the x wall: wrap in y, moving toward -y re-enters at +Y
    float3 q{5.0f, 0.5f, 0.0f};
    periodic_wrap(q, unit(1, -1, 0), 10.0f, 20.0f);
    EXPECT_NEAR(q.x, 5.5f, 1e-5f);
    EXPECT_NEAR(q.y, 20.0f, 1e-5f);
    // vertical rays cross no wall
    float3 v{3.0f, 3.0f, 3.0f};
    EXPECT_LT(periodic_wrap(v, {0, 0, 1}, 10.0f, 10.0f), 0.0f);
    EXPECT_EQ(v.x, 3.0f);
}

TEST(PeriodicWrap, EntryShiftsByWholeTilesAndEntersTheColumn) {
    // A vertical ray over tile (2, -1) lands in the tile at the same relative place.
    float3 o{25.0f, -7.0f, 50.0f};
    periodic_entry(o, {0, 0, -1}, 10.0f, 10.0f, 5.0f);
    expect_near3(o, {5.0f, 3.0f, 50.0f}, 1e-5f);
    // Shifting the camera by whole tiles gives the same entry.
    const float3 d = unit(0.5f, 0.2f, -1);
    float3 a{3.0f, 4.0f, 20.0f}, b{3.0f + 30.0f, 4.0f - 20.0f, 20.0f};
    periodic_entry(a, d, 10.0f, 10.0f, 5.0f);
    periodic_entry(b, d, 10.0f, 10.0f, 5.0f);
    expect_near3(a, b, 1e-4f);
    // An oblique ray that meets the top inside the tile but starts outside the
    // column moves along itself to the wall it enters.
    float3 c{-12.0f, 5.0f, 20.0f};
    periodic_entry(c, unit(1, 0, -1), 10.0f, 10.0f, 5.0f);
    EXPECT_NEAR(c.x, 0.001f, 1e-5f);
    EXPECT_NEAR(c.y, 5.0f, 1e-5f);
    EXPECT_NEAR(c.z, 8.0f, 1e-4f);
    // Below the top, the origin itself is the reference point.
    float3 e{-2.0f, 5.0f, 1.0f};
    periodic_entry(e, unit(1, 0, -0.1f), 10.0f, 10.0f, 5.0f);
    EXPECT_NEAR(e.x, 8.0f, 1e-5f);
    EXPECT_EQ(e.z, 1.0f);
}

// --- engine plumbing ------------------------------------------------------------------

TEST(Threading, ThreadCountRule) {
    ::unsetenv("NORVI_NUM_THREADS");
    EXPECT_EQ(resolve_thread_count(3), 3);
    const int hw = resolve_thread_count(0);
    EXPECT_GE(hw, 1);
    EXPECT_EQ(resolve_thread_count(-5), hw);
    // NORVI_NUM_THREADS replaces the hardware count, never an explicit one;
    // anything but a whole positive number is ignored.
    for (const auto& [value, expected] : std::vector<std::pair<const char*, int>>{
             {"5", 5}, {"1", 1}, {"0", hw}, {"-2", hw}, {"3x", hw}, {"", hw}, {"99999999999", hw}}) {
        ::setenv("NORVI_NUM_THREADS", value, 1);
        EXPECT_EQ(resolve_thread_count(0), expected) << value;
        EXPECT_EQ(resolve_thread_count(2), 2) << value;
    }
    ::unsetenv("NORVI_NUM_THREADS");
}

TEST(Threading, MaxDepthOverrideParsesAndAnnounces) {
    struct Case {
        const char* value;
        int expect;
        std::string line;
    };
    const Case cases[] = {{"7", 7, "[CPU bwd] NORVI_MAX_DEPTH=7\n"},
                          {"12abc", 12, "[CPU bwd] NORVI_MAX_DEPTH=12\n"},
                          {"0", 16, ""},
                          {"-3", 16, ""},
                          {"deep", 16, ""},
                          {"99999999999999999999", 16, ""}};
    for (const Case& c : cases) {
        ::setenv("NORVI_MAX_DEPTH", c.value, 1);
        testing::internal::CaptureStdout();
        const int depth = max_depth_override(16, "CPU bwd");
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.line) << c.value;
        EXPECT_EQ(depth, c.expect) << c.value;
    }
    ::unsetenv("NORVI_MAX_DEPTH");
    testing::internal::CaptureStdout();
    EXPECT_EQ(max_depth_override(5, "CPU flux"), 5);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST(Threading, WorkersClaimEveryItemOnceAndReportFailures) {
    std::vector<std::atomic<int>> hits(1000);
    for (auto& h : hits) h = 0;
    run_workers(4, 1000, [&](long long item, int) { hits[static_cast<std::size_t>(item)]++; });
    for (auto& h : hits) EXPECT_EQ(h.load(), 1);
    EXPECT_THROW(run_workers(3, 100,
                             [](long long item, int) {
                                 if (item == 17) throw std::runtime_error("item 17");
                             }),
                 std::runtime_error);
    run_workers(2, 0, [](long long, int) { FAIL(); });
}
