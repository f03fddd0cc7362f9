// Ray-query throughput of the CPU scene against raw Embree on the same rays,
// one thread and all threads, and the scene's memory per added instance.
//
//   bench_scene_queries [num_rays] [trees]

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <thread>
#include <vector>

#include "bench/canopy_scene.h"
#include "scene/vec_math.h"

using norvi::float3;
using norvi::embree::EmbreeSceneManager;

namespace {

struct Ray {
    float3 o, d;
};

std::vector<Ray> make_rays(const norvi::bench::CanopyInfo& info, int n) {
    std::vector<Ray> rays(static_cast<std::size_t>(n));
    uint64_t s = 0x9E3779B97F4A7C15ull;
    auto next = [&s]() {
        s ^= s << 13;
        s ^= s >> 7;
        s ^= s << 17;
        return static_cast<float>(s >> 40) / 16777216.0f;
    };
    for (Ray& r : rays) {
        // Origins inside the canopy layer and above it; directions over the
        // whole sphere, biased downward like camera and bounce rays.
        r.o = {next() * info.extent_x, next() * info.extent_y, 0.5f + next() * 8.0f};
        const float z = -1.0f + 1.6f * next();
        const float phi = 6.2831853f * next();
        const float rho = std::sqrt(std::max(0.0f, 1.0f - z * z));
        r.d = {rho * std::cos(phi), rho * std::sin(phi), z};
    }
    return rays;
}

// Runs body(i) for i in [0, n) on `threads` workers; returns seconds.
double run(int threads, int n, const std::function<void(int, int)>& body) {
    const auto t0 = std::chrono::steady_clock::now();
    std::vector<std::thread> pool;
    const int chunk = (n + threads - 1) / threads;
    for (int t = 0; t < threads; ++t)
        pool.emplace_back([&, t] { body(t * chunk, std::min(n, (t + 1) * chunk)); });
    for (auto& th : pool) th.join();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// Best times of two contenders over interleaved repetitions after a warm-up,
// so that load from other processes hits both alike.
std::pair<double, double> best_pair(int reps, const std::function<double()>& a,
                                    const std::function<double()>& b) {
    a();
    b();
    double ta = 1e30, tb = 1e30;
    for (int i = 0; i < reps; ++i) {
        ta = std::min(ta, a());
        tb = std::min(tb, b());
    }
    return {ta, tb};
}

void fill_ray(RTCRay& ray, const Ray& r, float tfar) {
    ray.org_x = r.o.x; ray.org_y = r.o.y; ray.org_z = r.o.z;
    ray.dir_x = r.d.x; ray.dir_y = r.d.y; ray.dir_z = r.d.z;
    ray.tnear = 1e-4f; ray.tfar = tfar; ray.time = 0.0f;
    ray.mask = 0xFFFFFFFFu; ray.id = 0; ray.flags = 0;
}

std::atomic<long long> g_embree_bytes{0};
bool memory_monitor(void*, ssize_t bytes, bool) {
    g_embree_bytes += bytes;
    return true;
}

// Embree bytes held by a canopy of `trees` trees with crowns of `subdiv`.
long long canopy_bytes(int trees, int subdiv) {
    g_embree_bytes = 0;
    EmbreeSceneManager scene;
    rtcSetDeviceMemoryMonitorFunction(scene.device(), memory_monitor, nullptr);
    norvi::bench::CanopyOptions opt;
    opt.trees = trees;
    opt.crown_subdiv = subdiv;
    opt.with_trunks = false;
    norvi::bench::build_canopy(scene, opt);
    return g_embree_bytes.load();
}

}  // namespace

int main(int argc, char** argv) {
    const int n = argc > 1 ? std::atoi(argv[1]) : 1000000;
    const int trees = argc > 2 ? std::atoi(argv[2]) : 2000;
    const int all = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));

    EmbreeSceneManager scene;
    norvi::bench::CanopyOptions opt;
    opt.trees = trees;
    const auto tb = std::chrono::steady_clock::now();
    const auto info = norvi::bench::build_canopy(scene, opt);
    const double build_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - tb).count();
    std::printf("canopy: %d crowns (%u triangles each) + %d trunks + ground, %d instances, build %.3f s\n",
                trees, scene.instance_triangle_counts()[1], trees, scene.num_instances(), build_s);

    const std::vector<Ray> rays = make_rays(info, n);
    RTCScene top = scene.top_scene();
    std::vector<int> sink(static_cast<std::size_t>(all) * 16, 0);

    for (int threads : {1, all}) {
        auto ours_hit = [&] {
            return run(threads, n, [&](int b, int e) {
                int hits = 0;
                for (int i = b; i < e; ++i) hits += scene.trace_ray(rays[i].o, rays[i].d).hit;
                sink[static_cast<std::size_t>(b % all) * 16] += hits;
            });
        };
        auto raw_hit = [&] {
            return run(threads, n, [&](int b, int e) {
                int hits = 0;
                for (int i = b; i < e; ++i) {
                    RTCRayHit rh;
                    fill_ray(rh.ray, rays[i], 1e16f);
                    rh.hit.geomID = RTC_INVALID_GEOMETRY_ID;
                    rh.hit.instID[0] = RTC_INVALID_GEOMETRY_ID;
                    rtcIntersect1(top, &rh);
                    hits += rh.hit.geomID != RTC_INVALID_GEOMETRY_ID;
                }
                sink[static_cast<std::size_t>(b % all) * 16] += hits;
            });
        };
        auto ours_occ = [&] {
            return run(threads, n, [&](int b, int e) {
                int hits = 0;
                for (int i = b; i < e; ++i) hits += scene.occluded_periodic(rays[i].o, rays[i].d);
                sink[static_cast<std::size_t>(b % all) * 16] += hits;
            });
        };
        auto raw_occ = [&] {
            return run(threads, n, [&](int b, int e) {
                int hits = 0;
                for (int i = b; i < e; ++i) {
                    RTCRay ray;
                    fill_ray(ray, rays[i], 1e16f);
                    rtcOccluded1(top, &ray);
                    hits += ray.tfar < 0.0f;
                }
                sink[static_cast<std::size_t>(b % all) * 16] += hits;
            });
        };
        const auto [t_oh, t_rh] = best_pair(5, ours_hit, raw_hit);
        const auto [t_oo, t_ro] = best_pair(5, ours_occ, raw_occ);
        std::printf("%2d thread(s): trace_ray %.2f Mray/s, rtcIntersect1 %.2f Mray/s, ratio %.3f\n",
                    threads, n / t_oh * 1e-6, n / t_rh * 1e-6, t_rh / t_oh);
        std::printf("%2d thread(s): occluded_periodic %.2f Mray/s, rtcOccluded1 %.2f Mray/s, ratio %.3f\n",
                    threads, n / t_oo * 1e-6, n / t_ro * 1e-6, t_ro / t_oo);
    }

    // Memory: Embree's bytes for 1000 vs 3000 instances, for two crown sizes.
    for (int subdiv : {2, 4}) {
        const long long a = canopy_bytes(1000, subdiv), b = canopy_bytes(3000, subdiv);
        const double per_instance = static_cast<double>(b - a) / 2000.0;
        const double host = static_cast<double>(EmbreeSceneManager::host_bytes_per_instance());
        std::printf("memory: crown of %6d triangles: Embree %.0f B + host %.0f B per added instance\n",
                    20 << (2 * subdiv), per_instance, host);
    }
    long long total = 0;
    for (int v : sink) total += v;
    std::printf("(checksum %lld)\n", total);
    return 0;
}
