// Parameters: the simulation parameter file and the values read from it.
#pragma once

#include <cstdint>
#include <istream>
#include <string>

namespace driftsim {

// Sample indices of NumIndiv: the source sample is stored first.
enum SampleIndex { kSourceSample = 0, kSample1 = 1, kSample2 = 2 };

// The nineteen values of the parameter file, validated, plus the derived random-bit seed.
struct Params {
  int32_t Model = 0;  // 0 isolation, 1 migration
  int32_t Ne = 0;
  float MigRate = 0;
  int32_t NumLoci = 0;
  int32_t NumAllele = 0;
  int32_t NumGen = 0;
  int32_t NumIndiv[3] = {0, 0, 0};  // source sample, sample 1, sample 2
  int32_t IDUM = 0;                 // never positive after reading
  uint32_t RanBitSeed = 0;          // magnitude of the seed as written
  std::string OutFile;
  int32_t INIT_POINT = 0;
  int32_t MaxNe = 0;
  int32_t Monitor = 0;
  int32_t NumThread = 0;
  float MisRate = 0;
  float DropRate = 0;
  float FalseRate = 0;
  int32_t FreqDist = 0;

  bool Packed() const { return NumAllele == 2; }
  int64_t TotalSampled() const { return int64_t{NumIndiv[0]} + NumIndiv[1] + NumIndiv[2]; }
};

// Default parameter file, looked for in the working directory.
inline constexpr const char* kDefaultParaFile = "SimPara.txt";

// The parameter file named by the first command-line argument (null: none), which must exist.
std::string ParaFileName(const char* paramArg);

// Reads the parameter file name (a regular file).
Params ReadPara(const std::string& name);

// Reads and validates the nineteen values from an open stream; name is used in messages.
Params ReadParaStream(std::istream& in, const std::string& name);

}  // namespace driftsim
