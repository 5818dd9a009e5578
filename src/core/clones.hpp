// Functions compiled twice, for AVX2 and for the baseline x86-64, the
// version picked at load time by the CPU (GCC's target_clones).
//
// ThreadSanitizer instruments those load-time resolvers, which run before
// its runtime is ready: such builds keep the baseline only, as do builds
// defining TW_NO_VECTOR_CLONES (the kernel check builds both ways) and
// builds for other processors.
#pragma once

#if defined(__x86_64__) && !defined(__SANITIZE_THREAD__) && !defined(TW_NO_VECTOR_CLONES)
#define TW_VECTOR_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define TW_VECTOR_CLONES
#endif
