#include "gpu/emulation/emu_state.h"

#include <cstdio>
#include <cstdlib>

#include "gpu/emulation/emu_control.h"

namespace norvi::emu {

void State::reset() {
    devices.clear();
    devices.push_back(Device{"NORVI Emulated GPU", 8ull << 30, 6ull << 30, 8, 6});
    current_device = -1;
    last_error = 0;
    for (const void* s : streams) delete static_cast<const char*>(s);
    streams.clear();
    granted_abis = {118, 105};
    reset_optix_objects();
    for (const auto& a : allocations) std::free(reinterpret_cast<void*>(a.first));
    allocations.clear();
    live_bytes = 0;
    last_fault.clear();
    for (auto& c : optix_contexts) delete static_cast<const char*>(c.first);
    optix_contexts.clear();
    context_created = false;
    last_context = OptixContextRecord{};
    call_counts.clear();
    armed.clear();
    trace.clear();
    trace_text.clear();
}

int State::enter(const std::string& call, const std::string& detail) {
    const int n = ++call_counts[call];
    trace.push_back(detail.empty() ? call : call + " " + detail);
    auto it = armed.find(call);
    if (it == armed.end()) return 0;
    for (auto f = it->second.begin(); f != it->second.end(); ++f) {
        if (f->first == n) {
            const int code = f->second;
            it->second.erase(f);
            return code;
        }
    }
    return 0;
}

bool State::in_device_range(std::uintptr_t address, std::size_t bytes) const {
    auto it = allocations.upper_bound(address);
    if (it == allocations.begin()) return false;
    --it;
    return address - it->first <= it->second && bytes <= it->second - (address - it->first);
}

void State::fault(const std::string& what) {
    last_fault = what;
    std::fprintf(stderr, "[emulated GPU] %s\n", what.c_str());
}

State& state() {
    static State* s = [] {
        auto* st = new State();  // never destroyed: calls may come during process exit
        st->reset();
        return st;
    }();
    return *s;
}

}  // namespace norvi::emu

using norvi::emu::state;

extern "C" {

void norvi_emu_reset(void) {
    std::lock_guard<std::mutex> lock(state().mutex);
    state().reset();
}

void norvi_emu_clear_devices(void) {
    std::lock_guard<std::mutex> lock(state().mutex);
    state().devices.clear();
    state().current_device = -1;
}

int norvi_emu_add_device(const char* name, unsigned long long total_bytes, unsigned long long free_bytes,
                         int cc_major, int cc_minor) {
    std::lock_guard<std::mutex> lock(state().mutex);
    state().devices.push_back(
        norvi::emu::Device{name ? name : "", total_bytes, free_bytes, cc_major, cc_minor});
    return static_cast<int>(state().devices.size()) - 1;
}

int norvi_emu_current_device(void) {
    std::lock_guard<std::mutex> lock(state().mutex);
    return state().current_device;
}

void norvi_emu_fail_call(const char* call, int nth, int code) {
    if (!call || nth < 1) return;
    std::lock_guard<std::mutex> lock(state().mutex);
    auto& s = state();
    s.armed[call].emplace_back(s.call_counts[call] + nth, code);
}

int norvi_emu_call_count(const char* call) {
    std::lock_guard<std::mutex> lock(state().mutex);
    auto it = state().call_counts.find(call ? call : "");
    return it == state().call_counts.end() ? 0 : it->second;
}

const char* norvi_emu_trace(void) {
    std::lock_guard<std::mutex> lock(state().mutex);
    auto& s = state();
    s.trace_text.clear();
    for (const auto& line : s.trace) s.trace_text += line + "\n";
    return s.trace_text.c_str();
}

int norvi_emu_live_allocations(void) {
    std::lock_guard<std::mutex> lock(state().mutex);
    return static_cast<int>(state().allocations.size());
}

unsigned long long norvi_emu_live_bytes(void) {
    std::lock_guard<std::mutex> lock(state().mutex);
    return state().live_bytes;
}

const char* norvi_emu_last_fault(void) {
    std::lock_guard<std::mutex> lock(state().mutex);
    return state().last_fault.c_str();
}

int norvi_emu_live_streams(void) {
    std::lock_guard<std::mutex> lock(state().mutex);
    return static_cast<int>(state().streams.size());
}

int norvi_emu_optix_live_contexts(void) {
    std::lock_guard<std::mutex> lock(state().mutex);
    return static_cast<int>(state().optix_contexts.size());
}

void norvi_emu_optix_grant_abis(int first, int second) {
    std::lock_guard<std::mutex> lock(state().mutex);
    state().granted_abis.clear();
    for (int abi : {first, second})
        if (abi != 0) state().granted_abis.push_back(abi);
}

int norvi_emu_optix_log(unsigned int level, const char* tag, const char* message) {
    std::vector<norvi::emu::OptixContextRecord> targets;
    {
        std::lock_guard<std::mutex> lock(state().mutex);
        for (const auto& c : state().optix_contexts)
            if (c.second.callback && level <= static_cast<unsigned int>(c.second.callback_level))
                targets.push_back(c.second);
    }
    // Called without the lock held: a callback may call back into the platform.
    for (const auto& t : targets) t.callback(level, tag, message, t.callback_data);
    return static_cast<int>(targets.size());
}

int norvi_emu_optix_last_context_options(int* log_level, unsigned int* validation_mode, int* has_callback,
                                         int* has_callback_data) {
    std::lock_guard<std::mutex> lock(state().mutex);
    const auto& s = state();
    if (!s.context_created) return 0;
    if (log_level) *log_level = s.last_context.callback_level;
    if (validation_mode) *validation_mode = s.last_context.validation_mode;
    if (has_callback) *has_callback = s.last_context.callback != nullptr;
    if (has_callback_data) *has_callback_data = s.last_context.callback_data != nullptr;
    return 1;
}

}  // extern "C"
