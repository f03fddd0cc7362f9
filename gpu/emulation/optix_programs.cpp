// Modules, program groups, pipelines and SBT record headers of the emulated
// OptiX driver.
//
// optixModuleCreate reads the PTX text for what the driver would resolve:
// its `.entry` functions and the launch-parameter variable. It then binds
// the module to the host build of the same programs: every gpu/programs
// module is also compiled as C++ into a shared object `<module>.so` in the
// `programs` folder next to this library, and the module binds to the one
// that defines every entry the PTX defines (looked up by name, as the
// driver links by name). Nothing is compiled, so the compile options only
// matter where they change what the host code sees. The 32-byte record
// header that optixSbtRecordPackHeader writes names the program group; a
// launch refuses records of groups that are not in its pipeline.

#include <dlfcn.h>

#include <algorithm>
#include <cstring>
#include <dirent.h>
#include <mutex>
#include <regex>
#include <string>
#include <vector>

#include "gpu/emulation/device_api.h"
#include "gpu/emulation/emu_control.h"
#include "gpu/emulation/emu_state.h"
#include "gpu/emulation/optix_objects.h"

namespace norvi::emu {

namespace {

constexpr char kHeaderMagic[8] = {'N', 'O', 'R', 'V', 'I', 'P', 'G', 0};

OptixResult injected(const char* call) { return static_cast<OptixResult>(state().enter(call)); }

// The host builds of the programs, opened once and kept for the process.
std::vector<void*>& host_programs() {
    static std::vector<void*> handles;
    static bool scanned = false;
    if (scanned) return handles;
    scanned = true;
    Dl_info info{};
    if (!dladdr(reinterpret_cast<void*>(&norvi_emu_device_trace), &info) || !info.dli_fname) return handles;
    std::string dir = info.dli_fname;
    dir = dir.substr(0, dir.find_last_of('/') + 1) + "programs";
    if (DIR* d = opendir(dir.c_str())) {
        std::vector<std::string> names;
        while (dirent* e = readdir(d)) {
            const std::string name = e->d_name;
            if (name.size() > 3 && name.compare(name.size() - 3, 3, ".so") == 0) names.push_back(name);
        }
        closedir(d);
        for (const auto& name : names) {
            void* h = dlopen((dir + "/" + name).c_str(), RTLD_NOW | RTLD_LOCAL);
            if (h) handles.push_back(h);
            else state().fault(std::string("host programs: ") + dlerror());
        }
    }
    return handles;
}

bool is_context(OptixDeviceContext c) { return state().optix_contexts.count(c) != 0; }

}  // namespace

Objects& objects() {
    static Objects* o = new Objects();  // never destroyed: calls may come during process exit
    return *o;
}

void reset_optix_objects() {
    auto& o = objects();
    for (auto& a : o.accels) {
        if (a.second.gas) a.second.gas->alive = false;
        if (a.second.ias) a.second.ias->alive = false;
    }
    o.accels.clear();
    o.pipelines.clear();
    o.groups.clear();
    o.modules.clear();
}

void destroy_context_objects(const void* context) {
    auto& o = objects();
    auto drop = [context](auto& m) {
        for (auto it = m.begin(); it != m.end();) it = it->second->context == context ? m.erase(it) : std::next(it);
    };
    drop(o.pipelines);
    drop(o.groups);
    drop(o.modules);
    for (auto it = o.accels.begin(); it != o.accels.end();)
        it = it->second.context == context ? o.accels.erase(it) : std::next(it);
}

void write_log(const std::string& text, char* log, std::size_t* log_size) {
    if (!log || !log_size) return;
    const std::size_t capacity = *log_size;
    if (capacity > 0) {
        const std::size_t n = std::min(capacity - 1, text.size());
        std::memcpy(log, text.data(), n);
        log[n] = '\0';
    }
    *log_size = text.size() + 1;
}

OptixResult module_create(OptixDeviceContext context, const CompileOptions* pipeline_options, const char* input,
                          std::size_t input_size, char* log, std::size_t* log_size, OptixModule* module) {
    std::lock_guard<std::mutex> lock(state().mutex);
    if (OptixResult e = injected("optixModuleCreate")) return e;
    if (!is_context(context)) return OPTIX_ERROR_INVALID_DEVICE_CONTEXT;
    if (!pipeline_options || !input || !module) return OPTIX_ERROR_INVALID_VALUE;
    auto fail = [&](OptixResult code, const std::string& text) {
        write_log(text, log, log_size);
        state().fault("optixModuleCreate: " + text);
        return code;
    };
    // PTX ends at inputSize bytes or at the first NUL.
    const std::string ptx(input, strnlen(input, input_size));
    auto m = std::make_shared<Module>();
    m->context = context;
    static const std::regex entry_re(R"(\.entry\s+([A-Za-z_$][A-Za-z0-9_$]*))");
    std::vector<std::string> names;
    for (std::sregex_iterator it(ptx.begin(), ptx.end(), entry_re), end; it != end; ++it) names.push_back((*it)[1]);
    if (names.empty()) return fail(OPTIX_ERROR_INVALID_INPUT, "the PTX defines no entry function");
    void* so = nullptr;
    for (void* h : host_programs()) {
        bool all = true;
        for (const auto& n : names) all = all && dlsym(h, n.c_str()) != nullptr;
        if (all) {
            so = h;
            break;
        }
    }
    if (!so) return fail(OPTIX_ERROR_INVALID_INPUT, "no host build of the programs defines every entry of this PTX (" +
                                                        names.front() + ", ...)");
    for (const auto& n : names) m->entries[n] = reinterpret_cast<EntryFn>(dlsym(so, n.c_str()));
    const std::string& var = pipeline_options->params_name;
    if (!var.empty()) {
        const std::regex var_re("\\.const\\s+(?:\\.align\\s+\\d+\\s+)?\\.b8\\s+" + var + "\\[(\\d+)\\]");
        std::smatch match;
        if (std::regex_search(ptx, match, var_re)) {
            m->params_bytes = std::stoul(match[1]);
            m->params = dlsym(so, var.c_str());
            if (!m->params) return fail(OPTIX_ERROR_INVALID_INPUT, "the host build lacks the variable " + var);
            if (pipeline_options->params_bytes != 0 && pipeline_options->params_bytes != m->params_bytes)
                return fail(OPTIX_ERROR_INVALID_VALUE,
                            "pipelineLaunchParamsSizeInBytes " + std::to_string(pipeline_options->params_bytes) +
                                " differs from the " + std::to_string(m->params_bytes) + " bytes of " + var);
        }
    }
    write_log("", log, log_size);
    objects().modules[m.get()] = m;
    *module = reinterpret_cast<OptixModule>(m.get());
    return OPTIX_SUCCESS;
}

OptixResult module_destroy(OptixModule module) {
    std::lock_guard<std::mutex> lock(state().mutex);
    if (OptixResult e = injected("optixModuleDestroy")) return e;
    return objects().modules.erase(module) ? OPTIX_SUCCESS : OPTIX_ERROR_INVALID_VALUE;
}

OptixResult program_group_create(OptixDeviceContext context, const OptixProgramGroupDesc* descs,
                                 unsigned int count, char* log, std::size_t* log_size,
                                 OptixProgramGroup* groups) {
    std::lock_guard<std::mutex> lock(state().mutex);
    if (OptixResult e = injected("optixProgramGroupCreate")) return e;
    if (!is_context(context)) return OPTIX_ERROR_INVALID_DEVICE_CONTEXT;
    if (!descs || !groups || count == 0) return OPTIX_ERROR_INVALID_VALUE;
    auto& o = objects();
    std::vector<std::shared_ptr<ProgramGroup>> made;
    auto bind = [&](ProgramGroup& g, OptixModule module, const char* entry, const char* prefix) -> std::string {
        auto it = o.modules.find(module);
        if (it == o.modules.end()) return "unknown module";
        if (!entry) return "no entry function name";
        if (std::strncmp(entry, prefix, std::strlen(prefix)) != 0)
            return std::string("entry ") + entry + " lacks the semantic prefix " + prefix;
        auto e = it->second->entries.find(entry);
        if (e == it->second->entries.end()) return std::string("entry ") + entry + " is not defined in the module";
        g.module = it->second;
        g.entry = entry;
        g.fn = e->second;
        return std::string();
    };
    for (unsigned int k = 0; k < count; ++k) {
        const OptixProgramGroupDesc& d = descs[k];
        auto g = std::make_shared<ProgramGroup>();
        g->context = context;
        g->kind = d.kind;
        std::string error;
        OptixResult code = OPTIX_ERROR_INVALID_VALUE;
        if (d.kind == OPTIX_PROGRAM_GROUP_KIND_RAYGEN) {
            error = bind(*g, d.raygen.module, d.raygen.entryFunctionName, "__raygen__");
        } else if (d.kind == OPTIX_PROGRAM_GROUP_KIND_MISS) {
            error = bind(*g, d.miss.module, d.miss.entryFunctionName, "__miss__");
        } else if (d.kind == OPTIX_PROGRAM_GROUP_KIND_HITGROUP) {
            if (d.hitgroup.moduleAH || d.hitgroup.moduleIS || d.hitgroup.entryFunctionNameAH ||
                d.hitgroup.entryFunctionNameIS) {
                error = "any-hit and intersection programs are not emulated";
                code = OPTIX_ERROR_NOT_SUPPORTED;
            } else if (d.hitgroup.moduleCH) {
                error = bind(*g, d.hitgroup.moduleCH, d.hitgroup.entryFunctionNameCH, "__closesthit__");
            }
        } else {
            error = "only ray-generation, miss and hit-group program groups are emulated";
            code = OPTIX_ERROR_NOT_SUPPORTED;
        }
        if (!error.empty()) {
            write_log(error, log, log_size);
            state().fault("optixProgramGroupCreate: " + error);
            return code;  // `made` goes out of scope: nothing is left behind
        }
        made.push_back(g);
    }
    for (unsigned int k = 0; k < count; ++k) {
        o.groups[made[k].get()] = made[k];
        groups[k] = reinterpret_cast<OptixProgramGroup>(made[k].get());
    }
    write_log("", log, log_size);
    return OPTIX_SUCCESS;
}

OptixResult program_group_destroy(OptixProgramGroup group) {
    std::lock_guard<std::mutex> lock(state().mutex);
    if (OptixResult e = injected("optixProgramGroupDestroy")) return e;
    return objects().groups.erase(group) ? OPTIX_SUCCESS : OPTIX_ERROR_INVALID_VALUE;
}

OptixResult pipeline_create(OptixDeviceContext context, const OptixProgramGroup* groups, unsigned int count,
                            unsigned int max_trace_depth, unsigned int max_traversable_depth, char* log,
                            std::size_t* log_size, OptixPipeline* pipeline) {
    std::lock_guard<std::mutex> lock(state().mutex);
    if (OptixResult e = injected("optixPipelineCreate")) return e;
    if (!is_context(context)) return OPTIX_ERROR_INVALID_DEVICE_CONTEXT;
    if (!groups || !pipeline || count == 0) return OPTIX_ERROR_INVALID_VALUE;
    if (max_trace_depth > 31) return OPTIX_ERROR_INVALID_VALUE;
    auto p = std::make_shared<Pipeline>();
    p->context = context;
    p->max_trace_depth = max_trace_depth;
    if (max_traversable_depth != 0) p->max_traversable_depth = max_traversable_depth;
    auto& o = objects();
    for (unsigned int k = 0; k < count; ++k) {
        auto it = o.groups.find(groups[k]);
        if (it == o.groups.end()) {
            write_log("program group " + std::to_string(k) + " is not a live program group", log, log_size);
            return OPTIX_ERROR_INVALID_VALUE;
        }
        p->groups.push_back(it->second);
        const auto& m = it->second->module;
        if (m && std::find(p->modules.begin(), p->modules.end(), m) == p->modules.end()) p->modules.push_back(m);
    }
    write_log("", log, log_size);
    o.pipelines[p.get()] = p;
    *pipeline = reinterpret_cast<OptixPipeline>(p.get());
    return OPTIX_SUCCESS;
}

OptixResult pipeline_destroy(OptixPipeline pipeline) {
    std::lock_guard<std::mutex> lock(state().mutex);
    if (OptixResult e = injected("optixPipelineDestroy")) return e;
    return objects().pipelines.erase(pipeline) ? OPTIX_SUCCESS : OPTIX_ERROR_INVALID_VALUE;
}

OptixResult pipeline_set_stack_size(OptixPipeline pipeline, unsigned int, unsigned int, unsigned int,
                                    unsigned int max_traversable_depth) {
    std::lock_guard<std::mutex> lock(state().mutex);
    if (OptixResult e = injected("optixPipelineSetStackSize")) return e;
    auto it = objects().pipelines.find(pipeline);
    if (it == objects().pipelines.end()) return OPTIX_ERROR_INVALID_VALUE;
    // Stack sizes mean nothing on the host; the traversable depth is checked by traces.
    if (max_traversable_depth == 0) return OPTIX_ERROR_INVALID_VALUE;
    it->second->max_traversable_depth = max_traversable_depth;
    return OPTIX_SUCCESS;
}

OptixResult sbt_record_pack_header(OptixProgramGroup group, void* header) {
    std::lock_guard<std::mutex> lock(state().mutex);
    if (OptixResult e = injected("optixSbtRecordPackHeader")) return e;
    if (!header || !objects().groups.count(group)) return OPTIX_ERROR_INVALID_VALUE;
    auto* bytes = static_cast<unsigned char*>(header);
    std::memset(bytes, 0, OPTIX_SBT_RECORD_HEADER_SIZE);
    std::memcpy(bytes, kHeaderMagic, 8);
    std::memcpy(bytes + 8, &group, sizeof(group));
    return OPTIX_SUCCESS;
}

// The program group a record header names, if it is one of `pipeline`'s.
const ProgramGroup* group_of_header(const Pipeline& pipeline, CUdeviceptr record) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(record);
    if (std::memcmp(bytes, kHeaderMagic, 8) != 0) return nullptr;
    const void* g = nullptr;
    std::memcpy(&g, bytes + 8, sizeof(g));
    for (const auto& pg : pipeline.groups)
        if (pg.get() == g) return pg.get();
    return nullptr;
}

}  // namespace norvi::emu

extern "C" int norvi_emu_optix_live_objects(const char* kind) {
    using norvi::emu::objects;
    std::lock_guard<std::mutex> lock(norvi::emu::state().mutex);
    const std::string k = kind ? kind : "";
    if (k == "accel") return static_cast<int>(objects().accels.size());
    if (k == "module") return static_cast<int>(objects().modules.size());
    if (k == "program group") return static_cast<int>(objects().groups.size());
    if (k == "pipeline") return static_cast<int>(objects().pipelines.size());
    return -1;
}
