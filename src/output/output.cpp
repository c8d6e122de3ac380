// The files a run writes: the data and estimator parameter files, committed together, and the
// run record.
#include "output/output.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "common/common.hpp"

namespace driftsim {

namespace {

constexpr char kLineEnd[] = "\r\n";

// Widest field: blank, three digits, blank, three digits.
constexpr size_t kMaxField = 8;
// Bytes past the end of a line that formatting may overwrite before they are filled.
constexpr size_t kScratch = 4;
// Loci formatted between two checks of the buffer space.
constexpr int64_t kLociPerChunk = 16384;
static_assert(kLociPerChunk * kMaxField + 64 <= OutputFile::kBufferSize);

// Alleles printed for each packed code: missing, the two homozygotes, the heterozygote.
constexpr uint8_t kCodeAlleles[4][2] = {{0, 0}, {1, 1}, {2, 2}, {1, 2}};

// Text of one genotype field per allele pair, built once per file.
class FieldText {
 public:
  explicit FieldText(int32_t NumAllele) {
    for (int32_t a = 0; a <= NumAllele; ++a) {
      const std::string text = std::string(1, ' ').append(IntToText(a));
      std::memcpy(allele_[a].text, text.data(), text.size());
      allele_[a].length = static_cast<uint8_t>(text.size());
    }
    for (unsigned byte = 0; byte < 256; ++byte) {
      char* out = packed_[byte].data();
      for (unsigned f = 0; f < 4; ++f) {
        const uint8_t* pair = kCodeAlleles[(byte >> (2 * f)) & 3u];
        out = Pair(out, pair[0], pair[1]);
      }
    }
  }

  // Appends the field of alleles a and b; returns the new end. Each text is copied as four
  // bytes and the end advanced by its length, so up to two bytes past the end are scratch.
  char* Pair(char* out, uint8_t a, uint8_t b) const {
    std::memcpy(out, allele_[a].text, 4);
    out += allele_[a].length;
    std::memcpy(out, allele_[b].text, 4);
    return out + allele_[b].length;
  }

  // The four fields of a packed byte, 16 characters.
  const char* PackedByte(uint8_t byte) const { return packed_[byte].data(); }

 private:
  // Blank and the allele number, at most four characters.
  struct Text {
    char text[4] = {' ', ' ', ' ', ' '};
    uint8_t length = 0;
  };
  Text allele_[256];
  std::array<std::array<char, 16 + 2>, 256> packed_;
};

// Appends the fields of loci [L0, L1) of one record at out; returns the new end.
char* FormatLoci(const FieldText& text, bool packed, const uint8_t* rec, int64_t L0, int64_t L1,
                 char* out) {
  int64_t L = L0;
  if (packed) {
    // Whole bytes through the 256-entry table; L0 is a multiple of 4.
    for (; L + 4 <= L1; L += 4, out += 16) std::memcpy(out, text.PackedByte(rec[L >> 2]), 16);
    for (; L < L1; ++L) {
      const uint8_t* pair = kCodeAlleles[PackedCode(rec, L)];
      out = text.Pair(out, pair[0], pair[1]);
    }
    return out;
  }
  for (; L < L1; ++L) out = text.Pair(out, rec[2 * L], rec[2 * L + 1]);
  return out;
}

// Pads a value to column 30 for its comment, or follows a long value with two blanks.
std::string ParaLine(const std::string& value, const char* comment) {
  constexpr size_t kCommentColumn = 30;
  std::string line = value;
  line.append(value.size() + 2 < kCommentColumn ? kCommentColumn - 1 - value.size() : 2, ' ');
  return line + comment + kLineEnd;
}

}  // namespace

void WriteGenoFile(const Geometry& geo, RecordSpan samples, OutputFile& out, Progress* progress) {
  const FieldText text(geo.NumAllele);
  const bool packed = geo.Packed();
  int64_t written = 0;
  for (const int s : {kSample1, kSample2, kSourceSample}) {
    const int64_t first = SampleStart(geo, s);
    const std::string prefix = std::string(1, 'S').append(IntToText(s)).append(1, '_');
    for (int32_t i = 1; i <= geo.NumIndiv[s]; ++i) {
      out.Write(prefix + IntToText(i));
      const uint8_t* rec = samples[first + i - 1];
      for (int64_t L = 0; L < geo.NumLoci; L += kLociPerChunk) {
        const int64_t end = std::min<int64_t>(L + kLociPerChunk, geo.NumLoci);
        char* at = out.Reserve(size_t(end - L) * kMaxField + kScratch);
        out.Advance(size_t(FormatLoci(text, packed, rec, L, end, at) - at));
      }
      out.Write(kLineEnd, 2);
      if (progress) progress->Records(++written);
    }
  }
  out.Close();
}

uint64_t GenoFileBytes(const Params& par) {
  const uint64_t width = IntToText(par.NumAllele).size();
  const uint64_t line = uint64_t(par.NumLoci) * (2 + 2 * width) + 2;
  uint64_t bytes = 0;
  for (const int s : {kSample1, kSample2, kSourceSample}) {
    const uint64_t n = uint64_t(par.NumIndiv[s]);
    // "S1_" and the number, whose digits are counted by decade.
    uint64_t digits = 0;
    for (uint64_t low = 1, d = 1; low <= n; low *= 10, ++d)
      digits += d * (std::min(n, low * 10 - 1) - low + 1);
    bytes += n * (3 + line) + digits;
  }
  return bytes;
}

void WriteParaFile(const Params& par, OutputFile& out) {
  const std::string lines[] = {
      ParaLine(IntToText(static_cast<int32_t>(ModelOf(par))),
               "!M_ESTIMATE, 1/0 for migration/isolation model"),
      ParaLine("1", "!I_Equilibrium, 1/0 for equilibrium=Y/N"),
      ParaLine(IntToText(par.MaxNe), "!MaximumNe, maximal Ne allowed"),
      ParaLine(IntToText(par.Monitor), "!Monitor, 0/1/2/3 for monitoring level"),
      ParaLine(IntToText(par.NumThread),
               "!NumThread, #openMP threads; when NumThread<=0 the maximal value is used"),
      ParaLine(IntToText(par.NumLoci), "!NLOCI_T, #All_Loci including monomorphic"),
      ParaLine("\"" + OutputFiles(par.OutFile).Data + "\"", "!DataFile, genotype data file name"),
      ParaLine("2", "!DataForm, 0/1/2 for GenePop, 0123, 2Alleles/genotype formats"),
      ParaLine("2", "!NumSmp, #temporal samples from focal pop"),
      ParaLine("0 " + IntToText(par.NumGen), "!NGEN, generations of temporal samples"),
      ParaLine(IntToText(par.NumIndiv[1]) + " " + IntToText(par.NumIndiv[2]),
               "!SmplSize, #genotyped individuals of each temporal sample from focal pop"),
      ParaLine(IntToText(par.NumIndiv[0]), "!SmplSize, #genotyped individuals of source pop"),
      ParaLine(IntToText(par.INIT_POINT), "!INIT_POINT, #initial random points to be used"),
  };
  for (const std::string& line : lines) out.Write(line);
  out.Close();
}

RunFiles::RunFiles(const std::string& stem, const std::string& paramsFile,
                   const std::string& recordFile) {
  const OutputNames names = OutputFiles(stem);
  dat.emplace(names.Data, "WriteGenoFile");
  para.emplace(names.Para, "WriteParaFile");
  if (!paramsFile.empty()) params.emplace(paramsFile, "WriteParams");
  if (!recordFile.empty()) record.emplace(recordFile, "WriteSummary");
}

void WriteRunOutputs(const Params& par, RecordSpan samples, RunFiles& files, Progress& progress) {
  progress.Stage(RunStage::kWriteData);
  progress.Writing(par.TotalSampled());
  WriteGenoFile(GeometryOf(par), samples, *files.dat, &progress);
  progress.Stage(RunStage::kWritePara);
  WriteParaFile(par, *files.para);
  if (files.params) {
    Commit({&*files.dat, &*files.para, &*files.params});
  } else {
    Commit({&*files.dat, &*files.para});
  }
  progress.PhaseEnd();
}

void WriteRunRecord(std::string_view json, RunFiles& files) {
  files.record->Write(json);
  files.record->Close();
  Commit({&*files.record});
}

}  // namespace driftsim
