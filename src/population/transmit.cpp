#include "population/transmit.hpp"

#include <array>
#include <vector>

namespace driftsim {

void BuildCumFreq(const float* freq, int32_t NumAllele, float* cum) {
  cum[0] = freq[0];
  for (int32_t k = 1; k < NumAllele - 1; ++k) cum[k] = cum[k - 1] + freq[k];
  cum[NumAllele - 1] = 1.1f;
}

void DrawSourceGenotypes(SimState& sim, uint8_t* first, int64_t count) {
  const Params& par = sim.par;
  const int64_t bytes = sim.tab.GenoBytes;
  const float* freq = sim.tab.AlleleFreq.get();
  RngState u = sim.rnd.Uniform;
  if (sim.tab.Packed) {
    for (int64_t L = 0; L < par.NumLoci; ++L) {
      const float* hw = freq + 2 * L;
      for (int64_t j = 0; j < count; ++j) {
        SetCode(first + j * bytes, L, PickCode(hw, static_cast<float>(u.RanUniform())));
      }
    }
  } else {
    std::vector<float> cum(static_cast<size_t>(par.NumAllele));
    for (int64_t L = 0; L < par.NumLoci; ++L) {
      BuildCumFreq(freq + L * par.NumAllele, par.NumAllele, cum.data());
      for (int64_t j = 0; j < count; ++j) {
        uint8_t* g = first + j * bytes + 2 * L;
        g[0] = PickAllele(cum.data(), static_cast<float>(u.RanUniform()));
        g[1] = PickAllele(cum.data(), static_cast<float>(u.RanUniform()));
      }
    }
  }
  sim.rnd.Uniform = u;
}

void DrawParents(SimState& sim, int b, Family& fam) {
  const int32_t Ne = sim.par.Ne;
  for (int i = 0; i < fam.n; ++i) {
    fam.p1[i] = sim.tab.Focal(b, DrawIndex(sim.rnd.RanUniform(), Ne) - 1);
    fam.p2[i] = sim.tab.Focal(b, DrawIndex(sim.rnd.RanUniform(), Ne) - 1);
  }
}

namespace {

// For a parent byte x and the next four random bits r: the four transmitted alleles as a mask
// (bit f set when allele 2 passes at field f) in bits 0-3, and the bits used in bits 4-6. A
// heterozygous field takes the next unused bit; homozygous fields take none.
constexpr std::array<uint8_t, 256 * 16> MakeTransmitTable() {
  std::array<uint8_t, 256 * 16> t{};
  for (unsigned x = 0; x < 256; ++x) {
    for (unsigned r = 0; r < 16; ++r) {
      unsigned mask = 0, used = 0;
      for (unsigned f = 0; f < 4; ++f) {
        const unsigned code = (x >> (2 * f)) & 3u;
        const unsigned allele2 = code == 3 ? (r >> used++) & 1u : code == 2;
        mask |= allele2 << f;
      }
      t[x * 16 + r] = static_cast<uint8_t>(mask | used << 4);
    }
  }
  return t;
}

// Child byte from the allele masks of the first parent (bits 0-3) and the second (bits 4-7):
// the common allele's homozygote where they agree, the heterozygote elsewhere.
constexpr std::array<uint8_t, 256> MakeCombineTable() {
  std::array<uint8_t, 256> t{};
  for (unsigned m = 0; m < 256; ++m) {
    unsigned byte = 0;
    for (unsigned f = 0; f < 4; ++f) {
      const unsigned a1 = (m >> f) & 1u, a2 = (m >> (4 + f)) & 1u;
      byte |= (a1 == a2 ? 1 + a1 : 3u) << (2 * f);
    }
    t[m] = static_cast<uint8_t>(byte);
  }
  return t;
}

constexpr auto kTransmit = MakeTransmitTable();
constexpr auto kCombine = MakeCombineTable();

// Allele (1 or 2) passed by a parent with the given code; a bit only for the heterozygote.
inline uint32_t PassAllele(uint32_t code, BitReader& bits) {
  return code == 3 ? 1 + bits.Bit() : code;
}

// Unpacked: for each locus, for each member, copy 1 from the first parent, copy 2 from the
// second, each chosen by one bit.
void TransmitUnpacked(const Family& fam, int64_t NumLoci, BitReader& bits) {
  const int n = fam.n;
  for (int64_t L = 0; L < NumLoci; ++L) {
    const uint32_t r = bits.Bits(static_cast<unsigned>(2 * n));
    const int64_t at = 2 * L;
    for (int i = 0; i < n; ++i) {
      fam.child[i][at] = fam.p1[i][at + ((r >> (2 * i)) & 1u)];
      fam.child[i][at + 1] = fam.p2[i][at + ((r >> (2 * i + 1)) & 1u)];
    }
  }
}

// Packed, loci [L0, L1) field by field: first parent's allele, second parent's, child's code.
void TransmitFields(const Family& fam, int64_t L0, int64_t L1, BitReader& bits) {
  for (int64_t L = L0; L < L1; ++L) {
    for (int i = 0; i < fam.n; ++i) {
      const uint32_t a1 = PassAllele(GetCode(fam.p1[i], L), bits);
      const uint32_t a2 = PassAllele(GetCode(fam.p2[i], L), bits);
      SetCode(fam.child[i], L, a1 == a2 ? a1 : 3u);
    }
  }
}

// Packed, whole bytes [0, nbytes): per member the first parent's four alleles in locus order,
// then the second parent's, then the child's byte written whole.
void TransmitBytes(const Family& fam, int64_t nbytes, BitReader& bits) {
  for (int64_t b = 0; b < nbytes; ++b) {
    for (int i = 0; i < fam.n; ++i) {
      const uint32_t e1 = kTransmit[fam.p1[i][b] * 16u + (bits.Peek32() & 15u)];
      bits.Skip(e1 >> 4);
      const uint32_t e2 = kTransmit[fam.p2[i][b] * 16u + (bits.Peek32() & 15u)];
      bits.Skip(e2 >> 4);
      fam.child[i][b] = kCombine[(e1 & 15u) | (e2 & 15u) << 4];
    }
  }
}

}  // namespace

void TransmitBlock(const SimState& sim, const Family& fam, BitReader& bits) {
  const int64_t NumLoci = sim.par.NumLoci;
  if (!sim.tab.Packed) return TransmitUnpacked(fam, NumLoci, bits);
  const int64_t whole = NumLoci / 4;
  TransmitBytes(fam, whole, bits);
  TransmitFields(fam, 4 * whole, NumLoci, bits);
}

void TransmitSingle(const SimState& sim, const Family& fam, BitReader& bits) {
  if (!sim.tab.Packed) return TransmitUnpacked(fam, sim.par.NumLoci, bits);
  TransmitFields(fam, 0, sim.par.NumLoci, bits);
}

}  // namespace driftsim
