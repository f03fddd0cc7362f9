// Simulator::simulate_microwave: passive microwave brightness temperature on
// the GPU scene, one launch of the passive program over the sensor's pixels.

#include <cuda_runtime_api.h>

#include <algorithm>
#include <cstring>
#include <sstream>
#include <stdexcept>

#include "gpu/gpu_check.h"
#include "gpu/optix/optix_api.h"
#include "gpu/simulator.h"
#include "physics/mw_path.h"
#include "scene/input_checks.h"

namespace norvi {

namespace {

constexpr const char* kEngine = "simulate_microwave";
constexpr std::size_t kStateBytes = 16;  // Pcg32 {state, inc}
static_assert(sizeof(Pcg32) == kStateBytes, "a random state is 16 bytes on the device");

// The device programs index the map by the hit mesh's material without a
// bound: every mesh must name one of the scene's materials.
void check_mesh_materials(const SceneManager& scene) {
    const std::size_t count = scene.materials().size();
    for (std::size_t i = 0; i < scene.host_meshes().size(); ++i) {
        const int mid = scene.host_meshes()[i].material;
        if (mid < 0 || static_cast<std::size_t>(mid) >= count) {
            std::ostringstream os;
            os << kEngine << ": mesh " << i << " uses material " << mid << ", but the scene has " << count
               << " materials";
            throw std::invalid_argument(os.str());
        }
    }
}

std::size_t table_bytes_of(const MicrowaveParams& p) {
    std::size_t bytes = 0;
    for (const MicrowaveMaterial& m : p.materials)
        if (m.type == kMwVegetation && !m.mueller.empty())
            bytes += (m.mueller.size() + m.cdf_cts.size() + m.cdf_dphi.size()) * sizeof(float);
    return bytes;
}

}  // namespace

void Simulator::check_mw_buffers_fit_(int num_pixels, int n_channels, std::size_t table_bytes) const {
    const std::size_t pixels = static_cast<std::size_t>(num_pixels);
    std::size_t need = table_bytes;
    std::size_t freed = 0;  // what this run frees before allocating
    for (const auto* list : {&mw_luts_, &mw_cdf_cts_, &mw_cdf_dphi_})
        for (const DeviceBuffer& b : *list) freed += b.size();
    if (num_pixels != mw_pixels_ || n_channels != mw_channels_) {
        need += pixels * (static_cast<std::size_t>(n_channels) * sizeof(float) + kMwHitBytes + kStateBytes);
        freed += mw_film_.size() + mw_hits_.size() + mw_rngs_.size();
    }
    const std::size_t available = (context_.free_vram_mb() << 20) + freed;
    if (need <= available) return;
    std::ostringstream os;
    os << kEngine << ": the buffers of " << num_pixels << " pixels x " << n_channels << " channels and "
       << table_bytes << " bytes of scattering tables need " << need << " bytes, but the device has "
       << (available >> 20) << " MiB free";
    throw std::runtime_error(os.str());
}

void Simulator::free_mw_buffers() {
    mw_film_.reset();
    mw_hits_.reset();
    mw_rngs_.reset();
    mw_mats_.reset();
    mw_map_dev_.reset();
    mw_params_.reset();
    mw_luts_.clear();
    mw_cdf_cts_.clear();
    mw_cdf_dphi_.clear();
    mw_map_.clear();
    mw_pixels_ = mw_channels_ = mw_record_count_ = -1;
}

std::vector<float> Simulator::simulate_microwave(SceneManager& scene, const MicrowaveParams& p) {
    if (!scene.is_built()) throw std::runtime_error("Scene not built. Call scene.build() first.");
    validate_microwave_params(p, kEngine);
    check_mesh_materials(scene);
    if (!initialised_) init();
    init_mw_pipeline();
    build_sbt_mw(scene);

    const SceneData sd = scene.get_scene_data();
    if (sd.sensor.width < 1 || sd.sensor.height < 1) {
        std::ostringstream os;
        os << kEngine << ": the sensor must have at least one pixel in each direction, got width "
           << sd.sensor.width << " and height " << sd.sensor.height;
        throw std::invalid_argument(os.str());
    }
    const uint32_t width = static_cast<uint32_t>(sd.sensor.width);
    const uint32_t height = static_cast<uint32_t>(sd.sensor.height);
    const std::size_t pixels = std::size_t(width) * height;
    const std::size_t nc = static_cast<std::size_t>(p.n_channels);
    // The film comes back to the host, and everything must fit on the device.
    require_memory(double(pixels) * double(nc) * sizeof(float) * 2.0, "simulate_microwave: the image");
    if (pixels > 0x7FFFFFFFu) throw std::invalid_argument("simulate_microwave: more than 2^31 pixels");
    const int num_pixels = static_cast<int>(pixels);
    check_mw_buffers_fit_(num_pixels, p.n_channels, table_bytes_of(p));

    // Film, hits and random states: made (and the states seeded) when the
    // image size or channel count changes, else the states continue.
    if (num_pixels != mw_pixels_ || p.n_channels != mw_channels_) {
        mw_film_.reset();
        mw_hits_.reset();
        mw_rngs_.reset();
        mw_pixels_ = mw_channels_ = -1;
        mw_film_.allocate(pixels * nc * sizeof(float), "mw film");
        mw_hits_.allocate(pixels * kMwHitBytes, "mw hits");
        mw_rngs_.allocate(pixels * kStateBytes, "mw rngs");
        std::vector<Pcg32> states(pixels);
        for (std::size_t i = 0; i < pixels; ++i) mw_seed_pixel(states[i], i);
        mw_rngs_.upload(states.data(), pixels * kStateBytes, "mw rngs up");
        mw_pixels_ = num_pixels;
        mw_channels_ = p.n_channels;
    }
    mw_film_.clear("mw film zero");

    // Material records, with this run's scattering tables.
    const int count = static_cast<int>(p.materials.size());
    if (count > 0) {
        mw_luts_.clear();
        mw_cdf_cts_.clear();
        mw_cdf_dphi_.clear();
        mw_luts_.resize(p.materials.size());
        mw_cdf_cts_.resize(p.materials.size());
        mw_cdf_dphi_.resize(p.materials.size());
        std::vector<MwMaterialRecord> records;
        records.reserve(p.materials.size());
        for (std::size_t i = 0; i < p.materials.size(); ++i) {
            const MicrowaveMaterial& m = p.materials[i];
            const float *lut = nullptr, *cts = nullptr, *dphi = nullptr;
            if (m.type == kMwVegetation && !m.mueller.empty()) {
                const std::size_t cells = std::size_t(m.cti) * std::size_t(m.cts) * std::size_t(m.dphi);
                const std::size_t rows = std::size_t(m.cti) * std::size_t(m.cts);
                mw_luts_[i].allocate(cells * 16 * sizeof(float), "mw mueller lut");
                mw_cdf_cts_[i].allocate(rows * sizeof(float), "mw cdf cts");
                mw_cdf_dphi_[i].allocate(cells * sizeof(float), "mw cdf dphi");
                mw_luts_[i].upload(m.mueller.data(), cells * 16 * sizeof(float), "mw lut up");
                mw_cdf_cts_[i].upload(m.cdf_cts.data(), rows * sizeof(float), "mw cct up");
                mw_cdf_dphi_[i].upload(m.cdf_dphi.data(), cells * sizeof(float), "mw cph up");
                lut = static_cast<const float*>(mw_luts_[i].get());
                cts = static_cast<const float*>(mw_cdf_cts_[i].get());
                dphi = static_cast<const float*>(mw_cdf_dphi_[i].get());
            }
            records.push_back(make_mw_material_record(m, lut, cts, dphi));
        }
        if (count != mw_record_count_) {
            mw_record_count_ = -1;
            mw_mats_.allocate(records.size() * sizeof(MwMaterialRecord), "mw mats");
            mw_record_count_ = count;
        }
        mw_mats_.upload(records.data(), records.size() * sizeof(MwMaterialRecord), "mw mats up");
    }

    // Map from optical material: a new one replaces the last; either way it
    // reaches the device padded with -1 to the scene's material count.
    const std::size_t scene_materials = scene.materials().size();
    const bool new_map = !p.material_map.empty();
    if (new_map) mw_map_ = p.material_map;
    if (new_map || (mw_map_dev_ && mw_map_dev_.size() < scene_materials * sizeof(int32_t))) {
        std::vector<int32_t> padded = mw_map_;
        if (padded.size() < scene_materials) padded.resize(scene_materials, -1);
        mw_map_dev_.reset();
        mw_map_dev_.allocate(padded.size() * sizeof(int32_t), "mw map");
        mw_map_dev_.upload(padded.data(), padded.size() * sizeof(int32_t), "mw map up");
    }

    if (!mw_params_) mw_params_.allocate(sizeof(MwLaunchParams), "mw params");
    MwLaunchParams lp;
    std::memset(&lp, 0, sizeof(lp));
    lp.film = mw_film_.ptr();
    lp.width = width;
    lp.height = height;
    lp.n_channels = p.n_channels;
    lp.traversable = sd.traversable;
    lp.materials = count > 0 ? mw_mats_.ptr() : 0;
    lp.num_materials = count;
    lp.material_map = mw_map_dev_.ptr();
    lp.frequency = p.frequency;
    lp.wavelength = 2.998e8f / p.frequency;
    lp.air_temperature = p.air_temperature;
    lp.atm_tau = p.atm_tau;
    lp.sensor = sd.sensor;
    lp.max_depth = p.max_depth;
    lp.spp = p.spp;
    lp.hits = mw_hits_.ptr();
    lp.rngs = mw_rngs_.ptr();
    lp.num_pixels = static_cast<uint32_t>(pixels);
    lp.scene_x_size = sd.scene_x_size;
    lp.scene_y_size = sd.scene_y_size;
    lp.scene_top = sd.scene_max.z;
    lp.num_repetitions = sd.num_repetitions;
    mw_params_.upload(&lp, sizeof(lp), "mw params up");

    check_optix(optix::optix_api().launch(mw_.pipeline, context_.stream(), mw_params_.ptr(), sizeof(MwLaunchParams),
                                          &mw_sbt_.sbt, width, height, 1),
                "launch mw");
    check_cuda(cudaDeviceSynchronize(), "sync mw");

    std::vector<float> result(pixels * nc, 0.0f);
    mw_film_.download(result.data(), result.size() * sizeof(float), "download mw");
    return result;
}

}  // namespace norvi
