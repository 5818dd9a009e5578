// Functions compiled twice, for an instruction set extension and for the
// baseline x86-64, the version picked at load time by the CPU (GCC's
// target_clones): TW_VECTOR_CLONES for AVX2 (vector kernels), TW_POPCNT_CLONES
// for the popcount instruction.
//
// ThreadSanitizer instruments those load-time resolvers, which run before
// its runtime is ready: such builds keep the baseline only, as do builds for
// other processors and, for the vector kernels, builds defining
// TW_NO_VECTOR_CLONES (the kernel check builds both ways). The one kernel
// picked at load time by a processor check rather than a clone
// (split::byte_bit_list, which needs two AVX-512 extensions) has no resolver:
// only builds for other processors and those defining TW_NO_VECTOR_CLONES
// leave it out.
#pragma once

#if defined(__x86_64__) && !defined(__SANITIZE_THREAD__) && !defined(TW_NO_VECTOR_CLONES)
#define TW_VECTOR_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define TW_VECTOR_CLONES
#endif

#if defined(__x86_64__) && !defined(__SANITIZE_THREAD__)
#define TW_POPCNT_CLONES __attribute__((target_clones("popcnt", "default")))
#else
#define TW_POPCNT_CLONES
#endif
