// The one include of the files of vector routines (src/rows/). Built natively, the routines are
// compiled for their row's instructions and live in namespace driftsim::native; built with
// DRIFTSIM_EMULATE, the same source is compiled against SIMD Everywhere's portable versions of
// the intrinsics, with no target, into driftsim::emulated: the test rows "avx2-emulated" and so
// on, which run on any processor (arm64 too) and must give the native rows' bytes.
#pragma once

#if defined(DRIFTSIM_EMULATE)
#define SIMDE_ENABLE_NATIVE_ALIASES
#include <simde/x86/avx512.h>
#include <simde/x86/gfni.h>

#include "cpu/emulated.hpp"
#define DRIFTSIM_VECTOR_ROWS 1
#define DRIFTSIM_ROWS_NS emulated
#define DRIFTSIM_TARGET(features)
#elif defined(__x86_64__)
#include <immintrin.h>
#define DRIFTSIM_VECTOR_ROWS 1
#define DRIFTSIM_ROWS_NS native
// A routine's target attribute: each row's file (src/rows/) spells its row's once.
#define DRIFTSIM_TARGET(features) __attribute__((target(features)))
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
