// Population model: the genotype tables, the initial population, one generation of
// reproduction with migration, mutation, and the samples.
//
// Genotype records: unpacked (NumAllele >= 3) one signed byte per gene copy, allele 1..NumAllele,
// copy 1 then copy 2 of each locus; packed (NumAllele == 2) one 2-bit code per locus, four loci
// per byte, locus 4m+f in bits 2f..2f+1 of byte m: 1 and 2 homozygotes, 3 heterozygote. Code or
// allele 0 means missing and occurs only in the samples after genotyping errors.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>

#include "params/params.hpp"
#include "random/random.hpp"

namespace driftsim {

// Genotype code of locus L (counted from 0) of a packed record.
inline uint32_t GetCode(const uint8_t* rec, int64_t L) {
  return (rec[L >> 2] >> (2 * (L & 3))) & 3u;
}

// Writes the code of locus L, leaving the other three fields of the byte as they are.
inline void SetCode(uint8_t* rec, int64_t L, uint32_t code) {
  const int shift = static_cast<int>(2 * (L & 3));
  rec[L >> 2] = static_cast<uint8_t>((rec[L >> 2] & ~(3u << shift)) | (code << shift));
}

// Bytes of one packed or unpacked record.
inline int64_t GenoBytesOf(int32_t NumLoci, bool packed) {
  return packed ? (int64_t{NumLoci} - 1) / 4 + 1 : 2 * int64_t{NumLoci};
}

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};

// The three tables of a run. Owned by the simulation state for the whole run.
struct Tables {
  bool Packed = false;
  int64_t GenoBytes = 0;
  int32_t Ne = 0;
  // Largest total of table bytes to request; 0 means the machine's physical memory. A request
  // beyond it fails at once instead of being killed later when its pages are touched.
  uint64_t MemoryLimit = 0;
  uint64_t Allocated = 0;

  // Unpacked: allele frequencies, allele index fastest. Packed: the cumulative Hardy-Weinberg
  // probabilities of codes 1 and 2 of each locus.
  std::unique_ptr<float[], FreeDeleter> AlleleFreq;
  // Both generation buffers in one block: buffer b, individual j at (b*Ne + j) * GenoBytes.
  std::unique_ptr<uint8_t[], FreeDeleter> FocalPop;
  // Sampled individuals: source sample, sample 1, sample 2.
  std::unique_ptr<uint8_t[], FreeDeleter> SmplGeno;

  // Record of individual j (from 0) of generation buffer b; of sampled individual k (from 0).
  uint8_t* Focal(int b, int64_t j) const {
    return FocalPop.get() + (int64_t{b} * Ne + j) * GenoBytes;
  }
  uint8_t* Sample(int64_t k) const { return SmplGeno.get() + k * GenoBytes; }
};

// Everything a run holds: parameters, random streams, tables; one instance per run.
struct SimState {
  explicit SimState(Params p) : par(std::move(p)), rnd(par.IDUM, par.RanBitSeed) {}
  SimState(const SimState&) = delete;
  SimState& operator=(const SimState&) = delete;

  Params par;
  Random rnd;
  Tables tab;
};

// Allocates the tables, draws the allele frequencies and the initial population (buffer 0).
void Initialize(SimState& sim);

// Allocation stages, each ending the run with the out-of-memory message when it fails.
void AllocateFreqTable(SimState& sim);
void AllocateGenoTables(SimState& sim);

// One generation: migrants and offspring of buffer 1-Parity written into buffer Parity.
void Reproduce(SimState& sim, int Parity);

// Poisson numbers of K-allele mutations per locus on buffer Parity.
void Mutate(SimState& sim, int Parity);

// Temporal sample SampleNo (1 or 2): new offspring of parents from buffer Parity.
void TakeSample(SimState& sim, int SampleNo, int Parity);

// Source sample, drawn from the allele frequencies (migration model only).
void TakeSourceSample(SimState& sim);

// Code paths of the hot loops (transmission and batches of uniform draws): the portable one,
// and vector ones chosen from the CPU's features at run time (AVX2 with BMI2; AVX-512 with BW,
// VBMI, BITALG and GFNI, which also uses the AVX2 code where it has no code of its own). Every
// path gives the same bytes.
enum class Kernel { kPortable, kAvx2, kAvx512 };
Kernel BestKernel();
// The path in use; tests set it to compare paths.
Kernel& KernelSetting();
inline Kernel ActiveKernel() {
  return KernelSetting();
}

// First sampled record (from 0) of sample s (0 source, 1, 2).
inline int64_t SampleStart(const Params& par, int s) {
  return s == kSourceSample ? 0
         : s == kSample1    ? par.NumIndiv[0]
                            : par.NumIndiv[0] + par.NumIndiv[1];
}

}  // namespace driftsim
