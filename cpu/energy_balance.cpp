#include "cpu/energy_balance.h"

#include <algorithm>
#include <chrono>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>

#include "cpu/threading.h"
#include "physics/energy_balance.h"
#include "scene/input_checks.h"
#include "scene/vec_math.h"

namespace norvi::embree {

namespace {

constexpr long long kPrimitivesPerItem = 64;
constexpr double kRaysPerBatch = 1 << 20;  // about; a progress report after each batch

// Rays through the Embree scene; hits resolved to global primitive indices.
struct CpuTracer {
    const EmbreeSceneManager& scene;
    const long long* offsets;

    EbHit closest(float3 o, float3 d) const {
        const HitRecord r = scene.trace_ray(o, d);
        EbHit h;
        if (!r.hit) return h;
        h.hit = true;
        h.t = r.t;
        h.prim = offsets[r.instance_id] + r.prim_id;
        h.normal = r.geometric_normal;
        return h;
    }
    bool any_hit(float3 o, float3 d, float tmax) const { return scene.trace_shadow(o, d, tmax); }
};

void require_built(const EmbreeSceneManager& scene) {
    if (!scene.is_built()) throw std::runtime_error("Scene not built. Call scene.build() first.");
}

// Per-primitive arrays set before a rebuild that changed the primitive count.
void check_primitive_array(const char* method, const char* what, const std::vector<float>& v,
                           long long n) {
    if (v.empty() || static_cast<long long>(v.size()) == n) return;
    std::ostringstream os;
    os << method << ": the primitive " << what << " hold " << v.size()
       << " values but the scene has " << n << " primitives; set them again after build";
    throw std::invalid_argument(os.str());
}

EbInputs scene_inputs(const EmbreeSceneManager& scene, float sx, float sy, float sz) {
    EbInputs in;
    in.n_primitives = scene.n_primitives();
    in.sun = normalize(float3{sx, sy, sz});
    const auto& temps = scene.primitive_temperatures();
    const auto& eps = scene.primitive_emissivities();
    in.temperatures = temps.empty() ? nullptr : temps.data();
    in.emissivities = eps.empty() ? nullptr : eps.data();
    in.num_repetitions = scene.wrap_budget();
    in.tile_x = scene.scene_x_size();
    in.tile_y = scene.scene_y_size();
    in.top = scene.bounds().top;
    in.bottom = scene.bounds().bottom;
    return in;
}

// The primitives [first, end) of the range; refuses a range outside [0, n].
std::pair<long long, long long> resolve_range(PrimitiveRange r, long long n, const char* method) {
    const long long first = r.first;
    const long long end = r.count < 0 ? n : first + r.count;
    if (first < 0 || first > end || end > n) {
        std::ostringstream os;
        os << method << ": primitive range [" << first << ", " << end
           << ") lies outside the scene's " << n << " primitives";
        throw std::invalid_argument(os.str());
    }
    return {first, end};
}

// The primitives of `range`, `n_samples` samples per side; out[b * count + i]
// the mean of primitive range.first + i.
EnergyBalanceResult run(const EmbreeSceneManager& scene, const EbInputs& in, int n_samples,
                        bool two_sided, int num_threads, std::pair<long long, long long> range,
                        const std::function<void(int, int, float)>& progress) {
    const auto start = std::chrono::system_clock::now();
    const long long begin = range.first;
    const long long n = range.second - range.first;
    const int nb = in.band_type == 1 ? 1 : in.n_bands;
    EnergyBalanceResult res;
    res.n_bands = nb;
    res.n_primitives = n;
    // Top and bottom results, and their copies in the caller's arrays.
    require_memory(double(nb) * double(n) * 4.0 * 2.0 * (two_sided ? 2.0 : 1.0),
                   "run_energy_balance: the results");
    const std::size_t size = static_cast<std::size_t>(nb) * static_cast<std::size_t>(n);
    res.top.assign(size, 0.0f);
    if (two_sided) res.bot.assign(size, 0.0f);

    const std::vector<long long>& offsets = scene.instance_prim_offsets();
    const CpuTracer tracer{scene, offsets.data()};
    const long long items = (n + kPrimitivesPerItem - 1) / kPrimitivesPerItem;
    auto report = [&](long long items_done) {
        if (progress)
            progress(static_cast<int>(std::min(n, items_done * kPrimitivesPerItem)), static_cast<int>(n),
                     elapsed_ms(start));
    };
    const long long batch = std::max<long long>(
        1, static_cast<long long>(kRaysPerBatch / (double(kPrimitivesPerItem) * n_samples * (two_sided ? 2 : 1))));
    run_worker_batches(resolve_thread_count(num_threads), items, batch, report, [&](long long item, int) {
        std::vector<double> acc(static_cast<std::size_t>(nb));
        const long long first = begin + item * kPrimitivesPerItem;
        const long long last = std::min(range.second, first + kPrimitivesPerItem);
        int k = static_cast<int>(std::upper_bound(offsets.begin(), offsets.end(), first) -
                                 offsets.begin()) - 1;
        for (long long p = first; p < last; ++p) {
            while (offsets[static_cast<std::size_t>(k) + 1] <= p) ++k;
            float3 v0, v1, v2;
            scene.primitive_vertices(k, static_cast<int>(p - offsets[static_cast<std::size_t>(k)]),
                                     v0, v1, v2);
            const float3 normal = eb_winding_normal(v0, v1, v2);
            for (int side = 0; side < (two_sided ? 2 : 1); ++side) {
                std::fill(acc.begin(), acc.end(), 0.0);
                for (int s = 0; s < n_samples; ++s)
                    eb_sample(tracer, in, p, v0, v1, v2, normal, side, s, acc.data());
                float* out = (side ? res.bot : res.top).data() + (p - begin);
                for (std::size_t b = 0; b < acc.size(); ++b)
                    out[b * static_cast<std::size_t>(n)] = static_cast<float>(acc[b] / n_samples);
            }
        }
    });
    return res;
}

void check_primitive_arrays(const EmbreeSceneManager& scene, const char* method) {
    const long long n = scene.n_primitives();
    check_primitive_array(method, "temperatures", scene.primitive_temperatures(), n);
    check_primitive_array(method, "emissivities", scene.primitive_emissivities(), n);
}

}  // namespace

EnergyBalanceResult run_energy_balance_cpu(const EmbreeSceneManager& scene,
                                           const EnergyBalanceParams& p, int num_threads,
                                           PrimitiveRange prims,
                                           const std::function<void(int, int, float)>& progress) {
    require_built(scene);
    check_energy_balance(p, scene.n_primitives());
    check_primitive_arrays(scene, "run_energy_balance");
    const auto range = resolve_range(prims, scene.n_primitives(), "run_energy_balance");
    EbInputs in = scene_inputs(scene, p.sun_dir_x, p.sun_dir_y, p.sun_dir_z);
    in.band_type = p.band_type;
    in.n_bands = 1;
    in.sun_irradiance = &p.sun_irradiance;
    in.sky_radiance = &p.sky_diffuse_radiance;
    in.sky_lw_radiance = p.sky_lw_radiance;
    in.albedos = (p.sw_albedos && p.n_sw_albedos > 0) ? p.sw_albedos : nullptr;
    return run(scene, in, p.n_samples, p.two_sided, num_threads, range, progress);
}

EnergyBalanceResult run_energy_balance_multiband_cpu(const EmbreeSceneManager& scene,
                                                     const EnergyBalanceMultibandParams& p,
                                                     int num_threads, PrimitiveRange prims,
                                                     const std::function<void(int, int, float)>& progress) {
    require_built(scene);
    check_energy_balance(p, scene.n_primitives());
    check_primitive_arrays(scene, "run_energy_balance_multiband");
    const auto range = resolve_range(prims, scene.n_primitives(), "run_energy_balance_multiband");
    EbInputs in = scene_inputs(scene, p.sun_dir_x, p.sun_dir_y, p.sun_dir_z);
    in.band_type = kEnergyBalanceShortwave;
    in.n_bands = p.n_bands;
    in.sun_irradiance = p.sun_irradiance;
    in.sky_radiance = p.sky_diffuse_radiance;
    in.albedos = (p.sw_albedos && p.n_sw_albedos > 0) ? p.sw_albedos : nullptr;
    return run(scene, in, p.n_samples, p.two_sided, num_threads, range, progress);
}

}  // namespace norvi::embree
