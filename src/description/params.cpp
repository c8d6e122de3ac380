#include "description/params.hpp"

#include <strings.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <fstream>
#include <limits>
#include <optional>
#include <string_view>
#include <variant>

#include "common/common.hpp"
#include "description/sizes.hpp"
#include "description/text.hpp"

namespace driftsim {

namespace {

constexpr const char* kRoutine = "ReadPara";
// Width of the text fields that hold the file name argument and OutFile.
constexpr size_t kFieldWidth = 999;

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}
bool EndsItem(char c) {
  return IsBlank(c) || c == ',' || c == '/';
}

// The decimal order of magnitude of a nonzero real of the checked form (exponent letter E): the
// exponent of its first significant digit, plus one (0.05: -1, 5: 1, 1E-50: -49). Saturates far
// beyond the float range, so that ten million digits or a twenty-digit exponent cannot overflow.
int64_t DecimalOrder(const std::string& s) {
  constexpr int64_t kFar = int64_t{1} << 40;
  const size_t e = s.find('E');
  const std::string mantissa = s.substr(0, e);
  const size_t point = std::min(mantissa.find('.'), mantissa.size());
  const size_t first = mantissa.find_first_of("123456789");
  if (first == std::string::npos) return 0;  // zero: never out of range
  int64_t order = first < point ? int64_t(point - first) : -int64_t(first - point - 1);
  if (e != std::string::npos) {
    size_t i = e + 1;
    const bool negative = s[i] == '-';
    if (s[i] == '+' || s[i] == '-') ++i;
    int64_t exponent = 0;
    for (; i < s.size(); ++i) exponent = std::min(kFar, exponent * 10 + (s[i] - '0'));
    order += negative ? -exponent : exponent;
  }
  return order;
}

// A value as read from its line, before it is stored.
struct RawValue {
  int32_t integer = 0;
  float real = 0;
  std::string text;
};

// The value of a line of the given kind, from the line's first non-blank character; used
// receives the length of the line it took. Empty when the value cannot be read.
std::optional<RawValue> ParseValue(ValueKind kind, std::string_view line, size_t& used) {
  size_t end = 0;
  while (end < line.size() && !EndsItem(line[end])) ++end;
  const std::string_view item = line.substr(0, end);
  used = end;
  RawValue v;
  if (kind == ValueKind::kInteger) {
    const char* p = item.data();
    const char* stop = p + item.size();
    if (p < stop && *p == '+') ++p;  // from_chars takes a minus sign only
    const auto [last, ec] = std::from_chars(p, stop, v.integer);
    if (p == stop || (*p == '-' && p != item.data()) || ec != std::errc() || last != stop) {
      return std::nullopt;
    }
    return v;
  }
  if (kind == ValueKind::kReal) {
    if (!IsRealForm(item, "EeDd")) return std::nullopt;
    std::string s(item);
    for (char& c : s) {
      if (c == 'D' || c == 'd' || c == 'e') c = 'E';
    }
    const char* p = s.data() + (s[0] == '+' ? 1 : 0);
    // from_chars rounds the whole decimal number correctly; beyond the float range it gives an
    // error, and the decimal order of magnitude tells an overflow (out of every accepted range)
    // from an underflow (0).
    const auto [last, ec] = std::from_chars(p, s.data() + s.size(), v.real);
    if (ec == std::errc::result_out_of_range) {
      v.real = (*p == '-' ? -1 : 1) *
               (DecimalOrder(s) > 0 ? std::numeric_limits<float>::infinity() : 0.0f);
      return v;
    }
    if (ec != std::errc()) return std::nullopt;
    (void)last;
    return v;
  }
  // Text: an undelimited item, or a string in apostrophes or quotation marks in which a doubled
  // delimiter stands for one. Cut to the field width, then trimmed of blanks.
  std::string value;
  if (!line.empty() && (line[0] == '\'' || line[0] == '"')) {
    const char quote = line[0];
    size_t i = 1;
    for (;; ++i) {
      if (i >= line.size()) return std::nullopt;  // no closing delimiter on the line
      if (line[i] == quote) {
        if (i + 1 < line.size() && line[i + 1] == quote) {
          value += quote;
          ++i;
          continue;
        }
        break;
      }
      value += line[i];
    }
    used = i + 1;
  } else {
    value = item;
  }
  if (value.find('\0') != std::string::npos) return std::nullopt;
  if (value.size() > kFieldWidth) value.resize(kFieldWidth);
  const size_t first = value.find_first_not_of(' ');
  if (first != std::string::npos) {
    v.text = value.substr(first, value.find_last_not_of(' ') - first + 1);
  }
  return v;
}

// Reads value lines one at a time: blank lines are passed over, the value is the first item of
// the next line, and the rest of that line is a free comment.
class ValueReader {
 public:
  ValueReader(std::istream& in, const std::string& name) : in_(in), name_(name) {}

  RawValue Next(ValueKind kind, const char* wording) {
    std::string line;
    while (std::getline(in_, line)) {
      ++lines_;
      if (!line.empty() && line.back() == '\r') line.pop_back();
      size_t start = 0;
      while (start < line.size() && IsBlank(line[start])) ++start;
      if (start == line.size()) continue;
      size_t used = 0;
      if (auto v = ParseValue(kind, std::string_view(line).substr(start), used)) return *v;
      break;
    }
    FatalStop(std::string("Error reading ") + wording + " in input file: " + name_ + "!", kRoutine);
  }
  // Lines read so far, blank ones included.
  int64_t Lines() const { return lines_; }

 private:
  std::istream& in_;
  const std::string& name_;
  int64_t lines_ = 0;
};

// The value of an override: the whole text is one value of the line's form, with blanks
// around it at most; a comment after it, as a file line may have, is refused.
RawValue ReadOverride(ValueKind kind, const char* wording, const ParamOverride& o) {
  if (o.literal) return RawValue{0, 0, o.value};
  std::string_view line = o.value;
  while (!line.empty() && IsBlank(line.front())) line.remove_prefix(1);
  size_t used = 0;
  std::optional<RawValue> v;
  if (!line.empty()) v = ParseValue(kind, line, used);
  if (v) {
    const std::string_view rest = line.substr(used);
    if (std::all_of(rest.begin(), rest.end(), IsBlank)) return *v;
  }
  FatalStop(std::string("Error reading ") + wording + " in option " + o.option + "!", kRoutine);
}

[[noreturn]] void OutOfRange(const char* message) {
  FatalStop(message, kRoutine);
}

bool InRange(float v, float lo, float hi) {
  return v >= lo && v <= hi;
}

void CheckRate(float v, const char* message) {
  if (!InRange(v, 0.0f, 1.0f)) OutOfRange(message);
}

void CheckSampleSize(int32_t n) {
  if (n < 1 || n > 1000000) OutOfRange("NumIndiv value out of range [1, 1000000]!");
}

// One line of the parameter file: its name in the parameter table, the words that name it in
// a read error, where its value goes (a member, or the index of a sample size), and its check.
// A check runs once the line's final value is known and may set values the model ignores.
struct LineRule {
  const char* name;
  const char* wording;
  std::variant<int32_t Params::*, float Params::*, std::string Params::*, int> field;
  void (*check)(Params& p);
};

// The nineteen lines, in file order; checks refer only to values of earlier lines.
const LineRule kLines[] = {
    {"Model", "Model (=0/1)", &Params::Model,
     [](Params& p) {
       if (p.Model != 0 && p.Model != 1) {
         OutOfRange("Model value must be 0 (isolation) or 1 (migration)!");
       }
     }},
    {"Ne", "Ne", &Params::Ne,
     [](Params& p) {
       if (p.Ne < 2 || p.Ne > 100000) OutOfRange("parameter Ne value out of range [2, 100000]!");
     }},
    {"MigRate", "parameter MigRate", &Params::MigRate,
     [](Params& p) { CheckRate(p.MigRate, "MigRate value out of range [0, 1]!"); }},
    {"NumLoci", "parameter NumLoci", &Params::NumLoci,
     [](Params& p) {
       if (p.NumLoci < 1 || p.NumLoci > 100000000) {
         OutOfRange("NumLoci value out of range [1, 100000000]!");
       }
     }},
    {"NumAllele", "parameter NumAllele", &Params::NumAllele,
     [](Params& p) {
       if (p.NumAllele < 2 || p.NumAllele > 127)
         OutOfRange("NumAllele value out of range [2, 127]!");
     }},
    {"NumGen", "parameter NumGen", &Params::NumGen,
     [](Params& p) {
       if (p.NumGen < 1 || p.NumGen > 10000) OutOfRange("NumGen value out of range [1, 10000]!");
     }},
    // The source sample size is read under isolation too, then ignored.
    {"NumIndiv0", "parameter NumIndiv", int{kSourceSample},
     [](Params& p) {
       if (p.Model == 0) {
         p.NumIndiv[kSourceSample] = 0;
       } else {
         CheckSampleSize(p.NumIndiv[kSourceSample]);
       }
     }},
    {"NumIndiv1", "parameter NumIndiv", int{kSample1},
     [](Params& p) { CheckSampleSize(p.NumIndiv[kSample1]); }},
    {"NumIndiv2", "parameter NumIndiv", int{kSample2},
     [](Params& p) { CheckSampleSize(p.NumIndiv[kSample2]); }},
    // Refused, as they stop a stream: 0 or a multiple of 2^18 leaves the bit stream at 0 for
    // ever; a magnitude above 2147483646 makes the uniform stream reinitialise on every draw.
    // Accepted, as the uniform stream still runs on one of its two words: 1258593648 and
    // 1258593649 start the multiplicative word at 2^31-1, which it maps to 0 and keeps there,
    // so the draws come from the xorshift word alone; 777755555 starts the xorshift word at 0,
    // where it stays, so they come from the multiplicative word alone.
    {"IDUM", "parameter IDUM", &Params::Seed,
     [](Params& p) {
       const int64_t seed = p.Seed;
       const int64_t magnitude = seed < 0 ? -seed : seed;
       if (seed == 0 || magnitude > 2147483646 || magnitude % 262144 == 0) {
         OutOfRange(
             "Parameter IDUM must be nonzero, within [-2147483646, 2147483646] and not a multiple "
             "of 262144!");
       }
       p.IDUM = static_cast<int32_t>(-magnitude);
       p.RanBitSeed = static_cast<uint32_t>(magnitude);
     }},
    // An unquoted name ends at its first slash: /tmp/x/run reads as empty, ./run as ".". Such
    // a name would write hidden files (.dat, ..dat) in the working folder.
    {"OutFile", "parameter OutFile", &Params::OutFile,
     [](Params& p) {
       const std::string last = p.OutFile.substr(p.OutFile.rfind('/') + 1);
       if (last.empty() || last == "." || last == "..") {
         OutOfRange(
             "Parameter OutFile is empty or a folder name; quote a name that holds a slash, e.g. "
             "'results/run1'!");
       }
     }},
    {"INIT_POINT", "parameter INIT_POINT", &Params::INIT_POINT,
     [](Params& p) {
       if (p.Model == 0) {
         p.INIT_POINT = 1;
       } else if (p.INIT_POINT < 1) {
         OutOfRange("Parameter INIT_POINT < 1!");
       }
     }},
    {"MaxNe", "parameter MaxNe", &Params::MaxNe,
     [](Params& p) {
       if (p.MaxNe < p.Ne) OutOfRange("Parameter MaxNe < Simulated Ne!");
       if (p.MaxNe > 1000000) OutOfRange("Parameter MaxNe out of Range[2, 1000000]!");
     }},
    {"Monitor", "parameter Monitor", &Params::Monitor,
     [](Params& p) {
       if (p.Monitor < 0 || p.Monitor > 3) OutOfRange("Parameter Monitor out of range {0,1,2,3}!");
     }},
    {"NumThread", "parameter NumThread", &Params::NumThread,
     [](Params& p) {
       if (p.NumThread < 0) OutOfRange("Parameter NumThread must be >= 0!");
     }},
    {"MisRate", "parameter MisRate", &Params::MisRate,
     [](Params& p) { CheckRate(p.MisRate, "Parameter MisRate out of range [0, 1]!"); }},
    {"DropRate", "parameter DropRate", &Params::DropRate,
     [](Params& p) { CheckRate(p.DropRate, "Parameter DropRate out of range [0, 1]!"); }},
    {"FalseRate", "parameter FalseRate", &Params::FalseRate,
     [](Params& p) { CheckRate(p.FalseRate, "Parameter FalseRate out of range [0, 1]!"); }},
    {"FreqDist", "parameter FreqDist", &Params::FreqDist,
     [](Params& p) {
       if (p.FreqDist != 0 && p.FreqDist != 1)
         OutOfRange("Parameter FreqDist out of range {0, 1}!");
     }},
};

ValueKind KindOf(const LineRule& rule) {
  switch (rule.field.index()) {
    case 1:
      return ValueKind::kReal;
    case 2:
      return ValueKind::kText;
    default:
      return ValueKind::kInteger;
  }
}

void Store(Params& p, const LineRule& rule, RawValue v) {
  if (auto* m = std::get_if<int32_t Params::*>(&rule.field)) p.** m = v.integer;
  if (auto* m = std::get_if<float Params::*>(&rule.field)) p.** m = v.real;
  if (auto* m = std::get_if<std::string Params::*>(&rule.field)) p.** m = std::move(v.text);
  if (auto* s = std::get_if<int>(&rule.field)) p.NumIndiv[*s] = v.integer;
}

// Shortest text that reads back as the same float, with an upper-case exponent.
std::string RealText(float v) {
  char text[32];
  const auto [end, ec] = std::to_chars(text, text + sizeof text, v);
  Check(ec == std::errc(), "a float fits 32 characters");
  std::string s(text, end);
  for (char& c : s) {
    if (c == 'e') c = 'E';
  }
  return s;
}

std::string Text(const Params& p, const LineRule& rule) {
  if (auto* m = std::get_if<int32_t Params::*>(&rule.field)) return IntToText(p.**m);
  if (auto* m = std::get_if<float Params::*>(&rule.field)) return RealText(p.**m);
  if (auto* m = std::get_if<std::string Params::*>(&rule.field)) return p.**m;
  return IntToText(p.NumIndiv[std::get<int>(rule.field)]);
}

// A text value as the reader takes it back: plain when it is one item, else in apostrophes.
std::string QuotedText(const std::string& text) {
  const bool plain = !text.empty() && text[0] != '\'' && text[0] != '"' &&
                     std::none_of(text.begin(), text.end(), EndsItem);
  if (plain) return text;
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("''") : std::string(1, c);
  return quoted + "'";
}

}  // namespace

bool IsRealForm(std::string_view s, std::string_view exponentLetters) {
  size_t i = 0, digits = 0;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
  for (; i < s.size() && std::isdigit(static_cast<unsigned char>(s[i])); ++i) ++digits;
  if (i < s.size() && s[i] == '.') {
    for (++i; i < s.size() && std::isdigit(static_cast<unsigned char>(s[i])); ++i) ++digits;
  }
  if (digits == 0) return false;
  if (i == s.size()) return true;
  if (exponentLetters.find(s[i]) == std::string_view::npos) return false;
  ++i;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
  const size_t expStart = i;
  while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) ++i;
  return i > expStart && i == s.size();
}

std::vector<ParamValue> ParamValues(const Params& par) {
  std::vector<ParamValue> values;
  for (const LineRule& rule : kLines) values.push_back({rule.name, KindOf(rule), Text(par, rule)});
  return values;
}

std::string ParaFileText(const Params& par) {
  // A line cannot hold a line end; the reader cuts longer texts and trims their outer blanks.
  const std::string& out = par.OutFile;
  if (out.find_first_of("\r\n") != std::string::npos || out.size() > kFieldWidth ||
      (!out.empty() && (out.front() == ' ' || out.back() == ' '))) {
    FatalStop("OutFile " + out + " cannot be written in a parameter file!", "ParaFileText");
  }
  std::string text;
  for (const ParamValue& v : ParamValues(par)) {
    std::string value = v.kind == ValueKind::kText ? QuotedText(v.text) : v.text;
    value.resize(std::max<size_t>(value.size() + 1, 9), ' ');
    text += value + v.name + "\n";
  }
  return text;
}

namespace {

// The nineteen values of ReadParaStream; lines receives the lines they took.
Params ReadValues(std::istream& in, const std::string& name,
                  std::span<const ParamOverride> overrides, int64_t& lines) {
  constexpr int kLineCount = sizeof kLines / sizeof kLines[0];
  // Line of each override; an unknown name stops before the file is read.
  std::vector<int> lineOf;
  for (const ParamOverride& o : overrides) {
    int line = 0;
    while (line < kLineCount && strcasecmp(o.name.c_str(), kLines[line].name) != 0) ++line;
    if (line == kLineCount)
      FatalStop("Unknown parameter name in option " + o.option + "!", kRoutine);
    lineOf.push_back(line);
  }
  ValueReader rd(in, name);
  Params p;
  for (int line = 0; line < kLineCount; ++line) {
    const LineRule& rule = kLines[line];
    const ValueKind kind = KindOf(rule);
    Store(p, rule, rd.Next(kind, rule.wording));
    for (size_t i = 0; i < overrides.size(); ++i) {
      if (lineOf[i] == line) Store(p, rule, ReadOverride(kind, rule.wording, overrides[i]));
    }
    rule.check(p);
  }
  lines = rd.Lines();
  return p;
}

// The model lines after the nineteen values, from line number line on: "--name value", value
// trimmed of blanks; other lines are free comments.
std::vector<ModelLine> ReadModelLines(std::istream& in, int64_t line) {
  std::vector<ModelLine> found;
  std::string text;
  bool tooLong = false;
  while (model_text::BoundedLine(in, text, kMaxSizesLine, tooLong)) {
    ++line;
    if (!text.empty() && text.back() == '\r') text.pop_back();
    const size_t start = text.find_first_not_of(" \t");
    if (start == std::string::npos || text.compare(start, 2, "--") != 0) continue;
    const std::string_view rest = std::string_view(text).substr(start + 2);
    const size_t blank = rest.find_first_of(" \t");
    std::string_view value = blank == std::string_view::npos ? "" : rest.substr(blank);
    while (!value.empty() && IsBlank(value.front())) value.remove_prefix(1);
    while (!value.empty() && IsBlank(value.back())) value.remove_suffix(1);
    found.push_back({line, std::string(rest.substr(0, blank)), std::string(value), tooLong});
  }
  return found;
}

}  // namespace

Params ReadParaStream(std::istream& in, const std::string& name,
                      std::span<const ParamOverride> overrides) {
  int64_t lines = 0;
  return ReadValues(in, name, overrides, lines);
}

std::string ParaFileName(const char* paramArg) {
  std::string name = kDefaultParaFile;
  if (paramArg != nullptr) {
    // The argument is held in a fixed-width field: cut to its width, trailing blanks removed;
    // an argument of only blanks counts as none.
    std::string field(paramArg, strnlen(paramArg, kFieldWidth));
    const size_t last = field.find_last_not_of(' ');
    if (last != std::string::npos) name = field.substr(0, last + 1);
  }
  struct stat st;
  if (stat(name.c_str(), &st) != 0) {
    const int err = errno;
    FatalStop("Parameter file, " + name + ", does not exist!", kRoutine, ErrorKind::kBadFile, err,
              name);
  }
  return name;
}

std::ifstream model_text::OpenInputFile(const char* kind, const std::string& name,
                                        const char* routine, struct stat* identity) {
  const std::string what = std::string(kind) + ", " + name + ", ";
  struct stat st;
  if (stat(name.c_str(), &st) != 0) {
    const int err = errno;
    FatalStop(what + "does not exist!", routine, ErrorKind::kBadFile, err, name);
  }
  if (S_ISDIR(st.st_mode)) {
    FatalStop(what + "cannot be read: " + std::strerror(EISDIR) + "!", routine, ErrorKind::kBadFile,
              EISDIR, name);
  }
  if (!S_ISREG(st.st_mode)) {
    FatalStop(what + "cannot be read: not a regular file!", routine, ErrorKind::kBadFile, 0, name);
  }
  std::ifstream in(name, std::ios::binary);
  if (!in) {
    const int err = errno;
    FatalStop(what + "cannot be read: " + std::strerror(err) + "!", routine, ErrorKind::kBadFile,
              err, name);
  }
  if (identity != nullptr) *identity = st;
  return in;
}

Params ReadPara(const std::string& name, std::span<const ParamOverride> overrides,
                std::vector<ModelLine>* modelLines) {
  struct stat st;
  std::ifstream in = model_text::OpenInputFile("Parameter file", name, kRoutine, &st);
  int64_t lines = 0;
  const Params p = ReadValues(in, name, overrides, lines);
  if (modelLines) *modelLines = ReadModelLines(in, lines);
  // The output replaces its files by renaming over them: it must not be the parameter file
  // itself (the same device and inode, whatever the path). A link named like the output is
  // replaced, not followed, so its own inode is the one compared.
  const OutputNames names = OutputFiles(p.OutFile);
  for (const std::string& out : {names.Data, names.Para}) {
    struct stat os;
    if (lstat(out.c_str(), &os) == 0 && os.st_dev == st.st_dev && os.st_ino == st.st_ino) {
      FatalStop("Output file " + out + " would overwrite the parameter file!", kRoutine);
    }
  }
  return p;
}

}  // namespace driftsim
