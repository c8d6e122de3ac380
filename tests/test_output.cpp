#include <gtest/gtest.h>

#include "output/output.hpp"
#include "test_support.hpp"

namespace driftsim::test {
namespace {

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
  PendingFile out(dir / "x.dat", "WriteGenoFile");
  WriteGenoFile(sim, out);
  return ReadFile(out.TempName());
}

std::string ParaFile(const SimState& sim, const TempDir& dir) {
  PendingFile out(dir / "x.par", "WriteParaFile");
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
    EXPECT_GT(file.size(), 2 * PendingFile::kBufferSize);
    EXPECT_TRUE(file == expected) << alleles;
  }
}

TEST(WriteParaFile, ExampleFile) {
  TempDir dir;
  ParamLines p;
  p[4] = "100";
  p[6] = "10";
  p[11] = "Test1";
  p[13] = "1000";
  auto sim = MakeState(p);
  const std::string expected =
      "1                            !M_ESTIMATE, 1/0 for migration/isolation model\r\n"
      "1                            !I_Equilibrium, 1/0 for equilibrium=Y/N\r\n"
      "1000                         !MaximumNe, maximal Ne allowed\r\n"
      "1                            !Monitor, 0/1/2/3 for monitoring level\r\n"
      "0                            !NumThread, #openMP threads; when NumThread<=0 the maximal "
      "value is used\r\n"
      "100                          !NLOCI_T, #All_Loci including monomorphic\r\n"
      "\"Test1.dat\"                  !DataFile, genotype data file name\r\n"
      "2                            !DataForm, 0/1/2 for GenePop, 0123, 2Alleles/genotype "
      "formats\r\n"
      "2                            !NumSmp, #temporal samples from focal pop\r\n"
      "0 10                         !NGEN, generations of temporal samples\r\n"
      "50 50                        !SmplSize, #genotyped individuals of each temporal sample "
      "from focal pop\r\n"
      "50                           !SmplSize, #genotyped individuals of source pop\r\n"
      "3                            !INIT_POINT, #initial random points to be used\r\n";
  EXPECT_EQ(ParaFile(*sim, dir), expected);
}

TEST(WriteParaFile, LongNamesAndIsolationModel) {
  TempDir dir;
  auto line7 = [&](const std::string& name) {
    ParamLines p;
    p[11] = "'" + name + "'";
    const std::string text = ParaFile(*MakeState(p), dir);
    size_t start = 0;
    for (int i = 0; i < 6; ++i) start = text.find("\r\n", start) + 2;
    return text.substr(start, text.find("\r\n", start) - start);
  };
  const std::string n21(21, 'a'), n22(22, 'b');
  EXPECT_EQ(line7(n21), "\"" + n21 + ".dat\"  !DataFile, genotype data file name");
  EXPECT_EQ(line7(n22), "\"" + n22 + ".dat\"  !DataFile, genotype data file name");
  EXPECT_EQ(line7(n21).find('!'), 29u);
  EXPECT_EQ(line7(n22).find('!'), 30u);
  EXPECT_EQ(line7(""), "\".dat\"                       !DataFile, genotype data file name");

  ParamLines p;
  p[1] = "0";
  p[6] = "10000";
  p[7] = "77";
  p[12] = "9";
  const std::string text = ParaFile(*MakeState(p), dir);
  EXPECT_EQ(text.substr(0, 2), "0 ");
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
      Failure([&] { PendingFile out(missing + ".dat", "WriteGenoFile"); }),
      (std::pair<std::string, std::string>{
          "Cannot create file " + missing + ".dat: No such file or directory!", "WriteGenoFile"}));

  // An earlier run's files survive a run that fails at its second file.
  WriteFile(dir / "run.dat", "earlier data");
  std::filesystem::create_directory(dir / "run.par");
  const auto [message, routine] = Failure([&] {
    PendingFile dat(dir / "run.dat", "WriteGenoFile");
    WriteGenoFile(*sim, dat);
    PendingFile par(dir / "run.par", "WriteParaFile");
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
    PendingFile dat(dir / "run.dat", "WriteGenoFile");
    WriteGenoFile(*sim, dat);
    PendingFile par(dir / "run.par", "WriteParaFile");
    WriteParaFile(*sim, par);
    EXPECT_EQ(ReadFile(dir / "run.dat"), "earlier data");
    CommitFiles(dat, par);
  }
  EXPECT_EQ(ReadFile(dir / "run.dat"), "S1_1 1 2 1 2 1 2\r\nS2_1 1 2 1 2 1 2\r\n");
  EXPECT_EQ(ReadFile(dir / "run.par").substr(0, 4), "0   ");
}

}  // namespace
}  // namespace driftsim::test
