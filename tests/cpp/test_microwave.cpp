// Passive microwave: dielectric models against their limits and against an
// independent evaluation of the papers' equations, the Rayleigh tables by
// chi-square, and the CPU engine against closed forms (bare soil with and
// without atmosphere and roughness, the tau-omega slab) and thermodynamic
// equilibrium.

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "chi2.h"
#include "cpu/mw_tables.h"
#include "cpu/render_microwave.h"
#include "physics/mw_path.h"
#include "scene/embree_scene.h"
#include "scene/mesh_generators.h"

using namespace norvi;
using norvi::embree::EmbreeSceneManager;
using cd = std::complex<double>;

namespace {

constexpr double kPi = 3.14159265358979323846;
const cd kJ{0.0, 1.0};

// Our convention stores eps' - j eps'' as {eps', -eps''}.
void expect_eps(Cplx got, cd want, double rel, const std::string& what) {
    EXPECT_NEAR(got.re, want.real(), rel * std::abs(want.real())) << what;
    EXPECT_NEAR(got.im, want.imag(), rel * std::abs(want.imag()) + 1e-12) << what;
}

// Free water (Stogryn via Ulaby, Moore & Fung 1986), complex Debye form.
cd water(double f, double tc) {
    const double e0 = 88.045 - 0.4147 * tc + 6.295e-4 * tc * tc + 1.075e-5 * std::pow(tc, 3);
    const double tau = (1.1109e-10 - 3.824e-12 * tc + 6.938e-14 * tc * tc - 5.096e-16 * std::pow(tc, 3)) / (2 * kPi);
    return 4.9 + (e0 - 4.9) / (1.0 + kJ * 2.0 * kPi * f * tau);
}

// Dobson 1985: the mixing law on the loss-extended free-water permittivity.
cd dobson(double mv, double s, double c, double rb, double tc, double f) {
    const double sigma = std::max(0.0, -1.645 + 1.939 * rb - 2.25622 * s + 1.594 * c);
    const cd fw = water(f, tc) - kJ * sigma * (2.66 - rb) / (2 * kPi * 8.854e-12 * f * 2.66 * mv);
    const double es = std::pow(1.01 + 0.44 * 2.66, 2) - 0.062;
    const double re = std::pow(1 + rb / 2.66 * (std::pow(es, 0.65) - 1) +
                                   std::pow(mv, 1.2748 - 0.519 * s - 0.152 * c) * std::pow(fw.real(), 0.65) - mv,
                               1 / 0.65);
    const double im = std::pow(std::pow(mv, 1.33797 - 0.603 * s - 0.166 * c) * std::pow(-fw.imag(), 0.65), 1 / 0.65);
    return {re, -im};
}

// Mironov 2009 through complex refractive indices n - jk = sqrt(eps).
cd mironov(double mv, double clay_pct, double f) {
    const double c = clay_pct;
    const cd nd{1.634 - 0.539e-2 * c + 0.2748e-4 * c * c, -(0.03952 - 0.04038e-2 * c)};
    const double mvt = 0.02863 + 0.30673e-2 * c;
    auto relax = [&](double e0, double tau, double sigma) {
        return std::sqrt(4.9 + (e0 - 4.9) / (1.0 + kJ * 2.0 * kPi * f * tau) - kJ * sigma / (2 * kPi * 8.854e-12 * f));
    };
    const cd nb = relax(79.8 - 85.4e-2 * c + 32.7e-4 * c * c, 1.062e-11 + 3.450e-14 * c, 0.3112 + 0.467e-2 * c);
    const cd nu = relax(100.0, 8.5e-12, 0.3631 + 1.217e-2 * c);
    const cd n = mv <= mvt ? nd + (nb - 1.0) * mv : nd + (nb - 1.0) * mvt + (nu - 1.0) * (mv - mvt);
    return n * n;
}

// Ulaby & El-Rayes 1987 with the Cole-Cole bound-water term in complex form.
cd ulaby_el_rayes(double mg, double fghz) {
    const double vfw = std::max(0.0, mg * (0.55 * mg - 0.076));
    const double vb = 4.64 * mg * mg / (1 + 7.36 * mg * mg);
    const cd ef = 4.9 + 75.0 / (1.0 + kJ * fghz / 18.0) - kJ * 18.0 * 1.27 / fghz;
    const cd eb = 2.9 + 55.0 / (1.0 + std::sqrt(kJ * fghz / 0.18));
    return 1.7 - 0.74 * mg + 6.16 * mg * mg + vfw * ef + vb * eb;
}

}  // namespace

TEST(MicrowavePhysics, PermittivityLimits) {
    // Free water: static limit, eps'' = (eps_0 - eps_inf) / 2 at the relaxation
    // frequency (9.00 GHz at 0 C, 17.16 GHz at 20 C), eps_inf far above it.
    for (const auto& [tc, e0, fr] : {std::tuple{0.0, 88.045, 9.00e9}, std::tuple{20.0, 80.089, 17.16e9}}) {
        EXPECT_NEAR(free_water_permittivity(1e6, tc + 273.15).re, e0, 2e-3) << tc;
        EXPECT_NEAR(-free_water_permittivity(fr, tc + 273.15).im, (e0 - 4.9) / 2, 0.05) << tc;
        EXPECT_NEAR(free_water_permittivity(1e15, tc + 273.15).re, 4.9, 1e-6) << tc;
    }
    // Dry soil: no loss; at the particle density the grains' 4.692.
    const Cplx grains = dobson_permittivity(0.0, 0.4, 0.2, 2.66, 293.15, 1.4e9, false);
    EXPECT_NEAR(grains.re, 4.692, 1e-3);
    EXPECT_EQ(grains.im, 0.0);
    EXPECT_NEAR(dobson_permittivity(0.0, 0.4, 0.2, 1.4, 293.15, 1.4e9, false).re, 2.709, 1e-3);
    // (Mironov's two branches are each matched by the independent evaluation.)
    // Dry wood: the solid's 1.7 without loss.
    expect_eps(ulaby_el_rayes_permittivity(0.0, 1.4e9), {1.7, 0.0}, 1e-12, "UE87 dry");
}

TEST(MicrowavePhysics, PermittivityMatchesIndependentEvaluation) {
    for (double f : {1.4e9, 6.9e9}) {
        for (double mv : {0.05, 0.2, 0.35}) {
            const std::string at = " f " + std::to_string(f) + " mv " + std::to_string(mv);
            expect_eps(dobson_permittivity(mv, 0.4, 0.2, 1.4, 293.15, f, false), dobson(mv, 0.4, 0.2, 1.4, 20.0, f), 1e-9,
                       "D85" + at);
            expect_eps(mironov_permittivity(mv, 0.2, f), mironov(mv, 20.0, f), 1e-9, "M09" + at);
            expect_eps(ulaby_el_rayes_permittivity(mv * 2, f), ulaby_el_rayes(mv * 2, f * 1e-9), 1e-9, "UE87" + at);
        }
    }
    // Peplinski at 1.3 GHz: its own conductivity fit, then 1.15 eps' - 0.68.
    const Cplx p = dobson_permittivity(0.3, 0.4, 0.2, 1.4, 293.15, 1.3e9, true);
    const double sigma = 0.0467 + 0.2204 * 1.4 - 0.4111 * 0.4 + 0.6614 * 0.2;
    const cd fw = water(1.3e9, 20.0) - kJ * sigma * (2.66 - 1.4) / (2 * kPi * 8.854e-12 * 1.3e9 * 2.66 * 0.3);
    const double im = std::pow(std::pow(0.3, 1.33797 - 0.603 * 0.4 - 0.166 * 0.2) * std::pow(-fw.imag(), 0.65), 1 / 0.65);
    EXPECT_NEAR(p.re, 1.15 * dobson(0.3, 0.4, 0.2, 1.4, 20.0, 1.3e9).real() - 0.68, 1e-9);
    EXPECT_NEAR(-p.im, im, 1e-9);
}

TEST(MicrowavePhysics, FresnelOfALosslessHalfSpace) {
    const Reflectivity nadir = fresnel_reflectivity({4.0, 0.0}, 1.0);
    EXPECT_NEAR(nadir.h, 1.0 / 9.0, 1e-12);
    EXPECT_NEAR(nadir.v, 1.0 / 9.0, 1e-12);
    EXPECT_NEAR(fresnel_reflectivity({4.0, 0.0}, std::cos(std::atan(2.0))).v, 0.0, 1e-12);  // Brewster
    const Reflectivity r40 = fresnel_reflectivity({4.0, 0.0}, std::cos(40 * kPi / 180));
    EXPECT_NEAR(r40.h, 0.17979, 1e-5);
    EXPECT_NEAR(r40.v, 0.05571, 1e-5);
}

TEST(MicrowavePhysics, RayleighTablesSampleThePhaseFunction) {
    const MwPhaseTableSet set = make_mw_phase_tables(MwPhaseKind::Rayleigh, 32, 32, 32);
    MwPhaseTables t;
    t.mueller = set.mueller.data();
    t.cdf_cts = set.cdf_cts.data();
    t.cdf_dphi = set.cdf_dphi.data();
    t.n_cti = t.n_cts = t.n_dphi = 32;
    const double alpha = test::sidak_alpha(0.01, 2);
    int seed = 0;
    for (const float3 a : {normalize(float3{0.3f, 0.2f, -0.93f}), normalize(float3{-0.8f, 0.1f, 0.35f})}) {
        Pcg32 rng;
        rng.seed(99, static_cast<uint64_t>(++seed));
        const auto out = test::chi2_sphere(
            [&] {
                float3 b{0, 0, 1};
                EXPECT_TRUE(mw_sample_table_direction(t, a, rng, b));
                return b;
            },
            [&](float3 b) {
                // The table's row holds the incident cosines of a's bin: the
                // Rayleigh density averaged over them (16 midpoints).
                const double lo = -1.0 + 2.0 / 32 * std::floor((a.z + 1.0) * 16), phi = std::atan2(a.y, a.x);
                double sum = 0.0;
                for (int k = 0; k < 16; ++k) {
                    const double mu = lo + 2.0 / 32 * (k + 0.5) / 16, st = std::sqrt(1 - mu * mu);
                    const double c = st * std::cos(phi) * b.x + st * std::sin(phi) * b.y + mu * b.z;
                    sum += 3.0 / (16.0 * kPi) * (1.0 + c * c) / 16;
                }
                return sum;
            },
            200000, alpha);
        EXPECT_TRUE(out.passed) << out.message;
    }
}

// ---------------------------------------------------------------------------
// Engine scenes

namespace {

// Orthographic view from zenith angle theta [deg] toward +y, centred on (cx, cy, 0).
SensorData oblique_view(double theta_deg, int w, int h, float cx, float cy) {
    SensorData s;
    std::memset(&s, 0, sizeof(s));
    s.type = kSensorOrthographic;
    s.width = w;
    s.height = h;
    s.ortho_w = s.ortho_h = 1.0f;
    const float c = float(std::cos(theta_deg * kPi / 180)), sn = float(std::sin(theta_deg * kPi / 180));
    const float m[16] = {1, 0, 0, cx, 0, c, -sn, cy - 50 * sn, 0, sn, c, 50 * c, 0, 0, 0, 1};
    std::memcpy(s.cam_xform, m, sizeof(m));
    return s;
}

void add_box(EmbreeSceneManager& s, int material, float3 lo, float3 hi) {
    std::vector<float3> v;
    for (int k = 0; k < 8; ++k) v.push_back({(k & 1) ? hi.x : lo.x, (k & 2) ? hi.y : lo.y, (k & 4) ? hi.z : lo.z});
    const std::vector<int3> idx = {{0, 2, 1}, {1, 2, 3}, {4, 5, 6}, {5, 7, 6}, {0, 1, 4}, {1, 5, 4},
                                   {2, 6, 3}, {3, 6, 7}, {0, 4, 2}, {2, 4, 6}, {1, 3, 5}, {3, 7, 5}};
    s.add_instance(s.add_mesh(v, {}, idx, material), 0, 0, 0, 1);
}

MicrowaveMaterial soil_row(double mv, double t, double h = 0, double q = 0, double nh = 0, double nv = 0) {
    MicrowaveMaterial m;
    m.type = kMwSoil;
    const float p[10] = {float(mv), 0.4f, 0.2f, 1.4f, float(t), float(h), float(q), float(nh), float(nv), 1.0f};
    std::memcpy(m.params, p, sizeof(p));
    return m;
}

MicrowaveMaterial veg_row(double t, double kappa, double omega) {
    MicrowaveMaterial m;
    m.type = kMwVegetation;
    m.params[0] = float(t);
    m.params[1] = float(kappa);
    m.params[2] = float(omega);
    return m;
}

struct Stats {
    std::vector<double> mean, se;  // per channel, over pixels
};

Stats channel_stats(const embree::MicrowaveResult& r) {
    const int nc = r.n_channels;
    const std::size_t npix = r.image.size() / std::size_t(nc);
    const double np = double(npix);
    Stats s{std::vector<double>(nc, 0.0), std::vector<double>(nc, 0.0)};
    for (int c = 0; c < nc; ++c) {
        double sum = 0, sq = 0;
        for (std::size_t p = 0; p < npix; ++p) {
            const double v = r.image[p * std::size_t(nc) + std::size_t(c)];
            sum += v;
            sq += v * v;
        }
        s.mean[c] = sum / np;
        s.se[c] = std::sqrt(std::max(sq / np - s.mean[c] * s.mean[c], 0.0) / np);
    }
    return s;
}

}  // namespace

TEST(MicrowaveEngine, BareSoilIsFresnelEmissionPlusReflectedSky) {
    EmbreeSceneManager s;
    s.add_material(MaterialType::Lambertian, 0);
    const MeshData g = make_ground_plane(1000.0f, 1000.0f);
    s.add_instance(s.add_mesh(g.vertices, g.normals, g.indices, 0), 0, 0, 0, 1);
    const double ts = 295.0, mv = 0.25;
    const double h = 0.3, q = 0.1, nh = 1.0, nv = 2.0;
    for (double theta : {10.0, 40.0, 55.0}) {
        s.set_sensor(oblique_view(theta, 2, 2, 0, 0));
        s.build();
        const double mu = std::cos(theta * kPi / 180);
        const Reflectivity r = fresnel_reflectivity(mironov_permittivity(mv, 0.2, 1.4e9), mu);
        // HQN written out: r_p = [(1 - Q) r*_p + Q r*_q] exp(-h cos^N_p).
        const double rough_h = ((1 - q) * r.h + q * r.v) * std::exp(-h * std::pow(mu, nh));
        const double rough_v = ((1 - q) * r.v + q * r.h) * std::exp(-h * std::pow(mu, nv));
        for (const auto& [tau, rough] : {std::pair{0.0, false}, std::pair{0.05, false}, std::pair{0.05, true}}) {
            MicrowaveParams p;
            p.n_channels = 4;
            p.spp = 2;
            p.atm_tau = float(tau);
            p.air_temperature = 280.0f;
            p.materials = {rough ? soil_row(mv, ts, h, q, nh, nv) : soil_row(mv, ts)};
            p.material_map = {0};
            const auto img = embree::simulate_microwave_cpu(s, p, 2);
            const double t = std::exp(-tau / mu);
            const double sky = 280.0 * (1 - t) + 2.725 * t;
            const double gh = rough ? rough_h : r.h, gv = rough ? rough_v : r.v;
            const double want_h = t * ((1 - gh) * ts + gh * sky) + 280.0 * (1 - t);
            const double want_v = t * ((1 - gv) * ts + gv * sky) + 280.0 * (1 - t);
            const std::string at = "theta " + std::to_string(theta) + " tau " + std::to_string(tau) +
                                   (rough ? " rough" : " smooth");
            for (int px = 0; px < 4; ++px) {
                EXPECT_NEAR(img.image[4 * px + 0], want_h, 2e-3) << at;
                EXPECT_NEAR(img.image[4 * px + 1], want_v, 2e-3) << at;
                EXPECT_NEAR(img.image[4 * px + 2], 0.0, 1e-3) << at;
                EXPECT_NEAR(img.image[4 * px + 3], 0.0, 1e-3) << at;
            }
        }
    }
}

TEST(MicrowaveEngine, NadirViewOfATiltedPlaneSwapsItsLocalPolarisations) {
    // Tilted about x, the plane of incidence of a nadir view is the y-z plane:
    // the local H direction is x, the view's V. Tilted about y, they agree.
    const double beta = 30.0 * kPi / 180, ts = 290.0;
    const Reflectivity r = fresnel_reflectivity(mironov_permittivity(0.25, 0.2, 1.4e9), std::cos(beta));
    const float c = float(std::cos(beta)), sn = float(std::sin(beta));
    const float about_x[12] = {1, 0, 0, 0, 0, c, -sn, 0, 0, sn, c, 0};
    const float about_y[12] = {c, 0, sn, 0, 0, 1, 0, 0, -sn, 0, c, 0};
    for (const float* xf : {about_x, about_y}) {
        EmbreeSceneManager s;
        s.add_material(MaterialType::Lambertian, 0);
        const MeshData g = make_ground_plane(100.0f, 100.0f);
        s.add_instance(s.add_mesh(g.vertices, g.normals, g.indices, 0), xf);
        s.set_sensor(oblique_view(0.0, 1, 1, 0, 0));
        s.build();
        MicrowaveParams p;
        p.n_channels = 4;
        p.spp = 1;
        p.atm_tau = 0.0f;
        p.materials = {soil_row(0.25, ts)};
        p.material_map = {0};
        const auto img = embree::simulate_microwave_cpu(s, p, 1);
        const bool swapped = xf == about_x;
        const double want_h = swapped ? (1 - r.v) * ts + r.v * 2.725 : (1 - r.h) * ts + r.h * 2.725;
        const double want_v = swapped ? (1 - r.h) * ts + r.h * 2.725 : (1 - r.v) * ts + r.v * 2.725;
        EXPECT_NEAR(img.image[0], want_h, 2e-3) << (swapped ? "about x" : "about y");
        EXPECT_NEAR(img.image[1], want_v, 2e-3) << (swapped ? "about x" : "about y");
        EXPECT_NEAR(img.image[2], 0.0, 1e-3);
    }
}

namespace {

// A vegetation slab 0.01 < z < 2.01 filling a periodic 10 x 10 tile, over soil.
void fill_slab(EmbreeSceneManager& s) {
    s.add_material(MaterialType::Lambertian, 0);
    s.add_material(MaterialType::Lambertian, 0);
    const MeshData g = make_ground_plane(50.0f, 50.0f);
    s.add_instance(s.add_mesh(g.vertices, g.normals, g.indices, 0), 5, 5, 0, 1);
    add_box(s, 1, {1e-3f, 1e-3f, 0.01f}, {10 - 1e-3f, 10 - 1e-3f, 2.01f});
    s.set_repetitive(100000, 10.0f, 10.0f);
    s.set_sensor(oblique_view(40.0, 16, 16, 5, 5));
    s.build();
}

}  // namespace

TEST(MicrowaveEngine, SlabWithoutScatteringIsTheTauOmegaModel) {
    EmbreeSceneManager s;
    fill_slab(s);
    const double ts = 300.0, tc = 290.0, kappa = 0.3, mu = std::cos(40 * kPi / 180), tau_atm = 0.02;
    MicrowaveParams p;
    p.spp = 256;
    p.atm_tau = float(tau_atm);
    p.materials = {soil_row(0.2, ts), veg_row(tc, kappa, 0.0)};
    p.material_map = {0, 1};
    const auto img = embree::simulate_microwave_cpu(s, p, 0);
    const Stats st = channel_stats(img);
    const Reflectivity r = fresnel_reflectivity(mironov_permittivity(0.2, 0.2, 1.4e9), mu);
    const double gamma = std::exp(-kappa * 2.0 / mu), t = std::exp(-tau_atm / mu);
    const double sky = 293.0 * (1 - t) + 2.725 * t;
    const double rp[2] = {r.h, r.v};
    for (int c = 0; c < 2; ++c) {
        const double tb = ts * (1 - rp[c]) * gamma + tc * (1 - gamma) * (1 + rp[c] * gamma) + sky * rp[c] * gamma * gamma;
        EXPECT_NEAR(st.mean[c], t * tb + 293.0 * (1 - t), 4 * st.se[c] + 0.05) << "channel " << c;
    }

    // With scattering the higher orders add to the zero-order value, and
    // never beyond the common temperature of soil and canopy.
    p.materials = {soil_row(0.2, 290.0), veg_row(290.0, kappa, 0.3)};
    const Stats sc = channel_stats(embree::simulate_microwave_cpu(s, p, 0));
    for (int c = 0; c < 2; ++c) {
        const double zero = 290.0 * (1 - rp[c]) * gamma + 290.0 * 0.7 * (1 - gamma) * (1 + rp[c] * gamma) +
                            sky * rp[c] * gamma * gamma;
        EXPECT_GT(sc.mean[c], t * zero + 293.0 * (1 - t) + 4 * sc.se[c]) << "channel " << c;
        EXPECT_LT(sc.mean[c], t * 290.0 + 293.0 * (1 - t)) << "channel " << c;
    }
}

TEST(MicrowaveEngine, EverythingAtOneTemperatureGivesThatTemperature) {
    // Rough moist soil, scattering crowns with Rayleigh tables and isotropic
    // ones, wet trunks, transparent leaves, an opaque sky: all at T.
    EmbreeSceneManager s;
    for (int k = 0; k < 5; ++k) s.add_material(MaterialType::Lambertian, 0);
    const MeshData g = make_ground_plane(200.0f, 200.0f);
    s.add_instance(s.add_mesh(g.vertices, g.normals, g.indices, 0), 0, 0, 0, 1);
    const MeshData crown = make_sphere(1.5f, {0, 0, 0}, 2);
    const MeshData trunk = make_cylinder(0.2f, 3.0f, 12);
    const MeshData leaf = make_sphere(0.4f, {0, 0, 0}, 1);
    const int cm = s.add_mesh(crown.vertices, crown.normals, crown.indices, 1);
    const int cm2 = s.add_mesh(crown.vertices, crown.normals, crown.indices, 4);
    const int tm = s.add_mesh(trunk.vertices, trunk.normals, trunk.indices, 2);
    const int lm = s.add_mesh(leaf.vertices, leaf.normals, leaf.indices, 3);
    for (int i = 0; i < 9; ++i) {
        const float x = float(i % 3) * 3.5f - 3.5f, y = float(i / 3) * 3.5f - 3.5f;
        s.add_instance(i % 2 ? cm : cm2, x, y, 4.0f, 1.0f);
        s.add_instance(tm, x, y, 0.0f, 1.0f);
        s.add_instance(lm, x + 0.3f, y, 4.2f, 1.0f);
    }
    SensorData cam;
    std::memset(&cam, 0, sizeof(cam));
    cam.type = kSensorPerspective;
    cam.width = cam.height = 8;
    cam.fov = 1.2f;
    // Under the crowns looking up at 45 degrees (a downward view would see
    // only the opaque atmosphere above the scene).
    const float a = std::sqrt(0.5f);  // camera -z -> (0, a, a)
    const float m[16] = {1, 0, 0, 0, 0, -a, -a, -5, 0, a, -a, 1, 0, 0, 0, 1};
    std::memcpy(cam.cam_xform, m, sizeof(m));
    s.set_sensor(cam);
    s.build();

    const double temp = 290.0;
    MwPhaseTableSet tables = make_mw_phase_tables(MwPhaseKind::Rayleigh, 16, 16, 16);
    MicrowaveMaterial rayleigh = veg_row(temp, 1.2, 0.6);
    rayleigh.mueller = tables.mueller;
    rayleigh.cdf_cts = tables.cdf_cts;
    rayleigh.cdf_dphi = tables.cdf_dphi;
    rayleigh.cti = rayleigh.cts = rayleigh.dphi = 16;
    MicrowaveMaterial wood;
    wood.type = kMwTrunk;
    wood.params[0] = 0.2f;
    wood.params[1] = 0.5f;
    wood.params[2] = float(temp);
    MicrowaveParams p;
    p.n_channels = 4;
    p.spp = 256;
    p.max_depth = 5;
    p.air_temperature = float(temp);
    p.atm_tau = 40.0f;
    p.materials = {soil_row(0.3, temp, 0.4, 0.2, 1.0, 2.0), rayleigh, veg_row(temp, 0.8, 0.9), wood};
    p.material_map = {0, 1, 3, -1, 2};
    const auto one = embree::simulate_microwave_cpu(s, p, 1);
    const auto all = embree::simulate_microwave_cpu(s, p, 3);
    EXPECT_EQ(one.image, all.image);  // one generator per pixel: the thread count changes nothing
    const Stats st = channel_stats(one);
    for (int k = 0; k < 4; ++k)
        EXPECT_NEAR(st.mean[k], k < 2 ? temp : 0.0, 4 * st.se[k] + 0.02) << "channel " << k;
    p.n_channels = 1;
    p.max_depth = 1;
    const Stats total = channel_stats(embree::simulate_microwave_cpu(s, p, 0));
    EXPECT_NEAR(total.mean[0], temp, 4 * total.se[0] + 0.02);
}

// The unbuilt scene, the channel count and the material map are tested from Python.
TEST(MicrowaveEngine, RefusesWhatItCannotRead) {
    EmbreeSceneManager s;
    s.add_material(MaterialType::Lambertian, 0);
    const MeshData g = make_ground_plane(10.0f, 10.0f);
    s.add_instance(s.add_mesh(g.vertices, g.normals, g.indices, 0), 0, 0, 0, 1);
    s.set_sensor(oblique_view(0.0, 2, 2, 0, 0));
    MicrowaveParams ok;
    ok.materials = {soil_row(0.2, 290), veg_row(290, 1, 0.1)};
    ok.material_map = {0};
    s.build();
    MwPhaseTableSet t = make_mw_phase_tables(MwPhaseKind::Isotropic, 2, 3, 4);
    const std::vector<std::pair<std::string, std::function<void(MicrowaveParams&)>>> bad = {
        {"spp must be at least 1, got 0", [](MicrowaveParams& p) { p.spp = 0; }},
        {"max_depth must be at least 1", [](MicrowaveParams& p) { p.max_depth = 0; }},
        {"frequency must be", [](MicrowaveParams& p) { p.frequency = -1; }},
        {"atm_tau must be", [](MicrowaveParams& p) { p.atm_tau = NAN; }},
        {"dielectric model (column 9)", [](MicrowaveParams& p) { p.materials[0].params[9] = 3; }},
        {"volumetric moisture (column 0)", [](MicrowaveParams& p) { p.materials[0].params[0] = 1.5f; }},
        {"single-scattering albedo (column 2)", [](MicrowaveParams& p) { p.materials[1].params[2] = 1.1f; }},
        {"Mueller table holds 383 values, 384 needed", [&](MicrowaveParams& p) {
             auto& v = p.materials[1];
             v.mueller = t.mueller, v.cdf_cts = t.cdf_cts, v.cdf_dphi = t.cdf_dphi;
             v.cti = 2, v.cts = 3, v.dphi = 4;
             v.mueller.pop_back();
         }},
        {"dphi table holds 23 values", [&](MicrowaveParams& p) {
             auto& v = p.materials[1];
             v.mueller = t.mueller, v.cdf_cts = t.cdf_cts, v.cdf_dphi = t.cdf_dphi;
             v.cti = 2, v.cts = 3, v.dphi = 4;
             v.cdf_dphi.pop_back();
         }},
    };
    for (const auto& [message, spoil] : bad) {
        MicrowaveParams p = ok;
        spoil(p);
        try {
            embree::simulate_microwave_cpu(s, p, 1);
            ADD_FAILURE() << "accepted: " << message;
        } catch (const std::invalid_argument& e) {
            EXPECT_NE(std::string(e.what()).find(message), std::string::npos) << e.what();
        }
    }
}
