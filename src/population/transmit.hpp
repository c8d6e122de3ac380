// Mendelian transmission: the parents of the offspring of a step and the genes they pass on.
// Internal to the population subsystem.
//
// A step's offspring come in families: blocks of kBlockSize made together, locus by locus
// across the members, then single offspring. The parents of all of them are drawn first, in
// stream order, and the first random bit of every family is known before any is made (a fixed
// count per family for unpacked records, the heterozygous fields of its parents for packed
// ones), so any range of families can be made on its own, on any thread, with the same bytes.
#pragma once

#include <cstdint>
#include <vector>

#include "population/population.hpp"

namespace driftsim {

class ParentPicker;

// Largest number of offspring made in one pass over the loci.
inline constexpr int kBlockSize = 10;

// The parents and records of up to kBlockSize offspring made together.
struct Family {
  int n = 0;
  const uint8_t* p1[kBlockSize];
  const uint8_t* p2[kBlockSize];
  uint8_t* child[kBlockSize];
  int32_t* hets = nullptr;  // heterozygous fields of each child, when kept (packed)
};

// The plan of a step's offspring: their parents, and where each family's bits start.
struct Brood {
  RecordSpan parents;
  RecordSpan offspring;
  int64_t blocks = 0;  // families of kBlockSize first, then one per offspring left
  int64_t families = 0;
  const int32_t* parent = nullptr;      // per offspring: first and second parent, from 0
  const uint64_t* bitStart = nullptr;   // per family, and the step's total at [families]
  BitStream start{};                    // the bit stream before the step
  BitCycle::Stream cycle{};             // the same stream in the table
  std::vector<int32_t> parentStore;     // what parent points into
  std::vector<uint64_t> bitStartStore;  // what bitStart points into

  Brood() = default;
  Brood(Brood&&) = default;  // a moved vector keeps its storage: the pointers stay valid
  Brood(const Brood&) = delete;
  Brood& operator=(const Brood&) = delete;

  int64_t FirstOffspring(int64_t f) const {
    return f < blocks ? f * kBlockSize : blocks * kBlockSize + (f - blocks);
  }
  int Size(int64_t f) const { return f < blocks ? kBlockSize : 1; }
};

// Draws both parents of every record of offspring from parents (2 draws each, in record order)
// and lays out the families: blocks full blocks first. Advances uniform past the draws and bits
// past every bit the brood takes.
Brood PlanBrood(const RunContext& ctx, const Geometry& geo, const ParentPicker& picker,
                RecordSpan offspring, int64_t blocks, RngState& uniform, BitStream& bits);

// Makes families [f0, f1) of a planned brood; safe beside other ranges of the same brood.
void MakeFamilies(const KernelTable& kernels, const Geometry& geo, const Brood& brood, int64_t f0,
                  int64_t f1);

// Families per task when a brood is split over threads: a few hundred kilobytes of offspring.
int64_t FamiliesPerTask(const RunContext& ctx, const Brood& brood);

// The pieces, by representation. Unpacked: all loci, locus by locus, every member taking its
// bits from stream (a fixed number, stream advanced past them).
void TransmitUnpacked(const KernelTable& kernels, const Family& fam, int64_t NumLoci,
                      BitStream& stream);
// Packed, with bits from the table from draw t on (t advanced past the bits taken): whole bytes
// [0, nbytes) of a block, byte by byte; loci [L0, L1) of a block field by field; and all loci of
// one offspring, locus by locus.
void TransmitPackedBytes(const KernelTable& kernels, const Family& fam, int64_t nbytes,
                         BitCycle::Stream bits, uint64_t& t);
void TransmitPackedFields(const Family& fam, int64_t L0, int64_t L1, BitCycle::Stream bits,
                          uint64_t& t);
void TransmitPackedSingle(const KernelTable& kernels, const Family& fam, int64_t NumLoci,
                          BitCycle::Stream bits, uint64_t& t);

}  // namespace driftsim
