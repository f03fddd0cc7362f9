#pragma once
// Marks a function as callable from host code and from CUDA device code.
// Under nvcc it expands to __host__ __device__; a plain C++ compiler sees nothing,
// so the CPU engines and the GPU device programs share one copy of each formula.
#if defined(__CUDACC__)
#define NORVI_HD __host__ __device__ __forceinline__
#else
#define NORVI_HD inline
#endif
