// The kernel table: one row of routines per CPU path, filled once (population/kernels.cpp, above
// the routines) and called through by the steps, which never ask which path is active. The
// types are declared here only; each routine's contract is at its portable twin.
#pragma once

#include <cstddef>
#include <cstdint>

#include "cpu/cpu.hpp"

namespace driftsim {

struct Family;
struct PackedBlock;
struct RngState;
class CopyBits;

struct KernelTable {
  Kernel id;
  // Packed transmission: whole chunks of a block's bytes, whole chunks of one offspring's.
  int64_t (*packedBytes)(PackedBlock& r, int64_t b0, int64_t b1, const unsigned char* bits,
                         uint64_t& pos);
  int64_t (*singleBytes)(const uint8_t* p1, const uint8_t* p2, uint8_t* child, int64_t b0,
                         int64_t b1, const unsigned char* bits, uint64_t& pos, int64_t& hets);
  // Unpacked transmission: all loci of a family.
  void (*copyLoci)(const Family& fam, int64_t NumLoci, CopyBits& bits);
  // Uniform draws in batches (random.hpp's RanUniformBatch), for every step that draws many.
  void (*uniformDoubles)(RngState& s, double* out, size_t n);
  void (*uniformFloats)(RngState& s, float* out, size_t n);
  // Allele choices (population/alleles.hpp).
  void (*pickAlleles)(const float* cum, size_t entries, const float* u, uint8_t* out, size_t n);
  void (*pickPackedCodes)(const float* hw, const float* u, uint8_t* out, size_t n, int shift,
                          bool first);
  void (*packedBytesOfDraws)(const float* hw, const float* u, uint8_t* out, size_t count);
};

// The row of a path (every path has one; only those CanRun may be called).
const KernelTable& KernelRow(Kernel kernel);

// The row in use (ActiveKernel()'s).
inline const KernelTable& ActiveKernels() {
  return KernelRow(ActiveKernel());
}

}  // namespace driftsim
