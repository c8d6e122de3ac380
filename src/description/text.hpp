// Line and number reading shared by the line-based inputs of a run's description: the sizes
// file and the model lines of a parameter file. Internal to description/.
#pragma once

#include <sys/stat.h>

#include <algorithm>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <istream>
#include <string>
#include <string_view>

#include "common/common.hpp"
#include "description/params.hpp"
#include "transaction/transaction.hpp"

namespace driftsim::model_text {

inline bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// A whole number with an optional sign; false when the text is not one or does not fit.
inline bool ParseInteger(std::string_view text, int64_t& value) {
  const size_t signs = !text.empty() && (text[0] == '+' || text[0] == '-') ? 1 : 0;
  if (text.size() == signs || !std::all_of(text.begin() + signs, text.end(), IsDigit)) return false;
  const char* p = text.data() + (text[0] == '+' ? 1 : 0);
  const char* end = text.data() + text.size();
  const auto [stop, ec] = std::from_chars(p, end, value);
  return ec == std::errc() && stop == end;
}

// A real of type T rounded from its decimal text; false when the text is not a real or its
// magnitude is beyond T (a tiny rate must not silently become 0).
template <typename T>
bool ParseReal(std::string_view text, T& value) {
  if (!IsRealForm(text, "eE")) return false;
  const char* p = text.data() + (text[0] == '+' ? 1 : 0);
  const auto [stop, ec] = std::from_chars(p, text.data() + text.size(), value);
  return ec == std::errc() && stop == text.data() + text.size();
}

// A text in a message: quoted, at most 60 characters, non-printing bytes as \xHH.
inline std::string Quoted(std::string_view text) {
  return "'" + Printable(text, 60) + "'";
}

// Reads one line of at most limit characters (without its line end); false at the end of the
// input. A longer line sets tooLong and keeps its first limit characters.
inline bool BoundedLine(std::istream& in, std::string& text, size_t limit, bool& tooLong) {
  text.clear();
  tooLong = false;
  std::streambuf* buf = in.rdbuf();
  for (;;) {
    const int c = buf->sbumpc();
    if (c == std::char_traits<char>::eof()) {
      in.setstate(std::ios::eofbit);
      return !text.empty() || tooLong;
    }
    if (c == '\n') return true;
    if (text.size() < limit) {
      text += static_cast<char>(c);
    } else {
      tooLong = true;
    }
  }
}

// An input file of the run (kind: "Parameter file", "Sizes file", "Map file") opened for
// reading, or the run stopped through routine: missing, a folder, not a regular file (a FIFO
// without a writer would wait for ever, a device never end its lines), or unreadable. identity,
// when given, takes the file's stat.
std::ifstream OpenInputFile(const char* kind, const std::string& name, const char* routine,
                            struct stat* identity = nullptr);

// The routine named by the sizes file's messages.
inline constexpr const char* kSizesRoutine = "ReadSizes";

// A refusal of a line of the sizes file, by the file's reader or by the check against the run.
[[noreturn]] inline void SizesError(const std::string& name, int64_t line,
                                    const std::string& what) {
  FatalStop(name + ":" + IntToText(line) + ": " + what + "!", kSizesRoutine);
}

}  // namespace driftsim::model_text
