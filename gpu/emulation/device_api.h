#pragma once
// What the host build of a device program sees of the emulated GPU: the
// state of the program running on this thread, and the trace call.
//
// The host half of gpu/programs/optix_device.h reads the current frame for
// every OptiX device call and calls norvi_emu_device_trace for optixTrace.
// One frame exists per running program (ray generation, then one more for
// each closest-hit or miss program that a trace runs), so a trace inside a
// closest-hit program has its own payload and hit state, and the caller's
// frame is back in place when the trace returns.

#ifdef __cplusplus
extern "C" {
#endif

enum NorviEmuProgramKind { NORVI_EMU_RAYGEN = 1, NORVI_EMU_MISS = 2, NORVI_EMU_CLOSESTHIT = 3 };

struct NorviEmuFrame {
    int kind;                      // NorviEmuProgramKind
    unsigned long long sbt_data;   // record address + 32
    unsigned int* payload;         // the trace's payload registers (null in ray generation)
    unsigned int payload_count;
    float world_origin[3];
    float world_direction[3];
    float tmin;
    float tmax;                    // in closest-hit: t of the hit
    unsigned int ray_flags;
    unsigned int visibility_mask;
    // Closest-hit only.
    unsigned int primitive_index;
    unsigned int instance_index;
    unsigned int instance_id;
    unsigned int sbt_gas_index;
    unsigned int hit_kind;         // 0xFE front face, 0xFF back face
    float barycentrics[2];
    float object_to_world[12];     // 3x4 row-major
    float world_to_object[12];     // 3x4 row-major
    unsigned long long gas_handle;
};

struct NorviEmuThread {
    unsigned int launch_index[3];
    unsigned int launch_dimensions[3];
    struct NorviEmuFrame* frame;  // the running program's frame
};

// State of the launch worker this thread is (null outside a launch).
struct NorviEmuThread* norvi_emu_device_thread(void);

// optixTrace: traverses `handle`, then runs the closest-hit or miss program
// the SBT selects, with `payload` as its registers.
void norvi_emu_device_trace(unsigned long long handle, const float origin[3], const float direction[3], float tmin,
                            float tmax, float time, unsigned int visibility_mask, unsigned int ray_flags,
                            unsigned int sbt_offset, unsigned int sbt_stride, unsigned int miss_index,
                            unsigned int payload_count, unsigned int* payload);

// Stops the launch with a launch failure and this message (a device call used
// where OptiX does not allow it, such as a hit-state read in a miss program).
void norvi_emu_device_fault(const char* what);

#ifdef __cplusplus
}
#endif
