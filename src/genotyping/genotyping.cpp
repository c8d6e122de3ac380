// Genotyping errors on the samples: dropout, false alleles, missing data, each its own pass.
#include "genotyping/genotyping.hpp"

#include <vector>

namespace driftsim {

namespace {

// Rates of at most this much (single precision) switch their pass off entirely: no draws.
constexpr float kMinRate = 1e-5f;

// What every pass works on: the sampled records, their loci and the run's streams.
//
// The passes visit the genotypes record by record, locus by locus. Records are split over
// threads: a record's first uniform draw follows from the draws of the records before it (a
// fixed number per genotype, or one per heterozygote, counted first), and its first random
// bit from the bits they take, which a first sweep over the draws counts; a second sweep then
// makes the errors with the bits read from the table of the bit stream.
struct Pass {
  const RunContext& ctx;
  RecordSpan samples;
  int64_t NumLoci;
  bool packed;
  Random& rnd;

  // Whether genotype L of a record is heterozygous.
  bool Heterozygous(const uint8_t* rec, int64_t L) const {
    return packed ? PackedCode(rec, L) == 3 : rec[2 * L] != rec[2 * L + 1];
  }
  uint64_t Genotypes() const { return uint64_t(samples.count) * uint64_t(NumLoci); }

  // Calls visit(record, k) for every record k on the pool's threads.
  template <typename Visit>
  void EachRecord(Visit visit) const {
    ParallelFor(ctx, samples.count, [&](int64_t k, int) { visit(samples[k], k); });
  }
};

// Running totals of a count per record: entry k is the total of records 0..k-1.
void ToStarts(std::vector<uint64_t>& counts) {
  uint64_t total = 0;
  for (uint64_t& c : counts) {
    const uint64_t n = c;
    c = total;
    total += n;
  }
}

// The random bits of the table at draw t of the stream.
inline uint32_t BitAt(BitCycle::Stream bits, uint64_t t) {
  const uint32_t p = bits.At(t);
  return (bits.bytes[p >> 3] >> (p & 7)) & 1u;
}

// A heterozygote loses one allele, chosen by a bit. Every test compares the double draw with
// the rate widened to double. Only heterozygotes draw.
void Dropout(const Pass& pass, double rate) {
  const int64_t n = pass.samples.count;
  std::vector<uint64_t> drawAt(size_t(n) + 1), bitAt(size_t(n) + 1);
  pass.EachRecord([&](const uint8_t* rec, int64_t k) {
    uint64_t hets = 0;
    if (pass.packed) {
      hets = uint64_t(CountHets(rec, pass.NumLoci));
    } else {
      for (int64_t L = 0; L < pass.NumLoci; ++L) hets += pass.Heterozygous(rec, L);
    }
    drawAt[size_t(k)] = hets;
  });
  ToStarts(drawAt);
  const UniformSplit split(pass.rnd.Uniform, drawAt[size_t(n)]);
  auto draws = [&](int64_t k) { return split.At(drawAt[size_t(k)]); };
  pass.EachRecord([&](const uint8_t*, int64_t k) {
    RngState s = draws(k);
    UniformDoubles u(pass.ctx.kernels.uniform, s, drawAt[size_t(k) + 1] - drawAt[size_t(k)]);
    uint64_t drops = 0;
    for (uint64_t i = drawAt[size_t(k)]; i < drawAt[size_t(k) + 1]; ++i) drops += u.Next() <= rate;
    bitAt[size_t(k)] = drops;
  });
  ToStarts(bitAt);
  const BitCycle::Stream bits = pass.rnd.Bits.Table();
  pass.EachRecord([&](uint8_t* rec, int64_t k) {
    RngState s = draws(k);
    UniformDoubles u(pass.ctx.kernels.uniform, s, drawAt[size_t(k) + 1] - drawAt[size_t(k)]);
    uint64_t t = bitAt[size_t(k)];
    for (int64_t L = 0; L < pass.NumLoci; ++L) {
      if (!pass.Heterozygous(rec, L) || u.Next() > rate) continue;
      const uint32_t b = BitAt(bits, t++);
      if (pass.packed) {
        SetPackedCode(rec, L, b + 1);
      } else {
        rec[2 * L] = rec[2 * L + 1] = rec[2 * L + b];
      }
    }
  });
  pass.rnd.Bits.Advance(bitAt[size_t(n)]);
}

// A gene copy is replaced by a random allele. Packed genotypes always take two draws and use a
// strict comparison; the replacement allele is a bit. Unpacked copies draw the new allele only
// when replaced, so their draws come one by one, in order, on one thread.
void FalseAlleles(const Pass& pass, int32_t K, double rate) {
  Random& rnd = pass.rnd;
  if (!pass.packed) {
    for (int64_t k = 0; k < pass.samples.count; ++k) {
      // One thread walks every record: a cancelled run stops within one record, far less than
      // a generation's work.
      pass.ctx.CheckCancel();
      uint8_t* rec = pass.samples[k];
      for (int64_t L = 0; L < pass.NumLoci; ++L) {
        for (int c = 0; c < 2; ++c) {
          if (rnd.RanUniform() <= rate) {
            rec[2 * L + c] = static_cast<uint8_t>(DrawIndex(rnd.RanUniform(), K));
          }
        }
      }
    }
    return;
  }
  const int64_t n = pass.samples.count;
  const uint64_t perRecord = 2 * uint64_t(pass.NumLoci);
  std::vector<uint64_t> bitAt(size_t(n) + 1);
  const UniformSplit split(rnd.Uniform, uint64_t(n) * perRecord);
  auto draws = [&](int64_t k) { return split.At(uint64_t(k) * perRecord); };
  pass.EachRecord([&](const uint8_t*, int64_t k) {
    RngState s = draws(k);
    UniformDoubles u(pass.ctx.kernels.uniform, s, perRecord);
    uint64_t replaced = 0;
    for (uint64_t i = 0; i < perRecord; ++i) replaced += u.Next() < rate;
    bitAt[size_t(k)] = replaced;
  });
  ToStarts(bitAt);
  const BitCycle::Stream bits = rnd.Bits.Table();
  pass.EachRecord([&](uint8_t* rec, int64_t k) {
    RngState s = draws(k);
    UniformDoubles u(pass.ctx.kernels.uniform, s, perRecord);
    uint64_t t = bitAt[size_t(k)];
    for (int64_t L = 0; L < pass.NumLoci; ++L) {
      const double u1 = u.Next();
      const double u2 = u.Next();
      if (!(u1 < rate) && !(u2 < rate)) continue;
      const uint32_t code = PackedCode(rec, L);
      uint32_t a1 = code == 3 ? 1 : code;
      uint32_t a2 = code == 3 ? 2 : code;
      if (u1 < rate) a1 = BitAt(bits, t++) + 1;
      if (u2 < rate) a2 = BitAt(bits, t++) + 1;
      const uint32_t next = a1 == a2 ? a1 : 3;
      if (next != code) SetPackedCode(rec, L, next);
    }
  });
  rnd.Bits.Advance(bitAt[size_t(n)]);
}

// Both alleles of a genotype become missing.
void MissingData(const Pass& pass, double rate) {
  const uint64_t perRecord = uint64_t(pass.NumLoci);
  const UniformSplit split(pass.rnd.Uniform, pass.Genotypes());
  pass.EachRecord([&](uint8_t* rec, int64_t k) {
    RngState s = split.At(uint64_t(k) * perRecord);
    UniformDoubles u(pass.ctx.kernels.uniform, s, perRecord);
    for (int64_t L = 0; L < pass.NumLoci; ++L) {
      if (u.Next() > rate) continue;
      if (pass.packed) {
        SetPackedCode(rec, L, 0);
      } else {
        rec[2 * L] = rec[2 * L + 1] = 0;
      }
    }
  });
}

}  // namespace

void AddGenoErrors(const RunContext& ctx, const Geometry& geo, const GenoErrorRates& rates,
                   RecordSpan samples, Random& rnd) {
  const Pass pass{ctx, samples, geo.NumLoci, geo.Packed(), rnd};
  if (rates.DropRate > kMinRate) Dropout(pass, rates.DropRate);
  if (rates.FalseRate > kMinRate) FalseAlleles(pass, geo.NumAllele, rates.FalseRate);
  if (rates.MisRate > kMinRate) MissingData(pass, rates.MisRate);
}

}  // namespace driftsim
