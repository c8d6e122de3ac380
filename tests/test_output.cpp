// The output files: their layout, failures of every kind leaving earlier files alone, names,
// and randomised runs checking the format of both files.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <random>
#include <set>

#include "fuzz/param_checks.hpp"
#include "output/output.hpp"
#include "test_support.hpp"

namespace driftsim::test {
namespace {

namespace fs = std::filesystem;

// A state with allocated tables and samples filled by fill(k, L) -> allele pair; no simulation.
std::unique_ptr<SimState> WithSamples(
    ParamLines p, const std::function<std::pair<int, int>(int64_t, int64_t)>& fill) {
  auto sim = MakeState(p);
  AllocateFreqTable(*sim);
  AllocateGenoTables(*sim);
  for (int64_t k = 0; k < sim->par.TotalSampled(); ++k) {
    uint8_t* rec = sim->tab.Sample(k);
    for (int64_t L = 0; L < sim->par.NumLoci; ++L) {
      const auto [a, b] = fill(k, L);
      if (sim->tab.Packed) {
        SetPackedCode(rec, L, a == 0 ? 0u : a == b ? uint32_t(a) : 3u);
      } else {
        rec[2 * L] = uint8_t(a);
        rec[2 * L + 1] = uint8_t(b);
      }
    }
  }
  return sim;
}

// The data file written by WriteGenoFile, read from its temporary file.
std::string DataFile(const SimState& sim, const TempDir& dir) {
  OutputFile out(dir / "x.dat", "WriteGenoFile");
  WriteGenoFile(sim, out);
  return ReadFile(out.TempName());
}

std::string ParaFile(const SimState& sim, const TempDir& dir) {
  OutputFile out(dir / "x.par", "WriteParaFile");
  WriteParaFile(sim, out);
  return ReadFile(out.TempName());
}

// The expected line of one record, composed field by field.
std::string Line(const std::string& label, int64_t loci,
                 const std::function<std::pair<int, int>(int64_t)>& pair) {
  std::string line = label;
  for (int64_t L = 0; L < loci; ++L) {
    const auto [a, b] = pair(L);
    line += " " + std::to_string(a) + " " + std::to_string(b);
  }
  return line + "\r\n";
}

ParamLines Sized(int model, int loci, int alleles, int n0, int n1, int n2) {
  ParamLines p;
  p[1] = std::to_string(model);
  p[2] = "10";
  p[4] = std::to_string(loci);
  p[5] = std::to_string(alleles);
  p[7] = std::to_string(n0);
  p[8] = std::to_string(n1);
  p[9] = std::to_string(n2);
  return p;
}

TEST(WriteGenoFile, LabelsOrderAndFieldWidths) {
  TempDir dir;
  for (const int alleles : {2, 9, 10, 127}) {
    for (const int loci : {1, 2, 3, 5, 8, 13}) {
      for (const int model : {0, 1}) {
        // Genotypes vary with record and locus; every sixth is missing, heterozygotes print
        // allele 1 first when packed.
        auto pair = [&](int64_t k, int64_t L) -> std::pair<int, int> {
          if ((k + L) % 6 == 5) return {0, 0};
          if (alleles == 2)
            return (k + L) % 3 == 0 ? std::pair{1, 2} : std::pair{int(1 + k % 2), int(1 + k % 2)};
          return {int(1 + (k * 7 + L) % alleles), int(alleles - (k + 3 * L) % alleles)};
        };
        auto sim = WithSamples(Sized(model, loci, alleles, 2, 3, 2), pair);
        const int64_t n0 = model ? 2 : 0;
        std::string expected;
        for (int i = 0; i < 3; ++i)
          expected +=
              Line("S1_" + std::to_string(i + 1), loci, [&](int64_t L) { return pair(n0 + i, L); });
        for (int i = 0; i < 2; ++i)
          expected += Line("S2_" + std::to_string(i + 1), loci,
                           [&](int64_t L) { return pair(n0 + 3 + i, L); });
        for (int i = 0; i < n0; ++i)
          expected +=
              Line("S0_" + std::to_string(i + 1), loci, [&](int64_t L) { return pair(i, L); });
        EXPECT_EQ(DataFile(*sim, dir), expected) << alleles << " alleles, " << loci << " loci";
      }
    }
  }
}

TEST(WriteGenoFile, LinesLongerThanAnyBuffer) {
  TempDir dir;
  for (const int alleles : {2, 4, 100}) {
    const int loci = alleles == 2 ? 600001 : 300001;
    auto pair = [&](int64_t k, int64_t L) -> std::pair<int, int> {
      if (alleles == 2)
        return L % 7 == 0 ? std::pair{1, 2} : std::pair{int(1 + (L + k) % 2), int(1 + (L + k) % 2)};
      return {int(1 + L % alleles), int(1 + (L * 3 + k) % alleles)};
    };
    auto sim = WithSamples(Sized(0, loci, alleles, 0, 1, 1), pair);
    const std::string file = DataFile(*sim, dir);
    const std::string expected = Line("S1_1", loci, [&](int64_t L) { return pair(0, L); }) +
                                 Line("S2_1", loci, [&](int64_t L) { return pair(1, L); });
    EXPECT_GT(file.size(), 2 * OutputFile::kBufferSize);
    EXPECT_TRUE(file == expected) << alleles;
  }
}

// The expected layout, pinned by the stored files of the golden cases, is what WriteParaFile
// writes.
TEST(WriteParaFile, GoldenCasesPinTheLayout) {
  TempDir dir;
  const fs::path cases = fs::path(DRIFTSIM_TEST_DATA) / "golden" / "cases";
  int seen = 0;
  for (const auto& entry : fs::directory_iterator(cases)) {
    if (entry.path().extension() != ".txt") continue;
    const Params p = Parse(ReadFile(entry.path().string()));
    fs::path par = entry.path();
    par.replace_extension(".par");
    EXPECT_EQ(ExpectedParFile(p), ReadFile(par.string())) << par;
    const SimState sim(p);
    EXPECT_EQ(ParaFile(sim, dir), ExpectedParFile(p));
    ++seen;
  }
  EXPECT_GE(seen, 5);
}
// Data file names around the width of the value column, and the isolation model's lines.
TEST(WriteParaFile, LongNamesAndIsolationModel) {
  TempDir dir;
  for (const std::string& name : {std::string("x"), std::string(21, 'a'), std::string(22, 'b')}) {
    ParamLines p;
    p[11] = "'" + name + "'";
    const std::string text = ParaFile(*MakeState(p), dir);
    EXPECT_EQ(text, ExpectedParFile(Parse(p.Text()))) << name;
    // Line 7: a name of 21 characters still leaves the comment at column 30, one more pushes it.
    size_t start = 0;
    for (int i = 0; i < 6; ++i) start = text.find("\r\n", start) + 2;
    EXPECT_EQ(text.find('!', start) - start, name.size() <= 21 ? 29u : name.size() + 8) << name;
  }
  ParamLines p;
  p[1] = "0";
  p[6] = "10000";
  p[7] = "77";
  p[12] = "9";
  const std::string text = ParaFile(*MakeState(p), dir);
  EXPECT_EQ(text, ExpectedParFile(Parse(p.Text())));
  EXPECT_NE(text.find("\r\n0 10000                      !NGEN"), std::string::npos);
  EXPECT_NE(
      text.find("\r\n0                            !SmplSize, #genotyped individuals of source"),
      std::string::npos);
  EXPECT_NE(text.find("\r\n1                            !INIT_POINT"), std::string::npos);
}

// The message and routine of a failure of f.
std::pair<std::string, std::string> Failure(const std::function<void()>& f) {
  try {
    f();
  } catch (const FatalError& e) {
    return {e.Message(), e.Routine()};
  }
  return {};
}

TEST(OutputFiles, FailuresLeaveNothingBehind) {
  TempDir dir;
  auto sim = WithSamples(Sized(0, 3, 4, 0, 1, 1), [](int64_t, int64_t) { return std::pair{1, 2}; });
  const std::string missing = dir / "no/such/dir/run";
  EXPECT_EQ(
      Failure([&] { OutputFile out(missing + ".dat", "WriteGenoFile"); }),
      (std::pair<std::string, std::string>{
          "Cannot create file " + missing + ".dat: No such file or directory!", "WriteGenoFile"}));

  // An earlier run's files survive a run that fails at its second file.
  WriteFile(dir / "run.dat", "earlier data");
  std::filesystem::create_directory(dir / "run.par");
  const auto [message, routine] = Failure([&] {
    OutputFile dat(dir / "run.dat", "WriteGenoFile");
    WriteGenoFile(*sim, dat);
    OutputFile par(dir / "run.par", "WriteParaFile");
  });
  EXPECT_EQ(message, "Cannot create file " + (dir / "run.par") + ": Is a directory!");
  EXPECT_EQ(routine, "WriteParaFile");
  EXPECT_EQ(ReadFile(dir / "run.dat"), "earlier data");
  int entries = 0;
  for (const auto& e : std::filesystem::directory_iterator(dir.Path())) entries += e.exists();
  EXPECT_EQ(entries, 2) << "no temporary file is left";

  // Both files complete: renamed into place together.
  std::filesystem::remove(dir / "run.par");
  {
    OutputFile dat(dir / "run.dat", "WriteGenoFile");
    WriteGenoFile(*sim, dat);
    OutputFile par(dir / "run.par", "WriteParaFile");
    WriteParaFile(*sim, par);
    EXPECT_EQ(ReadFile(dir / "run.dat"), "earlier data");
    Commit({&dat, &par});
  }
  EXPECT_EQ(ReadFile(dir / "run.dat"), "S1_1 1 2 1 2 1 2\r\nS2_1 1 2 1 2 1 2\r\n");
  EXPECT_EQ(ReadFile(dir / "run.par").substr(0, 4), "0   ");
}

// The step of the commit that the hook fails, and the errno it fails with.
struct InjectedFault {
  CommitStep step;
  int file;
  int err;
};
std::vector<InjectedFault> gFaults;

int FailInjected(CommitStep step, int file) {
  for (const InjectedFault& f : gFaults) {
    if (f.step == step && f.file == file) return f.err;
  }
  return 0;
}

// A fault at each step of the commit, with and without an earlier pair: a failed rename leaves
// both names as they were (earlier files back, or no file where there was none) and nothing
// else in the folder; faults of the lock, the hard links and the folder flush (a file system
// without them) still give the new pair.
TEST(CommitFiles, EveryFaultLeavesBothNewOrBothAsTheyWere) {
  struct Case {
    const char* what;
    std::vector<InjectedFault> faults;
    const char* earlier;  // the earlier files present: "dat par", "dat" or ""
    std::string failure;  // "" when the commit succeeds
  };
  const std::string perm = std::strerror(EPERM);
  const Case cases[] = {
      {"second rename", {{CommitStep::kRename, 1, EPERM}}, "dat par", "run1.par: " + perm},
      {"second rename, no earlier pair",
       {{CommitStep::kRename, 1, EPERM}},
       "",
       "run1.par: " + perm},
      {"second rename, earlier .dat only",
       {{CommitStep::kRename, 1, EPERM}},
       "dat",
       "run1.par: " + perm},
      {"first rename",
       {{CommitStep::kRename, 0, EACCES}},
       "dat par",
       "run1.dat: " + std::string(std::strerror(EACCES))},
      {"no hard links, second rename",
       {{CommitStep::kKeep, 0, EPERM},
        {CommitStep::kKeep, 1, EPERM},
        {CommitStep::kRename, 1, EPERM}},
       "dat par",
       "run1.par: " + perm},
      {"no hard links, first rename",
       {{CommitStep::kKeep, 0, EXDEV},
        {CommitStep::kKeep, 1, EXDEV},
        {CommitStep::kRename, 0, EIO}},
       "dat par",
       "run1.dat: " + std::string(std::strerror(EIO))},
      {"no hard links",
       {{CommitStep::kKeep, 0, EPERM}, {CommitStep::kKeep, 1, ENOTSUP}},
       "dat par",
       ""},
      {"no lock", {{CommitStep::kLock, 0, ENOLCK}}, "dat par", ""},
      {"no folder flush", {{CommitStep::kSyncFolder, 0, EINVAL}}, "dat", ""},
      {"no fault", {}, "", ""},
  };
  auto sim = WithSamples(Sized(0, 3, 4, 0, 1, 1), [](int64_t, int64_t) { return std::pair{1, 2}; });
  const std::string newDat = "S1_1 1 2 1 2 1 2\r\nS2_1 1 2 1 2 1 2\r\n";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    const std::string earlier = c.earlier;
    if (earlier.find("dat") != std::string::npos) WriteFile(dir / "run1.dat", "earlier data");
    if (earlier.find("par") != std::string::npos) WriteFile(dir / "run1.par", "earlier parameters");
    gFaults = c.faults;
    gCommitHook = FailInjected;
    const auto [message, routine] = Failure([&] {
      OutputFile dat(dir / "run1.dat", "WriteGenoFile");
      OutputFile par(dir / "run1.par", "WriteParaFile");
      WriteGenoFile(*sim, dat);
      WriteParaFile(*sim, par);
      Commit({&dat, &par});
    });
    gCommitHook = nullptr;
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir.Path())) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    if (c.failure.empty()) {
      EXPECT_EQ(message, "");
      EXPECT_EQ(ReadFile(dir / "run1.dat"), newDat);
      EXPECT_EQ(ReadFile(dir / "run1.par"), ExpectedParFile(sim->par));
      EXPECT_EQ(names, (std::vector<std::string>{"run1.dat", "run1.par"}));
      continue;
    }
    EXPECT_EQ(message, "Cannot rename file " + (dir / c.failure) + "!");
    EXPECT_EQ(routine, c.failure.starts_with("run1.dat") ? "WriteGenoFile" : "WriteParaFile");
    std::vector<std::string> expected;
    if (earlier.find("dat") != std::string::npos) {
      expected.push_back("run1.dat");
      EXPECT_EQ(ReadFile(dir / "run1.dat"), "earlier data");
    }
    if (earlier.find("par") != std::string::npos) {
      expected.push_back("run1.par");
      EXPECT_EQ(ReadFile(dir / "run1.par"), "earlier parameters");
    }
    EXPECT_EQ(names, expected);
  }
}

// Temporary names cannot be guessed from the process: twelve random letters and digits, in the
// folder of the final name.
TEST(OutputFile, TemporaryNamesAreUnpredictable) {
  TempDir dir;
  std::set<std::string> seen;
  for (int i = 0; i < 20; ++i) {
    OutputFile f(dir / "run1.dat", "WriteGenoFile");
    const fs::path temp = f.TempName();
    EXPECT_EQ(temp.parent_path(), dir.Path());
    const std::string name = temp.filename();
    ASSERT_EQ(name.size(), 26u) << name;
    EXPECT_TRUE(name.starts_with(".driftsim-") && name.ends_with(".tmp")) << name;
    EXPECT_EQ(name.substr(10, 12).find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789"),
              std::string::npos);
    seen.insert(name);
  }
  EXPECT_EQ(seen.size(), 20u);
}

// ---------------------------------------------------------------------------------------------
// Output failures of the binary, end to end

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
  // A name the folder cannot hold is found before the work, not at the rename after it.
  ExpectFatal(ended[3],
              "Cannot create file " + std::string(300, 'n') + ".dat: " + reason(ENAMETOOLONG),
              "WriteGenoFile");
  ExpectFatal(ended[4], "Cannot create file plain/out.dat: " + reason(ENOTDIR), "WriteGenoFile");
  ExpectFatal(ended[5], "Cannot write file out.dat: " + reason(EFBIG), "WriteGenoFile");
  ExpectFatal(ended[6], "Cannot write file out.dat: " + reason(EFBIG), "WriteGenoFile");
  // A folder or name that cannot take the files stops the run before the simulation.
  for (const size_t i : {size_t{0}, size_t{1}, size_t{2}, size_t{3}, size_t{4}}) {
    EXPECT_TRUE(ended[i].console.starts_with("Reading parameter file: p.txt\n\nCannot create"))
        << ended[i].console;
  }

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
    EXPECT_EQ(bytes[0][1], ExpectedParFile(p));
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
