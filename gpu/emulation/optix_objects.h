#pragma once
// The OptiX objects of the emulated driver: acceleration structures (Embree
// scenes over copies of the uploaded buffers), modules bound to the host
// build of our device programs, program groups and pipelines. Internal to
// the emulation; guarded by the state mutex except during a launch, when the
// host thread is blocked in optixLaunch and nothing changes.

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "gpu/optix/optix_types.h"
#include "scene/embree_api.h"

namespace norvi::emu {

using optix::CUdeviceptr;

// One triangle build input of a geometry acceleration structure.
struct TriangleInput {
    std::vector<float> vertices;           // xyz per vertex, object space
    std::vector<unsigned int> indices;     // three per triangle
    unsigned int sbt_record_base = 0;      // SBT records of the earlier build inputs
    std::vector<unsigned int> sbt_offsets;  // per triangle, empty with one record
    unsigned int primitive_index_offset = 0;
    unsigned int geometry_flags = 0;       // of SBT record 0 (culling is decided per input)
    RTCGeometry geometry = nullptr;
};

struct Gas {
    std::vector<TriangleInput> inputs;
    RTCScene scene = nullptr;
    bool allow_update = false;
    bool alive = true;  // false once its output buffer is freed or rebuilt
    ~Gas();
};

struct Instance {
    optix::OptixInstance record;
    float world_to_object[12];
    std::shared_ptr<Gas> child;  // null when the instance has no traversable
};

struct Ias {
    std::vector<Instance> instances;
    unsigned int common_mask = 0xFFu;  // bits every instance's visibility mask has
    RTCScene scene = nullptr;
    bool allow_update = false;
    bool alive = true;
    ~Ias();
};

// An acceleration structure; its traversable handle is its output address.
struct Accel {
    std::shared_ptr<Gas> gas;
    std::shared_ptr<Ias> ias;
    std::size_t output_bytes = 0;
    const void* context = nullptr;
};

using EntryFn = void (*)();

struct Module {
    const void* context = nullptr;
    std::map<std::string, EntryFn> entries;  // PTX entry name -> host build
    void* params = nullptr;                  // the launch-parameter variable of the host build, if declared
    std::size_t params_bytes = 0;            // its size as the PTX declares it
};

struct ProgramGroup {
    const void* context = nullptr;
    optix::OptixProgramGroupKind kind{};
    std::shared_ptr<Module> module;
    std::string entry;
    EntryFn fn = nullptr;  // null: a hit group without a closest-hit program
};

struct Pipeline {
    const void* context = nullptr;
    std::vector<std::shared_ptr<ProgramGroup>> groups;
    std::vector<std::shared_ptr<Module>> modules;  // every module of the groups, once
    unsigned int max_trace_depth = 0;
    unsigned int max_traversable_depth = 2;  // OptiX default for any traversable graph
};

struct Objects {
    RTCDevice device = nullptr;
    std::map<CUdeviceptr, Accel> accels;  // by output buffer address
    std::map<const void*, std::shared_ptr<Module>> modules;
    std::map<const void*, std::shared_ptr<ProgramGroup>> groups;
    std::map<const void*, std::shared_ptr<Pipeline>> pipelines;
};

Objects& objects();
RTCDevice embree_device();

// Destroys what a device context owns (optixDeviceContextDestroy).
void destroy_context_objects(const void* context);

// Entry points of the emulated function table (ABI-independent forms).
using namespace optix;

OptixResult accel_compute_memory_usage(OptixDeviceContext context, const OptixAccelBuildOptions* options,
                                       const OptixBuildInput* inputs, unsigned int count,
                                       OptixAccelBufferSizes* sizes);
OptixResult accel_build(OptixDeviceContext context, CUstream stream, const OptixAccelBuildOptions* options,
                        const OptixBuildInput* inputs, unsigned int count, CUdeviceptr temp,
                        std::size_t temp_bytes, CUdeviceptr output, std::size_t output_bytes,
                        OptixTraversableHandle* handle, const OptixAccelEmitDesc* emitted,
                        unsigned int num_emitted);

// The pipeline compile options both ABIs pass, reduced to what the emulation uses.
struct CompileOptions {
    int num_payload_values = 0;
    std::string params_name;  // empty: no launch parameters
    std::size_t params_bytes = 0;  // 9.1 only; 0 = not given
};

OptixResult module_create(OptixDeviceContext context, const CompileOptions* pipeline_options, const char* input,
                          std::size_t input_size, char* log, std::size_t* log_size, OptixModule* module);
OptixResult module_destroy(OptixModule module);
OptixResult program_group_create(OptixDeviceContext context, const OptixProgramGroupDesc* descs,
                                 unsigned int count, char* log, std::size_t* log_size,
                                 OptixProgramGroup* groups);
OptixResult program_group_destroy(OptixProgramGroup group);
OptixResult pipeline_create(OptixDeviceContext context, const OptixProgramGroup* groups, unsigned int count,
                            unsigned int max_trace_depth, unsigned int max_traversable_depth, char* log,
                            std::size_t* log_size, OptixPipeline* pipeline);
OptixResult pipeline_destroy(OptixPipeline pipeline);
OptixResult pipeline_set_stack_size(OptixPipeline pipeline, unsigned int dc_from_traversal,
                                    unsigned int dc_from_state, unsigned int continuation,
                                    unsigned int max_traversable_depth);
OptixResult sbt_record_pack_header(OptixProgramGroup group, void* header);
OptixResult launch(OptixPipeline pipeline, CUstream stream, CUdeviceptr params, std::size_t params_size,
                   const OptixShaderBindingTable* sbt, unsigned int width, unsigned int height,
                   unsigned int depth);

// The program group whose header the SBT record at `record` carries, if that
// group is one of `pipeline`'s; null otherwise.
const ProgramGroup* group_of_header(const Pipeline& pipeline, CUdeviceptr record);

// Writes `text` into an OptiX log argument pair (either may be null).
void write_log(const std::string& text, char* log, std::size_t* log_size);

}  // namespace norvi::emu
