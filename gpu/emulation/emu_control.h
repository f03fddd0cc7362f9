#pragma once
// Control surface of the platform emulation (test builds only).
//
// libnorvi_platform_emu.so stands in for the CUDA runtime (the cuda* calls
// our GPU code makes) and, through a stand-in libnvoptix.so.1 that forwards
// to it, for the OptiX driver's function table. Production code is linked
// against the real runtime and opens the real driver library; test programs
// link this library instead and configure it through these C functions
// (C, so Python tests can reach them through ctypes as well).
//
// The emulated platform is one process-wide machine. norvi_emu_reset() puts
// it back to its initial state: one device named "NORVI Emulated GPU" with
// 8 GiB of memory (6 GiB free), compute capability 8.6, no device selected,
// no streams or OptiX contexts, no failures armed, and an OptiX driver that
// grants ABI 118 and ABI 105.

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

void norvi_emu_reset(void);

// Devices. add_device returns the new ordinal.
void norvi_emu_clear_devices(void);
int norvi_emu_add_device(const char* name, unsigned long long total_bytes, unsigned long long free_bytes,
                         int cc_major, int cc_minor);
// Ordinal chosen by the last successful cudaSetDevice, -1 before any.
int norvi_emu_current_device(void);

// Failure injection by call name ("cudaSetDevice", "cudaStreamCreate",
// "optixQueryFunctionTable", "optixDeviceContextCreate", ...): the nth next
// call of that name (1 = the very next) fails with `code` and does nothing
// else. Several failures may be armed at once.
void norvi_emu_fail_call(const char* call, int nth, int code);

// Calls made since the last reset: how many of one name, and all of them in
// order, one per line ("optixQueryFunctionTable 118 480"). The text stays
// valid until the next call into the emulation.
int norvi_emu_call_count(const char* call);
const char* norvi_emu_trace(void);

// Live handles.
int norvi_emu_live_streams(void);
// Device memory: allocations not yet freed, and their bytes. A simulator or
// scene that released everything leaves both where they were before it.
int norvi_emu_live_allocations(void);
unsigned long long norvi_emu_live_bytes(void);
// What the last refused device operation did wrong ("cudaFree: ... is not a
// live allocation", a launch's out-of-range SBT index ...); "" when none.
// Each fault is also written to stderr, as a memory checker would report it.
const char* norvi_emu_last_fault(void);
// Live OptiX objects of each kind: "accel", "module", "program group", "pipeline".
int norvi_emu_optix_live_objects(const char* kind);
int norvi_emu_optix_live_contexts(void);

// OptiX driver: the ABI versions it grants (0 = none); any other ABI is
// answered with OPTIX_ERROR_UNSUPPORTED_ABI_VERSION.
void norvi_emu_optix_grant_abis(int first, int second);

// Delivers one log message to every live OptiX context whose callback level
// admits it (level <= callback level), as the driver would during a build or
// compile. Returns the number of callbacks made.
int norvi_emu_optix_log(unsigned int level, const char* tag, const char* message);

// The options the most recent optixDeviceContextCreate received. Returns 0
// when no context was created since the reset.
int norvi_emu_optix_last_context_options(int* log_level, unsigned int* validation_mode, int* has_callback,
                                         int* has_callback_data);

// optixQueryFunctionTable of the emulated driver (libnvoptix.so.1 forwards here).
int norvi_emu_optix_query_function_table(int abi, unsigned int num_options, int* option_keys,
                                         const void** option_values, void* table, size_t table_bytes);

#ifdef __cplusplus
}
#endif
