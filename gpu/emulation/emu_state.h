#pragma once
// The emulated machine behind emu_control.h: devices, streams, OptiX
// contexts, armed failures and the call trace. Internal to the emulation.
//
// Device memory lives here too (allocations are host memory, so a device
// address is a host address the emulated programs dereference directly).
// The OptiX objects (acceleration structures, modules, program groups,
// pipelines) live in optix_objects.h and are guarded by the same mutex.

#include <cstddef>
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

    // Live device allocations: address -> size in bytes.
    std::map<std::uintptr_t, std::size_t> allocations;
    std::uint64_t live_bytes = 0;
    std::string last_fault;  // what the last refused memory operation or failed launch did wrong

    std::vector<int> granted_abis;
    std::map<const void*, OptixContextRecord> optix_contexts;
    bool context_created = false;
    OptixContextRecord last_context;

    std::map<std::string, int> call_counts;
    std::map<std::string, std::vector<std::pair<int, int>>> armed;  // call -> (call number, code)
    std::vector<std::string> trace;
    std::string trace_text;

    void reset();
    // True when [address, address + bytes) lies inside one live allocation.
    bool in_device_range(std::uintptr_t address, std::size_t bytes) const;
    // Records a fault (kept for norvi_emu_last_fault and written to stderr).
    void fault(const std::string& what);
    // Counts and traces one call; returns the armed failure code or 0.
    int enter(const std::string& call, const std::string& detail = std::string());
};

State& state();

// Frees the OptiX objects that live in device memory at `address` (an
// acceleration structure whose output buffer is freed), and every OptiX
// object at reset. Both are called with the state mutex held.
void on_device_free(std::uintptr_t address);
void reset_optix_objects();

}  // namespace norvi::emu
