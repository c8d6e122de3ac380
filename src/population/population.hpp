// Population model: the genotype tables, the initial population, one generation of
// reproduction with migration, mutation, and the samples.
//
// Genotype records (phased packed records under linkage: see GameteSegment): unpacked (NumAllele >=
// 3) one signed byte per gene copy, allele 1..NumAllele, copy 1 then copy 2 of each locus; packed
// (NumAllele == 2) one 2-bit code per locus, four loci per byte, locus 4m+f in bits 2f..2f+1 of
// byte m: 1 and 2 homozygotes, 3 heterozygote. Code or allele 0 means missing and occurs only in
// the samples after genotyping errors.
//
// Each step takes what it reads, what it writes and the streams it draws from; the run's state
// is the driver's.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/common.hpp"
#include "common/memory.hpp"
#include "description/description.hpp"
#include "population/context.hpp"
#include "random/random.hpp"

namespace driftsim {

// Genotype code of locus L (counted from 0) of a packed record.
inline uint32_t PackedCode(const uint8_t* rec, int64_t L) {
  return (rec[L >> 2] >> (2 * (L & 3))) & 3u;
}

// Writes the code of locus L, leaving the other three fields of the byte as they are.
inline void SetPackedCode(uint8_t* rec, int64_t L, uint32_t code) {
  const int shift = static_cast<int>(2 * (L & 3));
  rec[L >> 2] = static_cast<uint8_t>((rec[L >> 2] & ~(3u << shift)) | (code << shift));
}

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};

// count records of bytes each, from first: a generation buffer or a stretch of the samples.
struct RecordSpan {
  uint8_t* first = nullptr;
  int64_t count = 0;
  int64_t bytes = 0;
  // Packed generation buffers: the heterozygous fields of each record, kept up to date by every
  // step that writes the records, so that the next generation knows where each family's random
  // bits start without reading the records first. Null elsewhere.
  int32_t* hets = nullptr;

  uint8_t* operator[](int64_t j) const { return first + j * bytes; }
  // Records [from, from + n).
  RecordSpan Part(int64_t from, int64_t n) const {
    return {(*this)[from], n, bytes, hets ? hets + from : nullptr};
  }
};

// The three tables of a run. Owned by the driver's state for the whole run.
struct Tables {
  bool Packed = false;
  int64_t GenoBytes = 0;
  // Records of each generation buffer: the largest size of the run. A driver whose sizes change
  // sets it before Initialize; otherwise it is Ne. A generation of N individuals is held in the
  // first N records of its buffer.
  int32_t Ne = 0;
  // Largest total of table bytes to request; 0 means MemoryLimit(). A request beyond it fails at
  // once instead of being killed later when its pages are touched.
  uint64_t MemoryLimit = 0;
  // Bytes the run needs beside the tables (output buffers, staging): the tables must leave them.
  uint64_t Working = 0;
  uint64_t Allocated = 0;

  // Unpacked: allele frequencies, allele index fastest. Packed: the cumulative Hardy-Weinberg
  // probabilities of codes 1 and 2 of each locus.
  std::unique_ptr<float[], FreeDeleter> AlleleFreq;
  // Both generation buffers in one block: buffer b, individual j at (b*Ne + j) * GenoBytes.
  std::unique_ptr<uint8_t[], FreeDeleter> FocalPop;
  // Sampled individuals: source sample, sample 1, sample 2.
  std::unique_ptr<uint8_t[], FreeDeleter> SmplGeno;
  // Packed records: heterozygous fields of each record of FocalPop, buffer b at b*Ne + j.
  std::unique_ptr<int32_t[], FreeDeleter> HetCount;

  // Record of individual j (from 0) of generation buffer b; of sampled individual k (from 0).
  uint8_t* Focal(int b, int64_t j) const {
    return FocalPop.get() + (int64_t{b} * Ne + j) * GenoBytes;
  }
  uint8_t* Sample(int64_t k) const { return SmplGeno.get() + k * GenoBytes; }

  // Generation buffer b (0 or 1): all its records, or the first count of them; all sampled
  // records, source sample first.
  RecordSpan Generation(int b) const { return Generation(b, Ne); }
  RecordSpan Generation(int b, int64_t count) const {
    return {Focal(b, 0), count, GenoBytes, HetCount ? HetCount.get() + int64_t{b} * Ne : nullptr};
  }
  RecordSpan Samples(const Geometry& geo) const {
    return {SmplGeno.get(), geo.TotalSampled(), GenoBytes};
  }
};

// First sampled record (from 0) of sample s (0 source, 1, 2), and the records of sample s.
inline int64_t SampleStart(const Geometry& geo, int s) {
  return s == kSourceSample ? 0
         : s == kSample1    ? geo.NumIndiv[0]
                            : int64_t{geo.NumIndiv[0]} + geo.NumIndiv[1];
}
inline RecordSpan SampleRecords(const Geometry& geo, const Tables& tab, int s) {
  return tab.Samples(geo).Part(SampleStart(geo, s), geo.NumIndiv[s]);
}

// Allocates the tables, draws the allele frequencies and the initial population into
// generation buffer 0, from the uniform stream. FreqDist: 0 frequencies drawn, 1 all equal.
void Initialize(const RunContext& ctx, const Geometry& geo, int32_t FreqDist, Tables& tab,
                RngState& uniform, Progress& progress);

// Allocation stages, each ending the run with the out-of-memory message when it fails.
void AllocateFreqTable(const Geometry& geo, Tables& tab);
void AllocateGenoTables(const Geometry& geo, Tables& tab);

// Bytes of the three tables of a run, as Initialize requests them.
struct TableBytes {
  uint64_t AlleleFreq = 0;
  uint64_t FocalPop = 0;  // both generation buffers
  uint64_t SmplGeno = 0;
  uint64_t HetCount = 0;  // packed: heterozygous fields of each generation record
  uint64_t Total() const { return AlleleFreq + FocalPop + SmplGeno + HetCount; }
};
// Ne: records of each generation buffer, the run's largest size (0: geo.Ne).
TableBytes TableSizes(const Geometry& geo, int32_t Ne = 0);

// Stops, with the message Initialize would give, when the tables and extra bytes of working
// space do not fit in limit bytes.
void CheckTablesFit(const Geometry& geo, uint64_t limit, uint64_t extra, int32_t Ne = 0);

// One generation of offspring.count individuals from the parents.count of the previous one:
// Poisson migrants drawn from the source frequencies AlleleFreq at MigRate per individual (as
// MigrationRate gives it: 0 under isolation), then the offspring of parents, written into
// offspring. Below an NeRatio of 1 the parents' fecundities are drawn first and parents are
// chosen in proportion to them. alongside, when given, runs as one task beside the offspring's,
// after the last draw of reproduction: the next draws of rnd are its own (the next step's,
// drawn while the offspring are made).
void Reproduce(const RunContext& ctx, const Geometry& geo, float MigRate, const float* AlleleFreq,
               RecordSpan parents, RecordSpan offspring, Random& rnd, Progress& progress,
               double NeRatio = 1.0, const std::function<void()>& alongside = {});

// One K-allele mutation: the new allele a of gene copy g (copy k of individual j is
// 2(j-1) + k, both from 1) at locus L.
struct Mutation {
  int64_t L;
  int32_t g;
  int16_t a;
  int16_t hets;  // packed: change of the record's heterozygous fields, set when applied
};

// Draws the mutations of a generation of N individuals into drawn (its capacity kept from
// generation to generation): Poisson numbers per locus, mean 2 x N x MutationRate.
void DrawMutations(const RunContext& ctx, const Geometry& geo, int32_t N, Random& rnd,
                   float MutationRate, std::vector<Mutation>& drawn);

// Applies drawn mutations, in the order drawn, to the records of generation.
void ApplyMutations(const RunContext& ctx, const Geometry& geo, std::vector<Mutation>& drawn,
                    RecordSpan generation);

// DrawMutations then ApplyMutations.
void Mutate(const RunContext& ctx, const Geometry& geo, RecordSpan generation, Random& rnd,
            float MutationRate = kDefaultMutationRate);

// Heterozygous fields of a packed record among its NumLoci loci.
int32_t CountHets(const uint8_t* rec, int64_t NumLoci);

// Recounts the heterozygous fields of every record of a packed generation that keeps them.
void CountGenerationHets(const RunContext& ctx, const Geometry& geo, RecordSpan generation);

// A temporal sample: one new offspring of parents for each record of sample.
void TakeSample(const RunContext& ctx, const Geometry& geo, RecordSpan parents, RecordSpan sample,
                Random& rnd);

// The source sample, drawn from the allele frequencies (migration model only).
void TakeSourceSample(const RunContext& ctx, const Geometry& geo, const float* AlleleFreq,
                      RecordSpan sample, RngState& uniform);

// Linked loci (genetic_map.hpp). The records keep phase: unpacked, as always, allele of copy 1
// then copy 2; packed, bit 2f of a field the allele of copy 1 less one, bit 2f+1 that of copy 2,
// and codes are made only in the samples. Copy 1 is the gamete of the first parent drawn.

// A stretch of a gamete: loci up to End (from the previous segment's End, or 0) come from the
// parent's copy Copy (0 copy 1, 1 copy 2). Loci number at most 2^31 - 1: eight bytes a
// segment keep a large generation's plan small.
struct GameteSegment {
  int32_t End;
  uint32_t Copy;
};

// The draws of gametes, one after another, from a uniform stream that ends exactly after the
// last draw taken. Per chromosome, in map order: one draw U for the copy the gamete starts
// from (copy 1 when U <= 1/2), the Poisson number of crossovers with mean the chromosome's
// length in Morgans (single precision, PoissonDeviate's draws), then one draw per crossover,
// placed at U x length; the loci beyond a crossover take the other copy.
class GameteDraws {
 public:
  GameteDraws(const UniformRow& row, RngState& uniform, const GeneticMap& map);
  // Appends the gamete's segments, all loci in order, to out; returns its crossovers.
  int64_t Gamete(std::vector<GameteSegment>& out);

 private:
  UniformAhead u_;
  const GeneticMap& map_;
  std::vector<PoissonMemo> memo_;  // per chromosome
  std::vector<double> xs_;
};

// Gives the heterozygous fields of phased packed records a phase: one bit per locus of each
// record, record j taking bits [j x NumLoci, (j + 1) x NumLoci) of bits, which is advanced past
// all of them. Unpacked records, drawn copy by copy, have their phase already.
void PhaseRecords(const RunContext& ctx, const Geometry& geo, RecordSpan records, BitStream& bits);

// Turns phased packed records into genotype codes, in place (unpacked: nothing to do).
void PhasedToCodes(const RunContext& ctx, const Geometry& geo, RecordSpan records);

// Reproduce under linkage: fecundities below an NeRatio of 1, the migrants as Reproduce draws
// them, phased (PhaseRecords), then for the offspring born in the population two uniform draws
// each in record order, and their two gametes each (GameteDraws), offspring by offspring,
// parent 1's first. alongside as for Reproduce.
void ReproduceLinked(const RunContext& ctx, const Geometry& geo, const GeneticMap& map,
                     float MigRate, const float* AlleleFreq, RecordSpan parents,
                     RecordSpan offspring, Random& rnd, double NeRatio = 1.0,
                     const std::function<void()>& alongside = {});

// TakeSample under linkage: the draws of ReproduceLinked with uniform parents, and the sample's
// records turned into codes. phased, when given, receives the sample's phased records first
// (sample.count records of sample.bytes), for front ends that give genotypes in phase.
void TakeSampleLinked(const RunContext& ctx, const Geometry& geo, const GeneticMap& map,
                      RecordSpan parents, RecordSpan sample, Random& rnd,
                      uint8_t* phased = nullptr);

// Bytes of the plan of a linked generation of N offspring (ReproduceLinked, TakeSampleLinked),
// which a step holds while it makes them: two parents and two first segments per offspring, and
// per gamete one segment per chromosome and per crossover, as many as expected (the map's total
// length in Morgans), with the Poisson tables of the chromosomes.
uint64_t LinkedPlanBytes(const GeneticMap& map, int32_t N);

}  // namespace driftsim
