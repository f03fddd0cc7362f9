// SceneManager and Simulator on the emulated GPU: the edge cases of the scene
// and of the pipelines, every failure label reached by making the nth call of
// a kind fail, buffer reuse, and no device allocation or OptiX object left
// behind.

#include <cuda_runtime_api.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "gpu/optix_context.h"
#include "gpu/scene_manager.h"
#include "gpu/simulator.h"
#include "gpu_emu_fixture.h"

namespace norvi {
namespace {

using test::runtime_error_of;
namespace fs = std::filesystem;

// A 2 x 2 quad at height z (with vertex normals when asked), one Lambertian
// material, a sun and a constant sky, a 4 x 4 orthographic view.
void fill(SceneManager& s, bool normals = true) {
    const std::vector<float3> v = {{-1, -1, 0}, {1, -1, 0}, {1, 1, 0}, {-1, 1, 0}};
    const std::vector<float3> n = normals ? std::vector<float3>(4, float3{0, 0, 1}) : std::vector<float3>{};
    s.set_num_bands(1);
    s.add_mesh(v, n, {{0, 1, 2}, {0, 2, 3}}, 0);
    s.add_material(MaterialType::Lambertian, 0);
    s.upload_spectral_params({0.5f, 1000.0f, 10.0f});
    s.set_emitter(EmitterType::Directional, float3{0, 0, 1}, 1);
    s.set_sky(2);
    SensorData sensor{};
    sensor.type = kSensorOrthographic;
    sensor.width = sensor.height = 4;
    sensor.ortho_w = sensor.ortho_h = 1.0f;
    const float cam[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 5, 0, 0, 0, 1};
    std::copy(cam, cam + 16, sensor.cam_xform);
    s.set_sensor(sensor);
}

// The messages of `run` when the 1st, 2nd, ... call named `call` fails, until
// a run passes that many calls without failing. `setup` makes fresh objects.
template <typename Setup, typename Run>
std::vector<std::string> labels_by_failing(const char* call, int code, Setup setup, Run run) {
    std::vector<std::string> messages;
    for (int nth = 1; nth < 64; ++nth) {
        norvi_emu_reset();
        auto objects = setup();
        norvi_emu_fail_call(call, nth, code);
        try {
            run(*objects);
        } catch (const std::runtime_error& e) {
            messages.push_back(e.what());
            continue;
        }
        break;
    }
    return messages;
}

// prefix + label + suffix for each label.
std::vector<std::string> each(const std::string& prefix, std::initializer_list<const char*> labels,
                              const std::string& suffix) {
    std::vector<std::string> out;
    for (const char* label : labels) out.push_back(prefix + label + suffix);
    return out;
}

struct World {
    OptiXContext ctx{0};
    SceneManager scene{ctx};
    Simulator sim{ctx, NORVI_PTX_DIR};
};

using GpuScene = test::EmulatedPlatform;
using GpuSimulator = test::EmulatedPlatform;

TEST_F(GpuScene, EdgeCasesOfBuildingAndPerPrimitiveData) {
    OptiXContext ctx(0);
    SceneManager s(ctx);
    EXPECT_EQ("Scene is empty, nothing to build", runtime_error_of([&] { s.build(); }));
    EXPECT_EQ("refit_ias: scene not built or update buffer not allocated. Call build() first.",
              runtime_error_of([&] { s.refit_ias(); }));
    EXPECT_THROW(s.add_instance(0, 0, 0, 0, 1), std::invalid_argument);  // no mesh 0 to read
    EXPECT_EQ("num_bands=129 exceeds GPU limit of 128. Use spectral batching to simulate more bands.",
              runtime_error_of([&] { s.set_num_bands(129); }));

    fill(s, false);
    s.add_mesh({{0, 0, 3}, {1, 0, 3}, {0, 1, 3}}, {}, {{0, 1, 2}}, 0);
    s.build();  // no instances: one untransformed instance per mesh
    EXPECT_EQ(2, s.num_instances());
    EXPECT_EQ(3u, s.n_primitives());
    EXPECT_EQ(3.0f, s.max_height());
    EXPECT_EQ(0u, s.get_hitgroup_data()[0].normals);  // a mesh without normals uploads none
    const SceneData sd = s.get_scene_data();
    EXPECT_EQ(2u, sd.num_meshes);
    EXPECT_EQ(3u, sd.num_primitives);

    const float m[12] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0};
    EXPECT_EQ("update_instance_transform: id -1 out of range [0, 2)",
              runtime_error_of([&] { s.update_instance_transform(-1, m); }));
    EXPECT_EQ("update_instance_transform: id 2 out of range [0, 2)",
              runtime_error_of([&] { s.update_instance_transform(2, m); }));
    s.update_instance_transform(1, m);
    s.refit_ias();

    s.set_primitive_temperatures({300, 301, 302});
    EXPECT_EQ("set_primitive_temperatures: array length 2 does not match n_primitives() = 3",
              runtime_error_of([&] { s.set_primitive_temperatures({1, 2}); }));
    EXPECT_EQ((std::vector<float>{300, 301, 302}), s.primitive_temperatures());
    EXPECT_NE(0u, s.get_scene_data().prim_temperatures);
    // A band count whose product with the primitives wraps in 32 bits is refused.
    EXPECT_EQ("set_primitive_sif_spectra: array length 2 != n_sif_bands * n_primitives = 1431655766 * 3 = "
              "4294967298",
              runtime_error_of([&] { s.set_primitive_sif_spectra({1, 2}, 1431655766); }));

    s.clear_for_reuse();
    EXPECT_FALSE(s.is_built());
    s.add_material(MaterialType::Lambertian, 0);
    s.upload_spectral_params({0.5f});
    s.build_reuse_gas();
    EXPECT_TRUE(s.is_built());
    EXPECT_EQ(3u, s.n_primitives());
    EXPECT_EQ(1u, s.get_scene_data().num_materials);

    s.set_thermal_mode(true, {10000.0f});
    s.free_gpu();
    EXPECT_FALSE(s.has_gpu_meshes());
    EXPECT_EQ(0u, s.get_scene_data().thermal_wavelengths);
    EXPECT_EQ("No GPU meshes to reuse. Call build() first.", runtime_error_of([&] { s.build_reuse_gas(); }));
    s.build();  // the thermal wavelengths are back for a thermal render
    EXPECT_NE(0u, s.get_scene_data().thermal_wavelengths);
    s.free_gpu();
    EXPECT_EQ(0, norvi_emu_live_allocations());
    EXPECT_EQ(0, norvi_emu_optix_live_objects("accel"));
}

TEST_F(GpuScene, EveryBuildStepFailsWithItsLabel) {
    const auto setup = [] {
        auto w = std::make_unique<World>();
        fill(w->scene);
        return w;
    };
    const auto build = [](World& w) { w.scene.build(); };
    EXPECT_EQ(each("CUDA: ",
                   {"mesh verts", "mesh idx", "mesh norms", "gas temp", "gas out", "ias inst", "ias temp", "ias out",
                    "ias update buf", "mat", "emit", "primitive vec3 alloc", "primitive vec3 alloc",
                    "primitive vec3 alloc", "primitive vec3 alloc", "primitive float alloc", "primitive int alloc",
                    "primitive int alloc"},
                   " - out of memory"),
              labels_by_failing("cudaMalloc", cudaErrorMemoryAllocation, setup, build));
    EXPECT_EQ(each("OptiX: ", {"gas build", "ias build"}, " (7001)"),
              labels_by_failing("optixAccelBuild", 7001, setup, build));
    EXPECT_EQ(each("OptiX: ", {"gas mem", "ias mem"}, " (7001)"),
              labels_by_failing("optixAccelComputeMemoryUsage", 7001, setup, build));
}

TEST_F(GpuScene, UpdatesAfterTheBuildFailWithTheirLabels) {
    OptiXContext ctx(0);
    SceneManager s(ctx);
    fill(s);
    s.build();
    const float m[12] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0};
    struct Case {
        const char* call;
        cudaError_t code;
        std::function<void()> op;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"cudaMemcpy", cudaErrorInvalidValue, [&] { s.update_emitter_direction({0, 1, 1}); }, "CUDA: emitter update - invalid argument"},
        {"cudaMemcpy", cudaErrorInvalidValue, [&] { s.update_spectral_params(1, {5.0f}); }, "CUDA: spectral update - invalid argument"},
        {"cudaMemcpyAsync", cudaErrorInvalidValue, [&] { s.update_instance_transform(0, m); },
         "CUDA: update inst xform - invalid argument"},
        {"cudaMalloc", cudaErrorMemoryAllocation, [&] { s.set_primitive_temperatures({300, 300}); },
         "CUDA: primitive temperatures alloc - out of memory"},
        {"cudaMemcpy", cudaErrorInvalidValue, [&] { s.set_primitive_emissivities({1, 1}); },
         "CUDA: primitive emissivities upload - invalid argument"},
        {"cudaMalloc", cudaErrorMemoryAllocation, [&] { s.set_primitive_sif_spectra({1, 1}, 1); },
         "CUDA: primitive sif spectra alloc - out of memory"},
        {"cudaMemcpy", cudaErrorInvalidValue, [&] { s.set_primitive_sif_spectra({1, 1}, 1); },
         "CUDA: primitive sif spectra upload - invalid argument"},
        {"cudaMalloc", cudaErrorMemoryAllocation, [&] { s.set_primitive_sif_spectra({1, 1, 2, 2}, 2); },
         "CUDA: primitive sif spectra realloc - out of memory"},
        {"cudaMalloc", cudaErrorMemoryAllocation, [&] { s.upload_spectral_params({1, 2, 3}); }, "CUDA: spectral alloc - out of memory"},
    };
    for (const Case& c : cases) {
        norvi_emu_fail_call(c.call, 1, c.code);
        EXPECT_EQ(c.message, runtime_error_of(c.op)) << c.message;
    }
    s.clear_for_reuse();
    EXPECT_EQ("Spectral params not uploaded yet", runtime_error_of([&] { s.update_spectral_params(0, {1.0f}); }));
}

TEST_F(GpuSimulator, PipelinesAreBuiltOnceAndMissingPtxNamesTheFile) {
    {
        World w;
        w.sim.init();
        w.sim.init();
        EXPECT_EQ(5, norvi_emu_call_count("optixModuleCreate"));
        EXPECT_EQ(7, norvi_emu_call_count("optixProgramGroupCreate"));
        EXPECT_EQ(1, norvi_emu_optix_live_objects("pipeline"));
        // A scene without meshes: no main hit records, one pair in the others.
        w.sim.build_sbt(w.scene);
        w.sim.build_sbt_mw(w.scene);
        w.sim.build_sbt_eb_mb(w.scene);
        w.sim.init_lidar_pipeline();
        EXPECT_EQ(0u, w.sim.main_sbt().hitgroupRecordCount);
        EXPECT_EQ(2u, w.sim.mw_sbt().hitgroupRecordCount);
        EXPECT_EQ(2u, w.sim.eb_sbt().hitgroupRecordCount);
        EXPECT_EQ(2u, w.sim.eb_mb_sbt().hitgroupRecordCount);
        EXPECT_NE(w.sim.eb_sbt().raygenRecord, w.sim.eb_mb_sbt().raygenRecord);
        EXPECT_EQ(4, norvi_emu_optix_live_objects("pipeline"));  // main (+lidar), mw, eb, eb multiband
        w.sim.cleanup();
        EXPECT_EQ(0, norvi_emu_optix_live_objects("pipeline"));
        EXPECT_EQ(0, norvi_emu_optix_live_objects("program group"));
        EXPECT_EQ(0, norvi_emu_optix_live_objects("module"));
    }
    // Without miss.ptx the first two modules are created, then it fails.
    const fs::path dir = fs::temp_directory_path() / ("norvi_ptx_" + std::to_string(::getpid()));
    fs::create_directories(dir);
    for (const char* m : {"raygen_backward", "closesthit", "raygen_forward", "raygen_flux"})
        fs::copy_file(fs::path(NORVI_PTX_DIR) / (std::string(m) + ".ptx"), dir / (std::string(m) + ".ptx"),
                      fs::copy_options::overwrite_existing);
    norvi_emu_reset();
    {
        OptiXContext ctx(0);
        SceneManager scene(ctx);
        fill(scene);
        scene.build();
        Simulator sim(ctx, dir.string());
        EXPECT_EQ("Cannot open PTX: " + (dir / "miss.ptx").string(),
                  runtime_error_of([&] { sim.simulate(scene, 1, 4, {}); }));
        EXPECT_EQ(2, norvi_emu_call_count("optixModuleCreate"));
        EXPECT_EQ(2, norvi_emu_optix_live_objects("module"));
    }
    EXPECT_EQ(0, norvi_emu_optix_live_objects("module"));
    EXPECT_EQ(0, norvi_emu_live_allocations());
    fs::remove_all(dir);
}

TEST_F(GpuSimulator, EveryPipelineAndLaunchStepFailsWithItsLabel) {
    const auto setup = [] {
        auto w = std::make_unique<World>();
        fill(w->scene);
        w->scene.build();
        return w;
    };
    const auto run = [](World& w) { w.sim.simulate(w.scene, 2, 4, {}); };
    EXPECT_EQ(each("OptiX: ",
                   {"__raygen__backward", "__raygen__forward", "__raygen__flux", "__miss__radiance", "__miss__shadow",
                    "__closesthit__radiance", "__closesthit__shadow"},
                   " (7001)"),
              labels_by_failing("optixProgramGroupCreate", 7001, setup, run));
    EXPECT_EQ(each("Module create failed: ", {"raygen_backward", "closesthit", "miss", "raygen_forward", "raygen_flux"}, ""),
              labels_by_failing("optixModuleCreate", 7001, setup, run));
    EXPECT_EQ(each("OptiX: ", {"pipeline"}, " (7001)"), labels_by_failing("optixPipelineCreate", 7001, setup, run));
    EXPECT_EQ(each("OptiX: ", {"stack"}, " (7001)"), labels_by_failing("optixPipelineSetStackSize", 7001, setup, run));
    EXPECT_EQ(each("OptiX: ", {"launch", "launch"}, " (7001)"), labels_by_failing("optixLaunch", 7001, setup, run));
    EXPECT_EQ(each("CUDA: sync - ", {"unspecified launch failure", "unspecified launch failure"}, ""),
              labels_by_failing("cudaDeviceSynchronize", cudaErrorLaunchFailure, setup, run));

    // The simulation's own allocations and copies.
    const auto ready = [&setup] {
        auto w = setup();
        w->sim.init();
        return w;
    };
    EXPECT_EQ(each("CUDA: ", {"sbt rg", "sbt miss", "sbt hg", "film", "hits", "rngs", "tp", "rad", "params"},
                   " - out of memory"),
              labels_by_failing("cudaMalloc", cudaErrorMemoryAllocation, ready, run));
    EXPECT_EQ(each("CUDA: ", {"sbt rg", "sbt miss", "sbt hg", "params", "params", "download"}, " - invalid argument"),
              labels_by_failing("cudaMemcpy", cudaErrorInvalidValue, ready, run));
    EXPECT_EQ(each("CUDA: ", {"film zero"}, " - invalid argument"),
              labels_by_failing("cudaMemset", cudaErrorInvalidValue, ready, run));
}

TEST_F(GpuSimulator, BuffersAreReusedUntilTheSizesChangeAndNothingLeaks) {
    {
        World w;
        fill(w.scene);
        w.scene.build();
        w.sim.allocate_buffers(16, 1);
        const int after_first = norvi_emu_call_count("cudaMalloc");
        w.sim.allocate_buffers(16, 1);
        EXPECT_EQ(after_first, norvi_emu_call_count("cudaMalloc"));
        w.sim.allocate_buffers(16, 3);
        EXPECT_EQ(after_first + 6, norvi_emu_call_count("cudaMalloc"));

        // (The progress reports are tested from Python.)
        ASSERT_EQ(16u, w.sim.simulate(w.scene, 4, 4, {}).size());
        EXPECT_EQ(std::vector<float>(16, 0.0f), w.sim.simulate(w.scene, 0, 4, {}));

        w.scene.add_mesh({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}, {}, {{0, 1, 2}}, 0);
        EXPECT_EQ("Scene not built. Call scene.build() first.",
                  runtime_error_of([&] { w.sim.simulate(w.scene, 1, 4, {}); }));
        w.sim.cleanup();
        w.scene.free_gpu();
        EXPECT_EQ(0, norvi_emu_live_allocations());
    }
    EXPECT_EQ(0, norvi_emu_optix_live_objects("accel"));
}

}  // namespace
}  // namespace norvi
