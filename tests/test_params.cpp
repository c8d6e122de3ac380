// The parameter reader: ranges, read errors, free-format forms, and hostile text (cut files,
// random bytes, huge lines, and the fuzz corpus: NUL and non-ASCII bytes, the 32-bit limits,
// odd reals).
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <random>
#include <regex>

#include "fuzz/param_checks.hpp"
#include "test_support.hpp"

namespace driftsim::test {
namespace {

namespace fs = std::filesystem;
using check::ReadErrorMessage;

std::string RefusalWith(int line, const std::string& value) {
  ParamLines p;
  p[line] = value;
  return Refusal(p.Text());
}

TEST(ReadPara, AcceptsTheExampleFile) {
  const Params p = Parse(ReadFile(std::string(DRIFTSIM_TEST_DATA) + "/../examples/SimPara.txt"));
  EXPECT_EQ(p.Model, 1);
  EXPECT_EQ(p.Ne, 1000);
  EXPECT_FLOAT_EQ(p.MigRate, 0.01f);
  EXPECT_EQ(p.NumLoci, 100);
  EXPECT_EQ(p.NumAllele, 10);
  EXPECT_EQ(p.NumGen, 5);
  EXPECT_EQ(p.NumIndiv[0], 50);
  EXPECT_EQ(p.NumIndiv[2], 50);
  EXPECT_EQ(p.IDUM, -7);
  EXPECT_EQ(p.RanBitSeed, 7u);
  EXPECT_EQ(p.OutFile, "run1");
  EXPECT_EQ(p.INIT_POINT, 3);
  EXPECT_EQ(p.MaxNe, 2000);
  EXPECT_EQ(p.FreqDist, 0);
}

TEST(ReadPara, RangeBoundaries) {
  struct Case {
    int line;
    const char* value;
    const char* refusal;  // "" when accepted
  };
  const Case cases[] = {
      {1, "0", ""},
      {1, "2", "Model value must be 0 (isolation) or 1 (migration)!"},
      {1, "-1", "Model value must be 0 (isolation) or 1 (migration)!"},
      {2, "1", "parameter Ne value out of range [2, 100000]!"},
      {2, "100001", "parameter Ne value out of range [2, 100000]!"},
      {3, "0", ""},
      {3, "1", ""},
      {3, "-0.0001", "MigRate value out of range [0, 1]!"},
      {3, "1.0001", "MigRate value out of range [0, 1]!"},
      {4, "0", "NumLoci value out of range [1, 100000000]!"},
      {4, "100000001", "NumLoci value out of range [1, 100000000]!"},
      {5, "127", ""},
      {5, "128", "NumAllele value out of range [2, 127]!"},
      {5, "1", "NumAllele value out of range [2, 127]!"},
      {6, "10000", ""},
      {6, "10001", "NumGen value out of range [1, 10000]!"},
      {6, "0", "NumGen value out of range [1, 10000]!"},
      {7, "0", "NumIndiv value out of range [1, 1000000]!"},
      {8, "1000000", ""},
      {8, "1000001", "NumIndiv value out of range [1, 1000000]!"},
      {9, "0", "NumIndiv value out of range [1, 1000000]!"},
      {12, "0", "Parameter INIT_POINT < 1!"},
      {13, "999", "Parameter MaxNe < Simulated Ne!"},
      {13, "1000001", "Parameter MaxNe out of Range[2, 1000000]!"},
      {14, "-1", "Parameter Monitor out of range {0,1,2,3}!"},
      {14, "4", "Parameter Monitor out of range {0,1,2,3}!"},
      {15, "-1", "Parameter NumThread must be >= 0!"},
      {16, "1.5", "Parameter MisRate out of range [0, 1]!"},
      {17, "-0.5", "Parameter DropRate out of range [0, 1]!"},
      {18, "2", "Parameter FalseRate out of range [0, 1]!"},
      {19, "2", "Parameter FreqDist out of range {0, 1}!"},
      {19, "1", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(RefusalWith(c.line, c.value), c.refusal) << "line " << c.line << " = " << c.value;
  }
  ParamLines p;
  p[2] = "100000";
  p[13] = "100000";  // MaxNe equal to Ne is accepted
  EXPECT_EQ(Refusal(p.Text()), "");
  p[2] = "500";
  p[13] = "1000001";
  EXPECT_EQ(Refusal(p.Text()), "Parameter MaxNe out of Range[2, 1000000]!");
  p[4] = "100000000";
  p[13] = "500";
  EXPECT_EQ(Refusal(p.Text()), "");
}

TEST(ReadPara, ReadErrorsNameTheValue) {
  struct Case {
    int line;
    const char* value;
    const char* wording;
  };
  const Case cases[] = {
      {1, "abc", "Model (=0/1)"},
      {2, "1.5", "Ne"},
      {3, "MigRate=0.5", "parameter MigRate"},
      {3, "1E", "parameter MigRate"},
      {3, "NaN", "parameter MigRate"},
      {3, "Inf", "parameter MigRate"},
      {3, ".", "parameter MigRate"},
      {4, "2147483648", "parameter NumLoci"},
      {5, "-2147483649", "parameter NumAllele"},
      {6, "1e3", "parameter NumGen"},
      {7, "x", "parameter NumIndiv"},
      {10, "7.0", "parameter IDUM"},
      {11, "'unclosed", "parameter OutFile"},
      {12, "+-1", "parameter INIT_POINT"},
      {13, "1.", "parameter MaxNe"},
      {14, ",1", "parameter Monitor"},
      {15, "/", "parameter NumThread"},
      {16, "0.1.2", "parameter MisRate"},
      {17, "--1", "parameter DropRate"},
      {18, "1D", "parameter FalseRate"},
      {19, "3*1", "parameter FreqDist"},
  };
  for (const Case& c : cases) {
    ParamLines p;
    p[c.line] = c.value;
    EXPECT_EQ(Refusal(p.Text()),
              std::string("Error reading ") + c.wording + " in input file: SimPara.txt!")
        << "line " << c.line << " = " << c.value;
  }
}

TEST(ReadPara, MissingLinesAndPrefixes) {
  ParamLines p;
  p.value.pop_back();
  EXPECT_EQ(Refusal(p.Text()), "Error reading parameter FreqDist in input file: SimPara.txt!");
  EXPECT_EQ(Refusal(""), "Error reading Model (=0/1) in input file: SimPara.txt!");
  EXPECT_EQ(Refusal("1\n1000\n"), "Error reading parameter MigRate in input file: SimPara.txt!");
  // Lines after the nineteenth are never read.
  EXPECT_EQ(Refusal(ParamLines().Text() + "garbage\n"), "");
}

TEST(ReadPara, FreeFormatForms) {
  ParamLines p;
  p[3] = "0.5 MigRate";
  EXPECT_FLOAT_EQ(Parse(p.Text()).MigRate, 0.5f);
  for (const char* form : {".5", "5E-1", "5.0D-1", "+0.5", "0.5,1", "0.5/", "50e-2", "5d-1"}) {
    p[3] = form;
    EXPECT_FLOAT_EQ(Parse(p.Text()).MigRate, 0.5f) << form;
  }
  p[3] = "1E-50";  // underflows to 0, which is in range
  EXPECT_EQ(Parse(p.Text()).MigRate, 0.0f);
  p[3] = "1E50";  // overflows: out of range, not a crash
  EXPECT_EQ(Refusal(p.Text()), "MigRate value out of range [0, 1]!");
  p = ParamLines();
  p[2] = "+500\t,comment";
  EXPECT_EQ(Parse(p.Text()).Ne, 500);
  p[2] = "\t  00500";
  EXPECT_EQ(Parse(p.Text()).Ne, 500);

  // Blank lines (blanks and tabs only) between values are skipped; CR LF line ends are read.
  std::string text = ParamLines().Text();
  std::string spaced;
  for (char c : text) spaced += c == '\n' ? std::string("\r\n \t\r\n\n") : std::string(1, c);
  const Params q = Parse(spaced);
  EXPECT_EQ(q.OutFile, "run1");
  EXPECT_EQ(q.FreqDist, 0);
  EXPECT_FLOAT_EQ(q.FalseRate, 0.01f);
}

TEST(ReadPara, OutFileForms) {
  const std::pair<const char*, const char*> cases[] = {
      {"  run1   comment", "run1"},
      {"'my run' comment", "my run"},
      {"\"a,b/c\"", "a,b/c"},
      {"'it''s'", "it's"},
      {"'  padded  '", "padded"},
      {"dir/run", "dir"},
      {"run,x", "run"},
      {"\"q\"\"q\"", "q\"q"},
      {"'\xc3\xa9t\xc3\xa9'", "\xc3\xa9t\xc3\xa9"},
  };
  for (const auto& [line, expected] : cases) {
    ParamLines p;
    p[11] = line;
    EXPECT_EQ(Parse(p.Text()).OutFile, expected) << line;
  }
  ParamLines p;
  p[11] = "'" + std::string(1200, 'x') + "'";
  EXPECT_EQ(Parse(p.Text()).OutFile, std::string(999, 'x'));
  p[11] = std::string("'a\0b'", 5);
  EXPECT_EQ(Refusal(p.Text()), "Error reading parameter OutFile in input file: SimPara.txt!");
}

// An OutFile that names no file in its folder would write hidden files (.dat, ..dat).
TEST(ReadPara, OutFileThatNamesNoFile) {
  const std::string refusal =
      "Parameter OutFile is empty or a folder name; quote a name that holds a slash, e.g. "
      "'results/run1'!";
  const std::pair<const char*, const char*> cases[] = {
      {"''", refusal.c_str()},
      {"'   '", refusal.c_str()},
      {"/tmp/x/run", refusal.c_str()},  // cut at its first slash: empty
      {"./run", refusal.c_str()},
      {"../run", refusal.c_str()},
      {"'results/'", refusal.c_str()},
      {"'results/..'", refusal.c_str()},
      {"'results/run1'", ""},
      {"ro/run1", ""},  // reads as ro, as the format says
      {"'.run'", ""},
      {"'...'", ""},
  };
  for (const auto& [line, expected] : cases) {
    ParamLines p;
    p[11] = line;
    p[12] = "x";  // the check comes before line 12 is read
    const std::string outcome = Refusal(p.Text());
    EXPECT_EQ(outcome,
              *expected ? expected : ReadErrorMessage("parameter INIT_POINT", "SimPara.txt"))
        << line;
  }
}

// The output is renamed over <OutFile>.dat and .par: neither may be the parameter file itself.
TEST(ReadPara, OutputThatWouldOverwriteTheParameterFile) {
  TempDir dir;
  const std::string cwd = fs::current_path();
  fs::current_path(dir.Path());
  fs::create_directory("sub");
  auto refusal = [](const std::string& file, const std::string& outFile) {
    ParamLines p;
    p[11] = "'" + outFile + "'";
    WriteFile(file, p.Text());
    try {
      ReadPara(file);
    } catch (const FatalError& e) {
      EXPECT_EQ(e.Routine(), "ReadPara");
      return e.Message();
    }
    return std::string();
  };
  EXPECT_EQ(refusal("run1.dat", "run1"),
            "Output file run1.dat would overwrite the parameter file!");
  EXPECT_EQ(refusal("run1.par", "run1"),
            "Output file run1.par would overwrite the parameter file!");
  EXPECT_EQ(refusal("sub/p.dat", "sub/../sub/p"),
            "Output file sub/../sub/p.dat would overwrite the parameter file!");
  EXPECT_EQ(refusal("p.txt", "other"), "");
  fs::create_hard_link("p.txt", "hard.par");  // the same inode under the output's name
  EXPECT_EQ(refusal("p.txt", "hard"), "Output file hard.par would overwrite the parameter file!");
  fs::create_symlink("p.txt",
                     "link.dat");  // a link named like the output is replaced, not followed
  EXPECT_EQ(refusal("p.txt", "link"), "");
  EXPECT_EQ(refusal("link.dat", "p"), "");  // the parameter file named through a link
  fs::create_symlink("q.dat", "q-link.txt");
  EXPECT_EQ(refusal("q-link.txt", "q"), "Output file q.dat would overwrite the parameter file!");
  fs::current_path(cwd);
}

TEST(ReadPara, IsolationModelReplacements) {
  ParamLines p;
  p[1] = "0";
  p[7] = "-5";  // read but not checked, then discarded
  p[12] = "0";
  const Params q = Parse(p.Text());
  EXPECT_EQ(q.NumIndiv[0], 0);
  EXPECT_EQ(q.INIT_POINT, 1);
  p[7] = "x";  // must still be a readable integer
  EXPECT_EQ(Refusal(p.Text()), "Error reading parameter NumIndiv in input file: SimPara.txt!");
}

TEST(ReadPara, SeedsAndDegenerateSeeds) {
  ParamLines p;
  p[10] = "12345";
  Params q = Parse(p.Text());
  EXPECT_EQ(q.IDUM, -12345);
  EXPECT_EQ(q.RanBitSeed, 12345u);
  p[10] = "-12345";
  q = Parse(p.Text());
  EXPECT_EQ(q.IDUM, -12345);
  EXPECT_EQ(q.RanBitSeed, 12345u);
  p[10] = "2147483646";
  EXPECT_EQ(Parse(p.Text()).RanBitSeed, 2147483646u);
  const std::string refusal =
      "Parameter IDUM must be nonzero, within [-2147483646, 2147483646] and not a multiple of "
      "262144!";
  for (const char* seed : {"0", "2147483647", "-2147483647", "-2147483648", "262144", "-524288"}) {
    p[10] = seed;
    EXPECT_EQ(Refusal(p.Text()), refusal) << seed;
  }
  p[10] = "262145";
  EXPECT_EQ(Refusal(p.Text()), "");
}

TEST(ReadPara, FirstProblemHidesLaterOnes) {
  ParamLines p;
  p[2] = "1";
  p[5] = "x";
  EXPECT_EQ(Refusal(p.Text()), "parameter Ne value out of range [2, 100000]!");
}

ParamOverride Set(const std::string& name, const std::string& value) {
  return {name, value, "--set " + name + "=" + value};
}

TEST(ReadPara, OverridesAreReadAndCheckedAsTheirLines) {
  using Values = std::vector<std::pair<std::string, std::string>>;
  struct Case {
    std::vector<ParamOverride> overrides;
    std::string refusal;  // empty: accepted, with these values among those read
    Values values;
    std::vector<std::pair<int, std::string>> edits = {};  // of the file's lines
  };
  const Case cases[] = {
      {{Set("ne", "500")}, "", {{"Ne", "500"}}},
      {{Set("Ne", "500"), Set("NE", "600")}, "", {{"Ne", "600"}}},
      {{Set("MigRate", " 1.0D-3 ")}, "", {{"MigRate", "0.001"}}},
      {{Set("NumIndiv0", "7"), Set("numindiv2", "9")},
       "",
       {{"NumIndiv0", "7"}, {"NumIndiv1", "50"}, {"NumIndiv2", "9"}}},
      {{Set("Model", "0"), Set("NumIndiv0", "-5"), Set("INIT_POINT", "0")},
       "",
       {{"NumIndiv0", "0"}, {"INIT_POINT", "1"}}},
      {{Set("IDUM", "-99")}, "", {{"IDUM", "-99"}}},
      {{{"OutFile", " a b/c, 'd' ", "--out  a b/c, 'd' ", true}},
       "",
       {{"OutFile", " a b/c, 'd' "}}},
      {{Set("OutFile", "'a b' ")}, "", {{"OutFile", "a b"}}},
      {{Set("Ne", "1O00")}, "Error reading Ne in option --set Ne=1O00!", {}},
      // A comment after the value, as a file line may have, is refused.
      {{Set("Ne", "100 junk")}, "Error reading Ne in option --set Ne=100 junk!", {}},
      {{Set("Ne", "")}, "Error reading Ne in option --set Ne=!", {}},
      {{Set("OutFile", "dir/run")},
       "Error reading parameter OutFile in option --set OutFile=dir/run!",
       {}},
      {{{"IDUM", "7x", "--seed 7x"}}, "Error reading parameter IDUM in option --seed 7x!", {}},
      {{Set("Nee", "100")}, "Unknown parameter name in option --set Nee=100!", {}},
      {{Set("Ne", "0")}, "parameter Ne value out of range [2, 100000]!", {}},
      {{Set("IDUM", "262144")},
       "Parameter IDUM must be nonzero, within [-2147483646, 2147483646] and not a multiple of "
       "262144!",
       {}},
      // Checked in the file's order with the final values: MaxNe (2000) against the new Ne.
      {{Set("MaxNe", "3000"), Set("Ne", "2500")}, "", {{"Ne", "2500"}, {"MaxNe", "3000"}}},
      {{Set("Ne", "2500")}, "Parameter MaxNe < Simulated Ne!", {}},
      {{Set("FreqDist", "2"), Set("Ne", "1")}, "parameter Ne value out of range [2, 100000]!", {}},
      // An override replaces a value out of range, not one that cannot be read; an unknown
      // name is refused before the file is read.
      {{Set("Ne", "500")}, "", {{"Ne", "500"}}, {{2, "1"}}},
      {{Set("Ne", "500")}, "Error reading Ne in input file: SimPara.txt!", {}, {{2, "x"}}},
      {{Set("Nee", "5")}, "Unknown parameter name in option --set Nee=5!", {}, {{1, "x"}}},
  };
  for (const Case& c : cases) {
    std::string what;
    for (const ParamOverride& o : c.overrides) what += o.option + "; ";
    SCOPED_TRACE(what);
    ParamLines p;
    for (const auto& [line, value] : c.edits) p[line] = value;
    std::istringstream in(p.Text());
    try {
      const Params par = ReadParaStream(in, "SimPara.txt", c.overrides);
      EXPECT_EQ(c.refusal, "");
      const std::vector<ParamValue> read = ParamValues(par);
      for (const auto& expected : c.values) {
        const auto v = std::find_if(read.begin(), read.end(),
                                    [&](const ParamValue& x) { return x.name == expected.first; });
        ASSERT_NE(v, read.end()) << expected.first;
        EXPECT_EQ(v->text, expected.second) << expected.first;
      }
    } catch (const FatalError& e) {
      EXPECT_EQ(e.Message(), c.refusal);
    }
  }
}

TEST(ParaFileText, ReadsBackAsTheSameValues) {
  std::vector<ParamLines> sets(5);
  sets[1][3] = "1.0D-3";
  sets[1][16] = "0.3333333";
  sets[1][10] = "-2147483646";
  sets[2][1] = "0";
  sets[2][11] = "'it''s a/b, c'";
  sets[3][11] = "\"'q'\"";
  sets[4][17] = "1E-30";
  sets[4][11] = "\"x\"";
  for (const ParamLines& lines : sets) {
    const Params p = Parse(lines.Text());
    const std::string text = ParaFileText(p);
    const Params q = Parse(text);
    EXPECT_EQ(ParaFileText(q), text);
    EXPECT_EQ(q.OutFile, p.OutFile) << text;
    EXPECT_EQ(q.MigRate, p.MigRate) << text;
    EXPECT_EQ(q.MisRate, p.MisRate) << text;
    EXPECT_EQ(q.DropRate, p.DropRate) << text;
    EXPECT_EQ(q.IDUM, p.IDUM) << text;
    EXPECT_EQ(q.Seed, p.Seed) << text;
  }
  EXPECT_TRUE(
      ParaFileText(Parse(ParamLines().Text())).starts_with("1        Model\n1000     Ne\n"));
  Params p = Parse(ParamLines().Text());
  for (const char* stem : {"a\nb", " lead", "trail "}) {
    p.OutFile = stem;
    try {
      ParaFileText(p);
      ADD_FAILURE() << stem;
    } catch (const FatalError& e) {
      EXPECT_EQ(e.Message(),
                "OutFile " + std::string(stem) + " cannot be written in a parameter file!");
    }
  }
}

TEST(ReadPara, ChoosesTheFile) {
  TempDir dir;
  const std::string path = dir / "para.txt";
  WriteFile(path, ParamLines().Text());
  EXPECT_EQ(ParaFileName(path.c_str()), path);
  EXPECT_EQ(ReadPara(path).Ne, 1000);
  // Trailing blanks of the argument are removed, leading ones kept.
  EXPECT_EQ(ParaFileName((path + "   ").c_str()), path);

  auto refusal = [](const char* arg) {
    try {
      ReadPara(ParaFileName(arg));
    } catch (const FatalError& e) {
      EXPECT_EQ(e.Routine(), "ReadPara");
      return e.Message();
    }
    return std::string();
  };
  const std::string cwd = std::filesystem::current_path();
  std::filesystem::current_path(dir.Path());
  EXPECT_EQ(refusal(nullptr), "Parameter file, SimPara.txt, does not exist!");
  EXPECT_EQ(refusal("    "), "Parameter file, SimPara.txt, does not exist!");
  EXPECT_EQ(refusal(" para.txt"), "Parameter file,  para.txt, does not exist!");
  std::filesystem::current_path(cwd);
  const std::string longName(1500, 'a');
  EXPECT_EQ(refusal(longName.c_str()),
            "Parameter file, " + longName.substr(0, 999) + ", does not exist!");
  testing::internal::CaptureStdout();
  EXPECT_EQ(refusal(dir.Path().c_str()),
            "Parameter file, " + dir.Path().string() + ", cannot be read: Is a directory!");
  testing::internal::GetCapturedStdout();
}

// ---------------------------------------------------------------------------------------------
// Hostile parameter text

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

// One pass reads the nineteen values and the model lines after them: their line numbers count
// blank lines, values are trimmed, other lines are comments; the command line's options win,
// and a refusal names the file and line.
TEST(ReadParamFile, ModelLinesInTheSamePass) {
  TempDir dir;
  const std::string name = dir / "p.txt";
  ParamLines p;
  p[1] = "\n  0";  // a blank line before the first value
  WriteFile(name, p.Text() + "\n--burn-in 5\n  --ne-ratio\t0.5 \r\nfree text\n--sizes\n--x " +
                      std::string(kMaxSizesLine, 'y') + "\n");
  const ParamFile file = ReadParamFile(name);
  EXPECT_EQ(file.par.Model, 0);
  struct Want {
    int64_t line;
    std::string name, value;
    bool tooLong;
  };
  const Want want[] = {{22, "burn-in", "5", false},
                       {23, "ne-ratio", "0.5", false},
                       {25, "sizes", "", false},
                       {26, "x", std::string(kMaxSizesLine - 4, 'y'), true}};
  ASSERT_EQ(file.modelLines.size(), std::size(want));
  for (size_t i = 0; i < std::size(want); ++i) {
    const ModelLine& m = file.modelLines[i];
    EXPECT_EQ(m.line, want[i].line) << i;
    EXPECT_EQ(m.name, want[i].name) << i;
    EXPECT_EQ(m.value, want[i].value) << i;
    EXPECT_EQ(m.tooLong, want[i].tooLong) << i;
  }
  ModelOptions model;
  model.NeRatio = 0.25;
  const auto refusal = [&](const std::vector<std::string>& given) {
    try {
      ApplyModelLines(file, model, given);
    } catch (const FatalError& e) {
      return e.Message();
    }
    return std::string();
  };
  EXPECT_EQ(refusal({"ne-ratio", "sizes", "x"}), "");
  EXPECT_EQ(model.BurnIn, 5);
  EXPECT_EQ(model.NeRatio, 0.25);
  EXPECT_EQ(refusal({"ne-ratio", "x"}), name + ":25: --sizes: the file name is empty!");
  EXPECT_EQ(refusal({"sizes"}), name + ":26: line longer than 1000 characters!");
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

// The values read from accepted lines with odd bytes or at the 32-bit limits; the corpus replays
// below see only whether a file is accepted.
TEST(HostileParameterText, OddAcceptedLinesKeepTheirValues) {
  ParamLines p;
  p[2] = "1000 " + std::string(5, '\0') + " comment";  // NUL bytes in the free comment
  p[10] = "2147483646";                                // both streams keep the magnitude
  p[11] = "'d\xc3\xa4t\xc3\xa4 \xe6\x95\xb0\xe6\x8d\xae \xff\x80'";
  Params q = Parse(p.Text());
  EXPECT_EQ(q.Ne, 1000);
  EXPECT_EQ(q.IDUM, -2147483646);
  EXPECT_EQ(q.RanBitSeed, 2147483646u);
  EXPECT_EQ(q.OutFile, "d\xc3\xa4t\xc3\xa4 \xe6\x95\xb0\xe6\x8d\xae \xff\x80");
  // Unquoted non-ASCII text ends at the blank; under isolation any 32-bit source sample size
  // is read and then discarded.
  p[11] = "\xce\xb1\xce\xb2 comment";
  p[1] = "0";
  p[7] = "-2147483648";
  q = Parse(p.Text());
  EXPECT_EQ(q.OutFile, "\xce\xb1\xce\xb2");
  EXPECT_EQ(q.NumIndiv[0], 0);
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

// The subject of a range message: its first word after "Parameter " ("MaxNe" for "Parameter
// MaxNe < Simulated Ne!").
std::string RangeSubject(const std::string& message) {
  std::string rest = message;
  for (const char* lead : {"Parameter ", "parameter "}) {
    if (rest.starts_with(lead)) rest = rest.substr(std::string(lead).size());
  }
  return rest.substr(0, rest.find(' '));
}

// The fuzz corpus holds the hostile texts (NUL and non-ASCII bytes, the 32-bit limits, reals out
// of the ordinary, spelled-out special values) as files named by their outcome: valid-* is
// accepted; read-NN-* is refused with the read error of line NN; range-NAME-* is refused with
// the range message about NAME. Any other file is a fuzzing finding kept as a regression case,
// which must only lead to an acceptable outcome.
TEST(HostileParameterText, FuzzCorpusReplays) {
  // Line of the file (from 1) to its wording in read errors; the three sample sizes share one.
  auto wording = [](int line) {
    return std::string(check::kReadWordings[line <= 6 ? line - 1 : line <= 9 ? 6 : line - 3]);
  };
  const std::regex read(R"(read-(\d\d)-.*)"), range(R"(range-([A-Za-z_]+)-?.*\.txt)");
  const fs::path corpus = fs::path(DRIFTSIM_TEST_DATA) / "fuzz" / "corpus";
  std::map<std::string, int> kinds;
  for (const auto& entry : fs::directory_iterator(corpus)) {
    const std::string name = entry.path().filename().string();
    const std::string text = ReadFile(entry.path().string());
    EXPECT_EQ(check::UnacceptableOutcome(text, kName), "") << name;
    const std::string refusal = Refusal(text);
    std::smatch m;
    if (name.starts_with("valid-")) {
      EXPECT_EQ(refusal, "") << name;
    } else if (std::regex_match(name, m, read)) {
      EXPECT_EQ(refusal, ReadError(wording(std::stoi(m[1])))) << name;
    } else if (std::regex_match(name, m, range)) {
      EXPECT_FALSE(refusal.starts_with("Error reading ")) << name << ": " << refusal;
      EXPECT_EQ(RangeSubject(refusal), m[1].str()) << name << ": " << refusal;
    } else {
      ++kinds["finding"];
      continue;
    }
    ++kinds[name.substr(0, name.find('-'))];
  }
  EXPECT_GE(kinds["valid"], 30);
  EXPECT_GE(kinds["read"], 60);
  EXPECT_GE(kinds["range"], 50);
}

}  // namespace
}  // namespace driftsim::test
