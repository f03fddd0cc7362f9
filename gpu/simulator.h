#pragma once
// Simulator: turns the PTX device programs into OptiX modules, program
// groups and pipelines, builds the shader binding tables for a scene, owns
// the per-mode device buffers and runs the launches.
//
// Pipeline families, each built on first use:
//   main          raygen backward / forward / flux (+ lidar after the first
//                 LiDAR run), miss radiance / shadow, hit radiance / shadow
//   microwave     raygen passive, miss, hit
//   energy balance raygen single-band and multiband, miss, hit
// Every OptiX object and device buffer is released by cleanup(), which the
// destructor calls; a failure part-way leaves what was created for cleanup().

#include <functional>
#include <string>
#include <vector>

#include "gpu/device_buffer.h"
#include "gpu/device_records.h"
#include "gpu/lidar_params.h"
#include "gpu/mw_records.h"
#include "gpu/optix/optix_types.h"
#include "gpu/optix_context.h"
#include "gpu/photon_params.h"
#include "gpu/photon_records.h"
#include "gpu/run_range.h"
#include "gpu/scene_manager.h"
#include "scene/energy_balance_params.h"
#include "scene/microwave_types.h"

namespace norvi {

using ProgressCallback = std::function<void(int, int, float)>;

// One OptiX program group, pipeline or module handle with its destroy call.
// The family members below are released in cleanup() in a fixed order.
struct PipelineFamily {
    optix::OptixPipeline pipeline = nullptr;
    std::vector<optix::OptixProgramGroup> groups;  // in creation order
    std::vector<optix::OptixModule> modules;       // in creation order
    bool empty() const { return !pipeline && groups.empty() && modules.empty(); }
};

// A shader binding table and the three device buffers behind it.
struct BindingTable {
    optix::OptixShaderBindingTable sbt{};
    DeviceBuffer raygen, miss, hitgroup;
    void reset() {
        raygen.reset();
        miss.reset();
        hitgroup.reset();
        sbt = optix::OptixShaderBindingTable{};
    }
};

class Simulator {
public:
    Simulator(OptiXContext& context, const std::string& ptx_dir);
    ~Simulator();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // Builds the main pipeline once.
    void init();
    bool initialised() const { return initialised_; }

    // "<ptx_dir>/<name>.ptx" as text; throws "Cannot open PTX: " + path.
    std::string read_ptx(const std::string& name) const;
    // optixModuleCreate of the PTX text; on failure prints "[Module name] log"
    // to standard error and throws "Module create failed: " + name.
    optix::OptixModule create_module(const std::string& ptx, const char* name);

    void build_pipeline();
    void init_lidar_pipeline();
    void init_mw_pipeline();
    void init_eb_pipeline();
    void init_eb_mb_pipeline();

    void build_sbt(const SceneManager& scene);
    void build_sbt_mw(const SceneManager& scene);
    void build_sbt_eb(const SceneManager& scene);
    void build_sbt_eb_mb(const SceneManager& scene);

    void allocate_buffers(int num_pixels, int num_bands);
    void free_buffers();
    void cleanup();

    // Renders the scene's sensor image: spp launches of the backward program,
    // num_pixels x num_bands values (band fastest, then x, then y). `rows`
    // renders a band of sensor rows only (width x rows x bands values), each
    // pixel exactly as in the whole image.
    std::vector<float> simulate(SceneManager& scene, int spp, int max_depth, const ProgressCallback& progress,
                                RunRange rows = {});

    // Read-only views for callers that launch the other modes, and for tests.
    const optix::OptixShaderBindingTable& main_sbt() const { return main_sbt_.sbt; }
    const optix::OptixShaderBindingTable& mw_sbt() const { return mw_sbt_.sbt; }
    const optix::OptixShaderBindingTable& eb_sbt() const { return eb_sbt_.sbt; }
    const optix::OptixShaderBindingTable& eb_mb_sbt() const { return eb_mb_sbt_; }
    optix::OptixPipeline main_pipeline() const { return main_.pipeline; }
    bool lidar_ready() const { return lidar_module_ != nullptr && lidar_group_ != nullptr; }

    // ---- forward and flux photon modes (simulator_forward.cpp) ----
    // Absorbed energy per cell, layer and band (band fastest, then x, then y,
    // then layer); fills the optional outputs given (per leaf: triangles x
    // bands; brf: directions x bands; albedo and terrain: bands).
    std::vector<float> simulate_forward(SceneManager& scene, const ForwardParams& p, std::vector<float>* leaf,
                                        std::vector<float>* brf, std::vector<float>* albedo,
                                        std::vector<float>* terrain);
    // Downwelling and upwelling flux per cell and band (band fastest, then x, then y).
    void simulate_flux(SceneManager& scene, const FluxParams& p, std::vector<float>& down, std::vector<float>& up);

    // ---- LiDAR mode (simulator_lidar.cpp) ----
    // Waveforms and returns of the pulses (waveform mode), or one first-hit
    // point per pulse that meets something in the range window (direct mode).
    LidarResult simulate_lidar(SceneManager& scene, const LiDARLaunchParams& p);

    // ---- passive microwave (gpu/simulator_microwave.cpp) ----
    // Brightness temperatures of the scene's sensor pixels [K]: one launch of
    // the passive program, num_pixels x n_channels values (channel fastest,
    // then x, then y). The per-pixel random states persist between runs of
    // the same image size and channel count.
    std::vector<float> simulate_microwave(SceneManager& scene, const MicrowaveParams& p);
    // Frees every microwave buffer (film, hits, states, tables, records, map, launch record).
    void free_mw_buffers();

    // ---- energy balance (gpu/simulator_energy_balance.cpp) ----
    // Per-primitive absorbed radiation [W m^-2] on the top side and, when
    // two_sided, the bottom side (meaning of the inputs and outputs:
    // scene/energy_balance_params.h). top gets n_primitives values (n_bands x
    // n_primitives, band-major, for the multiband run), bot the same or
    // nothing when one-sided. Checks: built, then check_energy_balance.
    // `prims` runs a range of primitives only: the outputs then hold that
    // range's values (n_bands x range for the multiband run).
    void run_energy_balance(SceneManager& scene, const EnergyBalanceParams& p, std::vector<float>& top,
                            std::vector<float>& bot, RunRange prims = {});
    void run_energy_balance_multiband(SceneManager& scene, const EnergyBalanceMultibandParams& p,
                                      std::vector<float>& top, std::vector<float>& bot, RunRange prims = {});

private:
    optix::OptixProgramGroup create_group_(optix::OptixProgramGroupKind kind, optix::OptixModule module,
                                           const char* entry, const char* label);
    optix::OptixPipeline create_pipeline_(const std::vector<optix::OptixProgramGroup>& groups,
                                          unsigned int max_trace_depth, const char* label);
    void set_stack_(optix::OptixPipeline pipeline, unsigned int traversable_depth, const char* label);
    void pack_and_upload_(optix::OptixProgramGroup group, const void* payload, std::size_t payload_bytes,
                          DeviceBuffer& buffer, std::size_t record_bytes, const char* alloc_label,
                          const char* upload_label);
    void build_family_sbt_(const SceneManager& scene, BindingTable& table, optix::OptixProgramGroup raygen,
                           optix::OptixProgramGroup miss, optix::OptixProgramGroup hit, const float* miss_payload,
                           const char* const labels[6]);
    void destroy_family_(PipelineFamily& family) noexcept;
    // Device bytes of the backward buffer set, and a refusal, before anything
    // is freed or allocated, of a set that cannot fit in the device's free
    // memory (the current set counted as free).
    static std::size_t buffer_bytes_(int num_pixels, int num_bands);
    void check_buffers_fit_(int num_pixels, int num_bands) const;

    OptiXContext& context_;
    std::string ptx_dir_;
    bool initialised_ = false;
    bool mw_ready_ = false;
    bool eb_ready_ = false;
    bool eb_mb_ready_ = false;
    optix::OptixPipelineCompileOptions pipeline_options_{};

    // Main family: groups [rg backward, rg forward, rg flux, miss radiance,
    // miss shadow, hit radiance, hit shadow]; modules [raygen_backward,
    // closesthit, miss, raygen_forward, raygen_flux].
    PipelineFamily main_;
    optix::OptixModule lidar_module_ = nullptr;
    optix::OptixProgramGroup lidar_group_ = nullptr;
    BindingTable main_sbt_;

    // Microwave: groups [rg, miss, hit]; modules [raygen_passive, closesthit_mw, miss_mw].
    PipelineFamily mw_;
    BindingTable mw_sbt_;

    // Energy balance: groups [rg, miss, hit]; module raygen_eb_rrt. The
    // multiband pipeline has its own ray-generation group and record and
    // shares the others.
    PipelineFamily eb_;
    PipelineFamily eb_mb_;
    BindingTable eb_sbt_;
    DeviceBuffer eb_mb_raygen_;
    optix::OptixShaderBindingTable eb_mb_sbt_{};

    // Backward buffers and the sizes they were made for (-1: none).
    DeviceBuffer film_, hits_, rngs_, tp_, rad_, params_;
    int buffer_pixels_ = -1;
    int buffer_bands_ = -1;

    // ---- forward and flux photon modes (simulator_forward.cpp) ----
    // Runs num_photons photons as batches of the mode's ray generation
    // record; returns the batch count.
    int run_photon_batches_(PhotonLaunchParams& lp, int num_photons, DeviceBuffer& raygen, const char* params_label,
                            const char* launch_label, const char* sync_label, const PhotonProgress& progress);
    void make_photon_sbt_(const SceneManager& scene, optix::OptixProgramGroup group, DeviceBuffer& raygen,
                          const char* alloc_label, const char* upload_label);
    DeviceBuffer fwd_grid_, fwd_layers_, fwd_leaf_, fwd_leaf_off_, fwd_terrain_, fwd_brf_dirs_, fwd_brf_,
        fwd_albedo_, fwd_raygen_;
    DeviceBuffer flux_down_, flux_up_, flux_raygen_;
    DeviceBuffer lidar_raygen_;  // LiDAR mode: its ray-generation record, made on the first run

    // ---- passive microwave buffers (gpu/simulator_microwave.cpp) ----
    // Film, hits and states are sized for (mw_pixels_, mw_channels_); the
    // record array for mw_record_count_ records; the map holds mw_map_
    // padded with -1 to at least the scene's material count.
    void check_mw_buffers_fit_(int num_pixels, int n_channels, std::size_t table_bytes) const;
    DeviceBuffer mw_film_, mw_hits_, mw_rngs_, mw_mats_, mw_map_dev_, mw_params_;
    std::vector<DeviceBuffer> mw_luts_, mw_cdf_cts_, mw_cdf_dphi_;
    std::vector<int32_t> mw_map_;
    int mw_pixels_ = -1;
    int mw_channels_ = -1;
    int mw_record_count_ = -1;

    // ---- energy balance (gpu/simulator_energy_balance.cpp) ----
    // Buffers kept between runs with the sizes they were made for (-1: none).
    void free_eb_buffers_() noexcept;
    // Refuses, before anything is freed or allocated, device buffers that
    // cannot fit: `bytes` new, `freed` released first.
    void check_eb_fit_(double bytes, double freed, const char* method) const;
    DeviceBuffer eb_top_, eb_bot_, eb_albedos_;
    long long eb_prims_ = -1;
    long long eb_albedo_count_ = -1;
    DeviceBuffer eb_mb_top_, eb_mb_bot_, eb_mb_sun_, eb_mb_sky_, eb_mb_albedos_;
    long long eb_mb_size_ = -1;
    int eb_mb_bands_ = -1;
    long long eb_mb_albedo_count_ = -1;
};

}  // namespace norvi
