// Throughput of the CPU backward renderer on a canopy scene.
//
// Renders a canopy (instanced icosphere crowns on cylinder trunks over a
// ground plane) at 1 and 32 bands and prints paths per second and rays per
// second (camera, bounce and shadow rays), then replays the very rays the
// renderer traced (recorded by running the same path code through a
// recording tracer) straight through Embree on all threads, and prints the
// ratio of the two ray rates and the speed-up of all threads over one.
//
// Every time is the best of `repeats` runs, so that other load on the machine
// disturbs the figures as little as possible; the one-thread ratio compares
// CPU seconds (render against replay, one thread each), which such load
// disturbs far less than the wall clock.
//
// usage: bench_backward [width height spp trees repeats]

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "cpu/backward_path.h"
#include "cpu/render_backward.h"
#include "cpu/threading.h"
#include "physics/pcg32.h"
#include "scene/embree_api.h"
#include "scene/embree_scene.h"
#include "scene/mesh_generators.h"

using namespace norvi;
using namespace norvi::embree;

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point t0) {
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

double cpu_now() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + 1e-9 * double(t.tv_nsec);
}

struct RayRecord {
    float3 o;
    float3 d;
    bool shadow;
};

// Traces through the scene and appends every query to a log.
struct RecordingTracer {
    const EmbreeSceneManager* scene;
    std::vector<RayRecord>* log;
    HitRecord trace(float3 o, float3 d) const {
        log->push_back({o, d, false});
        return scene->trace_ray(o, d);
    }
    bool occluded(float3 o, float3 d) const {
        log->push_back({o, d, true});
        return scene->occluded_periodic(o, d);
    }
};

void build_canopy(EmbreeSceneManager& s, int nb, int trees) {
    s.set_num_bands(nb);
    const int ground = s.add_material(MaterialType::Lambertian, 0);
    const int leaf = s.add_material(MaterialType::TwoSidedLeaf, nb);
    s.material(leaf).params[0] = 0.55f;
    s.material(leaf).params[1] = 0.45f;
    const int bark = s.add_material(MaterialType::Lambertian, 4 * nb);
    std::vector<float> a(static_cast<std::size_t>(7 * nb));
    for (int b = 0; b < nb; ++b) {
        const float w = nb > 1 ? float(b) / float(nb - 1) : 0.5f;  // visible to near infrared
        a[static_cast<std::size_t>(b)] = 0.1f + 0.2f * w;                  // ground
        a[static_cast<std::size_t>(nb + b)] = 0.05f + 0.4f * w;            // leaf R_front
        a[static_cast<std::size_t>(2 * nb + b)] = 0.07f + 0.35f * w;       // leaf R_back
        a[static_cast<std::size_t>(3 * nb + b)] = 0.03f + 0.4f * w;        // leaf T
        a[static_cast<std::size_t>(4 * nb + b)] = 0.15f + 0.2f * w;        // bark
        a[static_cast<std::size_t>(5 * nb + b)] = 1.6f - 0.8f * w;         // sun irradiance
        a[static_cast<std::size_t>(6 * nb + b)] = 0.12f - 0.08f * w;       // sky radiance
    }
    s.upload_spectral_params(a);
    s.set_emitter(EmitterType::Directional, normalize(float3{0.35f, -0.25f, 0.9f}), 5 * nb);
    s.set_sky(6 * nb);

    const MeshData g = make_ground_plane(60.0f, 60.0f);
    s.add_instance(s.add_mesh(g.vertices, g.normals, g.indices, ground), 0, 0, 0, 1);
    const MeshData crown = make_sphere(1.6f, {0, 0, 0}, 2);
    const MeshData trunk = make_cylinder(0.18f, 3.6f, 8);
    const int crown_mesh = s.add_mesh(crown.vertices, crown.normals, crown.indices, leaf);
    const int trunk_mesh = s.add_mesh(trunk.vertices, trunk.normals, trunk.indices, bark);
    Pcg32 rng;
    rng.seed(2024, 1);
    const int side = static_cast<int>(std::ceil(std::sqrt(double(trees))));
    const float spacing = 100.0f / float(side);
    for (int i = 0; i < trees; ++i) {
        const float x = -50.0f + (float(i % side) + 0.2f + 0.6f * rng.next_float()) * spacing;
        const float y = -50.0f + (float(i / side) + 0.2f + 0.6f * rng.next_float()) * spacing;
        const float scale = 0.8f + 0.4f * rng.next_float();
        s.add_instance(trunk_mesh, x, y, 0.0f, scale);
        s.add_instance(crown_mesh, x, y, 4.6f * scale, scale);
    }

    SensorData cam;
    std::memset(&cam, 0, sizeof(cam));
    cam.type = kSensorPerspective;
    cam.fov = 0.9f;
    const float tilt = 0.95f, c = std::cos(tilt), sn = std::sin(tilt);
    const float m[16] = {1, 0, 0, 0, 0, c, -sn, -55, 0, sn, c, 35, 0, 0, 0, 1};
    std::memcpy(cam.cam_xform, m, sizeof(m));
    s.set_sensor(cam);
}

// The rays one render traces: the same path code and seeds, one thread.
std::vector<RayRecord> record_rays(const EmbreeSceneManager& s, int spp, int max_depth) {
    const BackwardSetup setup = make_backward_setup(s, max_depth, 3);
    std::vector<RayRecord> log;
    const RecordingTracer tracer{&s, &log};
    const std::size_t nb = static_cast<std::size_t>(setup.num_bands);
    std::vector<double> sums(2 * nb);
    std::vector<float> refl(nb);
    const PathBands bands{sums.data(), sums.data() + nb, refl.data()};
    for (int pass = 0; pass < spp; ++pass)
        for (int y = 0; y < setup.sensor.height; ++y)
            for (int x = 0; x < setup.sensor.width; ++x) trace_backward_sample(setup, tracer, x, y, pass, bands);
    return log;
}

// Runs query(ray) -> bool (hit or blocked) over the recorded rays on all
// threads, chunks of rays claimed like rows; returns the seconds taken and
// the number of hits in `hits`.
template <class Query>
double replay(const std::vector<RayRecord>& rays, int threads, unsigned long long& hits, Query&& query) {
    const long long chunk = 4096;
    const long long chunks = (static_cast<long long>(rays.size()) + chunk - 1) / chunk;
    std::atomic<unsigned long long> sum{0};
    const auto t0 = Clock::now();
    run_workers(threads, chunks, [&](long long c, int) {
        unsigned long long local = 0;
        const std::size_t end = std::min(rays.size(), static_cast<std::size_t>((c + 1) * chunk));
        for (std::size_t i = static_cast<std::size_t>(c * chunk); i < end; ++i) local += query(rays[i]);
        sum += local;
    });
    const double t = seconds_since(t0);
    hits = sum.load();
    return t;
}

// The recorded rays through the scene's own queries (trace_ray with its hit
// record, occluded_periodic): what the path code adds on top of this is the
// shading.
double scene_replay_seconds(const EmbreeSceneManager& s, const std::vector<RayRecord>& rays, int threads,
                            unsigned long long& hits) {
    return replay(rays, threads, hits, [&](const RayRecord& r) {
        return r.shadow ? s.occluded_periodic(r.o, r.d) : s.trace_ray(r.o, r.d).hit;
    });
}

// The recorded rays straight through Embree (rtcIntersect1, rtcOccluded1).
double raw_replay_seconds(const EmbreeSceneManager& s, const std::vector<RayRecord>& rays, int threads,
                          unsigned long long& hits) {
    const RTCScene scene = s.top_scene();
    return replay(rays, threads, hits, [&](const RayRecord& r) {
        RTCRayHit rh;
        RTCRay& ray = rh.ray;
        ray.org_x = r.o.x; ray.org_y = r.o.y; ray.org_z = r.o.z;
        ray.dir_x = r.d.x; ray.dir_y = r.d.y; ray.dir_z = r.d.z;
        ray.tnear = 1e-4f; ray.tfar = 1e16f; ray.time = 0.0f;
        ray.mask = 0xFFFFFFFFu; ray.id = 0; ray.flags = 0;
        if (r.shadow) {
            rtcOccluded1(scene, &ray);
            return ray.tfar < 0.0f;
        }
        rh.hit.geomID = RTC_INVALID_GEOMETRY_ID;
        rh.hit.instID[0] = RTC_INVALID_GEOMETRY_ID;
        rtcIntersect1(scene, &rh);
        return rh.hit.geomID != RTC_INVALID_GEOMETRY_ID;
    });
}

double render_seconds(const EmbreeSceneManager& s, int spp, int depth, int threads) {
    const auto t0 = Clock::now();
    const BackwardResult r = render_backward(s, spp, depth, 3, threads, {});
    const double t = seconds_since(t0);
    if (r.image.empty()) std::printf("empty image\n");
    return t;
}

}  // namespace

int main(int argc, char** argv) {
    const int width = argc > 1 ? std::atoi(argv[1]) : 192;
    const int height = argc > 2 ? std::atoi(argv[2]) : 128;
    const int spp = argc > 3 ? std::atoi(argv[3]) : 4;
    const int trees = argc > 4 ? std::atoi(argv[4]) : 1600;
    const int repeats = argc > 5 ? std::max(1, std::atoi(argv[5])) : 3;
    const int depth = 16;
    const int all = resolve_thread_count(0);

    std::printf("canopy: %d trees (%d instances), image %d x %d, %d spp, depth %d, %d hardware threads, best of %d runs\n",
                trees, 2 * trees + 1, width, height, spp, depth, all, repeats);
    std::printf("%5s %10s %10s %10s %11s %6s %12s %6s %9s %9s %8s %15s\n", "bands", "paths/s", "rays/path",
                "rays/s", "raw rays/s", "ratio", "scene rays/s", "ratio", "t 1thr s", "t all s", "speedup",
                "1thr CPU ratio");
    double t_all_1band = 0;
    for (const int nb : {1, 32}) {
        EmbreeSceneManager s;
        build_canopy(s, nb, trees);
        SensorData cam = s.sensor();
        cam.width = width;
        cam.height = height;
        s.set_sensor(cam);
        s.build();

        render_seconds(s, 1, depth, all);  // warm-up
        const std::vector<RayRecord> rays = record_rays(s, spp, depth);
        unsigned long long checksum = 0, scene_checksum = 0;
        raw_replay_seconds(s, rays, all, checksum);  // warm-up
        double t_all = 1e30, t_one = 1e30, t_raw = 1e30, t_scene = 1e30, c_one = 1e30, c_raw = 1e30;
        for (int r = 0; r < repeats; ++r) {
            t_all = std::min(t_all, render_seconds(s, spp, depth, all));
            t_raw = std::min(t_raw, raw_replay_seconds(s, rays, all, checksum));
            t_scene = std::min(t_scene, scene_replay_seconds(s, rays, all, scene_checksum));
            double c0 = cpu_now();
            t_one = std::min(t_one, render_seconds(s, spp, depth, 1));
            c_one = std::min(c_one, cpu_now() - c0);
            unsigned long long one_checksum = 0;
            c0 = cpu_now();
            raw_replay_seconds(s, rays, 1, one_checksum);
            c_raw = std::min(c_raw, cpu_now() - c0);
        }

        const double paths = double(width) * height * spp;
        const double n_rays = double(rays.size());
        const double engine_rate = n_rays / t_all;
        const double raw_rate = n_rays / t_raw;
        const double scene_rate = n_rays / t_scene;
        std::printf("%5d %10.3g %10.2f %10.3g %11.3g %6.2f %12.3g %6.2f %9.3f %9.3f %8.2f %15.2f\n", nb,
                    paths / t_all, n_rays / paths, engine_rate, raw_rate, engine_rate / raw_rate,
                    scene_rate, scene_rate / raw_rate, t_one, t_all, t_one / t_all, c_raw / c_one);
        if (nb == 1) t_all_1band = t_all;
        else std::printf("32 bands cost %.2f x one band (all threads)\n", t_all / t_all_1band);
        if (checksum == 0 || scene_checksum == 0) std::printf("no ray hit anything\n");
    }
    return 0;
}
