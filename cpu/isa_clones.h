#pragma once
// NORVI_ISA_CLONES marks a function that the compiler builds twice, for AVX2
// and for plain x86-64, the copy picked once when the library loads, with
// everything it calls inlined into each copy. The photon engines put it on
// their per-photon function: the per-band loops are runs of doubles that AVX2
// takes four at a time. AVX2 alone does not enable fused multiply-adds, so
// both copies round alike and give the same bits.

#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__) && defined(__linux__)
#define NORVI_ISA_CLONES __attribute__((target_clones("avx2", "default"), flatten))
#else
#define NORVI_ISA_CLONES
#endif
