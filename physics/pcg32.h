#pragma once
// PCG32 random number generator (64-bit state, XSH-RR output), with the
// reference seeding routine. One generator lives on a worker's stack per work
// item (pixel sample, photon, pulse) and is never shared between threads.

#include <cstdint>

#include "scene/host_device.h"

namespace norvi {

struct Pcg32 {
    static constexpr uint64_t kMultiplier = 6364136223846793005ULL;

    uint64_t state = 0x853c49e6748fea9bULL;
    uint64_t inc = 0xda3e39cb94b95bdbULL;  // always odd

    // Reference seeding: the stream is selected by initseq, the position by initstate.
    NORVI_HD void seed(uint64_t initstate, uint64_t initseq) {
        state = 0;
        inc = (initseq << 1u) | 1u;
        next_uint();
        state += initstate;
        next_uint();
    }

    // Next 32-bit output: a rotation of the xorshifted old state.
    NORVI_HD uint32_t next_uint() {
        const uint64_t old = state;
        state = old * kMultiplier + inc;
        const uint32_t xorshifted = static_cast<uint32_t>(((old >> 18u) ^ old) >> 27u);
        const uint32_t rot = static_cast<uint32_t>(old >> 59u);
        return (xorshifted >> rot) | (xorshifted << ((~rot + 1u) & 31u));
    }

    // Uniform float in [0, 1]. The conversion to float rounds, so the largest
    // outputs give exactly 1.0; consumers accept u = 1.
    NORVI_HD float next_float() { return static_cast<float>(next_uint()) * 2.3283064e-10f; }
};

}  // namespace norvi
