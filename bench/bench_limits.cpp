// The CPU scene and engines against raw Embree on the same data, each row a
// ratio measured in this run:
//   - build() of many instances of one mesh, for three mesh sizes, against
//     raw Embree building the same mesh and instances;
//   - resident memory per distinct triangle of a scene holding one large mesh,
//     against raw Embree holding the same mesh (each measured in a fresh
//     child process);
//   - trace_ray against rtcIntersect1 on one large mesh (no instancing cost
//     to hide behind), one thread;
//   - the forward tracer with 128 bands against 1 band, same photons.
// The one-thread rows time CPU seconds rather than the wall clock.
// Instanced queries and the backward renderer on recorded rays are measured by
// bench_scene_queries and bench_backward.
//
//   bench_limits [instances] [rays] [photons] [reps] [rows]
// where rows picks the rows by letter (m memory, b build, t trace_ray,
// f forward; all by default).

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <vector>

#include "bench/canopy_scene.h"
#include "cpu/render_forward.h"
#include "scene/embree_api.h"
#include "scene/embree_handles.h"
#include "scene/embree_scene.h"
#include "scene/mesh_generators.h"

using namespace norvi;
using norvi::embree::EmbreeSceneManager;

namespace {

using Clock = std::chrono::steady_clock;

double seconds(const std::function<void()>& f) {
    const auto t0 = Clock::now();
    f();
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

// CPU seconds the process spends in f: what the one-thread rows time, as
// other load on the machine disturbs it far less than the wall clock.
double cpu_seconds(const std::function<void()>& f) {
    timespec a{}, b{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &a);
    f();
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &b);
    return double(b.tv_sec - a.tv_sec) + 1e-9 * double(b.tv_nsec - a.tv_nsec);
}

// Resident bytes of this process.
long long resident_bytes() {
    long long pages = 0, resident = 0;
    if (FILE* f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%lld %lld", &pages, &resident) != 2) resident = 0;
        std::fclose(f);
    }
    return resident * sysconf(_SC_PAGESIZE);
}

// Runs `body` in a child process and returns the value it reports: a clean
// heap for every memory measurement.
long long in_child(const std::function<long long()>& body) {
    int fd[2];
    if (pipe(fd) != 0) return -1;
    const pid_t pid = fork();
    if (pid == 0) {
        close(fd[0]);
        const long long v = body();
        if (write(fd[1], &v, sizeof(v)) != static_cast<ssize_t>(sizeof(v))) _exit(1);
        _exit(0);
    }
    close(fd[1]);
    long long v = -1;
    if (read(fd[0], &v, sizeof(v)) != static_cast<ssize_t>(sizeof(v))) v = -1;
    close(fd[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return v;
}

// A raw Embree triangle scene of `m`, Embree holding its own copy.
RTCScene raw_mesh_scene(RTCDevice dev, const MeshData& m) {
    RTCScene scene = rtcNewScene(dev);
    RTCGeometry geom = rtcNewGeometry(dev, RTC_GEOMETRY_TYPE_TRIANGLE);
    void* vb = rtcSetNewGeometryBuffer(geom, RTC_BUFFER_TYPE_VERTEX, 0, RTC_FORMAT_FLOAT3, 12,
                                       m.vertices.size());
    void* ib = rtcSetNewGeometryBuffer(geom, RTC_BUFFER_TYPE_INDEX, 0, RTC_FORMAT_UINT3, 12,
                                       m.indices.size());
    std::memcpy(vb, m.vertices.data(), m.vertices.size() * 12);
    std::memcpy(ib, m.indices.data(), m.indices.size() * 12);
    rtcCommitGeometry(geom);
    rtcAttachGeometry(scene, geom);
    rtcReleaseGeometry(geom);
    rtcCommitScene(scene);
    return scene;
}

std::vector<float> placements(int n) {
    std::vector<float> xf(static_cast<std::size_t>(n) * 12);
    const int side = static_cast<int>(std::ceil(std::sqrt(double(n))));
    for (int i = 0; i < n; ++i) {
        const float a = 0.37f * float(i), s = 0.8f + 0.0001f * float(i % 4000);
        const float m[12] = {s * std::cos(a), -s * std::sin(a), 0, 4.0f * float(i % side),
                             s * std::sin(a), s * std::cos(a),  0, 4.0f * float(i / side),
                             0,               0,                s, 2.0f};
        std::memcpy(&xf[static_cast<std::size_t>(i) * 12], m, sizeof(m));
    }
    return xf;
}

// build(): the scene's against raw Embree's, same mesh and transforms.
void build_rows(int instances, int reps) {
    std::printf("build() of %d instances          scene s    raw s  ratio (target <= 1.3)\n", instances);
    const std::vector<float> xf = placements(instances);
    for (int subdiv : {2, 4, 5}) {
        const MeshData mesh = make_sphere(1.5f, {0, 0, 0}, subdiv);
        EmbreeSceneManager scene;
        scene.add_material(MaterialType::Lambertian, 0);
        const int m = scene.add_mesh(mesh.vertices, mesh.normals, mesh.indices, 0);
        for (int i = 0; i < instances; ++i) scene.add_instance(m, &xf[static_cast<std::size_t>(i) * 12]);
        auto ours = [&] { scene.build(); };
        auto raw = [&] {
            RTCDevice dev = scene.device();
            embree::SceneHandle mesh_scene(raw_mesh_scene(dev, mesh));
            embree::SceneHandle top(rtcNewScene(dev));
            for (int i = 0; i < instances; ++i) {
                const float* r = &xf[static_cast<std::size_t>(i) * 12];
                const float cm[16] = {r[0], r[4], r[8], 0, r[1], r[5], r[9], 0,
                                      r[2], r[6], r[10], 0, r[3], r[7], r[11], 1};
                RTCGeometry g = rtcNewGeometry(dev, RTC_GEOMETRY_TYPE_INSTANCE);
                rtcSetGeometryInstancedScene(g, mesh_scene.get());
                rtcSetGeometryTransform(g, 0, RTC_FORMAT_FLOAT4X4_COLUMN_MAJOR, cm);
                rtcCommitGeometry(g);
                rtcAttachGeometry(top.get(), g);
                rtcReleaseGeometry(g);
            }
            rtcCommitScene(top.get());
        };
        ours();
        raw();
        double to = 1e30, tr = 1e30;
        for (int k = 0; k < reps; ++k) {
            to = std::min(to, seconds(ours));
            tr = std::min(tr, seconds(raw));
        }
        std::printf("  mesh of %6zu vertices           %8.3f %8.3f %6.2f\n", mesh.vertices.size(), to, tr,
                    to / tr);
    }
}

// Starts Embree's worker threads with a small throwaway build, so that their
// stacks are not counted against the first mesh measured.
void warm_up_embree() {
    static RTCDevice dev = rtcNewDevice(nullptr);
    RTCScene scene = raw_mesh_scene(dev, make_sphere(1.0f, {0, 0, 0}, 3));
    rtcReleaseScene(scene);
}

// Resident memory of one mesh of `subdiv`: the scene's against raw Embree's.
void memory_rows() {
    std::printf("resident memory per distinct triangle  scene B    raw B  ratio (target <= 1.15)\n");
    for (int subdiv : {7, 8}) {
        const long long tris = 20LL << (2 * subdiv);
        const long long ours = in_child([subdiv] {
            warm_up_embree();
            const long long r0 = resident_bytes();
            EmbreeSceneManager scene;
            scene.add_material(MaterialType::Lambertian, 0);
            MeshData m = make_sphere(1.5f, {0, 0, 0}, subdiv);
            scene.add_mesh(std::move(m.vertices), std::move(m.normals), std::move(m.indices), 0);
            scene.add_instance(0, 0, 0, 0, 1);
            scene.build();
            return resident_bytes() - r0;
        });
        const long long raw = in_child([subdiv] {
            warm_up_embree();
            const long long r0 = resident_bytes();
            RTCDevice dev = rtcNewDevice(nullptr);
            RTCScene mesh_scene;
            {
                const MeshData m = make_sphere(1.5f, {0, 0, 0}, subdiv);
                mesh_scene = raw_mesh_scene(dev, m);
            }
            RTCScene top = rtcNewScene(dev);
            RTCGeometry g = rtcNewGeometry(dev, RTC_GEOMETRY_TYPE_INSTANCE);
            rtcSetGeometryInstancedScene(g, mesh_scene);
            rtcCommitGeometry(g);
            rtcAttachGeometry(top, g);
            rtcReleaseGeometry(g);
            rtcCommitScene(top);
            return resident_bytes() - r0;
        });
        std::printf("  %8lld triangles (with normals)  %8.1f %8.1f %6.2f\n", tris, double(ours) / double(tris),
                    double(raw) / double(tris), double(ours) / double(raw));
    }
}

// trace_ray against rtcIntersect1 on one instance of one large mesh.
void trace_rows(int n, int reps) {
    std::printf("one mesh, 1 thread (CPU time)   trace_ray Mray/s  raw Mray/s  ratio (target >= 0.95)\n");
    for (int subdiv : {2, 6, 8}) {
        EmbreeSceneManager scene;
        scene.add_material(MaterialType::Lambertian, 0);
        const MeshData m = make_sphere(1.5f, {0, 0, 0}, subdiv);
        scene.add_mesh(m.vertices, m.normals, m.indices, 0);
        scene.add_instance(0, 0, 0, 0, 1);
        scene.build();
        std::vector<float3> o(static_cast<std::size_t>(n)), d(static_cast<std::size_t>(n));
        uint64_t s = 0x9E3779B97F4A7C15ull;
        auto next = [&s] {
            s ^= s << 13;
            s ^= s >> 7;
            s ^= s << 17;
            return static_cast<float>(s >> 40) / 16777216.0f;
        };
        for (int i = 0; i < n; ++i) {
            o[static_cast<std::size_t>(i)] = {3.6f * next() - 1.8f, 3.6f * next() - 1.8f, 3.6f * next() - 1.8f};
            const float z = 2.0f * next() - 1.0f, phi = 6.2831853f * next();
            const float rho = std::sqrt(std::max(0.0f, 1.0f - z * z));
            d[static_cast<std::size_t>(i)] = {rho * std::cos(phi), rho * std::sin(phi), z};
        }
        long long sink = 0;
        auto ours = [&] {
            for (int i = 0; i < n; ++i)
                sink += scene.trace_ray(o[static_cast<std::size_t>(i)], d[static_cast<std::size_t>(i)]).hit;
        };
        const RTCScene top = scene.top_scene();
        auto raw = [&] {
            for (int i = 0; i < n; ++i) {
                RTCRayHit rh;
                const float3 a = o[static_cast<std::size_t>(i)], b = d[static_cast<std::size_t>(i)];
                rh.ray.org_x = a.x; rh.ray.org_y = a.y; rh.ray.org_z = a.z;
                rh.ray.dir_x = b.x; rh.ray.dir_y = b.y; rh.ray.dir_z = b.z;
                rh.ray.tnear = 1e-4f; rh.ray.tfar = 1e16f; rh.ray.time = 0.0f;
                rh.ray.mask = 0xFFFFFFFFu; rh.ray.id = 0; rh.ray.flags = 0;
                rh.hit.geomID = RTC_INVALID_GEOMETRY_ID;
                rh.hit.instID[0] = RTC_INVALID_GEOMETRY_ID;
                rtcIntersect1(top, &rh);
                sink += rh.hit.geomID != RTC_INVALID_GEOMETRY_ID;
            }
        };
        ours();
        raw();
        double to = 1e30, tr = 1e30;
        for (int k = 0; k < reps; ++k) {
            to = std::min(to, cpu_seconds(ours));
            tr = std::min(tr, cpu_seconds(raw));
        }
        std::printf("  %8zu triangles                %10.2f %11.2f %6.3f   (%lld hits)\n", m.indices.size(),
                    n / to * 1e-6, n / tr * 1e-6, tr / to, sink);
    }
}

// The benchmark canopy with `nb` bands of smoothly varying optical properties.
void set_bands(EmbreeSceneManager& scene, int nb) {
    scene.set_num_bands(nb);
    std::vector<float> a(static_cast<std::size_t>(6 * nb));
    for (int b = 0; b < nb; ++b) {
        const float w = nb > 1 ? float(b) / float(nb - 1) : 0.5f;
        const auto i = static_cast<std::size_t>(b), n = static_cast<std::size_t>(nb);
        a[i] = 0.1f + 0.2f * w;              // ground
        a[n + i] = 0.05f + 0.4f * w;         // leaf R
        a[2 * n + i] = 0.07f + 0.35f * w;
        a[3 * n + i] = 0.03f + 0.4f * w;     // leaf T
        a[4 * n + i] = 0.15f + 0.2f * w;     // bark
        a[5 * n + i] = 1.6f - 0.8f * w;      // sun
    }
    scene.upload_spectral_params(a);
    scene.material(0).spectral_offset = 0;
    scene.material(1).spectral_offset = nb;
    scene.material(2).spectral_offset = 4 * nb;
    scene.set_emitter(EmitterType::Directional, {0.3535534f, 0.3535534f, 0.8660254f}, 5 * nb);
}

void forward_row(int photons, int reps) {
    EmbreeSceneManager scene;
    norvi::bench::CanopyOptions opt;
    opt.trees = 400;
    const norvi::bench::CanopyInfo info = norvi::bench::build_canopy(scene, opt);
    scene.set_repetitive(4, info.extent_x, info.extent_y);
    const std::vector<float> heights = {0.0f, 1.0f, 2.0f, 3.0f, 4.0f, 5.0f, 6.0f, 7.0f};
    double t[2] = {1e30, 1e30};
    const int bands[2] = {1, 128};
    for (int k = 0; k < reps + 1; ++k)
        for (int j = 0; j < 2; ++j) {
            set_bands(scene, bands[j]);
            const double s = cpu_seconds([&] {
                embree::render_forward(scene, 20, 20, heights, photons, bands[j], false, 1.0f, nullptr, 0, 16,
                                       3, 1, {}, 0);
            });
            if (k > 0) t[j] = std::min(t[j], s);
        }
    std::printf("forward, %d photons, 1 thread (CPU time): 1 band %.3f s, 128 bands %.3f s, ratio %.2f "
                "(target <= 1.5)\n",
                photons, t[0], t[1], t[1] / t[0]);
    // Every tally of a run of 70 bands with views and per-leaf tallies,
    // hashed bit for bit: two builds that print the same hash agree exactly.
    set_bands(scene, 70);
    const float views[] = {0, 0, 1, 0.6f, 0, 0.8f};
    const embree::ForwardResult r =
        embree::render_forward(scene, 20, 20, heights, photons / 4, 70, true, 1.0f, views, 2, 16, 3, 1, {}, 0);
    uint64_t h = 0xcbf29ce484222325ull;
    for (const std::vector<float>* v : {&r.grid, &r.leaf, &r.brf, &r.albedo, &r.terrain})
        for (const float x : *v) {
            uint32_t bits;
            std::memcpy(&bits, &x, sizeof(bits));
            h = (h ^ bits) * 0x100000001b3ull;
        }
    std::printf("forward tallies at 70 bands, hash %016llx\n", static_cast<unsigned long long>(h));
}

}  // namespace

int main(int argc, char** argv) {
    const int instances = argc > 1 ? std::atoi(argv[1]) : 100000;
    const int rays = argc > 2 ? std::atoi(argv[2]) : 1000000;
    const int photons = argc > 3 ? std::atoi(argv[3]) : 100000;
    const int reps = argc > 4 ? std::max(1, std::atoi(argv[4])) : 3;
    const char* rows = argc > 5 ? argv[5] : "mbtf";
    const auto row = [rows](char c) { return std::strchr(rows, c) != nullptr; };
    std::printf("best of %d runs\n", reps);
    if (row('m')) memory_rows();  // first: children inherit no freed heap to reuse
    if (row('b')) build_rows(instances, reps);
    if (row('t')) trace_rows(rays, reps);
    if (row('f')) forward_row(photons, reps);
    return 0;
}
