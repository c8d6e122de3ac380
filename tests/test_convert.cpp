// Tests of driftsim-convert: every format of a small data set against its text written out by
// hand, refusals that leave no output and the earlier files as they were, a failed commit that
// puts the earlier files back, and the command line (signals: test_transaction.cpp).
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "convert/convert.hpp"
#include "test_support.hpp"

namespace driftsim::test {
namespace {

// Three loci, every sample, missing genotypes and a heterozygote written 2 1.
const char* const kData =
    "S1_1 1 2 2 2 0 0\r\n"
    "S1_2 1 1 1 2 2 1\r\n"
    "S2_1 2 2 0 0 1 1\r\n"
    "S0_1 1 2 1 1 2 2\r\n";

// The estimator parameter file of a data set: loci, then sizes of S1, S2 and S0.
std::string Par(int loci, int n1, int n2, int n0) {
  return "1 !M_ESTIMATE\r\n1\r\n100\r\n1\r\n0\r\n" + std::to_string(loci) +
         " !NLOCI_T\r\n\"d.dat\"\r\n2\r\n2\r\n0 4 !NGEN\r\n" + std::to_string(n1) + " " +
         std::to_string(n2) + " !SmplSize\r\n" + std::to_string(n0) + " !SmplSize\r\n1\r\n";
}

struct ToolRun {
  int status;
  std::string out, err;
};

// Runs a tool with the arguments in dir.
ToolRun RunIn(const TempDir& dir, const std::string& tool, const std::string& args) {
  const std::string command = "cd '" + dir.Path().string() + "' && '" + tool + "' " + args +
                              " >../stdout-" + dir.Path().filename().string() + " 2>../stderr-" +
                              dir.Path().filename().string();
  const int raw = std::system(command.c_str());
  const std::string out = (dir.Path().parent_path() / ("stdout-" + dir.Path().filename().string()));
  const std::string err = (dir.Path().parent_path() / ("stderr-" + dir.Path().filename().string()));
  ToolRun run{WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, ReadFile(out), ReadFile(err)};
  unlink(out.c_str());
  unlink(err.c_str());
  return run;
}

ToolRun Convert(const TempDir& dir, const std::string& args) {
  return RunIn(dir, DRIFTSIM_CONVERT_BINARY, args);
}

// Names in a folder, hidden ones included.
std::set<std::string> Listing(const TempDir& dir) {
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir.Path())) {
    names.insert(entry.path().filename().string());
  }
  return names;
}

const std::string kVcfHead =
    "##fileformat=VCFv4.2\n##source=driftsim-convert " DRIFTSIM_VERSION_TEXT
    "\n##driftsim_data=d.dat\n"
    "##FORMAT=<ID=GT,Number=1,Type=String,Description=\"Genotype; allele i is driftsim allele "
    "i+1\">\n";

const std::string kVcf = kVcfHead +
                         "##contig=<ID=L1,length=1>\n##contig=<ID=L2,length=1>\n"
                         "##contig=<ID=L3,length=1>\n"
                         "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT\tS1_1\tS1_2\tS2_1\t"
                         "S0_1\n"
                         "L1\t1\tL1\tA\tC\t.\t.\t.\tGT\t0/1\t0/0\t1/1\t0/1\n"
                         "L2\t1\tL2\tA\tC\t.\t.\t.\tGT\t1/1\t0/1\t./.\t0/0\n"
                         "L3\t1\tL3\tA\tC\t.\t.\t.\tGT\t./.\t1/0\t0/0\t1/1\n";

TEST(ConvertFormats, SmallDataSetAsWrittenByHand) {
  TempDir dir;
  WriteFile(dir / "d.dat", kData);
  WriteFile(dir / "d.par", Par(3, 2, 1, 1));
  const struct {
    std::string args;
    std::vector<std::pair<std::string, std::string>> files;  // name, text
  } cases[] = {
      {"--to genepop",
       {{"d.gen",
         "driftsim-convert of d.dat: 3 loci, samples S1, S2, S0\nL1\nL2\nL3\n"
         "POP\nS1_1 , 001002 002002 000000\nS1_2 , 001001 001002 002001\n"
         "POP\nS2_1 , 002002 000000 001001\nPOP\nS0_1 , 001002 001001 002002\n"}}},
      {"--to vcf --pop-map d.pop",
       {{"d.vcf", kVcf}, {"d.pop", "S1_1\tS1\nS1_2\tS1\nS2_1\tS2\nS0_1\tS0\n"}}},
      {"--to plink -o out/x",
       {{"out/x.ped",
         "S1 S1_1 0 0 0 -9 1 2 2 2 0 0\nS1 S1_2 0 0 0 -9 1 1 1 2 2 1\n"
         "S2 S2_1 0 0 0 -9 2 2 0 0 1 1\nS0 S0_1 0 0 0 -9 1 2 1 1 2 2\n"},
        {"out/x.map", "0\tL1\t0\t1\n0\tL2\t0\t2\n0\tL3\t0\t3\n"}}},
      // Linked loci: chromosomes and positions from the run's map.
      {"--to vcf -o linked.vcf --map run.map",
       {{"linked.vcf",
         kVcfHead +
             "##contig=<ID=chr2,length=900>\n##contig=<ID=5,length=1>\n"
             "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT\tS1_1\tS1_2\tS2_1\tS0_1\n"
             "chr2\t100\tL1\tA\tC\t.\t.\t.\tGT\t0/1\t0/0\t1/1\t0/1\n"
             "chr2\t900\tL2\tA\tC\t.\t.\t.\tGT\t1/1\t0/1\t./.\t0/0\n"
             "5\t1\tL3\tA\tC\t.\t.\t.\tGT\t./.\t1/0\t0/0\t1/1\n"}}},
      {"--to plink -o out/linked --map run.map",
       {{"out/linked.map", "chr2\tL1\t0\t100\nchr2\tL2\t12.5\t900\n5\tL3\t0\t0\n"}}},
  };
  WriteFile(dir / "run.map", "chr2 a 0 100\nchr2 b 12.5 900\n5 c 0 0\n");
  std::filesystem::create_directory(dir / "out");
  for (const auto& c : cases) {
    const ToolRun run = Convert(dir, "d.dat " + c.args);
    EXPECT_EQ(run.status, 0) << c.args << ": " << run.err;
    EXPECT_EQ(run.out + run.err, "");
    for (const auto& [name, text] : c.files) EXPECT_EQ(ReadFile(dir / name), text) << name;
  }
  // Permissions as for any new file, not the owner-only ones of the temporary file.
  const mode_t mask = umask(0);
  umask(mask);
  struct stat st;
  ASSERT_EQ(stat((dir / "d.gen").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0666 & ~mask);

  // More than four alleles: symbolic ALT alleles, declared in the header; GT keeps the order of
  // the two alleles of the .dat.
  WriteFile(dir / "m.dat", "S1_1 12 1\r\nS2_1 3 3\r\n");
  WriteFile(dir / "m.par", Par(1, 1, 1, 0));
  ASSERT_EQ(Convert(dir, "m.dat --to vcf").status, 0);
  std::string alts, declared;
  for (int a = 2; a <= 12; ++a) {
    alts += (a > 2 ? ",<A" : "<A") + std::to_string(a) + ">";
    declared += "##ALT=<ID=A" + std::to_string(a) + ",Description=\"driftsim allele " +
                std::to_string(a) + "\">\n";
  }
  std::string expected = kVcfHead + declared +
                         "##contig=<ID=L1,length=1>\n"
                         "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT\tS1_1\tS2_1\n"
                         "L1\t1\tL1\tA\t" +
                         alts + "\t.\t.\t.\tGT\t11/0\t2/2\n";
  expected.replace(expected.find("d.dat"), 5, "m.dat");
  EXPECT_EQ(ReadFile(dir / "m.vcf"), expected);

  // vcf.gz: BGZF (gzip members with the BC extra field) holding the same text.
  if (!convert::Available(convert::Format::kVcfGz)) GTEST_SKIP() << "built without htslib";
  ASSERT_EQ(Convert(dir, "d.dat --to vcf.gz --level 6").status, 0);
  const std::string gz = ReadFile(dir / "d.vcf.gz");
  ASSERT_GT(gz.size(), 28u);
  EXPECT_EQ(gz.substr(0, 4), std::string("\x1f\x8b\x08\x04", 4));
  EXPECT_EQ(gz.substr(12, 2), "BC");
  ASSERT_EQ(
      std::system(("gzip -dc '" + (dir / "d.vcf.gz") + "' > '" + (dir / "back.vcf") + "'").c_str()),
      0);
  EXPECT_EQ(ReadFile(dir / "back.vcf"), kVcf);
}

TEST(ConvertFormats, RefusalsLeaveNoOutputAndEarlierFilesAsTheyWere) {
  TempDir dir;
  WriteFile(dir / "d.par", Par(3, 2, 1, 1));
  const std::string earlier = "earlier output\n";
  const struct {
    std::string data, args, message;
    bool sameAsStats;  // driftsim-stats gives the same message for the same files
  } cases[] = {
      {std::string(kData).replace(23, 1, "3"), "--to plink",
       "d.dat, line 2: allele 3 at genotype 1; PLINK files take biallelic data only (NumAllele "
       "2)",
       false},
      {std::string(kData).erase(50, 2), "--to genepop",
       "d.dat, line 3: odd number of allele numbers (5); each genotype is a pair of allele "
       "numbers",
       true},
      {std::string(kData).substr(0, 54), "--to vcf --pop-map d.pop",
       "d.dat, line 3: the file ends with 0 individuals of sample S0, but d.par, line 12 gives 1",
       true},
      {"S1_1 1 2 2 2 0 0\r\nS2_1 2 2 0 0 1 1\r\nS1_2 1 1 1 2 2 1\r\nS0_1 1 2 1 1 2 2\r\n",
       "--to vcf",
       "d.dat, line 3: sample S1 after sample S2; the individuals must come in driftsim's "
       "order: S1, then S2, then S0",
       false},
      {kData, "--to genepop -o d.dat", "Output file d.dat would overwrite the data file!", false},
      {kData, "--to vcf --map d.map",
       "d.map:1: expected 'CHROMOSOME NAME CM BP', four fields, not 'earlier output'!", false},
      {kData, "--to genepop -o none/x.gen",
       "Cannot create file none/x.gen: No such file or directory!", false},
  };
  for (const auto& c : cases) {
    WriteFile(dir / "d.dat", c.data);
    for (const char* name : {"d.gen", "d.vcf", "d.pop", "d.ped", "d.map"}) {
      WriteFile(dir / name, earlier);
    }
    const std::set<std::string> before = Listing(dir);
    const ToolRun run = Convert(dir, "d.dat " + c.args);
    EXPECT_EQ(run.status, 1) << c.args;
    EXPECT_EQ(run.err, "driftsim-convert: " + c.message + "\n");
    EXPECT_EQ(Listing(dir), before) << c.args;
    for (const char* name : {"d.gen", "d.vcf", "d.pop", "d.ped", "d.map"}) {
      EXPECT_EQ(ReadFile(dir / name), earlier) << name;
    }
    if (c.sameAsStats) {
      EXPECT_EQ(RunIn(dir, DRIFTSIM_STATS_BINARY, "d.dat").err,
                "driftsim-stats: " + c.message + "\n");
    }
  }
}

TEST(ConvertFiles, AFailedRenamePutsTheEarlierFilesBack) {
  TempDir dir;
  WriteFile(dir / "a.ped", "earlier ped\n");
  {
    convert::OutputFile ped(dir / "a.ped"), map(dir / "a.map");
    ped.Write("new ped\n");
    map.Write("new map\n");
    ped.Finish();
    map.Finish();
    // a.map becomes a folder that a file cannot replace: its rename fails after a.ped's.
    std::filesystem::create_directory(dir / "a.map");
    WriteFile(dir / "a.map/x", "");
    try {
      convert::Commit({&ped, &map});
      FAIL() << "the commit passed";
    } catch (const convert::StatsError& e) {
      EXPECT_EQ(std::string(e.what()),
                "Cannot rename file " + (dir / "a.map") + ": Is a directory!");
    }
  }
  EXPECT_EQ(ReadFile(dir / "a.ped"), "earlier ped\n");
  EXPECT_EQ(Listing(dir), (std::set<std::string>{"a.ped", "a.map"}));

  // Without an earlier file, the new one goes away again.
  std::filesystem::remove(dir / "a.ped");
  std::filesystem::remove_all(dir / "a.map");
  {
    convert::OutputFile ped(dir / "a.ped"), map(dir / "a.map");
    ped.Finish();
    map.Finish();
    std::filesystem::create_directory(dir / "a.map");
    WriteFile(dir / "a.map/x", "");
    EXPECT_THROW(convert::Commit({&ped, &map}), convert::StatsError);
  }
  EXPECT_EQ(Listing(dir), (std::set<std::string>{"a.map"}));
}

// An interrupted conversion: the data file is a pipe that the test fills halfway, so the
// converter is inside the data when the signal comes (its output files exist as soon as it has
// opened the pipe).
TEST(ConvertTool, CommandLine) {
  TempDir dir;
  for (const char* flag : {"--help", "-h", "d.dat --help"}) {
    const ToolRun run = Convert(dir, flag);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out.rfind("driftsim-convert " DRIFTSIM_VERSION_TEXT " - ", 0), 0u);
    EXPECT_EQ(run.err, "");
  }
  EXPECT_EQ(Convert(dir, "--version").out, "driftsim-convert " DRIFTSIM_VERSION_TEXT "\n");
  const struct {
    const char* args;
    const char* message;
  } misuse[] = {
      {"--to vcf", "no data file given"},
      {"d.dat", "no output format given (--to)"},
      {"d.dat --to bed", "unknown format bed (genepop, vcf, vcf.gz or plink)"},
      {"d.dat --to genepop --level 3", "--level and --threads apply to --to vcf.gz only"},
      {"d.dat --to vcf.gz --level 10", "--level 10: expected 0 to 9"},
      {"d.dat --to vcf.gz --threads x", "--threads x: expected 0 to 64"},
      {"d.dat --to vcf -o", "option -o needs a value"},
      {"d.dat --bogus --to vcf", "unknown option --bogus"},
      {"a b c --to vcf", "too many arguments"},
  };
  for (const auto& m : misuse) {
    const ToolRun run = Convert(dir, m.args);
    EXPECT_EQ(run.status, 2) << m.args;
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err.rfind("driftsim-convert: " + std::string(m.message) + "\n", 0), 0u)
        << run.err;
  }
  EXPECT_TRUE(Listing(dir).empty());

  // -o names the file for genepop and the VCFs, the stem for plink: a name that does not look
  // so is written as asked, with a warning.
  WriteFile(dir / "d.dat", kData);
  WriteFile(dir / "d.par", Par(3, 2, 1, 1));
  const struct {
    const char* args;
    const char* warning;
  } names[] = {
      {"--to genepop -o conv",
       "-o conv has no .gen extension; for genepop it names the file itself"},
      {"--to vcf -o conv", "-o conv has no .vcf extension; for vcf it names the file itself"},
      {"--to vcf -o conv.vcf.gz",
       "-o conv.vcf.gz has no .vcf extension; for vcf it names the file itself"},
      {"--to plink -o conv.ped", "-o conv.ped is a stem for plink, which adds .ped and .map to it"},
      {"--to genepop -o conv.gen", ""},
      {"--to vcf -o conv.vcf", ""},
      {"--to plink -o conv", ""},
  };
  for (const auto& n : names) {
    const ToolRun run = Convert(dir, std::string("d.dat ") + n.args);
    EXPECT_EQ(run.status, 0) << n.args << run.err;
    EXPECT_EQ(run.err,
              *n.warning ? "driftsim-convert: warning: " + std::string(n.warning) + "\n" : "")
        << n.args;
  }
}

}  // namespace
}  // namespace driftsim::test
