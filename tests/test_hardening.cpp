// Hostile input and faults: every bad parameter file is refused with one of the reader's
// messages, every failure of the output files ends the run with exit status 1 and leaves no
// temporary file and no changed earlier file behind, and an interrupted run cleans up too.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "fuzz/param_checks.hpp"
#include "test_support.hpp"

namespace driftsim::test {
namespace {

namespace fs = std::filesystem;
using check::ReadErrorMessage;

constexpr const char* kName = "SimPara.txt";

std::string ReadError(const std::string& wording) {
  return ReadErrorMessage(wording, kName);
}

// ---------------------------------------------------------------------------------------------
// Parameter files cut short

// One line of a parameter file: leading blanks, the value item, the rest of the line. A line
// with an empty item is a blank line. For every shorter non-empty start of the item, shortCuts
// gives what reading it leads to: kReadable (a valid value: the next value is then missing),
// kUnreadable (the read error of this value) or the range message of this value.
struct CutLine {
  std::string lead, item, rest;
  std::string wording;
  std::map<std::string, std::string> shortCuts;
};
const std::string kReadable = "readable";
const std::string kUnreadable = "unreadable";

const std::vector<CutLine>& CutFile() {
  static const std::vector<CutLine> lines = {
      {"", "1", "   Model", "Model (=0/1)", {}},
      {"",
       "1000",
       " Ne",
       "Ne",
       {{"1", "parameter Ne value out of range [2, 100000]!"},
        {"10", kReadable},
        {"100", kReadable}}},
      {" \t ", "", "", "", {}},
      {"",
       "0.01",
       "\tMigRate",
       "parameter MigRate",
       {{"0", kReadable}, {"0.", kReadable}, {"0.0", kReadable}}},
      {"\t", "100", " NumLoci", "parameter NumLoci", {{"1", kReadable}, {"10", kReadable}}},
      {"",
       "10",
       " NumAllele",
       "parameter NumAllele",
       {{"1", "NumAllele value out of range [2, 127]!"}}},
      {"", "5", " NumGen", "parameter NumGen", {}},
      {"  ", "50", " source sample", "parameter NumIndiv", {{"5", kReadable}}},
      {"", "+50", " sample 1", "parameter NumIndiv", {{"+", kUnreadable}, {"+5", kReadable}}},
      {"", "50", ",sample 2", "parameter NumIndiv", {{"5", kReadable}}},
      {"", "", "", "", {}},
      {"",
       "-12345",
       " IDUM",
       "parameter IDUM",
       {{"-", kUnreadable},
        {"-1", kReadable},
        {"-12", kReadable},
        {"-123", kReadable},
        {"-1234", kReadable}}},
      // An OutFile cut before its closing delimiter has no end.
      {" ",
       "'my run'",
       " OutFile",
       "parameter OutFile",
       {{"'", kUnreadable},
        {"'m", kUnreadable},
        {"'my", kUnreadable},
        {"'my ", kUnreadable},
        {"'my r", kUnreadable},
        {"'my ru", kUnreadable},
        {"'my run", kUnreadable}}},
      {"", "3", " INIT_POINT", "parameter INIT_POINT", {}},
      {"",
       "2000",
       "/MaxNe",
       "parameter MaxNe",
       {{"2", "Parameter MaxNe < Simulated Ne!"},
        {"20", "Parameter MaxNe < Simulated Ne!"},
        {"200", "Parameter MaxNe < Simulated Ne!"}}},
      {"", "1", " Monitor", "parameter Monitor", {}},
      {"", "0", " NumThread", "parameter NumThread", {}},
      {"",
       "1E-3",
       " MisRate",
       "parameter MisRate",
       {{"1", kReadable}, {"1E", kUnreadable}, {"1E-", kUnreadable}}},
      {"",
       "1.0D-3",
       " DropRate",
       "parameter DropRate",
       {{"1", kReadable},
        {"1.", kReadable},
        {"1.0", kReadable},
        {"1.0D", kUnreadable},
        {"1.0D-", kUnreadable}}},
      {"", ".05", " FalseRate", "parameter FalseRate", {{".", kUnreadable}, {".0", kReadable}}},
      {"", "0", " FreqDist", "parameter FreqDist", {}},
  };
  return lines;
}

// The outcome of reading the first cut bytes of the file made of CutFile() with line ends eol:
// "" when accepted, else the expected message.
std::string ExpectedForCut(const std::string& eol, size_t cut) {
  size_t pos = 0;
  for (const CutLine& line : CutFile()) {
    const size_t start = pos + line.lead.size();
    const size_t end = start + line.item.size();
    pos = end + line.rest.size() + eol.size();
    if (line.item.empty() || cut >= end) continue;  // blank line, or a whole value
    if (cut <= start) return ReadError(line.wording);
    const std::string kept = line.item.substr(0, cut - start);
    const auto found = line.shortCuts.find(kept);
    if (found == line.shortCuts.end()) {
      ADD_FAILURE() << "no expectation for the cut item " << kept;
      return "?";
    }
    if (found->second == kUnreadable) return ReadError(line.wording);
    if (found->second != kReadable) return found->second;
    // A readable shorter value: the file then ends before the next value.
    for (const CutLine* next = &line + 1; next != CutFile().data() + CutFile().size(); ++next) {
      if (!next->item.empty()) return ReadError(next->wording);
    }
    return "";
  }
  return "";
}

TEST(CutParameterFile, EveryPrefixIsRefusedNamingTheFirstMissingValue) {
  for (const std::string eol : {"\n", "\r\n"}) {
    std::string text;
    for (const CutLine& line : CutFile()) text += line.lead + line.item + line.rest + eol;
    ASSERT_EQ(Refusal(text), "");
    for (size_t cut = 0; cut < text.size(); ++cut) {
      EXPECT_EQ(Refusal(text.substr(0, cut)), ExpectedForCut(eol, cut))
          << "cut after " << cut << " bytes of a file with " << (eol.size() == 2 ? "CR LF" : "LF")
          << " ends: ..." << text.substr(cut > 20 ? cut - 20 : 0, cut > 20 ? 20 : cut);
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Hostile parameter text, read in-process

TEST(HostileParameterText, RandomBytesAreRefusedWithTheReadersMessages) {
  std::mt19937 gen(20240607);
  const std::string valid = ParamLines().Text();
  int refused = 0;
  for (int round = 0; round < 400; ++round) {
    std::string junk(gen() % 3000, '\0');
    for (char& c : junk) c = static_cast<char>(gen());
    // Garbage alone, and garbage after a valid start of every length.
    const size_t keep = round % 2 ? 0 : gen() % valid.size();
    const std::string text = valid.substr(0, keep) + junk;
    const std::string outcome = check::UnacceptableOutcome(text, kName);
    EXPECT_EQ(outcome, "") << "round " << round;
    if (Refusal(text) != "") ++refused;
  }
  EXPECT_GT(refused, 390);
}

TEST(HostileParameterText, NulBytes) {
  ParamLines p;
  p[1] = std::string(1, '\0');
  EXPECT_EQ(Refusal(p.Text()), ReadError("Model (=0/1)"));
  p = ParamLines();
  p[2] = std::string(
      "10\0"
      "00",
      5);
  EXPECT_EQ(Refusal(p.Text()), ReadError("Ne"));
  p = ParamLines();
  p[11] = std::string("ru\0n", 4);
  EXPECT_EQ(Refusal(p.Text()), ReadError("parameter OutFile"));
  // A line of NUL bytes is not a blank line: it takes the place of the next value.
  std::string text = ParamLines().Text();
  text.insert(text.find('\n') + 1, std::string(3, '\0') + "\n");
  EXPECT_EQ(Refusal(text), ReadError("Ne"));
  // After the value, NUL bytes are part of the free comment.
  p = ParamLines();
  p[2] = "1000 " + std::string(5, '\0') + " comment";
  EXPECT_EQ(Parse(p.Text()).Ne, 1000);
}

TEST(HostileParameterText, HugeLinesAndManyBlankLines) {
  const std::string big(10 << 20, '7');
  ParamLines p;
  p[2] = "1000 " + std::string(10 << 20, 'c');  // a 10 MB comment
  EXPECT_EQ(Parse(p.Text()).Ne, 1000);
  p[2] = big;  // a 10 MB number
  EXPECT_EQ(Refusal(p.Text()), ReadError("Ne"));
  p[2] = "0." + big;  // a 10 MB real is an integer read error all the same
  EXPECT_EQ(Refusal(p.Text()), ReadError("Ne"));
  p = ParamLines();
  p[3] = "0." + big;
  EXPECT_FLOAT_EQ(Parse(p.Text()).MigRate, 0.7777778f);
  p = ParamLines();
  p[11] = big;  // cut to the 999-character field
  EXPECT_EQ(Parse(p.Text()).OutFile, std::string(999, '7'));
  p[11] = "'   " + std::string(2000, 'x') + "'";  // cut first, then trimmed
  EXPECT_EQ(Parse(p.Text()).OutFile, std::string(996, 'x'));

  // A line of 10 MB blanks and a million blank lines of every kind before each of two values.
  std::string blanks = std::string(10 << 20, ' ') + "\n";
  for (int i = 0; i < 1000000; ++i) blanks += i % 3 == 0 ? "\n" : i % 3 == 1 ? " \t\r\n" : "\t\n";
  const std::string text = ParamLines().Text();
  const size_t third = text.find("0.01");
  const Params q = Parse(blanks + text.substr(0, third) + blanks + text.substr(third));
  const Params plain = Parse(text);
  EXPECT_EQ(q.Ne, plain.Ne);
  EXPECT_EQ(q.MigRate, plain.MigRate);
  EXPECT_EQ(q.OutFile, plain.OutFile);
  EXPECT_EQ(q.FreqDist, plain.FreqDist);
}

TEST(HostileParameterText, NonAsciiBytes) {
  struct Case {
    int line;
    std::string value;
    std::string wording;
  };
  const Case cases[] = {
      {1, "\xef\xbc\x91", "Model (=0/1)"},           // full-width digit one
      {2, "1000\xc3\xa9", "Ne"},                     // a letter glued to the number
      {2, "1000\xc2\xa0Ne", "Ne"},                   // a no-break space is no separator
      {3, "0.5\xc2\xb5", "parameter MigRate"},       // micro sign
      {4, "\xd9\xa1\xd9\xa0", "parameter NumLoci"},  // Arabic-Indic digits
      {10,
       "\xff\xfe"
       "7",
       "parameter IDUM"},  // byte-order mark bytes
      {16,
       "0\xe2\x80\xa4"
       "5",
       "parameter MisRate"},  // one-dot leader instead of a point
  };
  for (const Case& c : cases) {
    ParamLines p;
    p[c.line] = c.value;
    EXPECT_EQ(Refusal(p.Text()), ReadError(c.wording)) << "line " << c.line;
  }
  ParamLines p;
  p[11] = "'d\xc3\xa4t\xc3\xa4 \xe6\x95\xb0\xe6\x8d\xae \xff\x80'";
  EXPECT_EQ(Parse(p.Text()).OutFile, "d\xc3\xa4t\xc3\xa4 \xe6\x95\xb0\xe6\x8d\xae \xff\x80");
  p[11] = "\xce\xb1\xce\xb2 comment";
  EXPECT_EQ(Parse(p.Text()).OutFile, "\xce\xb1\xce\xb2");
}

TEST(HostileParameterText, IntegersAtAndBeyondThe32BitLimits) {
  struct Case {
    int line;
    const char* value;
    std::string refusal;  // "" when accepted
  };
  const std::string ne = "parameter Ne value out of range [2, 100000]!";
  const std::string idum = check::kRangeMessages[7];
  const Case cases[] = {
      {2, "2147483647", ne},
      {2, "-2147483648", ne},
      {2, "2147483648", ReadError("Ne")},
      {2, "-2147483649", ReadError("Ne")},
      {2, "4294967298", ReadError("Ne")},  // would wrap to 2
      {2, "18446744073709551618", ReadError("Ne")},
      {2, "99999999999999999999999999999999", ReadError("Ne")},
      {1, "4294967297", ReadError("Model (=0/1)")},  // would wrap to 1
      {1, "-2147483648", "Model value must be 0 (isolation) or 1 (migration)!"},
      {1, "+1", ""},
      {1, "1e0", ReadError("Model (=0/1)")},
      {1, "0x1", ReadError("Model (=0/1)")},
      {1, "1-", ReadError("Model (=0/1)")},
      {1, "-+1", ReadError("Model (=0/1)")},
      {1, "+", ReadError("Model (=0/1)")},
      {15, "2147483647", ""},
      {15, "+2147483647", ""},
      {15, "2147483648", ReadError("parameter NumThread")},
      {15, "-2147483648", "Parameter NumThread must be >= 0!"},
      {10, "2147483646", ""},
      {10, "-2147483646", ""},
      {10, "+2147483645", ""},
      {10, "2147483647", idum},
      {10, "-2147483648", idum},
      {10, "2147483648", ReadError("parameter IDUM")},
      {10, "-2147483649", ReadError("parameter IDUM")},
      {10, "2147221504", idum},  // 8191 x 262144
      {12, "-2147483648", "Parameter INIT_POINT < 1!"},
      {12, "2147483647", ""},
      {13, "2147483647", "Parameter MaxNe out of Range[2, 1000000]!"},
      {13, "-2147483648", "Parameter MaxNe < Simulated Ne!"},
      {14, "2147483647", "Parameter Monitor out of range {0,1,2,3}!"},
      {19, "-2147483648", "Parameter FreqDist out of range {0, 1}!"},
      {4, "2147483647", "NumLoci value out of range [1, 100000000]!"},
      {7, "-2147483648", "NumIndiv value out of range [1, 1000000]!"},
  };
  for (const Case& c : cases) {
    ParamLines p;
    p[c.line] = c.value;
    EXPECT_EQ(Refusal(p.Text()), c.refusal) << "line " << c.line << " = " << c.value;
  }
  // Seeds at the limits keep their magnitude in both streams.
  ParamLines p;
  p[10] = "2147483646";
  const Params q = Parse(p.Text());
  EXPECT_EQ(q.IDUM, -2147483646);
  EXPECT_EQ(q.RanBitSeed, 2147483646u);
  // Under isolation the source sample size is read but any 32-bit value is discarded.
  p = ParamLines();
  p[1] = "0";
  p[7] = "-2147483648";
  EXPECT_EQ(Parse(p.Text()).NumIndiv[0], 0);
  p[7] = "2147483648";
  EXPECT_EQ(Refusal(p.Text()), ReadError("parameter NumIndiv"));
}

TEST(HostileParameterText, RealsOutOfTheOrdinary) {
  const std::string mig = "MigRate value out of range [0, 1]!";
  const std::string mis = "Parameter MisRate out of range [0, 1]!";
  struct Case {
    int line;
    const char* value;
    std::string refusal;
  };
  const Case cases[] = {
      {3, "1E50", mig},
      {3, "-1E50", mig},
      {3, "1D400", mig},
      {3, "1E2147483648", mig},
      {3, "1E99999999999999999999", mig},
      {3, "3.5E38", mig},  // beyond the largest float
      {3, "-0", ""},
      {3, "-0.0E0", ""},
      {3, "+.5", ""},
      {3, "1E-99999999999999999999", ""},
      {3, "1E-40", ""},       // a denormal float, in range
      {3, "1.00000001", ""},  // rounds to 1 in single precision: accepted
      {3, "1.0000001", mig},  // rounds above 1
      {3, "0.99999999999", ""},
      {16, "1E50", mis},
      {16, "-1E-50", ""},
      {16, "1.0000001", mis},
  };
  for (const Case& c : cases) {
    ParamLines p;
    p[c.line] = c.value;
    EXPECT_EQ(Refusal(p.Text()), c.refusal) << "line " << c.line << " = " << c.value;
  }
  // Spelled-out special values and other number forms are not reals of the file.
  for (const char* word :
       {"NaN", "nan", "-nan", "NAN(123)", "Inf", "-inf", "+INF", "Infinity", "-Infinity", "0x1p-2",
        "1E", "E5", ".", "-.", "1..2", "1E+-3", "1E5.", "1,5E0x", "\xe2\x88\x9e"}) {
    for (int line : {3, 16, 17, 18}) {
      ParamLines p;
      p[line] = word;
      const std::string refusal = Refusal(p.Text());
      if (std::string(word) == "1,5E0x") {
        EXPECT_EQ(refusal, "") << word;  // the comma ends the item: the value is 1
        continue;
      }
      EXPECT_EQ(refusal, ReadError(check::kReadWordings[line == 3 ? 2 : line - 3]))
          << "line " << line << " = " << word;
    }
  }
}

// Each file of the fuzz corpus is accepted or refused as its name says: valid-*, read-* (a read
// error), range-* (an out-of-range message); any other file is a fuzzing finding kept as a
// regression case, which must only lead to an acceptable outcome.
TEST(HostileParameterText, FuzzCorpusReplays) {
  const fs::path corpus = fs::path(DRIFTSIM_TEST_DATA) / "fuzz" / "corpus";
  int files = 0;
  for (const auto& entry : fs::directory_iterator(corpus)) {
    const std::string name = entry.path().filename().string();
    const std::string text = ReadFile(entry.path().string());
    ++files;
    EXPECT_EQ(check::UnacceptableOutcome(text, kName), "") << name;
    const std::string refusal = Refusal(text);
    if (name.starts_with("valid-")) {
      EXPECT_EQ(refusal, "") << name;
    } else if (name.starts_with("read-")) {
      EXPECT_TRUE(refusal.starts_with("Error reading ")) << name << ": " << refusal;
    } else if (name.starts_with("range-")) {
      EXPECT_TRUE(refusal != "" && !refusal.starts_with("Error reading ")) << name;
    }
  }
  EXPECT_GE(files, 40);
}

// ---------------------------------------------------------------------------------------------
// End-to-end runs of the binary

// A run of the binary in dir, its console (stdout and stderr) going to dir/console.txt.
struct Launch {
  std::vector<std::string> args;
  fs::path dir;
  rlim_t fileSizeLimit = RLIM_INFINITY;  // bytes
  bool ignoreFileSizeSignal = true;
};

struct Ended {
  bool exited = false;
  int status = -1;  // exit status, or the signal that ended the process
  std::string console;
};

pid_t Start(const Launch& l) {
  const std::string console = (l.dir / "console.txt").string();
  std::vector<char*> argv;
  std::string binary = DRIFTSIM_BINARY;
  argv.push_back(binary.data());
  std::vector<std::string> args = l.args;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const int out = open(console.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (out < 0) return -1;
  const pid_t pid = fork();
  if (pid == 0) {
    // Only async-signal-safe calls between fork and exec.
    if (chdir(l.dir.c_str()) != 0) _exit(127);
    dup2(out, 1);
    dup2(out, 2);
    if (l.fileSizeLimit != RLIM_INFINITY) {
      const struct rlimit limit = {l.fileSizeLimit, l.fileSizeLimit};
      setrlimit(RLIMIT_FSIZE, &limit);
    }
    if (l.ignoreFileSizeSignal) signal(SIGXFSZ, SIG_IGN);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(out);
  return pid;
}

// Waits for the run; a run still going after two minutes is killed and reported as such.
Ended Wait(pid_t pid, const fs::path& dir) {
  Ended e;
  int status = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(2);
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      ADD_FAILURE() << "run did not end within two minutes";
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  e.exited = WIFEXITED(status);
  e.status = e.exited ? WEXITSTATUS(status) : WIFSIGNALED(status) ? WTERMSIG(status) : -1;
  e.console = ReadFile((dir / "console.txt").string());
  return e;
}

// Runs all launches at the same time, so that their two-second fatal pauses overlap.
std::vector<Ended> RunAll(const std::vector<Launch>& launches) {
  std::vector<pid_t> pids;
  for (const Launch& l : launches) pids.push_back(Start(l));
  std::vector<Ended> ended;
  for (size_t i = 0; i < pids.size(); ++i) {
    if (pids[i] < 0) {
      ADD_FAILURE() << "could not start run " << i;
      ended.emplace_back();
      continue;
    }
    ended.push_back(Wait(pids[i], launches[i].dir));
  }
  return ended;
}

// Names in dir (not below it) that look like temporary output files.
std::vector<std::string> TempFilesIn(const fs::path& dir) {
  std::vector<std::string> found;
  for (const auto& entry : fs::directory_iterator(dir)) {
    const std::string name = entry.path().filename().string();
    if (name.find(".driftsim-") != std::string::npos || name.ends_with(".tmp")) {
      found.push_back(name);
    }
  }
  return found;
}

// The fatal report: the message between an empty first line and the stop line.
void ExpectFatal(const Ended& e, const std::string& messagePart, const std::string& routine) {
  EXPECT_TRUE(e.exited) << "ended by signal " << e.status;
  EXPECT_EQ(e.status, 1);
  EXPECT_NE(e.console.find("\n" + messagePart), std::string::npos)
      << "missing \"" << messagePart << "\" in:\n"
      << e.console.substr(e.console.size() > 2000 ? e.console.size() - 2000 : 0);
  EXPECT_TRUE(e.console.ends_with("\n\nProgram stopped in subroutine " + routine + "\n"))
      << e.console.substr(e.console.size() > 300 ? e.console.size() - 300 : 0);
  EXPECT_EQ(e.console.find("Simulation completed."), std::string::npos);
}

// A small valid run with the given lines replaced.
std::string SmallRun(const std::vector<std::pair<int, std::string>>& changes) {
  ParamLines p;
  p[2] = "20";
  p[4] = "12";
  p[6] = "2";
  p[7] = p[8] = p[9] = "5";
  p[11] = "out";
  p[13] = "20";
  for (const auto& [line, value] : changes) p[line] = value;
  return p.Text();
}

// Files standing for those of an earlier run: whatever a failed run does, they stay as they are.
struct EarlierFiles {
  EarlierFiles(const fs::path& d, const std::string& stem) : dir(d), stem_(stem) {
    WriteFile(Path(".dat"), "S1_1 1 2\r\nearlier data of " + stem + "\r\n");
    WriteFile(Path(".par"), "1                            !earlier parameters of " + stem + "\r\n");
    dat = ReadFile(Path(".dat"));
    par = ReadFile(Path(".par"));
  }
  std::string Path(const char* ext) const { return (dir / (stem_ + ext)).string(); }
  void ExpectUntouched() const {
    EXPECT_EQ(ReadFile(Path(".dat")), dat) << stem_ << ".dat changed";
    EXPECT_EQ(ReadFile(Path(".par")), par) << stem_ << ".par changed";
  }
  fs::path dir;
  std::string stem_, dat, par;
};

TEST(EndToEnd, BadParameterFileArgumentsAndContents) {
  TempDir root;
  std::vector<Launch> runs;
  auto dirFor = [&](const std::string& name) {
    const fs::path d = root.Path() / name;
    fs::create_directory(d);
    return d;
  };
  // 0: a directory as the parameter file.
  const fs::path d0 = dirFor("dir");
  fs::create_directory(d0 / "params");
  runs.push_back({{"params"}, d0});
  // 1: an argument of 5000 characters: only its first 999 name the file.
  const std::string longArg(5000, 'p');
  runs.push_back({{longArg}, dirFor("long")});
  // 2: binary garbage with NUL bytes.
  const fs::path d2 = dirFor("garbage");
  std::string junk;
  for (int i = 0; i < 4096; ++i) junk += static_cast<char>((i * 7919 + 13) % 256);
  WriteFile((d2 / "junk.txt").string(), std::string("\0\x01\x02", 3) + junk);
  runs.push_back({{"junk.txt"}, d2});
  // 3: a value beyond the 32-bit range.
  const fs::path d3 = dirFor("overflow");
  WriteFile((d3 / "p.txt").string(), SmallRun({{4, "4294967297"}}));
  runs.push_back({{"p.txt"}, d3});
  // 4: a real spelled as a special value.
  const fs::path d4 = dirFor("nan");
  WriteFile((d4 / "p.txt").string(), SmallRun({{3, "NaN"}}));
  runs.push_back({{"p.txt"}, d4});

  const std::vector<Ended> ended = RunAll(runs);
  ExpectFatal(ended[0],
              "Parameter file, params, cannot be read: " + std::string(std::strerror(EISDIR)) + "!",
              "ReadPara");
  ExpectFatal(ended[1], "Parameter file, " + longArg.substr(0, 999) + ", does not exist!",
              "ReadPara");
  ExpectFatal(ended[2], ReadErrorMessage("Model (=0/1)", "junk.txt"), "ReadPara");
  ExpectFatal(ended[3], ReadErrorMessage("parameter NumLoci", "p.txt"), "ReadPara");
  ExpectFatal(ended[4], ReadErrorMessage("parameter MigRate", "p.txt"), "ReadPara");
  for (const Launch& l : runs) {
    EXPECT_TRUE(TempFilesIn(l.dir).empty()) << l.dir;
    EXPECT_FALSE(fs::exists(l.dir / "out.dat")) << l.dir;
  }
}

// The first 999 characters of a longer argument name the parameter file.
TEST(ParameterFileArgument, CutToTheFieldWidth) {
  TempDir root;
  fs::path dir = root.Path();
  // Directories of 200 characters until a last name brings the path to exactly 999 characters.
  while (dir.string().size() + 1 + 200 + 1 + 50 < 999) dir /= std::string(200, 'd');
  fs::create_directories(dir);
  const size_t left = 999 - dir.string().size() - 1;
  const fs::path file = dir / std::string(left, 'f');
  ASSERT_EQ(file.string().size(), 999u);
  WriteFile(file.string(), SmallRun({{11, "'" + (root.Path() / "cut").string() + "'"}}));
  const std::string arg = file.string() + "/beyond the field";
  testing::internal::CaptureStdout();
  RunSimulation(arg.c_str());
  const std::string console = testing::internal::GetCapturedStdout();
  EXPECT_TRUE(console.starts_with("Reading parameter file: " + file.string() + "\n"));
  EXPECT_TRUE(fs::exists(root.Path() / "cut.dat"));
  EXPECT_TRUE(fs::exists(root.Path() / "cut.par"));
}

TEST(EndToEnd, SizesThatCannotFitStopAtOnce) {
  TempDir root;
  std::vector<Launch> runs;
  const int32_t alleleCounts[] = {2, 10, 127};
  for (int32_t alleles : alleleCounts) {
    const fs::path d = root.Path() / ("a" + std::to_string(alleles));
    fs::create_directory(d);
    WriteFile((d / "p.txt").string(), SmallRun({{2, "100000"},
                                                {4, "100000000"},
                                                {5, std::to_string(alleles)},
                                                {7, "50"},
                                                {8, "50"},
                                                {9, "50"},
                                                {13, "100000"}}));
    runs.push_back({{"p.txt"}, d});
  }
  const std::vector<Ended> ended = RunAll(runs);
  // The frequency table (4 bytes per allele and locus) fails first when it alone is beyond the
  // machine's memory; otherwise the genotype tables: 25000000 bytes per packed record, two bytes
  // per locus unpacked, for 150 sampled records and two generations of 100000.
  const uint64_t memory = uint64_t(sysconf(_SC_PHYS_PAGES)) * uint64_t(sysconf(_SC_PAGE_SIZE));
  for (size_t i = 0; i < ended.size(); ++i) {
    const int64_t alleles = int64_t{alleleCounts[i]} * 100000000;
    const std::string recordBytes = alleleCounts[i] == 2 ? "25000000" : "200000000";
    ExpectFatal(
        ended[i],
        uint64_t(alleles) * 4 > memory
            ? "The total number of  alleles = " + std::to_string(alleles) + ". Out of memory!"
            : "Too large Ne/SampleSize or/and too many loci. Out of memory!\n" + recordBytes +
                  "*200150 bytes are required!",
        "Initialize");
    EXPECT_TRUE(TempFilesIn(runs[i].dir).empty()) << runs[i].dir;
  }
}

TEST(EndToEnd, OutputFailuresLeaveEarlierFilesAlone) {
  TempDir root;
  std::vector<Launch> runs;
  std::vector<EarlierFiles> earlier;
  auto add = [&](const std::string& name, const std::string& outFile,
                 std::vector<std::pair<int, std::string>> changes = {}) {
    const fs::path d = root.Path() / name;
    fs::create_directory(d);
    changes.emplace_back(11, "'" + outFile + "'");
    WriteFile((d / "p.txt").string(), SmallRun(changes));
    runs.push_back({{"p.txt"}, d});
    earlier.emplace_back(d, "out");
    return d;
  };
  // 0: the directory of OutFile does not exist.
  add("missing", "nowhere/out");
  // 1: OutFile.dat is an existing directory (with a file in it).
  const fs::path d1 = add("datdir", "run");
  fs::create_directory(d1 / "run.dat");
  WriteFile((d1 / "run.dat" / "inside").string(), "kept");
  WriteFile((d1 / "run.par").string(), "earlier run.par");
  // 2: OutFile.par is an existing directory: the finished data file must not replace run.dat.
  const fs::path d2 = add("pardir", "run");
  fs::create_directory(d2 / "run.par");
  WriteFile((d2 / "run.dat").string(), "earlier run.dat");
  // 3: a name longer than the file system allows.
  add("toolong", std::string(300, 'n'));
  // 4: a path through a regular file.
  const fs::path d4 = add("notdir", "plain/out");
  WriteFile((d4 / "plain").string(), "a file, not a directory");
  // 5 and 6: the file-size limit reached in the middle of the data file (about 4 MB long), with
  // the limit signal ignored as a shell's `trap "" XFSZ` does.
  for (const char* name : {"fsize", "fsize-small"}) {
    add(name, "out",
        {{1, "0"}, {2, "20"}, {4, "5000"}, {5, "10"}, {8, "200"}, {9, "200"}, {13, "20"}});
  }
  runs[5].fileSizeLimit = 1536 * 1024;
  runs[6].fileSizeLimit = 64 * 1024;  // inside the first block written

  const std::vector<Ended> ended = RunAll(runs);
  auto reason = [](int err) { return std::string(std::strerror(err)) + "!"; };
  ExpectFatal(ended[0], "Cannot create file nowhere/out.dat: " + reason(ENOENT), "WriteGenoFile");
  ExpectFatal(ended[1], "Cannot create file run.dat: " + reason(EISDIR), "WriteGenoFile");
  ExpectFatal(ended[2], "Cannot create file run.par: " + reason(EISDIR), "WriteParaFile");
  ExpectFatal(ended[3],
              "Cannot rename file " + std::string(300, 'n') + ".dat: " + reason(ENAMETOOLONG),
              "WriteGenoFile");
  ExpectFatal(ended[4], "Cannot create file plain/out.dat: " + reason(ENOTDIR), "WriteGenoFile");
  ExpectFatal(ended[5], "Cannot write file out.dat: " + reason(EFBIG), "WriteGenoFile");
  ExpectFatal(ended[6], "Cannot write file out.dat: " + reason(EFBIG), "WriteGenoFile");

  for (size_t i = 0; i < runs.size(); ++i) {
    EXPECT_TRUE(TempFilesIn(runs[i].dir).empty()) << runs[i].dir;
    earlier[i].ExpectUntouched();
  }
  EXPECT_FALSE(fs::exists(runs[0].dir / "nowhere"));
  EXPECT_TRUE(fs::is_directory(d1 / "run.dat"));
  EXPECT_EQ(ReadFile((d1 / "run.dat" / "inside").string()), "kept");
  EXPECT_EQ(ReadFile((d1 / "run.par").string()), "earlier run.par");
  EXPECT_EQ(ReadFile((d2 / "run.dat").string()), "earlier run.dat");
  EXPECT_TRUE(fs::is_directory(d2 / "run.par"));
  EXPECT_EQ(ReadFile((d4 / "plain").string()), "a file, not a directory");
}

// A file-size limit without the signal ignored: the limit signal must not end the run before
// it can remove its temporary file.
TEST(EndToEnd, FileSizeLimitSignalLeavesNoTemporaryFile) {
  TempDir root;
  Launch run{{"p.txt"}, root.Path()};
  WriteFile(
      (root / "p.txt"),
      SmallRun({{1, "0"}, {2, "20"}, {4, "5000"}, {5, "10"}, {8, "200"}, {9, "200"}, {13, "20"}}));
  const EarlierFiles earlier(root.Path(), "out");
  run.fileSizeLimit = 1536 * 1024;
  run.ignoreFileSizeSignal = false;
  const Ended e = RunAll({run})[0];
  EXPECT_TRUE(TempFilesIn(root.Path()).empty());
  earlier.ExpectUntouched();
  ExpectFatal(e, "Cannot write file out.dat: " + std::string(std::strerror(EFBIG)) + "!",
              "WriteGenoFile");
}

// Non-ASCII bytes in a quoted OutFile pass unchanged into the file names and the data file name
// of the estimator parameter file.
TEST(OutFileName, NonAsciiBytesNameTheFiles) {
  TempDir dir;
  const std::string stem = "d\xc3\xa4t\xc3\xa4 \xe6\x95\xb0\xe6\x8d\xae";
  WriteFile(dir / "p.txt", SmallRun({{11, "'" + (dir.Path() / stem).string() + "'"}}));
  testing::internal::CaptureStdout();
  RunSimulation((dir / "p.txt").c_str());
  testing::internal::GetCapturedStdout();
  EXPECT_TRUE(fs::exists(dir.Path() / (stem + ".dat")));
  const std::string par = ReadFile((dir.Path() / (stem + ".par")).string());
  EXPECT_NE(par.find("\"" + (dir.Path() / stem).string() + ".dat\"  !DataFile,"),
            std::string::npos);
}

// ---------------------------------------------------------------------------------------------
// Interruption

class Interrupted : public testing::TestWithParam<int> {};

// A signal during the generations: the process ends by that signal and writes nothing.
TEST_P(Interrupted, DuringTheGenerations) {
  const int sig = GetParam();
  TempDir root;
  WriteFile(root / "p.txt", SmallRun({{2, "20000"}, {4, "2000"}, {13, "20000"}}));
  const EarlierFiles earlier(root.Path(), "out");
  const pid_t pid = Start({{"p.txt"}, root.Path()});
  ASSERT_GT(pid, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  kill(pid, sig);
  const Ended e = Wait(pid, root.Path());
  EXPECT_FALSE(e.exited);
  EXPECT_EQ(e.status, sig) << e.console.substr(0, 500);
  EXPECT_TRUE(TempFilesIn(root.Path()).empty());
  earlier.ExpectUntouched();
}

// A signal while the data file is being written (its temporary file exists): the temporary
// file is removed and the earlier files stay.
TEST_P(Interrupted, WhileWritingTheDataFile) {
  const int sig = GetParam();
  TempDir root;
  // A data file of about 320 MB (80000 lines) after quick generations and no genotyping errors:
  // the writing takes a while.
  WriteFile(root / "p.txt", SmallRun({{1, "0"},
                                      {2, "10"},
                                      {4, "1000"},
                                      {5, "2"},
                                      {6, "1"},
                                      {8, "40000"},
                                      {9, "40000"},
                                      {13, "10"},
                                      {16, "0"},
                                      {17, "0"},
                                      {18, "0"}}));
  const EarlierFiles earlier(root.Path(), "out");
  const pid_t pid = Start({{"p.txt"}, root.Path()});
  ASSERT_GT(pid, 0);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(2);
  bool seen = false;
  int status = 0;
  while (!seen && std::chrono::steady_clock::now() < deadline) {
    seen = !TempFilesIn(root.Path()).empty();
    if (!seen && waitpid(pid, &status, WNOHANG) == pid) break;
    if (!seen) std::this_thread::sleep_for(std::chrono::microseconds(500));
  }
  ASSERT_TRUE(seen) << "the temporary data file never appeared";
  kill(pid, sig);
  const Ended e = Wait(pid, root.Path());
  EXPECT_FALSE(e.exited);
  EXPECT_EQ(e.status, sig);
  EXPECT_TRUE(TempFilesIn(root.Path()).empty());
  earlier.ExpectUntouched();
}

std::string SignalName(const testing::TestParamInfo<int>& param) {
  return param.param == SIGINT ? "SIGINT" : "SIGTERM";
}
INSTANTIATE_TEST_SUITE_P(Signals, Interrupted, testing::Values(SIGINT, SIGTERM), SignalName);

// ---------------------------------------------------------------------------------------------
// Randomised runs: format invariants of both files and reproducibility

// Working directory for the duration of a test.
class InDirectory {
 public:
  explicit InDirectory(const fs::path& dir) : previous_(fs::current_path()) {
    fs::current_path(dir);
  }
  ~InDirectory() { fs::current_path(previous_); }

 private:
  fs::path previous_;
};

std::vector<std::string> CrLfLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    const size_t end = text.find("\r\n", start);
    if (end == std::string::npos) {
      lines.push_back(text.substr(start));  // no line end: caught by the callers
      break;
    }
    lines.push_back(text.substr(start, end - start));
    start = end + 2;
  }
  return lines;
}

// The parameter line the estimation program reads: the comment at column 30, or after two
// blanks when the value is too long for that.
std::string ParLine(const std::string& value, const std::string& comment) {
  return value + std::string(value.size() <= 27 ? 29 - value.size() : 2, ' ') + comment;
}

void CheckParFile(const Params& p, const std::string& text) {
  ASSERT_TRUE(text.ends_with("\r\n"));
  const std::vector<std::string> lines = CrLfLines(text);
  ASSERT_EQ(lines.size(), 13u);
  const std::string n = std::to_string(p.NumIndiv[1]) + " " + std::to_string(p.NumIndiv[2]);
  const std::pair<std::string, const char*> expected[13] = {
      {std::to_string(p.Model), "!M_ESTIMATE, 1/0 for migration/isolation model"},
      {"1", "!I_Equilibrium, 1/0 for equilibrium=Y/N"},
      {std::to_string(p.MaxNe), "!MaximumNe, maximal Ne allowed"},
      {std::to_string(p.Monitor), "!Monitor, 0/1/2/3 for monitoring level"},
      {std::to_string(p.NumThread),
       "!NumThread, #openMP threads; when NumThread<=0 the maximal value is used"},
      {std::to_string(p.NumLoci), "!NLOCI_T, #All_Loci including monomorphic"},
      {"\"" + p.OutFile + ".dat\"", "!DataFile, genotype data file name"},
      {"2", "!DataForm, 0/1/2 for GenePop, 0123, 2Alleles/genotype formats"},
      {"2", "!NumSmp, #temporal samples from focal pop"},
      {"0 " + std::to_string(p.NumGen), "!NGEN, generations of temporal samples"},
      {n, "!SmplSize, #genotyped individuals of each temporal sample from focal pop"},
      {std::to_string(p.NumIndiv[0]), "!SmplSize, #genotyped individuals of source pop"},
      {std::to_string(p.INIT_POINT), "!INIT_POINT, #initial random points to be used"},
  };
  for (size_t i = 0; i < 13; ++i) {
    EXPECT_EQ(lines[i], ParLine(expected[i].first, expected[i].second)) << "line " << i + 1;
  }
}

void CheckDatFile(const Params& p, const std::string& text) {
  ASSERT_TRUE(text.ends_with("\r\n"));
  const std::vector<std::string> lines = CrLfLines(text);
  const int32_t n0 = p.Model == 1 ? p.NumIndiv[0] : 0;
  ASSERT_EQ(lines.size(), size_t(p.NumIndiv[1] + p.NumIndiv[2] + n0));
  std::vector<std::string> labels;
  for (int s : {1, 2, 0}) {
    for (int32_t i = 1; i <= (s == 0 ? n0 : p.NumIndiv[s]); ++i) {
      labels.push_back("S" + std::to_string(s) + "_" + std::to_string(i));
    }
  }
  const bool noMissing = p.MisRate <= 1e-5f;
  const bool allMissing = p.MisRate == 1.0f;
  const bool allHomozygous = p.DropRate == 1.0f && p.FalseRate <= 1e-5f;
  for (size_t k = 0; k < lines.size(); ++k) {
    const std::string& line = lines[k];
    ASSERT_EQ(line.find_first_of("\r\n"), std::string::npos) << "line " << k + 1;
    std::vector<std::string> fields;
    size_t start = 0;
    for (size_t blank; (blank = line.find(' ', start)) != std::string::npos; start = blank + 1) {
      fields.push_back(line.substr(start, blank - start));
    }
    fields.push_back(line.substr(start));
    ASSERT_EQ(fields.size(), size_t(1 + 2 * p.NumLoci)) << "line " << k + 1;
    EXPECT_EQ(fields[0], labels[k]);
    for (size_t f = 1; f < fields.size(); f += 2) {
      int allele[2];
      for (int c = 0; c < 2; ++c) {
        const std::string& t = fields[f + size_t(c)];
        ASSERT_TRUE(!t.empty() && t.size() <= 3 &&
                    t.find_first_not_of("0123456789") == std::string::npos &&
                    (t == "0" || t[0] != '0'))
            << "line " << k + 1 << " field \"" << t << "\"";
        allele[c] = std::stoi(t);
        ASSERT_LE(allele[c], p.NumAllele) << "line " << k + 1;
      }
      // Missing genotypes are missing in both copies; a biallelic heterozygote reads 1 2.
      ASSERT_EQ(allele[0] == 0, allele[1] == 0) << "line " << k + 1;
      if (p.NumAllele == 2) {
        ASSERT_FALSE(allele[0] == 2 && allele[1] == 1);
      }
      if (noMissing) {
        ASSERT_NE(allele[0], 0) << "line " << k + 1;
      }
      if (allMissing) {
        ASSERT_EQ(allele[0], 0) << "line " << k + 1;
      }
      if (allHomozygous) {
        ASSERT_EQ(allele[0], allele[1]) << "line " << k + 1;
      }
    }
  }
}

// A random valid parameter file of a small run.
std::string RandomSmallRun(std::mt19937& gen, int index) {
  auto pick = [&](int32_t lo, int32_t hi) {
    const uint64_t span = uint64_t(int64_t{hi} - lo + 1);
    return static_cast<int32_t>(lo + static_cast<int64_t>(gen() % span));
  };
  auto rate = [&]() -> std::string {
    switch (gen() % 5) {
      case 0:
        return "0";
      case 1:
        return "1";
      case 2:
        return "1E-5";  // at the threshold: the pass is off
      default:
        return "0." + std::to_string(gen() % 1000);
    }
  };
  const int32_t model = pick(0, 1);
  const int32_t ne = pick(2, 40);
  const int32_t alleleKind = pick(0, 2);
  const int32_t alleles = alleleKind == 0 ? 2 : alleleKind == 1 ? pick(3, 9) : pick(10, 127);
  int32_t seed = 0;
  while (seed % 262144 == 0) seed = pick(-2147483646, 2147483646);
  // Names of 1 to 30 characters (the data file name reaches column 30 from 22 on), some quoted
  // with a blank inside.
  std::string name = "r" + std::to_string(index) + "_";
  const int32_t length = pick(1, 30);
  while (int32_t(name.size()) < length) name += static_cast<char>('a' + gen() % 26);
  name.resize(size_t(length));
  const bool quoted = gen() % 4 == 0 && name.size() > 2;
  if (quoted) name[1] = ' ';
  const std::vector<std::string> v = {
      std::to_string(model),
      std::to_string(ne),
      rate(),
      std::to_string(pick(1, 12)),
      std::to_string(alleles),
      std::to_string(pick(1, 6)),
      model == 1 ? std::to_string(pick(1, 6)) : std::to_string(pick(-100, 100)),
      std::to_string(pick(1, 6)),
      std::to_string(pick(1, 6)),
      std::to_string(seed),
      quoted ? "'" + name + "'" : name,
      std::to_string(model == 1 ? pick(1, 9) : pick(-9, 9)),
      std::to_string(pick(ne, gen() % 2 ? 1000000 : ne + 5)),
      std::to_string(pick(0, 3)),
      std::to_string(pick(0, 64)),
      rate(),
      rate(),
      rate(),
      std::to_string(pick(0, 1)),
  };
  std::string text;
  for (const std::string& value : v) text += value + "  comment\n";
  return text;
}

TEST(RandomisedRuns, FilesKeepTheirFormatAndTheSameSeedGivesTheSameBytes) {
  TempDir dir;
  const InDirectory inside(dir.Path());
  std::mt19937 gen(7);
  for (int run = 0; run < 200; ++run) {
    const std::string text = RandomSmallRun(gen, run);
    WriteFile("p.txt", text);
    const Params p = Parse(text);
    ASSERT_EQ(check::BrokenRule(p), "") << text;
    std::string bytes[2][2];
    for (int round = 0; round < 2; ++round) {
      testing::internal::CaptureStdout();
      try {
        RunSimulation("p.txt");
      } catch (const FatalError& e) {
        ADD_FAILURE() << e.Message() << "\n" << text;
      }
      const std::string console = testing::internal::GetCapturedStdout();
      EXPECT_NE(console.find("\nSimulation completed.\n"), std::string::npos);
      bytes[round][0] = ReadFile(p.OutFile + ".dat");
      bytes[round][1] = ReadFile(p.OutFile + ".par");
    }
    SCOPED_TRACE(text);
    CheckDatFile(p, bytes[0][0]);
    CheckParFile(p, bytes[0][1]);
    EXPECT_EQ(bytes[0][0], bytes[1][0]) << "data file differs between two runs";
    EXPECT_EQ(bytes[0][1], bytes[1][1]);
    EXPECT_TRUE(TempFilesIn(dir.Path()).empty());
    fs::remove(p.OutFile + ".dat");
    fs::remove(p.OutFile + ".par");
    if (HasFatalFailure()) return;
  }
}

}  // namespace
}  // namespace driftsim::test
