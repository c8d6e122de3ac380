#include "genotyping/genotyping.hpp"

namespace driftsim {

namespace {

// Rates of at most this much (single precision) switch their pass off entirely: no draws.
constexpr float kMinRate = 1e-5f;

// What every pass works on: the sampled records, their loci and the run's streams.
struct Pass {
  RecordSpan samples;
  int64_t NumLoci;
  bool packed;
  Random& rnd;

  // Calls visit(record, locus) for every locus of every sampled record, in storage order.
  template <typename Visit>
  void ForEachGenotype(Visit visit) const {
    for (int64_t k = 0; k < samples.count; ++k) {
      uint8_t* rec = samples[k];
      for (int64_t L = 0; L < NumLoci; ++L) visit(rec, L);
    }
  }
  // Whether genotype L of a record is heterozygous.
  bool Heterozygous(const uint8_t* rec, int64_t L) const {
    return packed ? PackedCode(rec, L) == 3 : rec[2 * L] != rec[2 * L + 1];
  }
  uint64_t Genotypes() const { return uint64_t(samples.count) * uint64_t(NumLoci); }
};

// A heterozygote loses one allele, chosen by a bit. Every test compares the double draw with
// the rate widened to double. Only heterozygotes draw, so they are counted first.
void Dropout(const Pass& pass, double rate) {
  uint64_t hets = 0;
  pass.ForEachGenotype([&](uint8_t* rec, int64_t L) { hets += pass.Heterozygous(rec, L); });
  UniformDoubles u(pass.rnd.Uniform, hets);
  pass.ForEachGenotype([&](uint8_t* rec, int64_t L) {
    if (!pass.Heterozygous(rec, L) || u.Next() > rate) return;
    const uint32_t b = pass.rnd.RanBit();
    if (pass.packed) {
      SetPackedCode(rec, L, b + 1);
    } else {
      rec[2 * L] = rec[2 * L + 1] = rec[2 * L + b];
    }
  });
}

// A gene copy is replaced by a random allele. Packed genotypes always take two draws and use a
// strict comparison; the replacement allele is a bit. Unpacked copies draw the new allele only
// when replaced, so their draws come one by one.
void FalseAlleles(const Pass& pass, int32_t K, double rate) {
  Random& rnd = pass.rnd;
  if (pass.packed) {
    UniformDoubles u(rnd.Uniform, 2 * pass.Genotypes());
    pass.ForEachGenotype([&](uint8_t* rec, int64_t L) {
      const double u1 = u.Next();
      const double u2 = u.Next();
      const uint32_t code = PackedCode(rec, L);
      uint32_t a1 = code == 3 ? 1 : code;
      uint32_t a2 = code == 3 ? 2 : code;
      if (u1 < rate) a1 = rnd.RanBit() + 1;
      if (u2 < rate) a2 = rnd.RanBit() + 1;
      const uint32_t next = a1 == a2 ? a1 : 3;
      if (next != code) SetPackedCode(rec, L, next);
    });
    return;
  }
  pass.ForEachGenotype([&](uint8_t* rec, int64_t L) {
    for (int c = 0; c < 2; ++c) {
      if (rnd.RanUniform() <= rate) {
        rec[2 * L + c] = static_cast<uint8_t>(DrawIndex(rnd.RanUniform(), K));
      }
    }
  });
}

// Both alleles of a genotype become missing.
void MissingData(const Pass& pass, double rate) {
  UniformDoubles u(pass.rnd.Uniform, pass.Genotypes());
  pass.ForEachGenotype([&](uint8_t* rec, int64_t L) {
    if (u.Next() > rate) return;
    if (pass.packed) {
      SetPackedCode(rec, L, 0);
    } else {
      rec[2 * L] = rec[2 * L + 1] = 0;
    }
  });
}

}  // namespace

void AddGenoErrors(const Params& par, RecordSpan samples, Random& rnd) {
  const Pass pass{samples, par.NumLoci, par.Packed(), rnd};
  if (par.DropRate > kMinRate) Dropout(pass, par.DropRate);
  if (par.FalseRate > kMinRate) FalseAlleles(pass, par.NumAllele, par.FalseRate);
  if (par.MisRate > kMinRate) MissingData(pass, par.MisRate);
}

}  // namespace driftsim
