#pragma once
// The emulated machine behind emu_control.h: devices, streams, OptiX
// contexts, armed failures and the call trace. Internal to the emulation.
//
// Later additions (device memory, copies, acceleration structures, modules,
// pipelines, launches) get their own tables here and their own call files
// next to cuda_runtime_emu.cpp and optix_emu.cpp.

#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace norvi::emu {

struct Device {
    std::string name;
    std::uint64_t total_bytes = 0;
    std::uint64_t free_bytes = 0;
    int cc_major = 0;
    int cc_minor = 0;
};

using LogCallback = void (*)(unsigned int, const char*, const char*, void*);

struct OptixContextRecord {
    LogCallback callback = nullptr;
    void* callback_data = nullptr;
    int callback_level = 0;
    unsigned int validation_mode = 0;
};

struct State {
    std::mutex mutex;

    std::vector<Device> devices;
    int current_device = -1;
    int last_error = 0;  // cudaError_t of the last failed runtime call

    std::set<const void*> streams;

    std::vector<int> granted_abis;
    std::map<const void*, OptixContextRecord> optix_contexts;
    bool context_created = false;
    OptixContextRecord last_context;

    std::map<std::string, int> call_counts;
    std::map<std::string, std::vector<std::pair<int, int>>> armed;  // call -> (call number, code)
    std::vector<std::string> trace;
    std::string trace_text;

    void reset();
    // Counts and traces one call; returns the armed failure code or 0.
    int enter(const std::string& call, const std::string& detail = std::string());
};

State& state();

}  // namespace norvi::emu
