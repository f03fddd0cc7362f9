// The emulated GPU under the host code's calls: device memory accounting and
// refusals, acceleration builds and refits, modules bound to the host build,
// and launches whose traces must follow the OptiX rules (SBT record
// selection, miss index, payload, visibility mask, culling, hit state) on a
// small two-level scene, checked against an independent double-precision
// ray-triangle intersection.

#include <cuda_runtime_api.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "gpu/device_records.h"
#include "gpu/optix/optix_api.h"
#include "gpu/optix_context.h"
#include "gpu_emu_fixture.h"
#include "tests/cpp/emu_test_records.h"

namespace norvi {
namespace {

using namespace optix;
using test::EmuHit;
using test::EmuTestParams;

template <typename T>
CUdeviceptr upload(const std::vector<T>& host) {
    void* p = nullptr;
    EXPECT_EQ(cudaSuccess, cudaMalloc(&p, sizeof(T) * host.size()));
    EXPECT_EQ(cudaSuccess, cudaMemcpy(p, host.data(), sizeof(T) * host.size(), cudaMemcpyHostToDevice));
    return reinterpret_cast<CUdeviceptr>(p);
}

CUdeviceptr alloc(std::size_t bytes) {
    void* p = nullptr;
    EXPECT_EQ(cudaSuccess, cudaMalloc(&p, bytes));
    return reinterpret_cast<CUdeviceptr>(p);
}

void release(CUdeviceptr p) { EXPECT_EQ(cudaSuccess, cudaFree(reinterpret_cast<void*>(p))); }

// Ray flags of optixTrace.
constexpr unsigned int kRayNone = 0, kRayTerminateOnFirstHit = 4, kRayDisableClosestHit = 8, kRayCullBack = 16;

using DeviceMemory = test::EmulatedPlatform;

TEST_F(DeviceMemory, IsTrackedAndMisuseRefused) {
    void* a = nullptr;
    ASSERT_EQ(cudaSuccess, cudaMalloc(&a, 100));
    EXPECT_EQ(1, norvi_emu_live_allocations());
    EXPECT_EQ(100u, norvi_emu_live_bytes());
    std::vector<unsigned char> host(100, 7), back(100, 0);
    EXPECT_EQ(cudaSuccess, cudaMemcpy(a, host.data(), 100, cudaMemcpyHostToDevice));
    EXPECT_EQ(cudaSuccess, cudaMemset(static_cast<char*>(a) + 50, 1, 50));
    EXPECT_EQ(cudaSuccess, cudaMemcpy(back.data(), a, 100, cudaMemcpyDeviceToHost));
    EXPECT_EQ(7, back[49]);
    EXPECT_EQ(1, back[50]);
    // Past the end, a host pointer given as device memory, a double free: refused, nothing touched.
    const struct {
        cudaError_t code;
        const char* fault;
    } refused[] = {
        {cudaMemcpy(static_cast<char*>(a) + 1, host.data(), 100, cudaMemcpyHostToDevice), "destination"},
        {cudaMemsetAsync(static_cast<char*>(a) + 99, 0, 2, nullptr), "destination"},
        {cudaMemcpy(back.data(), host.data(), 10, cudaMemcpyDeviceToHost), "source"},
    };
    for (const auto& r : refused) EXPECT_EQ(cudaErrorInvalidValue, r.code);
    EXPECT_NE(std::string::npos, std::string(norvi_emu_last_fault()).find("not inside a live device allocation"));
    EXPECT_EQ(cudaSuccess, cudaMemcpy(back.data(), a, 100, cudaMemcpyDeviceToHost));
    EXPECT_EQ(1, back[99]);
    EXPECT_EQ(cudaSuccess, cudaFree(a));
    EXPECT_EQ(cudaErrorInvalidValue, cudaFree(a));
    EXPECT_NE(std::string::npos, std::string(norvi_emu_last_fault()).find("not a live device allocation"));
    EXPECT_EQ(0, norvi_emu_live_allocations());
    EXPECT_EQ(0u, norvi_emu_live_bytes());
    // Allocation failure, injected or for lack of memory.
    norvi_emu_fail_call("cudaMalloc", 1, cudaErrorMemoryAllocation);
    EXPECT_EQ(cudaErrorMemoryAllocation, cudaMalloc(&a, 8));
    EXPECT_EQ(cudaErrorMemoryAllocation, cudaMalloc(&a, 7ull << 30));
    EXPECT_EQ(0, norvi_emu_live_allocations());
}

// Two meshes, three instances; records tagged so a result names the record
// that ran. Instance k uses hit records 2k (radiance) and 2k + 1 (shadow).
struct Mesh {
    std::vector<float> vertices;
    std::vector<unsigned int> indices;
};

const Mesh kSquare{{0, 0, 0, 1, 0, 0, 1, 1, 0, 0, 1, 0}, {0, 1, 2, 0, 2, 3}};  // faces +z
const Mesh kTriangle{{0, 0, 0, 1, 0, 0, 0, 1, 0}, {0, 2, 1}};                // faces -z

struct InstanceSpec {
    const Mesh* mesh;
    float transform[12];
    unsigned int id;
    unsigned int mask;
};

const InstanceSpec kInstances[3] = {
    {&kSquare, {2, 0, 0, 0, 0, 2, 0, 0, 0, 0, 1, 1}, 10, 1},       // 2x square at z = 1
    {&kTriangle, {0, -1, 0, 3, 1, 0, 0, 0, 0, 0, 1, 2}, 20, 1},    // rotated triangle at z = 2
    {&kSquare, {1, 0, 0, 0, 0, 1, 0, 3, 0, 0, 1, 0.5f}, 30, 2},   // square at z = 0.5, mask 2
};

struct Expected {
    bool hit = false;
    int instance = -1;
    unsigned int primitive = 0;
    double t = 0, u = 0, v = 0;
    bool back = false;
};

// Closest accepted hit by brute force in double precision.
Expected reference(const float* ray, const float instance_z_shift[3], unsigned int mask, bool cull_back) {
    Expected best;
    best.t = 1e30;
    for (int k = 0; k < 3; ++k) {
        const InstanceSpec& s = kInstances[k];
        if ((s.mask & mask) == 0) continue;
        auto world = [&](unsigned int vi, double out[3]) {
            const float* p = &s.mesh->vertices[3 * vi];
            for (int r = 0; r < 3; ++r)
                out[r] = s.transform[4 * r] * p[0] + s.transform[4 * r + 1] * p[1] + s.transform[4 * r + 2] * p[2] +
                         s.transform[4 * r + 3] + (r == 2 ? instance_z_shift[k] : 0.0);
        };
        for (unsigned int t = 0; t < s.mesh->indices.size() / 3; ++t) {
            double a[3], b[3], c[3];
            world(s.mesh->indices[3 * t], a);
            world(s.mesh->indices[3 * t + 1], b);
            world(s.mesh->indices[3 * t + 2], c);
            const double e1[3] = {b[0] - a[0], b[1] - a[1], b[2] - a[2]}, e2[3] = {c[0] - a[0], c[1] - a[1], c[2] - a[2]};
            const double d[3] = {ray[3], ray[4], ray[5]};
            const double pv[3] = {d[1] * e2[2] - d[2] * e2[1], d[2] * e2[0] - d[0] * e2[2], d[0] * e2[1] - d[1] * e2[0]};
            const double det = e1[0] * pv[0] + e1[1] * pv[1] + e1[2] * pv[2];
            const bool back = det < 0.0;  // dot(d, e1 x e2) = -det
            if (std::fabs(det) < 1e-12 || (cull_back && back)) continue;
            const double tv[3] = {ray[0] - a[0], ray[1] - a[1], ray[2] - a[2]};
            const double u = (tv[0] * pv[0] + tv[1] * pv[1] + tv[2] * pv[2]) / det;
            const double qv[3] = {tv[1] * e1[2] - tv[2] * e1[1], tv[2] * e1[0] - tv[0] * e1[2], tv[0] * e1[1] - tv[1] * e1[0]};
            const double v = (d[0] * qv[0] + d[1] * qv[1] + d[2] * qv[2]) / det;
            const double dist = (e2[0] * qv[0] + e2[1] * qv[1] + e2[2] * qv[2]) / det;
            if (u < 0 || v < 0 || u + v > 1 || dist <= 0 || dist >= best.t) continue;
            best = Expected{true, k, t, dist, u, v, back};
        }
    }
    return best;
}

std::string read_text(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

class EmulatedLaunch : public test::EmulatedPlatform {
protected:
    void SetUp() override {
        test::EmulatedPlatform::SetUp();
        if (abi_ == 105) norvi_emu_optix_grant_abis(105, 0);
        ctx_ = std::make_unique<OptiXContext>(0);
        ASSERT_EQ(abi_, ctx_->optix_abi());
        api_ = &optix_api();
        build_scene();
        build_pipeline(2, "__miss__emu_test");
        for (int i = 0; i < 23; ++i)
            for (int j = 0; j < 19; ++j) {
                const float slant = (i + j) % 3 == 0 ? 0.07f : 0.0f;
                rays_.insert(rays_.end(), {-0.61f + 0.2113f * static_cast<float>(i), -0.53f + 0.2671f * static_cast<float>(j), 10.0f, slant, -slant, -1.0f});
            }
        n_ = static_cast<unsigned int>(rays_.size() / 6);
        d_rays_ = upload(rays_);
        d_hits_ = alloc(sizeof(EmuHit) * n_);
        d_params_ = alloc(sizeof(EmuTestParams));
    }

    void TearDown() override {
        for (CUdeviceptr p : {d_rays_, d_hits_, d_params_, d_sbt_hit_, d_sbt_miss_, d_sbt_rg_, d_instances_, ias_out_})
            release(p);
        for (CUdeviceptr p : {gas_out_[0], gas_out_[1], vertex_buffers_[0], vertex_buffers_[1], index_buffers_[0],
                              index_buffers_[1]})
            release(p);
        EXPECT_EQ(OPTIX_SUCCESS, api_->pipeline_destroy(pipeline_));
        for (auto g : groups_) EXPECT_EQ(OPTIX_SUCCESS, api_->program_group_destroy(g));
        EXPECT_EQ(OPTIX_SUCCESS, api_->module_destroy(module_));
        ctx_.reset();
        EXPECT_EQ(0, norvi_emu_live_allocations());
        EXPECT_EQ(0, norvi_emu_optix_live_objects("accel"));
        EXPECT_EQ(0, norvi_emu_optix_live_objects("module"));
    }

    OptixTraversableHandle build(const OptixBuildInput& input, unsigned int flags, CUdeviceptr& out) {
        OptixAccelBuildOptions options{};
        options.buildFlags = flags;
        options.operation = OPTIX_BUILD_OPERATION_BUILD;
        OptixAccelBufferSizes sizes{};
        EXPECT_EQ(OPTIX_SUCCESS, api_->accel_compute_memory_usage(ctx_->optix_context(), &options, &input, 1, &sizes));
        const CUdeviceptr temp = alloc(sizes.tempSizeInBytes);
        out = alloc(sizes.outputSizeInBytes);
        OptixTraversableHandle h = 0;
        EXPECT_EQ(OPTIX_SUCCESS, api_->accel_build(ctx_->optix_context(), ctx_->stream(), &options, &input, 1, temp,
                                                   sizes.tempSizeInBytes, out, sizes.outputSizeInBytes, &h, nullptr, 0));
        release(temp);
        return h;
    }

    OptixBuildInput ias_input() const {
        OptixBuildInput in{};
        in.type = OPTIX_BUILD_INPUT_TYPE_INSTANCES;
        in.instanceArray.instances = d_instances_;
        in.instanceArray.numInstances = 3;
        return in;
    }

    OptixBuildInput triangle_input(int m) const {
        const Mesh* mesh = m == 0 ? &kSquare : &kTriangle;
        OptixBuildInput in{};
        in.type = OPTIX_BUILD_INPUT_TYPE_TRIANGLES;
        in.triangleArray.vertexBuffers = &vertex_buffers_[m];
        in.triangleArray.numVertices = static_cast<unsigned int>(mesh->vertices.size() / 3);
        in.triangleArray.vertexFormat = OPTIX_VERTEX_FORMAT_FLOAT3;
        in.triangleArray.indexBuffer = index_buffers_[m];
        in.triangleArray.numIndexTriplets = static_cast<unsigned int>(mesh->indices.size() / 3);
        in.triangleArray.indexFormat = OPTIX_INDICES_FORMAT_UNSIGNED_INT3;
        in.triangleArray.flags = &kGeometryFlags;
        in.triangleArray.numSbtRecords = 1;
        return in;
    }

    void build_scene() {
        for (int m = 0; m < 2; ++m) {
            const Mesh& mesh = m == 0 ? kSquare : kTriangle;
            vertex_buffers_[m] = upload(mesh.vertices);
            index_buffers_[m] = upload(mesh.indices);
            gas_[m] = build(triangle_input(m), OPTIX_BUILD_FLAG_PREFER_FAST_TRACE, gas_out_[m]);
        }
        for (int k = 0; k < 3; ++k) {
            OptixInstance inst{};
            std::memcpy(inst.transform, kInstances[k].transform, sizeof inst.transform);
            inst.instanceId = kInstances[k].id;
            inst.sbtOffset = 2u * static_cast<unsigned int>(k);
            inst.visibilityMask = kInstances[k].mask;
            inst.traversableHandle = gas_[kInstances[k].mesh == &kSquare ? 0 : 1];
            instances_.push_back(inst);
        }
        d_instances_ = upload(instances_);
        ias_ = build(ias_input(), OPTIX_BUILD_FLAG_ALLOW_UPDATE, ias_out_);
    }

    void build_pipeline(unsigned int trace_depth, const char* miss_entry) {
        OptixPipelineCompileOptions pco{};
        pco.numPayloadValues = 2;
        pco.numAttributeValues = 2;
        pco.pipelineLaunchParamsVariableName = "params";
        pco.pipelineLaunchParamsSizeInBytes = sizeof(EmuTestParams);
        OptixModuleCompileOptions mco{};
        const std::string ptx = read_text(NORVI_EMU_TEST_PTX);
        ASSERT_EQ(OPTIX_SUCCESS, api_->module_create(ctx_->optix_context(), &mco, &pco, ptx.c_str(), ptx.size(),
                                                     nullptr, nullptr, &module_));
        OptixProgramGroupDesc d[3] = {};
        d[0].kind = OPTIX_PROGRAM_GROUP_KIND_RAYGEN;
        d[0].raygen = {module_, "__raygen__emu_test"};
        d[1].kind = OPTIX_PROGRAM_GROUP_KIND_MISS;
        d[1].miss = {module_, miss_entry};
        d[2].kind = OPTIX_PROGRAM_GROUP_KIND_HITGROUP;
        d[2].hitgroup.moduleCH = module_;
        d[2].hitgroup.entryFunctionNameCH = "__closesthit__emu_test";
        OptixProgramGroupOptions pgo{};
        for (int k = 0; k < 3; ++k)
            ASSERT_EQ(OPTIX_SUCCESS,
                      api_->program_group_create(ctx_->optix_context(), &d[k], 1, &pgo, nullptr, nullptr, &groups_[k]));
        OptixPipelineLinkOptions link{};
        link.maxTraceDepth = trace_depth;
        ASSERT_EQ(OPTIX_SUCCESS, api_->pipeline_create(ctx_->optix_context(), &pco, &link, groups_, 3, nullptr,
                                                       nullptr, &pipeline_));
        ASSERT_EQ(OPTIX_SUCCESS, api_->pipeline_set_stack_size(pipeline_, 0, 0, 4096, 3));
        // Records: one ray generation; miss tags 200, 201; hit tags 100 + record index.
        auto record = [&](OptixProgramGroup g, unsigned int tag) {
            SbtRecord<EmptyRecordData> r{};
            EXPECT_EQ(OPTIX_SUCCESS, api_->sbt_record_pack_header(g, r.header));
            std::memcpy(r.data.zero, &tag, sizeof tag);
            return r;
        };
        d_sbt_rg_ = upload(std::vector<SbtRecord<EmptyRecordData>>{record(groups_[0], 0)});
        d_sbt_miss_ = upload(std::vector<SbtRecord<EmptyRecordData>>{record(groups_[1], 200), record(groups_[1], 201)});
        std::vector<SbtRecord<EmptyRecordData>> hits;
        for (unsigned int k = 0; k < 6; ++k) hits.push_back(record(groups_[2], 100 + k));
        d_sbt_hit_ = upload(hits);
        sbt_.raygenRecord = d_sbt_rg_;
        sbt_.missRecordBase = d_sbt_miss_;
        sbt_.missRecordStrideInBytes = 48;
        sbt_.missRecordCount = 2;
        sbt_.hitgroupRecordBase = d_sbt_hit_;
        sbt_.hitgroupRecordStrideInBytes = 48;
        sbt_.hitgroupRecordCount = 6;
    }

    // Traces every ray once with these settings; returns the per-ray results.
    OptixResult trace(unsigned int mask, unsigned int flags, unsigned int ray_type, std::vector<EmuHit>& out) {
        EmuTestParams p{ias_, d_rays_, d_hits_, 0.0f, 1e30f, mask, flags, ray_type, 2, ray_type, 0};
        EXPECT_EQ(cudaSuccess, cudaMemcpy(reinterpret_cast<void*>(d_params_), &p, sizeof p, cudaMemcpyHostToDevice));
        EXPECT_EQ(cudaSuccess, cudaMemset(reinterpret_cast<void*>(d_hits_), 0, sizeof(EmuHit) * n_));
        const OptixResult r = api_->launch(pipeline_, ctx_->stream(), d_params_, sizeof p, &sbt_, 23, 19, 1);
        out.assign(n_, EmuHit{});
        EXPECT_EQ(cudaSuccess, cudaMemcpy(out.data(), reinterpret_cast<void*>(d_hits_), sizeof(EmuHit) * n_,
                                          cudaMemcpyDeviceToHost));
        return r;
    }

    void expect_radiance(const std::vector<EmuHit>& got, const float z_shift[3], unsigned int mask, bool cull_back) {
        int hits = 0;
        for (unsigned int i = 0; i < n_; ++i) {
            const Expected e = reference(&rays_[6 * i], z_shift, mask, cull_back);
            const EmuHit& g = got[i];
            SCOPED_TRACE("ray " + std::to_string(i));
            EXPECT_EQ(i, g.payload1);
            if (!e.hit) {
                EXPECT_EQ(200u, g.payload0);  // miss record 0
                continue;
            }
            ++hits;
            const unsigned int k = static_cast<unsigned int>(e.instance);
            EXPECT_EQ(100u + 2u * k, g.payload0);  // sbtOffset 2k + ray type 0 + stride 2 x GAS index 0
            EXPECT_EQ(k, g.instance_index);
            EXPECT_EQ(kInstances[k].id, g.instance_id);
            EXPECT_EQ(e.primitive, g.primitive);
            EXPECT_NEAR(e.t, g.t, 1e-4);
            EXPECT_NEAR(e.u, g.u, 1e-4);
            EXPECT_NEAR(e.v, g.v, 1e-4);
            EXPECT_EQ(e.back ? 1u : 0u, g.back_face);
            EXPECT_NEAR(kInstances[k].transform[3], g.world_point.x, 1e-6);
            EXPECT_NEAR(kInstances[k].transform[11] + z_shift[k], g.world_point.z, 1e-6);
        }
        EXPECT_GT(hits, 40);
        EXPECT_LT(hits, static_cast<int>(n_) - 40);
    }

    static constexpr unsigned int kGeometryFlags = OPTIX_GEOMETRY_FLAG_NONE;
    int abi_ = 118;
    std::unique_ptr<OptiXContext> ctx_;
    const OptixApi* api_ = nullptr;
    CUdeviceptr vertex_buffers_[2] = {0, 0}, index_buffers_[2] = {0, 0};
    OptixTraversableHandle gas_[2] = {0, 0};
    CUdeviceptr gas_out_[2] = {0, 0};
    std::vector<OptixInstance> instances_;
    CUdeviceptr d_instances_ = 0, ias_out_ = 0;
    OptixTraversableHandle ias_ = 0;
    OptixModule module_ = nullptr;
    OptixProgramGroup groups_[3] = {};
    OptixPipeline pipeline_ = nullptr;
    OptixShaderBindingTable sbt_{};
    CUdeviceptr d_sbt_rg_ = 0, d_sbt_miss_ = 0, d_sbt_hit_ = 0;
    std::vector<float> rays_;
    unsigned int n_ = 0;
    CUdeviceptr d_rays_ = 0, d_hits_ = 0, d_params_ = 0;
};

constexpr float kNoShift[3] = {0, 0, 0};

TEST_F(EmulatedLaunch, TracesFollowTheSbtMaskAndFacingRules) {
    std::vector<EmuHit> got;
    ASSERT_EQ(OPTIX_SUCCESS, trace(0xFF, kRayNone, 0, got));
    expect_radiance(got, kNoShift, 0xFF, false);
    ASSERT_EQ(OPTIX_SUCCESS, trace(0x1, kRayCullBack, 0, got));
    expect_radiance(got, kNoShift, 0x1, true);
    // Shadow rays: closest-hit disabled, so a hit leaves the payload as it was
    // and only a miss runs a program, that of miss record 1.
    ASSERT_EQ(OPTIX_SUCCESS, trace(0x1, kRayDisableClosestHit | kRayTerminateOnFirstHit, 1, got));
    for (unsigned int i = 0; i < n_; ++i)
        EXPECT_EQ(reference(&rays_[6 * i], kNoShift, 0x1, false).hit ? 0xDEADu : 201u, got[i].payload0) << i;
}

// A 9.0 driver gets the 9.0 option structs; the launch must not notice.
class EmulatedLaunch105 : public EmulatedLaunch {
protected:
    EmulatedLaunch105() { abi_ = 105; }
};

TEST_F(EmulatedLaunch105, TracesAsUnderAbi118) {
    std::vector<EmuHit> got;
    ASSERT_EQ(OPTIX_SUCCESS, trace(0xFF, kRayNone, 0, got));
    expect_radiance(got, kNoShift, 0xFF, false);
}

TEST_F(EmulatedLaunch, RefitMovesInstancesAndNeedsAllowUpdate) {
    instances_[0].transform[11] = 2.5f;
    instances_[2].transform[11] = 1.5f;
    ASSERT_EQ(cudaSuccess, cudaMemcpy(reinterpret_cast<void*>(d_instances_), instances_.data(),
                                      sizeof(OptixInstance) * 3, cudaMemcpyHostToDevice));
    OptixAccelBuildOptions options{};
    options.buildFlags = OPTIX_BUILD_FLAG_ALLOW_UPDATE;
    options.operation = OPTIX_BUILD_OPERATION_UPDATE;
    const OptixBuildInput in = ias_input();
    OptixAccelBufferSizes sizes{};
    ASSERT_EQ(OPTIX_SUCCESS, api_->accel_compute_memory_usage(ctx_->optix_context(), &options, &in, 1, &sizes));
    const CUdeviceptr temp = alloc(sizes.tempUpdateSizeInBytes);
    OptixTraversableHandle h = 0;
    ASSERT_EQ(OPTIX_SUCCESS, api_->accel_build(ctx_->optix_context(), ctx_->stream(), &options, &in, 1, temp,
                                               sizes.tempUpdateSizeInBytes, ias_out_, sizes.outputSizeInBytes + 128,
                                               &h, nullptr, 0));
    EXPECT_EQ(ias_, h);
    std::vector<EmuHit> got;
    ASSERT_EQ(OPTIX_SUCCESS, trace(0xFF, kRayNone, 0, got));
    const float shift[3] = {1.5f, 0.0f, 1.0f};
    expect_radiance(got, shift, 0xFF, false);
    // The geometry structures were built without ALLOW_UPDATE.
    const OptixBuildInput tri = triangle_input(1);
    options.buildFlags = OPTIX_BUILD_FLAG_NONE;
    EXPECT_EQ(OPTIX_ERROR_INVALID_OPERATION,
              api_->accel_build(ctx_->optix_context(), ctx_->stream(), &options, &tri, 1, temp,
                                sizes.tempUpdateSizeInBytes, gas_out_[1], 1 << 20, &h, nullptr, 0));
    release(temp);
}

TEST_F(EmulatedLaunch, UndefinedDeviceBehaviourStopsTheLaunch) {
    std::vector<EmuHit> got;
    struct Case {
        const char* fault;
        std::function<void()> arrange;
    };
    const Case cases[] = {
        {"beyond the table of 3", [&] { sbt_.hitgroupRecordCount = 3; }},  // instance 2 needs record 4
        {"holds no miss group", [&] { sbt_.missRecordBase = d_sbt_hit_; }},
        {"freed or rebuilt", [&] {
             release(gas_out_[1]);
             gas_out_[1] = alloc(8);
         }},
    };
    for (const auto& c : cases) {
        const OptixShaderBindingTable saved = sbt_;
        c.arrange();
        EXPECT_EQ(OPTIX_ERROR_LAUNCH_FAILURE, trace(0xFF, kRayNone, 0, got)) << c.fault;
        EXPECT_NE(std::string::npos, std::string(norvi_emu_last_fault()).find(c.fault)) << norvi_emu_last_fault();
        sbt_ = saved;
    }
    // Launch-time checks: parameters larger than the declared variable, a
    // record header of no group of this pipeline.
    EXPECT_EQ(OPTIX_ERROR_INVALID_VALUE,
              api_->launch(pipeline_, ctx_->stream(), d_hits_, sizeof(EmuTestParams) + 4, &sbt_, 1, 1, 1));
    sbt_.raygenRecord = d_sbt_miss_;
    EXPECT_EQ(OPTIX_ERROR_INVALID_VALUE,
              api_->launch(pipeline_, ctx_->stream(), d_params_, sizeof(EmuTestParams), &sbt_, 1, 1, 1));
    sbt_.raygenRecord = d_sbt_rg_;
}

TEST_F(EmulatedLaunch, ModulesBindOnlyEntriesTheirPtxDefines) {
    OptixPipelineCompileOptions pco{};
    pco.pipelineLaunchParamsVariableName = "params";
    OptixModuleCompileOptions mco{};
    char log[256];
    std::size_t log_size = sizeof log;
    OptixModule m = nullptr;
    const std::string foreign = ".version 8.0\n.target sm_75\n.visible .entry __raygen__not_built()\n{\n ret;\n}\n";
    EXPECT_EQ(OPTIX_ERROR_INVALID_INPUT, api_->module_create(ctx_->optix_context(), &mco, &pco, foreign.c_str(),
                                                             foreign.size(), log, &log_size, &m));
    EXPECT_NE(std::string::npos, std::string(log).find("__raygen__not_built"));
    // A PTX with the ray-generation entry only: its module has no miss program.
    const std::string only_raygen = ".visible .entry __raygen__emu_test()\n{\n ret;\n}\n";
    ASSERT_EQ(OPTIX_SUCCESS, api_->module_create(ctx_->optix_context(), &mco, &pco, only_raygen.c_str(),
                                                 only_raygen.size(), nullptr, nullptr, &m));
    OptixProgramGroupDesc d{};
    d.kind = OPTIX_PROGRAM_GROUP_KIND_MISS;
    d.miss = {m, "__miss__emu_test"};
    OptixProgramGroupOptions pgo{};
    OptixProgramGroup g = nullptr;
    log_size = sizeof log;
    EXPECT_EQ(OPTIX_ERROR_INVALID_VALUE,
              api_->program_group_create(ctx_->optix_context(), &d, 1, &pgo, log, &log_size, &g));
    EXPECT_EQ("entry __miss__emu_test is not defined in the module", std::string(log));
    EXPECT_EQ(3, norvi_emu_optix_live_objects("program group"));
    EXPECT_EQ(OPTIX_SUCCESS, api_->module_destroy(m));
}

TEST_F(EmulatedLaunch, ProgramsCallingOutsideTheirKindFailAndCallsCanBeMadeToFail) {
    // Hit state read in a miss program.
    EXPECT_EQ(OPTIX_SUCCESS, api_->pipeline_destroy(pipeline_));
    for (auto g : groups_) EXPECT_EQ(OPTIX_SUCCESS, api_->program_group_destroy(g));
    EXPECT_EQ(OPTIX_SUCCESS, api_->module_destroy(module_));
    for (CUdeviceptr p : {d_sbt_hit_, d_sbt_miss_, d_sbt_rg_}) release(p);
    build_pipeline(1, "__miss__emu_bad");
    std::vector<EmuHit> got;
    EXPECT_EQ(OPTIX_ERROR_LAUNCH_FAILURE, trace(0xFF, kRayNone, 0, got));
    EXPECT_EQ("optixLaunch: optixGetPrimitiveIndex outside a closest-hit program", std::string(norvi_emu_last_fault()));
    for (const char* call : {"optixLaunch", "optixAccelBuild"}) norvi_emu_fail_call(call, 1, 7990);
    EXPECT_EQ(OPTIX_ERROR_INTERNAL_ERROR, trace(0xFF, kRayNone, 0, got));
    CUdeviceptr out = 0;
    OptixAccelBuildOptions options{};
    options.operation = OPTIX_BUILD_OPERATION_BUILD;
    const OptixBuildInput in = ias_input();
    EXPECT_EQ(OPTIX_ERROR_INTERNAL_ERROR, api_->accel_build(ctx_->optix_context(), ctx_->stream(), &options, &in, 1, 0,
                                                            0, out, 0, nullptr, nullptr, 0));
}

}  // namespace
}  // namespace norvi
