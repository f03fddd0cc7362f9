#pragma once
// What a device program needs to compile as plain C++ (g++) for the emulated
// GPU: the CUDA keywords, the CUDA vector types and their make_ functions,
// the bit-cast and fast-math intrinsics and atomicAdd on float and double.
// Included by the host half of optix_device.h; nvcc never reads it.
//
// Each module is built into its own shared object, loaded the way the
// driver loads a module: entry functions (__global__) and the launch
// parameter variable (__constant__) are exported by name, everything else
// stays private to the module, so two modules may define helpers of the same
// name. Declare the launch record as a definition, inside braces:
//     extern "C" { __constant__ LaunchParams params; }
// (`extern "C" __constant__ LaunchParams params;` only declares it).

#if defined(__CUDACC__)
#error "gpu/programs/host_compat.h is for the host build of the device programs"
#endif

#include <cuda_runtime_api.h>  // vector types; with g++ the CUDA keywords expand to nothing
#include <vector_functions.h>

#include <cmath>
#include <cstdint>
#include <cstring>

#undef __global__
#undef __constant__
#define __global__ __attribute__((visibility("default")))
#define __constant__ __attribute__((visibility("default")))

// Bit casts between float and 32-bit integers.
inline float __uint_as_float(unsigned int v) {
    float f;
    std::memcpy(&f, &v, sizeof f);
    return f;
}
inline unsigned int __float_as_uint(float f) {
    unsigned int v;
    std::memcpy(&v, &f, sizeof v);
    return v;
}
inline float __int_as_float(int v) {
    float f;
    std::memcpy(&f, &v, sizeof f);
    return f;
}
inline int __float_as_int(float f) {
    int v;
    std::memcpy(&v, &f, sizeof v);
    return v;
}

// Fast-math intrinsics: the exact functions (the device versions are
// approximations within a few ulp).
inline float __expf(float x) { return std::exp(x); }
inline float __logf(float x) { return std::log(x); }
inline float __powf(float x, float y) { return std::pow(x, y); }
inline float __sinf(float x) { return std::sin(x); }
inline float __cosf(float x) { return std::cos(x); }
inline float __fdividef(float x, float y) { return x / y; }
inline float __saturatef(float x) { return x < 0.0f ? 0.0f : (x > 1.0f ? 1.0f : x); }
inline float rsqrtf(float x) { return 1.0f / std::sqrt(x); }

// atomicAdd: returns the old value, as on the device.
inline int atomicAdd(int* address, int value) { return __atomic_fetch_add(address, value, __ATOMIC_RELAXED); }
inline unsigned int atomicAdd(unsigned int* address, unsigned int value) {
    return __atomic_fetch_add(address, value, __ATOMIC_RELAXED);
}
inline unsigned long long atomicAdd(unsigned long long* address, unsigned long long value) {
    return __atomic_fetch_add(address, value, __ATOMIC_RELAXED);
}
// Floating point: a compare-and-swap loop on the bits.
inline float atomicAdd(float* address, float value) {
    auto* bits = reinterpret_cast<unsigned int*>(address);
    unsigned int old = __atomic_load_n(bits, __ATOMIC_RELAXED);
    while (!__atomic_compare_exchange_n(bits, &old, __float_as_uint(__uint_as_float(old) + value), true,
                                        __ATOMIC_RELAXED, __ATOMIC_RELAXED)) {
    }
    return __uint_as_float(old);
}
inline double atomicAdd(double* address, double value) {
    auto* bits = reinterpret_cast<unsigned long long*>(address);
    unsigned long long old = __atomic_load_n(bits, __ATOMIC_RELAXED);
    for (;;) {
        double current, next;
        std::memcpy(&current, &old, sizeof current);
        next = current + value;
        unsigned long long desired;
        std::memcpy(&desired, &next, sizeof desired);
        if (__atomic_compare_exchange_n(bits, &old, desired, true, __ATOMIC_RELAXED, __ATOMIC_RELAXED))
            return current;
    }
}
