#include "params/params.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <fstream>
#include <limits>
#include <optional>

#include "common/common.hpp"

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
bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// Reads value lines one at a time: blank lines are passed over, the value is the first item of
// the next line, and the rest of that line is a free comment.
class ValueReader {
 public:
  ValueReader(std::istream& in, const std::string& name) : in_(in), name_(name) {}

  // The text from the first non-blank character of the next non-blank line to its end; fails
  // with the read error for wording at the end of the file.
  std::string NextLine(const char* wording) {
    std::string line;
    while (std::getline(in_, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      size_t start = 0;
      while (start < line.size() && IsBlank(line[start])) ++start;
      if (start < line.size()) return line.substr(start);
    }
    ReadError(wording);
  }

  // The first item of the next value line.
  std::string NextItem(const char* wording) {
    const std::string line = NextLine(wording);
    size_t end = 0;
    while (end < line.size() && !EndsItem(line[end])) ++end;
    return line.substr(0, end);
  }

  int32_t Integer(const char* wording) {
    const std::string item = NextItem(wording);
    const char* p = item.data();
    const char* end = p + item.size();
    if (p < end && *p == '+') ++p;  // from_chars takes a minus sign only
    int32_t value = 0;
    const auto [stop, ec] = std::from_chars(p, end, value);
    if (p == end || (*p == '-' && p != item.data()) || ec != std::errc() || stop != end) {
      ReadError(wording);
    }
    return value;
  }

  float Real(const char* wording) {
    std::string item = NextItem(wording);
    if (!IsRealForm(item)) ReadError(wording);
    for (char& c : item) {
      if (c == 'D' || c == 'd' || c == 'e') c = 'E';
    }
    const char* p = item.data() + (item[0] == '+' ? 1 : 0);
    float value = 0;
    // from_chars rounds the whole decimal number correctly; beyond the float range it gives an
    // error, and the decimal order of magnitude tells an overflow (out of every accepted range)
    // from an underflow (0).
    const auto [stop, ec] = std::from_chars(p, item.data() + item.size(), value);
    if (ec == std::errc::result_out_of_range) {
      return (*p == '-' ? -1 : 1) *
             (DecimalOrder(item) > 0 ? std::numeric_limits<float>::infinity() : 0.0f);
    }
    if (ec != std::errc()) ReadError(wording);
    (void)stop;
    return value;
  }

  // The text value: an undelimited item, or a string in apostrophes or quotation marks in which
  // a doubled delimiter stands for one. Cut to the field width, then trimmed of blanks.
  std::string Text(const char* wording) {
    const std::string line = NextLine(wording);
    std::string value;
    if (line[0] == '\'' || line[0] == '"') {
      const char quote = line[0];
      size_t i = 1;
      for (;; ++i) {
        if (i >= line.size()) ReadError(wording);  // no closing delimiter on the line
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
    } else {
      size_t end = 0;
      while (end < line.size() && !EndsItem(line[end])) ++end;
      value = line.substr(0, end);
    }
    if (value.find('\0') != std::string::npos) ReadError(wording);
    if (value.size() > kFieldWidth) value.resize(kFieldWidth);
    const size_t first = value.find_first_not_of(' ');
    if (first == std::string::npos) return "";
    return value.substr(first, value.find_last_not_of(' ') - first + 1);
  }

  [[noreturn]] void ReadError(const char* wording) {
    FatalStop(std::string("Error reading ") + wording + " in input file: " + name_ + "!", kRoutine);
  }

 private:
  // Optional sign, digits with an optional point (at least one digit), optional exponent
  // introduced by E or D with optional sign and at least one digit.
  static bool IsRealForm(const std::string& s) {
    size_t i = 0, digits = 0;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    for (; i < s.size() && IsDigit(s[i]); ++i) ++digits;
    if (i < s.size() && s[i] == '.') {
      for (++i; i < s.size() && IsDigit(s[i]); ++i) ++digits;
    }
    if (digits == 0) return false;
    if (i == s.size()) return true;
    if (std::strchr("EeDd", s[i]) == nullptr) return false;
    ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    const size_t expStart = i;
    while (i < s.size() && IsDigit(s[i])) ++i;
    return i > expStart && i == s.size();
  }

  // The decimal order of magnitude of a nonzero real of the checked form: the exponent of its
  // first significant digit, plus one (0.05: -1, 5: 1, 1E-50: -49). Saturates far beyond the
  // float range, so that ten million digits or a twenty-digit exponent cannot overflow it.
  static int64_t DecimalOrder(const std::string& s) {
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

  std::istream& in_;
  const std::string& name_;
};

[[noreturn]] void OutOfRange(const char* message) {
  FatalStop(message, kRoutine);
}

bool InRange(float v, float lo, float hi) {
  return v >= lo && v <= hi;
}

}  // namespace

Params ReadParaStream(std::istream& in, const std::string& name) {
  ValueReader rd(in, name);
  Params p;
  p.Model = rd.Integer("Model (=0/1)");
  if (p.Model != 0 && p.Model != 1) {
    OutOfRange("Model value must be 0 (isolation) or 1 (migration)!");
  }
  p.Ne = rd.Integer("Ne");
  if (p.Ne < 2 || p.Ne > 100000) OutOfRange("parameter Ne value out of range [2, 100000]!");
  p.MigRate = rd.Real("parameter MigRate");
  if (!InRange(p.MigRate, 0.0f, 1.0f)) OutOfRange("MigRate value out of range [0, 1]!");
  p.NumLoci = rd.Integer("parameter NumLoci");
  if (p.NumLoci < 1 || p.NumLoci > 100000000) {
    OutOfRange("NumLoci value out of range [1, 100000000]!");
  }
  p.NumAllele = rd.Integer("parameter NumAllele");
  if (p.NumAllele < 2 || p.NumAllele > 127) OutOfRange("NumAllele value out of range [2, 127]!");
  p.NumGen = rd.Integer("parameter NumGen");
  if (p.NumGen < 1 || p.NumGen > 10000) OutOfRange("NumGen value out of range [1, 10000]!");
  for (int s = 0; s < 3; ++s) {
    p.NumIndiv[s] = rd.Integer("parameter NumIndiv");
    const bool checked = !(s == kSourceSample && p.Model == 0);
    if (checked && (p.NumIndiv[s] < 1 || p.NumIndiv[s] > 1000000)) {
      OutOfRange("NumIndiv value out of range [1, 1000000]!");
    }
  }
  if (p.Model == 0) p.NumIndiv[kSourceSample] = 0;

  // Refused, as they stop a stream: 0 or a multiple of 2^18 leaves the bit stream at 0 for ever;
  // a magnitude above 2147483646 makes the uniform stream reinitialise on every draw. Accepted,
  // as the uniform stream still runs on one of its two words: 1258593648 and 1258593649 start
  // the multiplicative word at 2^31-1, which it maps to 0 and keeps there, so the draws come
  // from the xorshift word alone; 777755555 starts the xorshift word at 0, where it stays, so
  // they come from the multiplicative word alone.
  const int64_t seed = rd.Integer("parameter IDUM");
  const int64_t magnitude = seed < 0 ? -seed : seed;
  if (seed == 0 || magnitude > 2147483646 || magnitude % 262144 == 0) {
    OutOfRange(
        "Parameter IDUM must be nonzero, within [-2147483646, 2147483646] and not a multiple of "
        "262144!");
  }
  p.IDUM = static_cast<int32_t>(-magnitude);
  p.RanBitSeed = static_cast<uint32_t>(magnitude);

  p.OutFile = rd.Text("parameter OutFile");
  // An unquoted name ends at its first slash: /tmp/x/run reads as empty, ./run as ".". Such a
  // name would write hidden files (.dat, ..dat) in the working folder.
  const std::string last = p.OutFile.substr(p.OutFile.rfind('/') + 1);
  if (last.empty() || last == "." || last == "..") {
    OutOfRange(
        "Parameter OutFile is empty or a folder name; quote a name that holds a slash, e.g. "
        "'results/run1'!");
  }
  p.INIT_POINT = rd.Integer("parameter INIT_POINT");
  if (p.Model == 0) {
    p.INIT_POINT = 1;
  } else if (p.INIT_POINT < 1) {
    OutOfRange("Parameter INIT_POINT < 1!");
  }
  p.MaxNe = rd.Integer("parameter MaxNe");
  if (p.MaxNe < p.Ne) OutOfRange("Parameter MaxNe < Simulated Ne!");
  if (p.MaxNe > 1000000) OutOfRange("Parameter MaxNe out of Range[2, 1000000]!");
  p.Monitor = rd.Integer("parameter Monitor");
  if (p.Monitor < 0 || p.Monitor > 3) OutOfRange("Parameter Monitor out of range {0,1,2,3}!");
  p.NumThread = rd.Integer("parameter NumThread");
  if (p.NumThread < 0) OutOfRange("Parameter NumThread must be >= 0!");
  p.MisRate = rd.Real("parameter MisRate");
  if (!InRange(p.MisRate, 0.0f, 1.0f)) OutOfRange("Parameter MisRate out of range [0, 1]!");
  p.DropRate = rd.Real("parameter DropRate");
  if (!InRange(p.DropRate, 0.0f, 1.0f)) OutOfRange("Parameter DropRate out of range [0, 1]!");
  p.FalseRate = rd.Real("parameter FalseRate");
  if (!InRange(p.FalseRate, 0.0f, 1.0f)) OutOfRange("Parameter FalseRate out of range [0, 1]!");
  p.FreqDist = rd.Integer("parameter FreqDist");
  if (p.FreqDist != 0 && p.FreqDist != 1) OutOfRange("Parameter FreqDist out of range {0, 1}!");
  return p;
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
    FatalStop("Parameter file, " + name + ", does not exist!", kRoutine);
  }
  return name;
}

Params ReadPara(const std::string& name) {
  struct stat st;
  if (stat(name.c_str(), &st) != 0) {
    FatalStop("Parameter file, " + name + ", does not exist!", kRoutine);
  }
  if (S_ISDIR(st.st_mode)) {
    FatalStop("Parameter file, " + name + ", cannot be read: " + std::strerror(EISDIR) + "!",
              kRoutine);
  }
  // A device never ends its lines (/dev/zero): reading it would fill memory.
  if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) {
    FatalStop("Parameter file, " + name + ", cannot be read: not a regular file!", kRoutine);
  }
  std::ifstream in(name, std::ios::binary);
  if (!in) {
    FatalStop("Parameter file, " + name + ", cannot be read: " + std::strerror(errno) + "!",
              kRoutine);
  }
  const Params p = ReadParaStream(in, name);
  // The output replaces its files by renaming over them: it must not be the parameter file
  // itself (the same device and inode, whatever the path). A link named like the output is
  // replaced, not followed, so its own inode is the one compared.
  for (const char* ext : {".dat", ".par"}) {
    const std::string out = p.OutFile + ext;
    struct stat os;
    if (lstat(out.c_str(), &os) == 0 && os.st_dev == st.st_dev && os.st_ino == st.st_ino) {
      FatalStop("Output file " + out + " would overwrite the parameter file!", kRoutine);
    }
  }
  return p;
}

}  // namespace driftsim
