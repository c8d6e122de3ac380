#include "population/transmit.hpp"

namespace driftsim {

void DrawParents(RecordSpan parents, RngState& uniform, Family& fam) {
  const int32_t Ne = static_cast<int32_t>(parents.count);
  for (int i = 0; i < fam.n; ++i) {
    fam.p1[i] = parents[DrawIndex(uniform.RanUniform(), Ne) - 1];
    fam.p2[i] = parents[DrawIndex(uniform.RanUniform(), Ne) - 1];
  }
}

void TransmitBlock(const Params& par, const Family& fam, BitStream& stream) {
  const int64_t NumLoci = par.NumLoci;
  if (!par.Packed()) return TransmitUnpacked(fam, NumLoci, stream);
  const int64_t whole = NumLoci / 4;
  TransmitPackedBytes(fam, whole, stream);
  BitReader bits(stream);
  TransmitPackedFields(fam, 4 * whole, NumLoci, bits);
}

void TransmitSingle(const Params& par, const Family& fam, BitStream& stream) {
  const int64_t NumLoci = par.NumLoci;
  if (!par.Packed()) return TransmitUnpacked(fam, NumLoci, stream);
  const int64_t whole = NumLoci / 4;
  TransmitPackedSingle(fam.p1[0], fam.p2[0], fam.child[0], whole, stream);
  BitReader bits(stream);
  TransmitPackedFields(fam, 4 * whole, NumLoci, bits);
}

}  // namespace driftsim
