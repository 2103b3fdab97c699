// Whether the SIMD paths are compiled. Each has a scalar twin beside it, which
// SEMV_NO_SIMD (the CMake option SEMV_SIMD=OFF) forces, so that both are built
// and tested on every machine.
#pragma once

#if defined(__SSE2__) && !defined(SEMV_NO_SIMD)
#define SEMV_SSE2 1
#include <emmintrin.h>
#else
#define SEMV_SSE2 0
#endif
