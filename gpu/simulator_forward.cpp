// The forward and flux photon modes of the simulator: batches of at most
// kPhotonLaunchBatch photons launched as 1024-wide grids of the mode's
// ray-generation program, accumulating in device buffers of doubles that are
// cleared once per run and converted to floats after the last batch.

#include <cuda_runtime_api.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <stdexcept>

#include "gpu/gpu_check.h"
#include "gpu/optix/optix_api.h"
#include "gpu/simulator.h"
#include "scene/input_checks.h"

namespace norvi {

namespace {

using optix::optix_api;

// Main-family group positions of the photon ray generation programs.
constexpr std::size_t kGroupForward = 1;
constexpr std::size_t kGroupFlux = 2;

float elapsed_ms_since(std::chrono::system_clock::time_point start) {
    const auto ns =
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now() - start).count();
    return static_cast<float>(static_cast<double>(ns) / 1e6);
}

// Photons of the first batch, rounded up to whole launch rows.
int photon_batch_size(int num_photons) {
    const int batch = num_photons < kPhotonLaunchBatch ? num_photons : kPhotonLaunchBatch;
    return (batch + kPhotonLaunchWidth - 1) / kPhotonLaunchWidth * kPhotonLaunchWidth;
}

std::vector<float> download_as_float(const DeviceBuffer& buffer, std::size_t count, const char* label) {
    std::vector<double> values(count, 0.0);
    if (count) buffer.download(values.data(), count * sizeof(double), label);
    std::vector<float> out(count);
    for (std::size_t i = 0; i < count; ++i) out[i] = static_cast<float>(values[i]);
    return out;
}

// A cleared accumulator of `count` doubles.
void allocate_cleared(DeviceBuffer& buffer, std::size_t count, const char* alloc_label, const char* zero_label) {
    buffer.reset();
    buffer.allocate(count * sizeof(double), alloc_label);
    buffer.clear(zero_label);
}

}  // namespace

void Simulator::make_photon_sbt_(const SceneManager& scene, optix::OptixProgramGroup group, DeviceBuffer& raygen,
                                 const char* alloc_label, const char* upload_label) {
    build_sbt(scene);
    raygen.reset();
    pack_and_upload_(group, nullptr, 0, raygen, sizeof(RaygenRecord), alloc_label, upload_label);
}

int Simulator::run_photon_batches_(PhotonLaunchParams& lp, int num_photons, DeviceBuffer& raygen,
                                   const char* params_label, const char* launch_label, const char* sync_label,
                                   const PhotonProgress& progress) {
    optix::OptixShaderBindingTable sbt = main_sbt_.sbt;
    sbt.raygenRecord = raygen.ptr();
    const int batch = photon_batch_size(num_photons);
    const auto start = std::chrono::system_clock::now();
    int done = 0, batches = 0;
    while (done < num_photons) {
        const int count = num_photons - done < batch ? num_photons - done : batch;
        const unsigned int rows = static_cast<unsigned int>((count + kPhotonLaunchWidth - 1) / kPhotonLaunchWidth);
        lp.batch = batches;
        lp.batch_index = batches;
        lp.batch_photons = count;
        lp.rounded_photons = rows * kPhotonLaunchWidth;
        lp.height = rows;
        params_.upload(&lp, sizeof(lp), params_label);
        check_optix(optix_api().launch(main_.pipeline, context_.stream(), params_.ptr(), sizeof(PhotonLaunchParams),
                                       &sbt, kPhotonLaunchWidth, rows, 1),
                    launch_label);
        check_cuda(cudaDeviceSynchronize(), sync_label);
        done += count;
        ++batches;
        if (progress) progress(done, num_photons, elapsed_ms_since(start));
    }
    return batches;
}

std::vector<float> Simulator::simulate_forward(SceneManager& scene, const ForwardParams& p, std::vector<float>* leaf,
                                               std::vector<float>* brf, std::vector<float>* albedo,
                                               std::vector<float>* terrain) {
    std::cerr << "[fwd] enter simulate_forward" << std::endl;
    if (!scene.is_built()) throw std::runtime_error("Scene not built. Call scene.build() first.");
    const int layers = static_cast<int>(p.layer_heights.size()) - 1;
    if (layers < 1) throw std::runtime_error("layer_heights needs at least 2 values");
    const std::vector<float> views = check_forward_params(scene, p);
    const auto part =
        resolve_run_range({p.first_photon, p.photon_count}, p.num_photons, "simulate_forward", "photon", "the run of");
    const int part_photons = static_cast<int>(part.second - part.first);
    if (!initialised_) init();
    std::cerr << "[fwd] initialized" << std::endl;

    const SceneData scene_data = scene.get_scene_data();
    const int nb = scene_data.num_bands;
    const SensorData& sensor = scene_data.sensor;
    // Extent: the orthographic footprint, else the tile, else 30 m.
    const auto extent = [](float ortho, float tile) { return ortho > 0.0f ? ortho : (tile > 0.0f ? tile : 30.0f); };
    const float lx = extent(sensor.ortho_w, scene_data.scene_x_size);
    const float ly = extent(sensor.ortho_h, scene_data.scene_y_size);
    const float dx = lx / static_cast<float>(p.nx);
    const float dy = ly / static_cast<float>(p.ny);
    const double photon_e = static_cast<double>(lx) * static_cast<double>(ly) / p.num_photons;
    const std::size_t grid_count = static_cast<std::size_t>(p.nx) * static_cast<std::size_t>(p.ny) *
                                   static_cast<std::size_t>(layers) * static_cast<std::size_t>(nb);
    require_memory(double(grid_count) * (sizeof(double) + sizeof(float)), "simulate_forward: the grid");

    std::cerr << "[fwd] building sbt..." << std::endl;
    build_sbt(scene);
    std::cerr << "[fwd] sbt built" << std::endl;
    std::cerr << "[fwd] creating forward sbt..." << std::endl;
    std::vector<unsigned char> record(sizeof(RaygenRecord), 0);
    check_optix(optix_api().sbt_record_pack_header(main_.groups[kGroupForward], record.data()), "sbt rg fwd upload");
    std::cerr << "[fwd] header packed" << std::endl;
    fwd_raygen_.reset();
    fwd_raygen_.allocate(record.size(), "sbt rg fwd alloc");
    std::cerr << "[fwd] malloc ok" << std::endl;
    fwd_raygen_.upload(record.data(), record.size(), "sbt rg fwd upload");
    std::cerr << "[fwd] upload ok" << std::endl;

    std::cerr << "[fwd] allocating grid: " << grid_count << " doubles" << std::endl;
    allocate_cleared(fwd_grid_, grid_count, "fpar grid", "fpar zero");
    std::cerr << "[fwd] grid allocated ok" << std::endl;
    std::cerr << "[fwd] layer_heights.size()=" << p.layer_heights.size() << std::endl;
    const std::size_t layer_bytes = p.layer_heights.size() * sizeof(float);
    std::cerr << "[fwd] allocating " << layer_bytes << " bytes for layers" << std::endl;
    fwd_layers_.reset();
    fwd_layers_.allocate(layer_bytes, "layers alloc");
    std::cerr << "[fwd] layers malloc ok" << std::endl;
    fwd_layers_.upload(p.layer_heights.data(), layer_bytes, "layers upload");
    std::cerr << "[fwd] layers upload ok" << std::endl;

    // Per leaf: triangles are numbered instance by instance.
    int leaf_total = 0;
    fwd_leaf_.reset();
    fwd_leaf_off_.reset();
    if (p.per_leaf) {
        std::vector<int32_t> offsets(1, 0);
        for (uint32_t n : scene.instance_triangle_counts())
            offsets.push_back(offsets.back() + static_cast<int32_t>(n));
        leaf_total = offsets.back();
        if (leaf_total >= 1) {
            allocate_cleared(fwd_leaf_, static_cast<std::size_t>(leaf_total) * static_cast<std::size_t>(nb),
                             "leaf buf", "leaf zero");
            fwd_leaf_off_.assign(offsets, "leaf off");
        }
    }
    fwd_terrain_.reset();
    if (p.terrain_instance_id >= 0)
        allocate_cleared(fwd_terrain_, static_cast<std::size_t>(nb), "terrain buf", "terrain zero");
    fwd_brf_.reset();
    fwd_brf_dirs_.reset();
    fwd_albedo_.reset();
    if (p.num_brf_dirs > 0 && !p.brf_directions.empty()) {
        fwd_brf_dirs_.allocate(views.size() * sizeof(float), "brf dirs");
        fwd_brf_dirs_.upload(views.data(), views.size() * sizeof(float), "brf dirs up");
        allocate_cleared(fwd_brf_, static_cast<std::size_t>(p.num_brf_dirs) * static_cast<std::size_t>(nb), "brf buf",
                         "brf zero");
    }
    if (p.num_brf_dirs > 0 || albedo)
        allocate_cleared(fwd_albedo_, static_cast<std::size_t>(nb), "albedo buf", "albedo zero");

    std::cerr << "[fwd] allocating per-ray buffers..." << std::endl;
    const int batch = photon_batch_size(part_photons);
    check_buffers_fit_(batch, nb);
    allocate_buffers(batch, nb);
    std::cerr << "[fwd] buffers allocated (batch=" << batch << ")" << std::endl;
    std::cerr << "[fwd] scene=" << lx << "x" << ly << " dx=" << dx << " dy=" << dy << " batch=" << batch
              << " total=" << p.num_photons << " photon_e=" << photon_e << std::endl;

    PhotonLaunchParams lp;
    std::memset(&lp, 0, sizeof(lp));
    lp.width = kPhotonLaunchWidth;
    lp.scene = scene_data;
    lp.hits = hits_.ptr();
    lp.rngs = rngs_.ptr();
    lp.num_bands = static_cast<uint32_t>(nb);
    lp.tp = tp_.ptr();
    lp.rad = rad_.ptr();
    lp.max_depth = p.max_depth;
    lp.rr_depth = 3;
    lp.spp = 1;
    lp.grid = fwd_grid_.ptr();
    lp.nx = p.nx;
    lp.ny = p.ny;
    lp.layers = layers;
    lp.dx = dx;
    lp.dy = dy;
    lp.layer_heights = fwd_layers_.ptr();
    lp.photon_energy = photon_e;
    lp.prob_sun = p.prob_sun;
    lp.leaf = fwd_leaf_.ptr();
    lp.leaf_offsets = fwd_leaf_off_.ptr();
    lp.leaf_triangles = p.per_leaf ? leaf_total : 0;
    lp.per_leaf = p.per_leaf;
    lp.terrain = fwd_terrain_.ptr();
    lp.terrain_instance_id = p.terrain_instance_id;
    lp.brf_dirs = fwd_brf_dirs_.ptr();
    lp.brf = fwd_brf_.ptr();
    lp.albedo = fwd_albedo_.ptr();
    lp.num_brf_dirs = p.num_brf_dirs;
    lp.grid_top = p.layer_heights.back();
    lp.first_photon = static_cast<int32_t>(part.first);

    const auto start = std::chrono::system_clock::now();
    const int batches = run_photon_batches_(lp, part_photons, fwd_raygen_, "params fwd", "launch fwd", "sync fwd",
                                            p.progress);
    std::cout << "Forward: " << p.num_photons << " photons (" << batches << " batches), " << p.nx << "x" << p.ny << "x"
              << layers << " grid, " << nb << " bands = " << elapsed_ms_since(start) << " ms" << std::endl;

    std::vector<float> grid = download_as_float(fwd_grid_, grid_count, "download fpar");
    const std::size_t nbs = static_cast<std::size_t>(nb);
    if (p.per_leaf && leaf)
        *leaf = download_as_float(fwd_leaf_, static_cast<std::size_t>(leaf_total) * nbs, "download leaf");
    if (p.terrain_instance_id >= 0 && terrain) *terrain = download_as_float(fwd_terrain_, nbs, "download terrain");
    if (p.num_brf_dirs >= 1 && brf && fwd_brf_.ptr())
        *brf = download_as_float(fwd_brf_, static_cast<std::size_t>(p.num_brf_dirs) * nbs, "download brf");
    if (albedo) *albedo = download_as_float(fwd_albedo_, nbs, "download albedo");
    fwd_brf_.reset();
    fwd_brf_dirs_.reset();
    fwd_albedo_.reset();
    return grid;
}

void Simulator::simulate_flux(SceneManager& scene, const FluxParams& p, std::vector<float>& down,
                              std::vector<float>& up) {
    if (!scene.is_built()) throw std::runtime_error("Scene not built. Call scene.build() first.");
    int max_depth = p.max_depth;
    if (const char* env = std::getenv("NORVI_MAX_DEPTH")) {
        char* end = nullptr;
        const long v = std::strtol(env, &end, 10);
        if (end != env && *end == '\0' && v > 0 && v <= 0x7FFFFFFF) {
            std::cout << "[GPU flux] NORVI_MAX_DEPTH=" << v << std::endl;
            max_depth = static_cast<int>(v);
        }
    }
    check_flux_params(scene, p);
    const auto part =
        resolve_run_range({p.first_photon, p.photon_count}, p.num_photons, "simulate_flux", "photon", "the run of");
    const int part_photons = static_cast<int>(part.second - part.first);
    if (!initialised_) init();

    const SceneData scene_data = scene.get_scene_data();
    const int nb = scene_data.num_bands;
    const SensorData& sensor = scene_data.sensor;
    float lx = scene_data.scene_x_size > 0.0f ? scene_data.scene_x_size : sensor.ortho_w;
    float ly = scene_data.scene_y_size > 0.0f ? scene_data.scene_y_size : sensor.ortho_h;
    if (!(lx > 0.0f) || !(ly > 0.0f)) throw std::runtime_error("simulate_flux: scene extent unknown");
    const std::size_t count =
        static_cast<std::size_t>(p.nx) * static_cast<std::size_t>(p.ny) * static_cast<std::size_t>(nb);
    require_memory(2.0 * double(count) * (sizeof(double) + sizeof(float)), "simulate_flux: the flux maps");

    make_photon_sbt_(scene, main_.groups[kGroupFlux], flux_raygen_, "sbt rg flux alloc", "sbt rg flux upload");
    allocate_cleared(flux_down_, count, "flux down alloc", "flux down zero");
    allocate_cleared(flux_up_, count, "flux up alloc", "flux up zero");
    const int batch = photon_batch_size(part_photons);
    check_buffers_fit_(batch, nb);
    allocate_buffers(batch, nb);

    std::cout << "Forward flux (GPU): " << p.num_photons << " photons, grid " << p.nx << "x" << p.ny << ", " << nb
              << " bands, max_bounces_record=" << (p.max_bounces != 0 ? p.max_bounces : -1) << std::endl;

    PhotonLaunchParams lp;
    std::memset(&lp, 0, sizeof(lp));
    lp.width = kPhotonLaunchWidth;
    lp.scene = scene_data;
    lp.hits = hits_.ptr();
    lp.rngs = rngs_.ptr();
    lp.num_bands = static_cast<uint32_t>(nb);
    lp.tp = tp_.ptr();
    lp.rad = rad_.ptr();
    lp.max_depth = max_depth;
    lp.rr_depth = p.rr_depth;
    lp.spp = 1;
    lp.photon_energy = static_cast<double>(lx) * static_cast<double>(ly) / p.num_photons;
    lp.prob_sun = p.prob_sun;
    lp.flux_down = flux_down_.ptr();
    lp.flux_up = flux_up_.ptr();
    lp.flux_nx = p.nx;
    lp.flux_ny = p.ny;
    lp.flux_dx = lx / static_cast<float>(p.nx);
    lp.flux_dy = ly / static_cast<float>(p.ny);
    lp.max_bounces = p.max_bounces;
    lp.first_photon = static_cast<int32_t>(part.first);

    const auto start = std::chrono::system_clock::now();
    const int batches = run_photon_batches_(lp, part_photons, flux_raygen_, "params flux", "launch flux",
                                            "sync flux", p.progress);
    std::cout << "Forward flux (GPU): " << p.num_photons << " photons (" << batches
              << " batches) = " << elapsed_ms_since(start) << " ms" << std::endl;

    down = download_as_float(flux_down_, count, "download flux down");
    up = download_as_float(flux_up_, count, "download flux up");
}

}  // namespace norvi
