// Parameters: the simulation parameter file and the values read from it.
#pragma once

#include <cstdint>
#include <istream>
#include <span>
#include <string>
#include <string_view>
#include <vector>

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
  int32_t Seed = 0;                 // IDUM as written, sign kept, for the records of a run
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

// A value given on the command line in place of the file's. name is a name of the parameter
// table, in any case; option is the option as given, for messages.
struct ParamOverride {
  std::string name;
  std::string value;
  std::string option;
  bool literal = false;  // the text as it is (--out), not read by the rules of its line
};

// How the value of a line is written: an integer, a real, or a text.
enum class ValueKind { kInteger, kReal, kText };

// One value of a parameter set: its name in the parameter table and its text, which reads back
// as the same value (reals in the shortest such form; texts unquoted).
struct ParamValue {
  const char* name;
  ValueKind kind;
  std::string text;
};

// The nineteen values of par in file order; IDUM as written.
std::vector<ParamValue> ParamValues(const Params& par);

// A parameter file that reads back as par: nineteen lines, each value followed by its name.
// Stops when OutFile cannot be held on a line of the file.
std::string ParaFileText(const Params& par);

// Whether s is a real of the form the readers take: optional sign, digits with an optional point
// (at least one digit), optional exponent introduced by one of exponentLetters with an optional
// sign and at least one digit. No words such as inf or nan, no hexadecimal.
bool IsRealForm(std::string_view s, std::string_view exponentLetters);

// Default parameter file, looked for in the working directory.
inline constexpr const char* kDefaultParaFile = "SimPara.txt";

// The parameter file named by the first command-line argument (null: none), which must exist.
std::string ParaFileName(const char* paramArg);

// A model line of a parameter file: "--name value" after the nineteen values, the value trimmed
// of blanks. Lines longer than kMaxSizesLine keep what fits.
struct ModelLine {
  int64_t line = 0;  // of the file, from 1
  std::string name;
  std::string value;
  bool tooLong = false;
};

// Reads the parameter file name (a regular file), with overrides (see ReadParaStream), and
// when modelLines is given the model lines after the nineteen values, in one pass.
Params ReadPara(const std::string& name, std::span<const ParamOverride> overrides = {},
                std::vector<ModelLine>* modelLines = nullptr);

// Reads and validates the nineteen values from an open stream; name is used in messages. Line by
// line, the file's value is read, then replaced by the overrides of that line in their order,
// then checked, so that every value meets the same checks and messages as in the file.
Params ReadParaStream(std::istream& in, const std::string& name,
                      std::span<const ParamOverride> overrides = {});

}  // namespace driftsim
