// optixLaunch and optixTrace of the emulated OptiX driver.
//
// A launch runs the host build of the ray-generation program once per launch
// index on every core (worker threads claim blocks of indices; each thread
// has its own program state, device_api.h). optixTrace traverses the handle
// with Embree and runs the closest-hit or miss program the SBT selects, by
// the rules of the OptiX programming guide:
//   hit-group record = instance sbtOffset + trace sbtOffset
//                      + trace sbtStride x SBT-GAS index,
//   miss record = trace missSBTIndex,
// each at its table base + index x stride, with the data pointer 32 bytes
// into the record. Where the driver's behaviour is undefined (a record index
// beyond the table, a stale or null traversable, a record of a group that is
// not in the pipeline, a trace deeper than maxTraceDepth, a hit-state read in
// a miss program) the emulation stops the launch with
// OPTIX_ERROR_LAUNCH_FAILURE and reports what happened (norvi_emu_last_fault,
// stderr). It is not faithful to the driver in these ways:
//   - TERMINATE_ON_FIRST_HIT with closest-hit enabled reports the closest
//     hit (the driver reports whichever it finds first; both are allowed);
//   - there are no any-hit, intersection, exception or callable programs;
//   - hits exactly at tmin or tmax and on shared edges follow Embree's
//     watertight rules, not the hardware's;
//   - ray time and motion are ignored.

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "gpu/emulation/device_api.h"
#include "gpu/emulation/emu_state.h"
#include "gpu/emulation/optix_objects.h"

namespace norvi::emu {

namespace {

constexpr unsigned int kRayCullBack = 16;
constexpr unsigned int kRayCullFront = 32;
constexpr unsigned int kRayDisableClosestHit = 8;
constexpr unsigned int kInstanceNoCulling = 1;
constexpr unsigned int kInstanceFlipFacing = 2;
constexpr unsigned int kGeometryNoCulling = 4;
constexpr unsigned int kHitFront = 0xFE;
constexpr unsigned int kHitBack = 0xFF;

struct DeviceFault : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct LaunchState {
    std::shared_ptr<Pipeline> pipeline;
    OptixShaderBindingTable sbt{};
    std::atomic<bool> stop{false};
    std::mutex error_mutex;
    std::string error;
};

thread_local NorviEmuThread t_thread{};
thread_local const LaunchState* t_launch = nullptr;
thread_local unsigned int t_depth = 0;

// Embree query context with the trace's state behind it, for the filter.
struct QueryContext {
#if defined(NORVI_EMBREE3)
    RTCIntersectContext base;
#else
    RTCRayQueryContext base;
#endif
    const Ias* ias = nullptr;
    unsigned int mask = 0;
    unsigned int ray_flags = 0;
    float direction[3] = {0, 0, 0};
    bool filtering = false;
};

std::string hex(unsigned long long v) {
    std::ostringstream out;
    out << "0x" << std::hex << v;
    return out.str();
}

[[noreturn]] void device_fault(const std::string& what) { throw DeviceFault(what); }

void linear(const float m[12], const float v[3], float out[3]) {
    for (int r = 0; r < 3; ++r) out[r] = m[4 * r] * v[0] + m[4 * r + 1] * v[1] + m[4 * r + 2] * v[2];
}

// Front face: the object-space face normal points back along the object ray.
bool front_facing(const TriangleInput& in, unsigned int prim, const float object_dir[3]) {
    const unsigned int* t = &in.indices[3 * std::size_t{prim}];
    const float* a = &in.vertices[3 * std::size_t{t[0]}];
    const float* b = &in.vertices[3 * std::size_t{t[1]}];
    const float* c = &in.vertices[3 * std::size_t{t[2]}];
    const float e1[3] = {b[0] - a[0], b[1] - a[1], b[2] - a[2]};
    const float e2[3] = {c[0] - a[0], c[1] - a[1], c[2] - a[2]};
    const float n[3] = {e1[1] * e2[2] - e1[2] * e2[1], e1[2] * e2[0] - e1[0] * e2[2], e1[0] * e2[1] - e1[1] * e2[0]};
    return n[0] * object_dir[0] + n[1] * object_dir[1] + n[2] * object_dir[2] < 0.0f;
}

constexpr float kIdentity[12] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0};

// Record address of entry `index` of a table, after checking the index.
CUdeviceptr record_at(CUdeviceptr base, unsigned int stride, unsigned int count, unsigned long long index,
                      const char* table) {
    if (index >= count)
        device_fault(std::string("optixTrace: ") + table + " record index " + std::to_string(index) +
                     " is beyond the table of " + std::to_string(count));
    return base + index * stride;
}

void run_program(const ProgramGroup& group, NorviEmuFrame& frame) {
    NorviEmuFrame* caller = t_thread.frame;
    t_thread.frame = &frame;
    ++t_depth;
    group.fn();
    --t_depth;
    t_thread.frame = caller;
}

}  // namespace

void embree_filter(const RTCFilterFunctionNArguments* args) {
    const auto* q = reinterpret_cast<const QueryContext*>(args->context);
    if (!q->filtering) return;
    const auto* in = static_cast<const TriangleInput*>(args->geometryUserPtr);
    for (unsigned int i = 0; i < args->N; ++i) {
        if (args->valid[i] == 0) continue;
        unsigned int flags = 0;
        const float* w2o = kIdentity;
        if (q->ias) {
            const Instance& inst = q->ias->instances[RTCHitN_instID(args->hit, args->N, i, 0)];
            if ((inst.record.visibilityMask & q->mask & 0xFFu) == 0) {
                args->valid[i] = 0;
                continue;
            }
            flags = inst.record.flags;
            w2o = inst.world_to_object;
        }
        if (!(q->ray_flags & (kRayCullBack | kRayCullFront)) || (flags & kInstanceNoCulling) ||
            (in->geometry_flags & kGeometryNoCulling))
            continue;
        float od[3];
        linear(w2o, q->direction, od);
        bool front = front_facing(*in, RTCHitN_primID(args->hit, args->N, i), od);
        if (flags & kInstanceFlipFacing) front = !front;
        if ((front && (q->ray_flags & kRayCullFront)) || (!front && (q->ray_flags & kRayCullBack)))
            args->valid[i] = 0;
    }
}

OptixResult launch(OptixPipeline pipeline, CUstream stream, CUdeviceptr params, std::size_t params_size,
                   const OptixShaderBindingTable* sbt, unsigned int width, unsigned int height,
                   unsigned int depth) {
    std::unique_lock<std::mutex> lock(state().mutex);
    if (OptixResult e = static_cast<OptixResult>(state().enter("optixLaunch"))) return e;
    auto& s = state();
    auto refuse = [&](const std::string& what) {
        s.fault("optixLaunch: " + what);
        return OPTIX_ERROR_INVALID_VALUE;
    };
    auto it = objects().pipelines.find(pipeline);
    if (it == objects().pipelines.end()) return refuse("unknown pipeline");
    if (stream && !s.streams.count(stream)) return refuse("unknown stream");
    if (!sbt) return refuse("no shader binding table");
    LaunchState L;
    L.pipeline = it->second;
    L.sbt = *sbt;
    auto table_ok = [&](CUdeviceptr base, unsigned int stride, unsigned int count) {
        if (count == 0) return true;
        return base % OPTIX_SBT_RECORD_ALIGNMENT == 0 && stride % OPTIX_SBT_RECORD_ALIGNMENT == 0 &&
               stride >= OPTIX_SBT_RECORD_HEADER_SIZE &&
               s.in_device_range(base, std::size_t{stride} * (count - 1) + OPTIX_SBT_RECORD_HEADER_SIZE);
    };
    if (!table_ok(sbt->raygenRecord, 32, 1) || sbt->raygenRecord == 0)
        return refuse("ray-generation record " + hex(sbt->raygenRecord) + " is not a 16-aligned device record");
    if (!table_ok(sbt->missRecordBase, sbt->missRecordStrideInBytes, sbt->missRecordCount))
        return refuse("miss records do not lie in device memory with a 16-byte multiple stride");
    if (!table_ok(sbt->hitgroupRecordBase, sbt->hitgroupRecordStrideInBytes, sbt->hitgroupRecordCount))
        return refuse("hit-group records do not lie in device memory with a 16-byte multiple stride");
    const ProgramGroup* raygen = group_of_header(*L.pipeline, sbt->raygenRecord);
    if (!raygen || raygen->kind != OPTIX_PROGRAM_GROUP_KIND_RAYGEN)
        return refuse("the ray-generation record holds no ray-generation group of this pipeline");
    if (params_size > 0) {
        if (!s.in_device_range(params, params_size))
            return refuse("launch parameters " + hex(params) + " + " + std::to_string(params_size) +
                          " bytes are not device memory");
        bool declared = false;
        for (const auto& m : L.pipeline->modules) {
            if (!m->params) continue;
            declared = true;
            if (params_size > m->params_bytes)
                return refuse(std::to_string(params_size) + " bytes of launch parameters exceed the " +
                              std::to_string(m->params_bytes) + "-byte variable of the modules");
        }
        if (!declared) return refuse("launch parameters given but no module declares the variable");
        // Every module of the pipeline sees the same record, as in one linked program.
        for (const auto& m : L.pipeline->modules) {
            if (!m->params) continue;
            std::memset(m->params, 0, m->params_bytes);
            std::memcpy(m->params, reinterpret_cast<const void*>(params), params_size);
        }
    }
    const unsigned long long items = 1ull * width * height * depth;
    if (items == 0) return OPTIX_SUCCESS;
    lock.unlock();  // the programs run without the platform lock; the host thread waits here

    std::atomic<unsigned long long> next{0};
    const unsigned long long block = 16;
    const EntryFn fn = raygen->fn;
    auto worker = [&]() {
        t_launch = &L;
        t_depth = 0;
        t_thread.launch_dimensions[0] = width;
        t_thread.launch_dimensions[1] = height;
        t_thread.launch_dimensions[2] = depth;
        while (!L.stop.load(std::memory_order_relaxed)) {
            const unsigned long long start = next.fetch_add(block);
            if (start >= items) break;
            const unsigned long long end = std::min(items, start + block);
            for (unsigned long long i = start; i < end && !L.stop.load(std::memory_order_relaxed); ++i) {
                t_thread.launch_index[0] = static_cast<unsigned int>(i % width);
                t_thread.launch_index[1] = static_cast<unsigned int>((i / width) % height);
                t_thread.launch_index[2] = static_cast<unsigned int>(i / (1ull * width * height));
                NorviEmuFrame frame{};
                frame.kind = NORVI_EMU_RAYGEN;
                frame.sbt_data = L.sbt.raygenRecord + OPTIX_SBT_RECORD_HEADER_SIZE;
                t_thread.frame = &frame;
                try {
                    fn();
                } catch (const std::exception& e) {
                    std::lock_guard<std::mutex> g(L.error_mutex);
                    if (L.error.empty()) L.error = e.what();
                    L.stop = true;
                } catch (...) {
                    std::lock_guard<std::mutex> g(L.error_mutex);
                    if (L.error.empty()) L.error = "a device program threw";
                    L.stop = true;
                }
                t_thread.frame = nullptr;
            }
        }
        t_launch = nullptr;
    };
    const unsigned long long cores = std::max(1u, std::thread::hardware_concurrency());
    const unsigned long long n = std::min(cores, (items + block - 1) / block);
    std::vector<std::thread> threads;
    for (unsigned long long k = 1; k < n; ++k) threads.emplace_back(worker);
    worker();
    for (auto& t : threads) t.join();

    if (L.error.empty()) return OPTIX_SUCCESS;
    lock.lock();
    s.fault("optixLaunch: " + L.error);
    return OPTIX_ERROR_LAUNCH_FAILURE;
}

}  // namespace norvi::emu

using namespace norvi::emu;

extern "C" NorviEmuThread* norvi_emu_device_thread(void) { return t_launch ? &t_thread : nullptr; }

extern "C" void norvi_emu_device_fault(const char* what) { device_fault(what ? what : "device fault"); }

extern "C" void norvi_emu_device_trace(unsigned long long handle, const float origin[3], const float direction[3],
                                       float tmin, float tmax, float /*time*/, unsigned int visibility_mask,
                                       unsigned int ray_flags, unsigned int sbt_offset, unsigned int sbt_stride,
                                       unsigned int miss_index, unsigned int payload_count, unsigned int* payload) {
    const LaunchState* L = t_launch;
    if (!L) device_fault("optixTrace called outside a launch");
    const Pipeline& pipeline = *L->pipeline;
    if (t_depth >= pipeline.max_trace_depth)
        device_fault("optixTrace: trace depth " + std::to_string(t_depth + 1) + " exceeds the pipeline's maxTraceDepth " +
                     std::to_string(pipeline.max_trace_depth));
    if (payload_count > 32) device_fault("optixTrace: more than 32 payload values");
    const auto& accels = objects().accels;
    auto found = accels.find(handle);
    if (found == accels.end())
        device_fault("optixTrace: traversable " + hex(handle) + " is not a live acceleration structure");
    const Accel& accel = found->second;
    if (accel.ias && pipeline.max_traversable_depth < 2)
        device_fault("optixTrace: an instance structure needs a traversable graph depth of 2, the pipeline allows " +
                     std::to_string(pipeline.max_traversable_depth));

    QueryContext q;
#if defined(NORVI_EMBREE3)
    rtcInitIntersectContext(&q.base);
#else
    rtcInitRayQueryContext(&q.base);
#endif
    q.ias = accel.ias.get();
    q.mask = visibility_mask;
    q.ray_flags = ray_flags;
    std::memcpy(q.direction, direction, sizeof(q.direction));
    q.filtering = (ray_flags & (kRayCullBack | kRayCullFront)) != 0 ||
                  (accel.ias && (accel.ias->common_mask & visibility_mask & 0xFFu) == 0);
    RTCScene scene = accel.ias ? accel.ias->scene : accel.gas->scene;

    RTCRayHit rh{};
    rh.ray.org_x = origin[0];
    rh.ray.org_y = origin[1];
    rh.ray.org_z = origin[2];
    rh.ray.dir_x = direction[0];
    rh.ray.dir_y = direction[1];
    rh.ray.dir_z = direction[2];
    rh.ray.tnear = tmin;
    rh.ray.tfar = tmax;
    rh.ray.mask = 0xFFFFFFFFu;
    rh.hit.geomID = RTC_INVALID_GEOMETRY_ID;
    rh.hit.instID[0] = RTC_INVALID_GEOMETRY_ID;

    NorviEmuFrame frame{};
    frame.payload = payload;
    frame.payload_count = payload_count;
    std::memcpy(frame.world_origin, origin, sizeof(frame.world_origin));
    std::memcpy(frame.world_direction, direction, sizeof(frame.world_direction));
    frame.tmin = tmin;
    frame.tmax = tmax;
    frame.ray_flags = ray_flags;
    frame.visibility_mask = visibility_mask;
    const OptixShaderBindingTable& sbt = L->sbt;

    bool hit = false;
    if (ray_flags & kRayDisableClosestHit) {
        // Only whether something is hit matters: any accepted hit ends the query.
#if defined(NORVI_EMBREE3)
        rtcOccluded1(scene, &q.base, &rh.ray);
#else
        RTCOccludedArguments args;
        rtcInitOccludedArguments(&args);
        args.context = &q.base;
        rtcOccluded1(scene, &rh.ray, &args);
#endif
        hit = rh.ray.tfar < 0.0f;  // Embree marks an occluded ray with tfar = -inf
        if (hit) return;           // no closest-hit program runs
    } else {
#if defined(NORVI_EMBREE3)
        rtcIntersect1(scene, &q.base, &rh);
#else
        RTCIntersectArguments args;
        rtcInitIntersectArguments(&args);
        args.context = &q.base;
        rtcIntersect1(scene, &rh, &args);
#endif
        hit = rh.hit.geomID != RTC_INVALID_GEOMETRY_ID;
    }

    if (!hit) {
        const CUdeviceptr record =
            record_at(sbt.missRecordBase, sbt.missRecordStrideInBytes, sbt.missRecordCount, miss_index, "miss");
        const ProgramGroup* g = group_of_header(pipeline, record);
        if (!g || g->kind != OPTIX_PROGRAM_GROUP_KIND_MISS)
            device_fault("optixTrace: miss record " + std::to_string(miss_index) +
                         " holds no miss group of this pipeline");
        frame.kind = NORVI_EMU_MISS;
        frame.sbt_data = record + OPTIX_SBT_RECORD_HEADER_SIZE;
        run_program(*g, frame);
        return;
    }

    const Instance* inst = nullptr;
    const Gas* gas = accel.gas.get();
    unsigned int instance_index = 0;
    if (accel.ias) {
        instance_index = rh.hit.instID[0];
        inst = &accel.ias->instances[instance_index];
        if (!inst->child->alive)
            device_fault("optixTrace: instance " + std::to_string(instance_index) +
                         " names a geometry structure that was freed or rebuilt after the instance structure was built");
        gas = inst->child.get();
    }
    const TriangleInput& in = gas->inputs[rh.hit.geomID];
    const unsigned int prim = rh.hit.primID;
    const unsigned int gas_index = in.sbt_record_base + (in.sbt_offsets.empty() ? 0u : in.sbt_offsets[prim]);
    const unsigned long long index =
        (inst ? inst->record.sbtOffset : 0ull) + sbt_offset + 1ull * sbt_stride * gas_index;
    const CUdeviceptr record =
        record_at(sbt.hitgroupRecordBase, sbt.hitgroupRecordStrideInBytes, sbt.hitgroupRecordCount, index, "hit-group");
    const ProgramGroup* g = group_of_header(pipeline, record);
    if (!g || g->kind != OPTIX_PROGRAM_GROUP_KIND_HITGROUP)
        device_fault("optixTrace: hit-group record " + std::to_string(index) + " holds no hit group of this pipeline");
    if (!g->fn) return;  // a hit group without a closest-hit program

    frame.kind = NORVI_EMU_CLOSESTHIT;
    frame.sbt_data = record + OPTIX_SBT_RECORD_HEADER_SIZE;
    frame.tmax = rh.ray.tfar;
    frame.primitive_index = prim + in.primitive_index_offset;
    frame.instance_index = instance_index;
    frame.instance_id = inst ? inst->record.instanceId : 0u;
    frame.sbt_gas_index = gas_index;
    frame.barycentrics[0] = rh.hit.u;
    frame.barycentrics[1] = rh.hit.v;
    std::memcpy(frame.object_to_world, inst ? inst->record.transform : kIdentity, sizeof(frame.object_to_world));
    std::memcpy(frame.world_to_object, inst ? inst->world_to_object : kIdentity, sizeof(frame.world_to_object));
    frame.gas_handle = inst ? inst->record.traversableHandle : handle;
    float od[3];
    linear(frame.world_to_object, direction, od);
    bool front = front_facing(in, prim, od);
    if (inst && (inst->record.flags & kInstanceFlipFacing)) front = !front;
    frame.hit_kind = front ? kHitFront : kHitBack;
    run_program(*g, frame);
}
