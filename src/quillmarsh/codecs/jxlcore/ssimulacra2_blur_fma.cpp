// The inner loops of SSIMULACRA 2 (ssimulacra2_kernels.h) built for x86-64
// CPUs with AVX2 and FMA; ssimulacra2_blur.cpp calls them on such CPUs.
// Implicit contraction stays off: the only fused operations are the ones the
// kernels ask for, as in the reference tool.
#if defined(__x86_64__) && defined(__GNUC__)

#include "jxlcore/ssimulacra2_internal.h"

#include <immintrin.h>

#pragma GCC push_options
#pragma GCC target("avx2,fma")
#pragma GCC optimize("fp-contract=off")

#define QM_SSIM2_NS fma
#define QM_SSIM2_FMA 1
#include "jxlcore/ssimulacra2_kernels.h"

#pragma GCC pop_options

#endif
