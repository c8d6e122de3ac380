// The kernel table: the routines of one CPU row (cpu/cpu.hpp names the rows and chooses one),
// filled from the portable routines and the vector ones by src/rows/, above the steps. Steps
// call through the row they were given; they never look it up nor ask which it is.
#pragma once

#include <cstddef>
#include <cstdint>

#include "cpu/cpu.hpp"
#include "random/random.hpp"

namespace driftsim {

struct Family;
struct PackedBlock;
class CopyBits;

// Each routine's contract is at its portable twin.
struct KernelTable {
  Kernel row = Kernel::kPortable;
  const char* Name() const { return KernelName(row); }

  // Packed transmission (transmit_kernels.hpp): whole chunks of a block's bytes, whole chunks
  // of one offspring's; each returns where it stopped.
  int64_t (*packedBytes)(PackedBlock& r, int64_t b0, int64_t b1, const unsigned char* bits,
                         uint64_t& pos) = nullptr;
  int64_t (*singleBytes)(const uint8_t* p1, const uint8_t* p2, uint8_t* child, int64_t b0,
                         int64_t b1, const unsigned char* bits, uint64_t& pos,
                         int64_t& hets) = nullptr;
  // Unpacked transmission: all loci of a family.
  void (*copyLoci)(const Family& fam, int64_t NumLoci, CopyBits& bits) = nullptr;
  // Uniform draws in batches (random/random.hpp, RanUniformBatch).
  UniformRow uniform;
  // Allele choices (alleles.hpp).
  void (*pickAlleles)(const float* cum, size_t entries, const float* u, uint8_t* out,
                      size_t n) = nullptr;
  void (*pickPackedCodes)(const float* hw, const float* u, uint8_t* out, size_t n, int shift,
                          bool first) = nullptr;
  void (*packedRecordsOfDraws)(const float* hw, const float* u, uint8_t* first, int64_t stride,
                               size_t count, size_t nbytes) = nullptr;
};

}  // namespace driftsim
