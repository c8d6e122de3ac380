// The one include of the files of vector routines (*_avx2.cpp, *_avx512.cpp). Each x86 row's
// target attribute is spelled here once. Built natively, the routines are compiled for their
// row's instructions and live in namespace driftsim::native; built with DRIFTSIM_EMULATE, the
// same source is compiled against SIMD Everywhere's portable versions of the intrinsics, with no
// target, into driftsim::emulated: the test rows "avx2-emulated" and so on, which run on any
// processor (arm64 too) and must give the native rows' bytes.
#pragma once

#if defined(DRIFTSIM_EMULATE)
#define SIMDE_ENABLE_NATIVE_ALIASES
#include <simde/x86/avx512.h>
#include <simde/x86/gfni.h>

#include "cpu/emulated.hpp"
#define DRIFTSIM_VECTOR_ROWS 1
#define DRIFTSIM_ROWS_NS emulated
#define DRIFTSIM_TARGET_AVX2
#define DRIFTSIM_TARGET_AVX2_PDEP
#define DRIFTSIM_TARGET_AVX512
#elif defined(__x86_64__)
#include <immintrin.h>
#define DRIFTSIM_VECTOR_ROWS 1
#define DRIFTSIM_ROWS_NS native
// Each routine carries its row's attribute instead of the file being built with -mavx2 and the
// like: the compiler may then use those instructions nowhere else (see transmit_avx2.cpp).
#define DRIFTSIM_TARGET_AVX2 __attribute__((target("avx2,popcnt")))
#define DRIFTSIM_TARGET_AVX2_PDEP __attribute__((target("avx2,bmi2,popcnt")))
#define DRIFTSIM_TARGET_AVX512                                                   \
  __attribute__((                                                                \
      target("avx2,avx512f,avx512bw,avx512vl,avx512vbmi,avx512bitalg,gfni,bmi2," \
             "popcnt")))
#else
#define DRIFTSIM_VECTOR_ROWS 0
#define DRIFTSIM_ROWS_NS native
#endif

// x86 vector code starts from deliberately undefined vectors (the intrinsics' conversions),
// which GCC 12 reports as maybe uninitialised: such code sits between these two.
#if defined(__GNUC__) && !defined(__clang__)
#define DRIFTSIM_VECTOR_CODE_BEGIN                                                           \
  _Pragma("GCC diagnostic push") _Pragma("GCC diagnostic ignored \"-Wmaybe-uninitialized\"") \
      _Pragma("GCC diagnostic ignored \"-Wuninitialized\"")
#define DRIFTSIM_VECTOR_CODE_END _Pragma("GCC diagnostic pop")
#else
#define DRIFTSIM_VECTOR_CODE_BEGIN
#define DRIFTSIM_VECTOR_CODE_END
#endif
