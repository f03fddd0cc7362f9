#include "gpu/simulator.h"

#include <cuda_runtime_api.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>

#include "gpu/gpu_check.h"
#include "gpu/backward_checks.h"
#include "gpu/optix/optix_api.h"
#include "scene/input_checks.h"

namespace norvi {

namespace {

using optix::optix_api;

constexpr std::size_t kLogBytes = 4096;
constexpr unsigned int kContinuationStackBytes = 4096;

// Main-family group positions.
enum MainGroup : std::size_t {
    kRgBackward = 0,
    kRgForward,
    kRgFlux,
    kMissRadiance,
    kMissShadow,
    kHitRadiance,
    kHitShadow
};

// Positions in the microwave and energy-balance families.
enum FamilyGroup : std::size_t { kFamilyRaygen = 0, kFamilyMiss, kFamilyHit };

}  // namespace

Simulator::Simulator(OptiXContext& context, const std::string& ptx_dir) : context_(context), ptx_dir_(ptx_dir) {
    pipeline_options_.usesMotionBlur = 0;
    pipeline_options_.traversableGraphFlags = optix::OPTIX_TRAVERSABLE_GRAPH_FLAG_ALLOW_ANY;
    pipeline_options_.numPayloadValues = 2;
    pipeline_options_.numAttributeValues = 2;
    pipeline_options_.exceptionFlags = optix::OPTIX_EXCEPTION_FLAG_NONE;
    pipeline_options_.pipelineLaunchParamsVariableName = "params";
    pipeline_options_.usesPrimitiveTypeFlags = optix::OPTIX_PRIMITIVE_TYPE_FLAGS_DEFAULT;
    pipeline_options_.allowOpacityMicromaps = 0;
}

Simulator::~Simulator() { cleanup(); }

void Simulator::init() {
    if (initialised_) return;
    build_pipeline();
    initialised_ = true;
}

std::string Simulator::read_ptx(const std::string& name) const {
    const std::string path = ptx_dir_ + "/" + name + ".ptx";
    std::ifstream file(path, std::ios::in | std::ios::binary);
    if (!file) throw std::runtime_error("Cannot open PTX: " + path);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

optix::OptixModule Simulator::create_module(const std::string& ptx, const char* name) {
    optix::OptixModuleCompileOptions module_options{};
    module_options.maxRegisterCount = 0;
    module_options.optLevel = optix::OPTIX_COMPILE_OPTIMIZATION_DEFAULT;
    module_options.debugLevel = optix::OPTIX_COMPILE_DEBUG_LEVEL_NONE;
    char log[kLogBytes];
    log[0] = '\0';
    std::size_t log_size = sizeof(log);
    optix::OptixModule module = nullptr;
    const optix::OptixResult r = optix_api().module_create(context_.optix_context(), &module_options,
                                                           &pipeline_options_, ptx.c_str(), ptx.size(), log,
                                                           &log_size, &module);
    if (r != optix::OPTIX_SUCCESS) {
        log[sizeof(log) - 1] = '\0';
        std::cerr << "[Module " << name << "] " << log << std::endl;
        throw std::runtime_error(std::string("Module create failed: ") + name);
    }
    return module;
}

optix::OptixProgramGroup Simulator::create_group_(optix::OptixProgramGroupKind kind, optix::OptixModule module,
                                                  const char* entry, const char* label) {
    optix::OptixProgramGroupDesc desc{};
    desc.kind = kind;
    desc.flags = optix::OPTIX_PROGRAM_GROUP_FLAGS_NONE;
    if (kind == optix::OPTIX_PROGRAM_GROUP_KIND_HITGROUP) {
        desc.hitgroup.moduleCH = module;
        desc.hitgroup.entryFunctionNameCH = entry;
    } else if (kind == optix::OPTIX_PROGRAM_GROUP_KIND_MISS) {
        desc.miss.module = module;
        desc.miss.entryFunctionName = entry;
    } else {
        desc.raygen.module = module;
        desc.raygen.entryFunctionName = entry;
    }
    optix::OptixProgramGroupOptions options{};
    char log[kLogBytes];
    std::size_t log_size = sizeof(log);
    optix::OptixProgramGroup group = nullptr;
    check_optix(optix_api().program_group_create(context_.optix_context(), &desc, 1, &options, log, &log_size,
                                                 &group),
                label);
    return group;
}

optix::OptixPipeline Simulator::create_pipeline_(const std::vector<optix::OptixProgramGroup>& groups,
                                                 unsigned int max_trace_depth, const char* label) {
    optix::OptixPipelineLinkOptions link{};
    link.maxTraceDepth = max_trace_depth;
    char log[kLogBytes];
    std::size_t log_size = sizeof(log);
    optix::OptixPipeline pipeline = nullptr;
    check_optix(optix_api().pipeline_create(context_.optix_context(), &pipeline_options_, &link, groups.data(),
                                            static_cast<unsigned int>(groups.size()), log, &log_size, &pipeline),
                label);
    return pipeline;
}

void Simulator::set_stack_(optix::OptixPipeline pipeline, unsigned int traversable_depth, const char* label) {
    check_optix(optix_api().pipeline_set_stack_size(pipeline, 0, 0, kContinuationStackBytes, traversable_depth),
                label);
}

// ---- pipeline families ----------------------------------------------------------

void Simulator::build_pipeline() {
    // Modules in the order raygen_backward, closesthit, miss, raygen_forward,
    // raygen_flux; each is kept as soon as it exists so cleanup() finds it.
    const char* const names[] = {"raygen_backward", "closesthit", "miss", "raygen_forward", "raygen_flux"};
    optix::OptixModule modules[5] = {};
    for (int i = 0; i < 5; ++i) {
        modules[i] = create_module(read_ptx(names[i]), names[i]);
        main_.modules.push_back(modules[i]);
    }
    const optix::OptixModule rg_backward = modules[0], closesthit = modules[1], miss = modules[2];
    const optix::OptixModule rg_forward = modules[3], rg_flux = modules[4];
    using K = optix::OptixProgramGroupKind;
    struct GroupSpec {
        K kind;
        optix::OptixModule module;
        const char* entry;
    };
    const GroupSpec specs[] = {
        {optix::OPTIX_PROGRAM_GROUP_KIND_RAYGEN, rg_backward, "__raygen__backward"},
        {optix::OPTIX_PROGRAM_GROUP_KIND_RAYGEN, rg_forward, "__raygen__forward"},
        {optix::OPTIX_PROGRAM_GROUP_KIND_RAYGEN, rg_flux, "__raygen__flux"},
        {optix::OPTIX_PROGRAM_GROUP_KIND_MISS, miss, "__miss__radiance"},
        {optix::OPTIX_PROGRAM_GROUP_KIND_MISS, miss, "__miss__shadow"},
        {optix::OPTIX_PROGRAM_GROUP_KIND_HITGROUP, closesthit, "__closesthit__radiance"},
        {optix::OPTIX_PROGRAM_GROUP_KIND_HITGROUP, closesthit, "__closesthit__shadow"},
    };
    for (const GroupSpec& g : specs) main_.groups.push_back(create_group_(g.kind, g.module, g.entry, g.entry));
    main_.pipeline = create_pipeline_(main_.groups, 2, "pipeline");
    set_stack_(main_.pipeline, 3, "stack");
}

void Simulator::init_lidar_pipeline() {
    if (lidar_ready()) return;
    init();
    if (!lidar_module_) lidar_module_ = create_module(read_ptx("raygen_lidar"), "raygen_lidar");
    lidar_group_ = create_group_(optix::OPTIX_PROGRAM_GROUP_KIND_RAYGEN, lidar_module_, "__raygen__lidar",
                                 "pg_lidar");
    (void)optix_api().pipeline_destroy(main_.pipeline);
    main_.pipeline = nullptr;
    const std::vector<optix::OptixProgramGroup> groups = {
        main_.groups[kRgBackward],   main_.groups[kRgForward],  main_.groups[kRgFlux],
        lidar_group_,                main_.groups[kMissRadiance], main_.groups[kMissShadow],
        main_.groups[kHitRadiance], main_.groups[kHitShadow]};
    main_.pipeline = create_pipeline_(groups, 2, "pipeline+lidar");
    set_stack_(main_.pipeline, 3, "stack");
}

void Simulator::init_mw_pipeline() {
    if (mw_ready_) return;
    init();
    const char* const names[] = {"raygen_passive", "closesthit_mw", "miss_mw"};
    for (const char* name : names) mw_.modules.push_back(create_module(read_ptx(name), name));
    mw_.groups.push_back(create_group_(optix::OPTIX_PROGRAM_GROUP_KIND_RAYGEN, mw_.modules[0],
                                       "__raygen__passive_mw", "pg_raygen_mw"));
    mw_.groups.push_back(
        create_group_(optix::OPTIX_PROGRAM_GROUP_KIND_MISS, mw_.modules[2], "__miss__mw_radiance", "pg_miss_mw"));
    mw_.groups.push_back(create_group_(optix::OPTIX_PROGRAM_GROUP_KIND_HITGROUP, mw_.modules[1],
                                       "__closesthit__mw_radiance", "pg_hit_mw"));
    mw_.pipeline = create_pipeline_(mw_.groups, 2, "pipeline_mw");
    // The microwave rays cross the scene's instance structure into its
    // meshes: a traversable graph two levels deep.
    set_stack_(mw_.pipeline, 2, "stack_mw");
    mw_ready_ = true;
}

void Simulator::init_eb_pipeline() {
    if (eb_ready_) return;
    init();
    eb_.modules.push_back(create_module(read_ptx("raygen_eb_rrt"), "raygen_eb_rrt"));
    const optix::OptixModule m = eb_.modules[0];
    eb_.groups.push_back(create_group_(optix::OPTIX_PROGRAM_GROUP_KIND_RAYGEN, m, "__raygen__eb_rrt", "pg_raygen_eb"));
    eb_.groups.push_back(create_group_(optix::OPTIX_PROGRAM_GROUP_KIND_MISS, m, "__miss__eb_rrt", "pg_miss_eb"));
    eb_.groups.push_back(
        create_group_(optix::OPTIX_PROGRAM_GROUP_KIND_HITGROUP, m, "__closesthit__eb_rrt", "pg_hit_eb"));
    eb_.pipeline = create_pipeline_(eb_.groups, 1, "pipeline_eb");
    // Rays cross the instance structure and then a mesh's structure: a
    // traversable graph two levels deep.
    set_stack_(eb_.pipeline, 2, "stack_eb");
    eb_ready_ = true;
}

void Simulator::init_eb_mb_pipeline() {
    if (eb_mb_ready_) return;
    init_eb_pipeline();
    eb_mb_.groups.push_back(create_group_(optix::OPTIX_PROGRAM_GROUP_KIND_RAYGEN, eb_.modules[0],
                                          "__raygen__eb_rrt_multiband", "pg_raygen_eb_mb"));
    eb_mb_.pipeline = create_pipeline_({eb_mb_.groups[0], eb_.groups[kFamilyMiss], eb_.groups[kFamilyHit]}, 1,
                                       "pipeline_eb_mb");
    set_stack_(eb_mb_.pipeline, 2, "stack_eb_mb");
    eb_mb_ready_ = true;
}

// ---- shader binding tables ----------------------------------------------------------

void Simulator::pack_and_upload_(optix::OptixProgramGroup group, const void* payload, std::size_t payload_bytes,
                                 DeviceBuffer& buffer, std::size_t record_bytes, const char* alloc_label,
                                 const char* upload_label) {
    // One zeroed record: header, then payload.
    std::vector<unsigned char> record(record_bytes, 0);
    check_optix(optix_api().sbt_record_pack_header(group, record.data()), upload_label);
    if (payload_bytes) std::memcpy(record.data() + kSbtRecordHeaderSize, payload, payload_bytes);
    buffer.allocate(record_bytes, alloc_label);
    buffer.upload(record.data(), record_bytes, upload_label);
}

void Simulator::build_sbt(const SceneManager& scene) {
    if (!initialised_) init();
    main_sbt_.reset();

    RaygenRecord rg{};
    check_optix(optix_api().sbt_record_pack_header(main_.groups[kRgBackward], rg.header), "sbt rg");
    main_sbt_.raygen.allocate(sizeof(rg), "sbt rg");
    main_sbt_.raygen.upload(&rg, sizeof(rg), "sbt rg");

    MissRecord miss[2]{};
    check_optix(optix_api().sbt_record_pack_header(main_.groups[kMissRadiance], miss[0].header), "sbt miss");
    check_optix(optix_api().sbt_record_pack_header(main_.groups[kMissShadow], miss[1].header), "sbt miss");
    main_sbt_.miss.allocate(sizeof(miss), "sbt miss");
    main_sbt_.miss.upload(miss, sizeof(miss), "sbt miss");

    const std::vector<HitGroupData> meshes = scene.get_hitgroup_data();
    std::vector<HitGroupRecord> hits(2 * meshes.size());
    for (std::size_t i = 0; i < meshes.size(); ++i) {
        HitGroupRecord& radiance = hits[2 * i];
        HitGroupRecord& shadow = hits[2 * i + 1];
        std::memset(&radiance, 0, sizeof(radiance));
        std::memset(&shadow, 0, sizeof(shadow));
        check_optix(optix_api().sbt_record_pack_header(main_.groups[kHitRadiance], radiance.header), "sbt hg");
        check_optix(optix_api().sbt_record_pack_header(main_.groups[kHitShadow], shadow.header), "sbt hg");
        radiance.data = meshes[i];
        shadow.data = meshes[i];
    }
    main_sbt_.hitgroup.assign(hits, "sbt hg");

    optix::OptixShaderBindingTable& t = main_sbt_.sbt;
    t.raygenRecord = main_sbt_.raygen.ptr();
    t.missRecordBase = main_sbt_.miss.ptr();
    t.missRecordStrideInBytes = sizeof(MissRecord);
    t.missRecordCount = 2;
    t.hitgroupRecordBase = main_sbt_.hitgroup.ptr();
    t.hitgroupRecordStrideInBytes = sizeof(HitGroupRecord);
    t.hitgroupRecordCount = static_cast<unsigned int>(hits.size());
}

// The microwave and energy-balance tables: one ray-generation record, one
// miss record, and max(meshes, 1) pairs of hit records (a zero payload when
// the scene has no mesh). labels: rg alloc, rg upload, miss alloc, miss
// upload, hg alloc, hg upload.
void Simulator::build_family_sbt_(const SceneManager& scene, BindingTable& table, optix::OptixProgramGroup raygen,
                                  optix::OptixProgramGroup miss, optix::OptixProgramGroup hit,
                                  const float* miss_payload, const char* const labels[6]) {
    table.reset();
    pack_and_upload_(raygen, nullptr, 0, table.raygen, sizeof(RaygenRecord), labels[0], labels[1]);
    pack_and_upload_(miss, miss_payload, miss_payload ? 3 * sizeof(float) : 0, table.miss, sizeof(MissRecord),
                     labels[2], labels[3]);

    const std::vector<HitGroupData> meshes = scene.get_hitgroup_data();
    const std::size_t pairs = meshes.empty() ? 1 : meshes.size();
    std::vector<HitGroupRecord> hits(2 * pairs);
    for (std::size_t i = 0; i < hits.size(); ++i) {
        std::memset(&hits[i], 0, sizeof(hits[i]));
        check_optix(optix_api().sbt_record_pack_header(hit, hits[i].header), labels[5]);
        if (!meshes.empty()) hits[i].data = meshes[i / 2];
    }
    table.hitgroup.assign(hits, labels[4], labels[5]);

    optix::OptixShaderBindingTable& t = table.sbt;
    t.raygenRecord = table.raygen.ptr();
    t.missRecordBase = table.miss.ptr();
    t.missRecordStrideInBytes = sizeof(MissRecord);
    t.missRecordCount = 1;
    t.hitgroupRecordBase = table.hitgroup.ptr();
    t.hitgroupRecordStrideInBytes = sizeof(HitGroupRecord);
    t.hitgroupRecordCount = static_cast<unsigned int>(hits.size());
}

void Simulator::build_sbt_mw(const SceneManager& scene) {
    init_mw_pipeline();
    // The cosmic background seen by rays that leave the scene [K].
    const float background[3] = {2.725f, 2.725f, 2.725f};
    static const char* const labels[6] = {"sbt rg mw", "sbt rg mw up", "sbt miss mw",
                                          "sbt miss mw up", "sbt hg mw", "sbt hg mw up"};
    build_family_sbt_(scene, mw_sbt_, mw_.groups[kFamilyRaygen], mw_.groups[kFamilyMiss], mw_.groups[kFamilyHit],
                      background, labels);
}

void Simulator::build_sbt_eb(const SceneManager& scene) {
    init_eb_pipeline();
    static const char* const labels[6] = {"sbt rg eb", "sbt rg eb up", "sbt miss eb",
                                          "sbt miss eb up", "sbt hg eb", "sbt hg eb up"};
    build_family_sbt_(scene, eb_sbt_, eb_.groups[kFamilyRaygen], eb_.groups[kFamilyMiss], eb_.groups[kFamilyHit],
                      nullptr, labels);
}

void Simulator::build_sbt_eb_mb(const SceneManager& scene) {
    init_eb_mb_pipeline();
    eb_mb_raygen_.reset();
    build_sbt_eb(scene);
    pack_and_upload_(eb_mb_.groups[0], nullptr, 0, eb_mb_raygen_, sizeof(RaygenRecord), "sbt rg eb_mb",
                     "sbt rg eb_mb up");
    eb_mb_sbt_ = eb_sbt_.sbt;
    eb_mb_sbt_.raygenRecord = eb_mb_raygen_.ptr();
}

// ---- backward buffers --------------------------------------------------------------

void Simulator::allocate_buffers(int num_pixels, int num_bands) {
    if (num_pixels == buffer_pixels_ && num_bands == buffer_bands_) return;
    free_buffers();
    if (num_pixels < 0 || num_bands < 0) {
        std::ostringstream os;
        os << "allocate_buffers: num_pixels " << num_pixels << " and num_bands " << num_bands
           << " must not be negative";
        throw std::invalid_argument(os.str());
    }
    const std::size_t pixels = static_cast<std::size_t>(num_pixels);
    const std::size_t n = pixels * static_cast<std::size_t>(num_bands);
    film_.allocate(n * sizeof(float), "film");
    hits_.allocate(pixels * 64, "hits");
    rngs_.allocate(pixels * 16, "rngs");
    tp_.allocate(n * sizeof(float), "tp");
    rad_.allocate(n * sizeof(float), "rad");
    params_.allocate(sizeof(LaunchParams), "params");
    buffer_pixels_ = num_pixels;
    buffer_bands_ = num_bands;
}

void Simulator::free_buffers() {
    film_.reset();
    hits_.reset();
    rngs_.reset();
    tp_.reset();
    rad_.reset();
    params_.reset();
    buffer_pixels_ = -1;
    buffer_bands_ = -1;
}

std::size_t Simulator::buffer_bytes_(int num_pixels, int num_bands) {
    const std::size_t pixels = static_cast<std::size_t>(num_pixels);
    const std::size_t n = pixels * static_cast<std::size_t>(num_bands);
    return 3 * n * sizeof(float) + pixels * (64 + 16) + sizeof(LaunchParams);
}

void Simulator::check_buffers_fit_(int num_pixels, int num_bands) const {
    if (num_pixels == buffer_pixels_ && num_bands == buffer_bands_) return;
    const std::size_t need = buffer_bytes_(num_pixels, num_bands);
    std::size_t available = context_.free_vram_mb() << 20;
    if (buffer_pixels_ >= 0) available += buffer_bytes_(buffer_pixels_, buffer_bands_);  // freed first
    if (need <= available) return;
    std::ostringstream os;
    os << "simulate: the image buffers of " << num_pixels << " pixels x " << num_bands << " bands need " << need
       << " bytes, but the device has " << (available >> 20) << " MiB free";
    throw std::runtime_error(os.str());
}

// ---- teardown -----------------------------------------------------------------------

void Simulator::destroy_family_(PipelineFamily& family) noexcept {
    if (family.pipeline) (void)optix_api().pipeline_destroy(family.pipeline);
    family.pipeline = nullptr;
    for (optix::OptixProgramGroup g : family.groups)
        if (g) (void)optix_api().program_group_destroy(g);
    family.groups.clear();
    for (optix::OptixModule m : family.modules)
        if (m) (void)optix_api().module_destroy(m);
    family.modules.clear();
}

void Simulator::cleanup() {
    main_sbt_.reset();
    eb_sbt_.reset();
    eb_mb_raygen_.reset();
    eb_mb_sbt_ = optix::OptixShaderBindingTable{};
    free_buffers();
    // Forward, flux and LiDAR modes.
    for (DeviceBuffer* b : {&fwd_grid_, &fwd_layers_, &fwd_leaf_, &fwd_leaf_off_, &fwd_terrain_, &fwd_brf_dirs_,
                            &fwd_brf_, &fwd_albedo_, &fwd_raygen_, &flux_down_, &flux_up_, &flux_raygen_,
                            &lidar_raygen_})
        b->reset();
    free_mw_buffers();
    free_eb_buffers_();

    destroy_family_(eb_mb_);
    destroy_family_(eb_);
    // Main family, with the LiDAR group and module after their peers.
    if (lidar_group_) main_.groups.push_back(lidar_group_);
    if (lidar_module_) main_.modules.push_back(lidar_module_);
    lidar_group_ = nullptr;
    lidar_module_ = nullptr;
    destroy_family_(main_);
    mw_sbt_.reset();
    destroy_family_(mw_);

    initialised_ = mw_ready_ = eb_ready_ = eb_mb_ready_ = false;
}

// ---- backward rendering ------------------------------------------------------------

std::vector<float> Simulator::simulate(SceneManager& scene, int spp, int max_depth,
                                       const ProgressCallback& progress, RunRange rows) {
    if (!scene.is_built()) throw std::runtime_error("Scene not built. Call scene.build() first.");
    if (!initialised_) init();
    check_scene_for_gpu_backward(scene);

    const SceneData scene_data = scene.get_scene_data();
    const uint32_t width = static_cast<uint32_t>(scene_data.sensor.width);
    const auto row_span = resolve_run_range(rows, scene_data.sensor.height, "simulate", "row", "the sensor's");
    // The launch covers the band of rows; the whole image unless a part was asked for.
    const uint32_t height = static_cast<uint32_t>(row_span.second - row_span.first);
    const int num_pixels = static_cast<int>(width * height);
    const int num_bands = scene_data.num_bands;

    // The film comes back into host memory, and the buffers must fit on the device.
    require_memory(double(num_pixels) * double(num_bands) * sizeof(float), "simulate: the image");
    check_buffers_fit_(num_pixels, num_bands);
    build_sbt(scene);
    allocate_buffers(num_pixels, num_bands);
    film_.clear("film zero");

    LaunchParams lp;
    std::memset(&lp, 0, sizeof(lp));
    lp.film = film_.ptr();
    lp.width = width;
    lp.height = height;
    lp.scene = scene_data;
    lp.hits = hits_.ptr();
    lp.rngs = rngs_.ptr();
    lp.num_pixels = static_cast<uint32_t>(num_pixels);
    lp.num_bands = static_cast<uint32_t>(num_bands);
    lp.tp = tp_.ptr();
    lp.rad = rad_.ptr();
    lp.max_depth = max_depth;
    lp.rr_depth = 3;
    lp.spp = spp;
    lp.first_row = static_cast<int32_t>(row_span.first);

    const auto start = std::chrono::system_clock::now();
    auto elapsed_ms = [&start]() {
        const auto ns =
            std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now() - start).count();
        return static_cast<float>(static_cast<double>(ns) / 1e6);
    };
    for (int pass = 0; pass < spp; ++pass) {
        lp.pass = pass;
        lp.pass_index = pass;
        params_.upload(&lp, sizeof(lp), "params");
        check_optix(optix_api().launch(main_.pipeline, context_.stream(), params_.ptr(), sizeof(LaunchParams),
                                       &main_sbt_.sbt, width, height, 1),
                    "launch");
        check_cuda(cudaDeviceSynchronize(), "sync");
        if (progress) progress(pass + 1, spp, elapsed_ms());
    }
    const float total_ms = elapsed_ms();
    std::cerr << "Simulate: " << width << "x" << height << " x " << num_bands << " bands x " << spp
              << " spp = " << total_ms << " ms (" << total_ms / static_cast<float>(spp) << " ms/spp)" << std::endl;

    std::vector<float> result(static_cast<std::size_t>(num_pixels) * static_cast<std::size_t>(num_bands), 0.0f);
    film_.download(result.data(), result.size() * sizeof(float), "download");
    return result;
}

}  // namespace norvi
