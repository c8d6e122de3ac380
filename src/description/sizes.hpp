// The population size by generation, as a --sizes file gives it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <istream>
#include <string>
#include <vector>

namespace driftsim {

// Generations before sample 1, unless --burn-in says otherwise.
inline constexpr int32_t kDefaultBurnIn = 250;

// Sizes a schedule may give a generation.
inline constexpr int32_t kMinSize = 2;
inline constexpr int32_t kMaxSize = 1000000;

// From generation First on (numbered as printed, from 1), the population has Size individuals.
struct SizeChange {
  int32_t First = 0;
  int32_t Size = 0;
  int64_t Line = 0;  // of the sizes file, for messages
};

// The population size by generation: Ne of the parameter file before the first change (and
// always for generation 0, the initial population), then the last change at or before it.
struct SizeSchedule {
  std::vector<SizeChange> Changes;  // strictly increasing First

  int32_t At(int32_t generation, int32_t Ne) const;
};

// Reads the sizes file (a regular file): one 'GENERATION SIZE' line per change, generations
// increasing; blank lines and text after '#' are ignored. GENERATION is a generation number,
// or S1, S1+N or S1-N: the generation that sample 1 is taken from (the last of the burnIn
// generations), or N after or before it, so that a schedule about the samples holds whatever
// the burn-in. Malformed lines, lines longer than kMaxSizesLine, generations out of order and
// sizes out of range end the run with a message naming the file and line, which quotes at most
// 60 characters of a bad line.
SizeSchedule ReadSizes(const std::string& name, int32_t burnIn = kDefaultBurnIn);
SizeSchedule ReadSizesStream(std::istream& in, const std::string& name,
                             int32_t burnIn = kDefaultBurnIn);
inline constexpr size_t kMaxSizesLine = 1000;

}  // namespace driftsim
