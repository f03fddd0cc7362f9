#pragma once
// Launch record and per-ray result of the emulated-GPU test programs
// (emu_test_programs.cu), shared by nvcc, the host build and the test.

#include <vector_types.h>

namespace norvi::test {

struct EmuTestParams {
    unsigned long long handle;
    unsigned long long rays;  // 6 floats per ray: origin, direction
    unsigned long long hits;  // EmuHit per ray
    float tmin;
    float tmax;
    unsigned int mask;
    unsigned int flags;
    unsigned int sbt_offset;
    unsigned int sbt_stride;
    unsigned int miss_index;
    unsigned int pad;
};

struct EmuHit {
    unsigned int payload0;  // the record tag of the program that ran last, 0xDEAD when none ran
    unsigned int payload1;
    float t;
    unsigned int primitive;
    unsigned int instance_index;
    unsigned int instance_id;
    float u;
    float v;
    unsigned int back_face;
    ::float3 world_point;  // object origin in world space
    ::float3 hit_point;    // origin + t direction
};

}  // namespace norvi::test
