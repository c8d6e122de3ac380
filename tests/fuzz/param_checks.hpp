// What any parameter text must lead to: either a parameter set inside every accepted range, or a
// refusal with one of the reader's own messages. Shared by the fuzz target and the unit tests
// that replay its corpus.
#pragma once

#include <sstream>
#include <string>

#include "common/common.hpp"
#include "description/description.hpp"

namespace driftsim::check {

// The words that name each of the nineteen values in a read-error message, in reading order
// (the three sample sizes share one wording).
inline constexpr const char* kReadWordings[] = {
    "Model (=0/1)",        "Ne",
    "parameter MigRate",   "parameter NumLoci",
    "parameter NumAllele", "parameter NumGen",
    "parameter NumIndiv",  "parameter IDUM",
    "parameter OutFile",   "parameter INIT_POINT",
    "parameter MaxNe",     "parameter Monitor",
    "parameter NumThread", "parameter MisRate",
    "parameter DropRate",  "parameter FalseRate",
    "parameter FreqDist",
};

// Every message with which a readable but unacceptable value is refused.
inline constexpr const char* kRangeMessages[] = {
    "Model value must be 0 (isolation) or 1 (migration)!",
    "parameter Ne value out of range [2, 100000]!",
    "MigRate value out of range [0, 1]!",
    "NumLoci value out of range [1, 100000000]!",
    "NumAllele value out of range [2, 127]!",
    "NumGen value out of range [1, 10000]!",
    "NumIndiv value out of range [1, 1000000]!",
    ("Parameter IDUM must be nonzero, within [-2147483646, 2147483646] and not a multiple of "
     "262144!"),
    "Parameter INIT_POINT < 1!",
    "Parameter MaxNe < Simulated Ne!",
    "Parameter MaxNe out of Range[2, 1000000]!",
    "Parameter Monitor out of range {0,1,2,3}!",
    "Parameter NumThread must be >= 0!",
    "Parameter MisRate out of range [0, 1]!",
    "Parameter DropRate out of range [0, 1]!",
    "Parameter FalseRate out of range [0, 1]!",
    "Parameter FreqDist out of range {0, 1}!",
    ("Parameter OutFile is empty or a folder name; quote a name that holds a slash, e.g. "
     "'results/run1'!"),
};

inline std::string ReadErrorMessage(const std::string& wording, const std::string& name) {
  return "Error reading " + wording + " in input file: " + name + "!";
}

// Whether message is one of the reader's messages for a file of the given name.
inline bool IsKnownRefusal(const std::string& message, const std::string& name) {
  for (const char* wording : kReadWordings) {
    if (message == ReadErrorMessage(wording, name)) return true;
  }
  for (const char* range : kRangeMessages) {
    if (message == range) return true;
  }
  return false;
}

// Empty when p satisfies every rule a parameter set leaves the reader with; otherwise the first
// rule it breaks.
inline std::string BrokenRule(const Params& p) {
  auto within = [](double v, double lo, double hi) { return v >= lo && v <= hi; };
  if (p.Model != 0 && p.Model != 1) return "Model";
  if (!within(p.Ne, 2, 100000)) return "Ne";
  if (!within(p.MigRate, 0, 1)) return "MigRate";
  if (!within(p.NumLoci, 1, 100000000)) return "NumLoci";
  if (!within(p.NumAllele, 2, 127)) return "NumAllele";
  if (!within(p.NumGen, 1, 10000)) return "NumGen";
  if (p.Model == 0 ? p.NumIndiv[0] != 0 : !within(p.NumIndiv[0], 1, 1000000)) return "NumIndiv0";
  if (!within(p.NumIndiv[1], 1, 1000000) || !within(p.NumIndiv[2], 1, 1000000)) return "NumIndiv";
  // The uniform stream starts from a negative seed; the bit stream from its magnitude.
  if (p.IDUM >= 0 || p.IDUM < -2147483646 || p.RanBitSeed != uint32_t(-int64_t{p.IDUM}) ||
      p.RanBitSeed % 262144 == 0) {
    return "IDUM";
  }
  if (p.OutFile.size() > 999 || p.OutFile.find('\0') != std::string::npos) return "OutFile";
  if (!p.OutFile.empty() && (p.OutFile.front() == ' ' || p.OutFile.back() == ' ')) {
    return "OutFile blanks";
  }
  const std::string last = p.OutFile.substr(p.OutFile.rfind('/') + 1);
  if (last.empty() || last == "." || last == "..") return "OutFile name";
  if (p.Model == 0 ? p.INIT_POINT != 1 : p.INIT_POINT < 1) return "INIT_POINT";
  if (p.MaxNe < p.Ne || p.MaxNe > 1000000) return "MaxNe";
  if (!within(p.Monitor, 0, 3)) return "Monitor";
  if (p.NumThread < 0) return "NumThread";
  if (!within(p.MisRate, 0, 1)) return "MisRate";
  if (!within(p.DropRate, 0, 1)) return "DropRate";
  if (!within(p.FalseRate, 0, 1)) return "FalseRate";
  if (p.FreqDist != 0 && p.FreqDist != 1) return "FreqDist";
  return "";
}

// Reads text as a parameter file called name. Empty when the outcome is acceptable (a valid set,
// or a refusal with a known message from ReadPara); otherwise what went wrong.
inline std::string UnacceptableOutcome(const std::string& text, const std::string& name) {
  std::istringstream in(text);
  try {
    const Params p = ReadParaStream(in, name);
    const std::string rule = BrokenRule(p);
    return rule.empty() ? "" : "accepted with a bad " + rule;
  } catch (const FatalError& e) {
    if (e.Routine() != "ReadPara") return "refused by routine " + e.Routine();
    if (!IsKnownRefusal(e.Message(), name)) return "unknown message: " + e.Message();
  }
  return "";
}

}  // namespace driftsim::check
