#include <gtest/gtest.h>

#include "test_support.hpp"

namespace driftsim::test {
namespace {

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
      {"''", ""},
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
  sets[4][11] = "\"\"";
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

}  // namespace
}  // namespace driftsim::test
