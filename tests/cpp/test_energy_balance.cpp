// The CPU energy balance called directly: results independent of the thread
// count, in a periodic tile where rays wrap through the walls.

#include <gtest/gtest.h>

#include <vector>

#include "cpu/energy_balance.h"
#include "scene/mesh_generators.h"

using norvi::EnergyBalanceMultibandParams;
using norvi::MaterialType;
using norvi::embree::EmbreeSceneManager;

TEST(EnergyBalance, ResultsDoNotDependOnTheThreadCount) {
    EmbreeSceneManager s;
    s.add_material(MaterialType::Lambertian, 0);
    const norvi::MeshData ground = norvi::make_ground_plane(5.0f, 5.0f);
    const norvi::MeshData crown = norvi::make_sphere(1.5f, {0.0f, 0.0f, 0.0f}, 2);
    const int g = s.add_mesh(ground.vertices, ground.normals, ground.indices, 0);
    s.add_instance(g, 5.0f, 5.0f, 0.0f, 1.0f);
    const int c = s.add_mesh(crown.vertices, crown.normals, crown.indices, 0);
    s.add_instance(c, 3.0f, 3.0f, 2.0f, 1.0f);
    s.add_instance(c, 7.0f, 6.0f, 2.5f, 1.0f);
    s.set_repetitive(5, 10.0f, 10.0f);
    s.build();
    const auto n = static_cast<std::size_t>(s.n_primitives());
    std::vector<float> albedos(2 * n);
    for (std::size_t i = 0; i < albedos.size(); ++i)
        albedos[i] = 0.1f + 0.3f * static_cast<float>(i % 3);
    const float sun[2] = {800.0f, 400.0f};
    const float sky[2] = {40.0f, 20.0f};
    EnergyBalanceMultibandParams p;
    p.n_bands = 2;
    p.n_samples = 8;
    p.sun_dir_x = 0.5f;
    p.sun_dir_y = 0.2f;
    p.sun_dir_z = 0.8f;
    p.sun_irradiance = sun;
    p.sky_diffuse_radiance = sky;
    p.sw_albedos = albedos.data();
    p.n_sw_albedos = static_cast<int>(albedos.size());
    const auto one = norvi::embree::run_energy_balance_multiband_cpu(s, p, 1);
    const auto three = norvi::embree::run_energy_balance_multiband_cpu(s, p, 3);
    EXPECT_EQ(one.top, three.top);
    EXPECT_EQ(one.bot, three.bot);
    ASSERT_EQ(one.top.size(), 2 * n);
}
