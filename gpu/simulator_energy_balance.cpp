// Simulator: the energy-balance runs. One launch of "raygen_eb_rrt" per run,
// one launch column per primitive and one row per sample; the outputs, the
// per-band arrays and the albedos stay on the device between runs and are
// reallocated only when their sizes change.

#include <cuda_runtime_api.h>

#include <algorithm>
#include <cstring>
#include <sstream>
#include <stdexcept>

#include "gpu/energy_balance_record.h"
#include "gpu/gpu_check.h"
#include "gpu/optix/optix_api.h"
#include "gpu/simulator.h"
#include "scene/input_checks.h"

namespace norvi {

namespace {

using optix::optix_api;

constexpr double kFloat = sizeof(float);

void require_built(const SceneManager& scene) {
    if (!scene.is_built()) throw std::runtime_error("Scene not built. Call scene.build() first.");
}

// The optional albedos of a run: present when given with at least one value.
bool has_albedos(const float* albedos, int32_t count) { return albedos != nullptr && count > 0; }

// Reallocates `buffer` to `count` floats when the count it was made for differs.
void resize_floats(DeviceBuffer& buffer, long long& made_for, long long count, const char* label) {
    if (count == made_for) return;
    made_for = -1;
    buffer.allocate(static_cast<std::size_t>(count) * sizeof(float), label);
    made_for = count;
}

// Keeps the primitives [first, end) of each of `bands` rows of n values.
void keep_primitives(std::vector<float>& values, long long n, long long bands, std::pair<long long, long long> range) {
    if (range.first == 0 && range.second == n) return;
    const long long count = range.second - range.first;
    std::vector<float> kept(static_cast<std::size_t>(count * bands));
    for (long long b = 0; b < bands; ++b)
        std::copy(values.begin() + b * n + range.first, values.begin() + b * n + range.second,
                  kept.begin() + b * count);
    values.swap(kept);
}

}  // namespace

void Simulator::free_eb_buffers_() noexcept {
    for (DeviceBuffer* b : {&eb_top_, &eb_bot_, &eb_albedos_, &eb_mb_top_, &eb_mb_bot_, &eb_mb_sun_, &eb_mb_sky_,
                            &eb_mb_albedos_})
        b->reset();
    eb_prims_ = eb_albedo_count_ = eb_mb_size_ = eb_mb_albedo_count_ = -1;
    eb_mb_bands_ = -1;
}

void Simulator::check_eb_fit_(double bytes, double freed, const char* method) const {
    const double available = static_cast<double>(context_.free_vram_mb()) * 1048576.0 + freed;
    if (bytes <= available) return;
    std::ostringstream os;
    os << method << ": the energy-balance buffers need " << static_cast<long long>(bytes)
       << " more bytes, but the device has " << static_cast<long long>(available / 1048576.0) << " MiB free";
    throw std::runtime_error(os.str());
}

void Simulator::run_energy_balance(SceneManager& scene, const EnergyBalanceParams& p, std::vector<float>& top,
                                   std::vector<float>& bot, RunRange prims) {
    require_built(scene);
    if (!initialised_) init();
    init_eb_pipeline();
    build_sbt_eb(scene);
    const long long n = static_cast<long long>(scene.n_primitives());
    check_energy_balance(p, n);
    const auto range = resolve_run_range(prims, n, "run_energy_balance", "primitive", "the scene's");
    const bool albedos = has_albedos(p.sw_albedos, p.n_sw_albedos);

    // Host copies, then the device buffers that change size.
    require_memory(double(n) * kFloat * (p.two_sided ? 2.0 : 1.0), "run_energy_balance: the results");
    double need = 0.0, freed = 0.0;
    if (n != eb_prims_) {
        need += 2.0 * double(n) * kFloat;
        freed += double(eb_top_.size() + eb_bot_.size());
    }
    if (albedos && p.n_sw_albedos != eb_albedo_count_) {
        need += double(p.n_sw_albedos) * kFloat;
        freed += double(eb_albedos_.size());
    }
    if (need > 0.0) check_eb_fit_(need, freed, "run_energy_balance");

    if (n != eb_prims_) {
        eb_top_.reset();
        eb_bot_.reset();
        eb_prims_ = -1;
        eb_top_.allocate(static_cast<std::size_t>(n) * sizeof(float), "eb top alloc");
        eb_bot_.allocate(static_cast<std::size_t>(n) * sizeof(float), "eb bot alloc");
        eb_prims_ = n;
    }
    eb_top_.clear("eb top zero");
    eb_bot_.clear("eb bot zero");
    if (!params_) allocate_buffers(1, std::max(scene.num_bands(), 1));
    if (albedos) {
        resize_floats(eb_albedos_, eb_albedo_count_, p.n_sw_albedos, "eb sw_albedos alloc");
        eb_albedos_.upload(p.sw_albedos, static_cast<std::size_t>(p.n_sw_albedos) * sizeof(float),
                           "eb sw_albedos upload");
    }

    EnergyBalanceLaunchParams lp;
    std::memset(&lp, 0, sizeof(lp));
    lp.scene = scene.get_scene_data();
    lp.band_type = p.band_type;
    lp.n_samples = p.n_samples;
    lp.sun_irradiance = p.sun_irradiance;
    lp.sky_diffuse_radiance = p.sky_diffuse_radiance;
    lp.sky_lw_radiance = p.sky_lw_radiance;
    lp.sun_dir = float3{p.sun_dir_x, p.sun_dir_y, p.sun_dir_z};
    lp.top = eb_top_.ptr();
    lp.bot = p.two_sided ? eb_bot_.ptr() : 0;
    lp.sw_albedos = albedos ? eb_albedos_.ptr() : 0;
    lp.first_primitive = static_cast<int32_t>(range.first);
    // Launch columns: the primitives run. An empty part launches nothing; the
    // whole run launches as it always did, also over no primitives.
    const long long launched = range.second - range.first;
    if (launched > 0 || launched == n) {
        params_.upload(&lp, sizeof(lp), "params eb");
        check_optix(optix_api().launch(eb_.pipeline, context_.stream(), params_.ptr(), sizeof(lp), &eb_sbt_.sbt,
                                       static_cast<unsigned int>(launched), static_cast<unsigned int>(p.n_samples), 1),
                    "launch eb");
        check_cuda(cudaDeviceSynchronize(), "sync eb");
    }

    top.resize(static_cast<std::size_t>(n));
    eb_top_.download(top.data(), top.size() * sizeof(float), "download eb top");
    if (p.two_sided) {
        bot.resize(static_cast<std::size_t>(n));
        eb_bot_.download(bot.data(), bot.size() * sizeof(float), "download eb bot");
        keep_primitives(bot, n, 1, range);
    } else {
        bot.clear();
        bot.shrink_to_fit();
    }
    keep_primitives(top, n, 1, range);
}

void Simulator::run_energy_balance_multiband(SceneManager& scene, const EnergyBalanceMultibandParams& p,
                                             std::vector<float>& top, std::vector<float>& bot, RunRange prims) {
    require_built(scene);
    if (!initialised_) init();
    init_eb_mb_pipeline();
    build_sbt_eb_mb(scene);
    const long long n = static_cast<long long>(scene.n_primitives());
    check_energy_balance(p, n);
    const auto range = resolve_run_range(prims, n, "run_energy_balance_multiband", "primitive", "the scene's");
    const bool albedos = has_albedos(p.sw_albedos, p.n_sw_albedos);
    const long long m = n * p.n_bands;

    require_memory(double(m) * kFloat * (p.two_sided ? 2.0 : 1.0), "run_energy_balance_multiband: the results");
    double need = 0.0, freed = 0.0;
    if (m != eb_mb_size_) {
        need += 2.0 * double(m) * kFloat;
        freed += double(eb_mb_top_.size() + eb_mb_bot_.size());
    }
    if (p.n_bands != eb_mb_bands_) {
        need += 2.0 * double(p.n_bands) * kFloat;
        freed += double(eb_mb_sun_.size() + eb_mb_sky_.size());
    }
    if (albedos && p.n_sw_albedos != eb_mb_albedo_count_) {
        need += double(p.n_sw_albedos) * kFloat;
        freed += double(eb_mb_albedos_.size());
    }
    if (need > 0.0) check_eb_fit_(need, freed, "run_energy_balance_multiband");

    if (m != eb_mb_size_) {
        eb_mb_top_.reset();
        eb_mb_bot_.reset();
        eb_mb_size_ = -1;
        eb_mb_top_.allocate(static_cast<std::size_t>(m) * sizeof(float), "eb_mb top alloc");
        eb_mb_bot_.allocate(static_cast<std::size_t>(m) * sizeof(float), "eb_mb bot alloc");
        eb_mb_size_ = m;
    }
    eb_mb_top_.clear("eb_mb top zero");
    eb_mb_bot_.clear("eb_mb bot zero");

    if (p.n_bands != eb_mb_bands_) {
        eb_mb_sun_.reset();
        eb_mb_sky_.reset();
        eb_mb_bands_ = -1;
        eb_mb_sun_.allocate(static_cast<std::size_t>(p.n_bands) * sizeof(float), "eb_mb sun_irr alloc");
        eb_mb_sky_.allocate(static_cast<std::size_t>(p.n_bands) * sizeof(float), "eb_mb sky_diff alloc");
        eb_mb_bands_ = p.n_bands;
    }
    const std::size_t band_bytes = static_cast<std::size_t>(p.n_bands) * sizeof(float);
    if (p.sun_irradiance)
        eb_mb_sun_.upload(p.sun_irradiance, band_bytes, "eb_mb sun_irr upload");
    else
        eb_mb_sun_.clear("eb_mb sun_irr zero");
    if (p.sky_diffuse_radiance)
        eb_mb_sky_.upload(p.sky_diffuse_radiance, band_bytes, "eb_mb sky_diff upload");
    else
        eb_mb_sky_.clear("eb_mb sky_diff zero");

    if (albedos) {
        resize_floats(eb_mb_albedos_, eb_mb_albedo_count_, p.n_sw_albedos, "eb_mb sw_albedos alloc");
        eb_mb_albedos_.upload(p.sw_albedos, static_cast<std::size_t>(p.n_sw_albedos) * sizeof(float),
                              "eb_mb sw_albedos upload");
    }
    if (!params_) allocate_buffers(1, std::max(scene.num_bands(), 1));

    EnergyBalanceLaunchParams lp;
    std::memset(&lp, 0, sizeof(lp));
    lp.scene = scene.get_scene_data();
    lp.n_samples = p.n_samples;
    lp.sun_dir = float3{p.sun_dir_x, p.sun_dir_y, p.sun_dir_z};
    lp.n_bands = p.n_bands;
    lp.mb_sun_irradiance = eb_mb_sun_.ptr();
    lp.mb_sky_diffuse_radiance = eb_mb_sky_.ptr();
    lp.mb_top = eb_mb_top_.ptr();
    lp.mb_bot = p.two_sided ? eb_mb_bot_.ptr() : 0;
    lp.mb_sw_albedos = albedos ? eb_mb_albedos_.ptr() : 0;
    lp.first_primitive = static_cast<int32_t>(range.first);
    const long long launched = range.second - range.first;
    if (launched > 0 || launched == n) {
        params_.upload(&lp, sizeof(lp), "params eb_mb");
        check_optix(optix_api().launch(eb_mb_.pipeline, context_.stream(), params_.ptr(), sizeof(lp), &eb_mb_sbt_,
                                       static_cast<unsigned int>(launched), static_cast<unsigned int>(p.n_samples), 1),
                    "launch eb_mb");
        check_cuda(cudaDeviceSynchronize(), "sync eb_mb");
    }

    top.resize(static_cast<std::size_t>(m));
    eb_mb_top_.download(top.data(), top.size() * sizeof(float), "download eb_mb top");
    if (p.two_sided) {
        bot.resize(static_cast<std::size_t>(m));
        eb_mb_bot_.download(bot.data(), bot.size() * sizeof(float), "download eb_mb bot");
        keep_primitives(bot, n, p.n_bands, range);
    } else {
        bot.clear();
        bot.shrink_to_fit();
    }
    keep_primitives(top, n, p.n_bands, range);
}

}  // namespace norvi
