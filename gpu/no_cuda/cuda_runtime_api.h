#pragma once
// Stand-in for the CUDA runtime header in builds made without the CUDA
// toolkit: the few runtime calls of the GPU host code, each failing as on a
// machine without a device. No OptiXContext can be made in such a build
// (optix_context_stub.cpp), so none of them is reached; they only let the
// scene and simulator classes, which the module binds, compile unchanged.

#include <cstddef>

struct CUstream_st;
using cudaStream_t = CUstream_st*;

enum cudaError_t : int { cudaSuccess = 0, cudaErrorNoDevice = 100 };
enum cudaMemcpyKind : int {
    cudaMemcpyHostToHost = 0,
    cudaMemcpyHostToDevice = 1,
    cudaMemcpyDeviceToHost = 2,
    cudaMemcpyDeviceToDevice = 3
};

inline const char* cudaGetErrorString(cudaError_t) { return "no CUDA-capable device is detected"; }
inline cudaError_t cudaMalloc(void**, std::size_t) { return cudaErrorNoDevice; }
inline cudaError_t cudaFree(void*) { return cudaErrorNoDevice; }
inline cudaError_t cudaMemcpy(void*, const void*, std::size_t, cudaMemcpyKind) { return cudaErrorNoDevice; }
inline cudaError_t cudaMemcpyAsync(void*, const void*, std::size_t, cudaMemcpyKind, cudaStream_t) {
    return cudaErrorNoDevice;
}
inline cudaError_t cudaMemset(void*, int, std::size_t) { return cudaErrorNoDevice; }
inline cudaError_t cudaStreamSynchronize(cudaStream_t) { return cudaErrorNoDevice; }
inline cudaError_t cudaDeviceSynchronize() { return cudaErrorNoDevice; }
