// The file transaction of the three programs: every file under every signal at every commit
// step, and every fault of a file (closed consoles, outputs on inputs or devices, FIFOs,
// unbounded lines, renamed folders, a killed commit, missing locks and links).
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <sstream>

#include "convert/convert.hpp"
#include "description/description.hpp"
#include "test_support.hpp"

namespace driftsim::test {
namespace {

namespace fs = std::filesystem;

const int kSignals[] = {SIGHUP,  SIGINT,  SIGQUIT,   SIGUSR1, SIGUSR2, SIGALRM,
                        SIGTERM, SIGXCPU, SIGVTALRM, SIGPROF, SIGPWR};

// A folder with a parameter file and earlier files of every name the rows write.
struct Folder {
  explicit Folder(const fs::path& d, const std::string& text = SmallRun({})) : dir(d) {
    fs::create_directories(dir);
    WriteFile(Path("p.txt"), text);
    for (const char* name : {"out.dat", "out.par", "w.txt", "s.json", "x.vcf", "x.pop"}) {
      WriteFile(Path(name), std::string("earlier ") + name + "\n");
    }
  }
  std::string Path(const std::string& name) const { return (dir / name).string(); }
  bool Earlier(const char* name) const {
    return ReadFile(Path(name)) == std::string("earlier ") + name + "\n";
  }
  std::vector<std::string> Strays() const {
    std::vector<std::string> s = TempFilesIn(dir);
    return s;
  }
  fs::path dir;
};

// A data set written by driftsim, for the conversions.
void MakeDataSet(const fs::path& dir, const std::vector<std::string>& extra = {}) {
  std::vector<std::string> args = {"p.txt", "-q"};
  args.insert(args.end(), extra.begin(), extra.end());
  const Ended e = RunAll({{args, dir}})[0];
  ASSERT_TRUE(e.exited && e.status == 0) << e.console;
}

// One grouped test: the four files of a run (.dat, .par, --write-params, --summary) and the two
// of a conversion, a signal at each step of their commits. Before the renames the signal ends
// the program, which leaves no temporary file and every earlier file; from the point where
// signals are held on, and through the later commit of the run record, the program completes.
TEST(Transaction, EveryFileEverySignalEveryCommitStep) {
  TempDir root;
  const fs::path source = root.Path() / "source";
  Folder(source, SmallRun({{5, "4"}}));
  MakeDataSet(source);
  struct Row {
    const char* stop;
    bool convert;
    bool completes;
  };
  const Row rows[] = {
      {"start", false, false},     {"lock", false, false},       {"record", false, false},
      {"keep", false, true},       {"rename:0", false, true},    {"rename:1", false, true},
      {"rename:2", false, true},   {"sync-folder", false, true}, {"start@2", false, true},
      {"rename:0@2", false, true}, {"start", true, false},       {"record", true, false},
      {"rename:0", true, true},    {"rename:1", true, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.convert ? "driftsim-convert" : "driftsim") + " at " + row.stop);
    std::vector<Folder> folders;
    std::vector<pid_t> pids;
    for (const int sig : kSignals) {
      folders.emplace_back(root.Path() / (std::string(row.stop) + (row.convert ? "-c-" : "-") +
                                          std::to_string(sig)));
      const Folder& f = folders.back();
      Launch run{{"p.txt", "--write-params", "w.txt", "--summary", "s.json"}, f.dir};
      if (row.convert) {
        fs::copy_file(source / "out.dat", f.dir / "out.dat", fs::copy_options::overwrite_existing);
        fs::copy_file(source / "out.par", f.dir / "out.par", fs::copy_options::overwrite_existing);
        run = {{"out.dat", "--to", "vcf", "-o", "x.vcf", "--pop-map", "x.pop"}, f.dir};
        run.binary = DRIFTSIM_CONVERT_BINARY;
      }
      run.stopAt = row.stop;
      pids.push_back(Start(run));
    }
    for (size_t i = 0; i < pids.size(); ++i) {
      const int sig = kSignals[i];
      const Folder& f = folders[i];
      const bool stopped = WaitStopped(pids[i]);
      EXPECT_TRUE(stopped) << "signal " << sig << ": did not stop at " << row.stop;
      if (stopped) {
        kill(pids[i], sig);
        kill(pids[i], SIGCONT);
      }
      const Ended e = Wait(pids[i], f.dir);
      EXPECT_TRUE(f.Strays().empty()) << "signal " << sig << ": " << f.Strays().front();
      if (!row.completes) {
        EXPECT_FALSE(e.exited) << "signal " << sig << ": " << e.console;
        EXPECT_EQ(e.status, sig);
        for (const char* name : {"out.dat", "out.par", "w.txt", "s.json", "x.vcf", "x.pop"}) {
          // A conversion's inputs are not earlier files.
          if (row.convert && std::string(name).starts_with("out.")) continue;
          EXPECT_TRUE(f.Earlier(name)) << "signal " << sig << ": " << name << " changed";
        }
        continue;
      }
      EXPECT_TRUE(e.exited && e.status == 0) << "signal " << sig << ": " << e.status << e.console;
      if (row.convert) {
        EXPECT_TRUE(ReadFile(f.Path("x.vcf")).starts_with("##fileformat=VCFv4.2\n"));
        EXPECT_TRUE(ReadFile(f.Path("x.pop")).starts_with("S1_1\tS1\n"));
      } else {
        const std::string text = ReadFile(f.Path("p.txt"));
        EXPECT_EQ(ReadFile(f.Path("out.par")), ExpectedParFile(Parse(text)));
        EXPECT_EQ(Parse(ReadFile(f.Path("w.txt"))).OutFile, "out");
        EXPECT_TRUE(ReadFile(f.Path("s.json")).starts_with("{")) << "signal " << sig;
      }
    }
  }
}

// What a row's run gives, with the console and standard output apart.
struct Outcome {
  Ended ended;
  std::string out;
};

Outcome RunIn(const fs::path& dir, std::vector<std::string> args, const std::string& binary = "",
              std::chrono::seconds limit = std::chrono::seconds(60)) {
  Launch run{std::move(args), dir};
  run.binary = binary;
  run.stdoutFile = (dir / "stdout.txt").string();
  fs::remove(dir / "stdout.txt");
  const pid_t pid = Start(run);
  Outcome o{Wait(pid, dir, limit), ""};
  o.out = ReadFile((dir / "stdout.txt").string());
  o.ended.console += o.out;
  return o;
}

void ExpectRefused(const Outcome& o, const std::string& message, int status = 1) {
  EXPECT_TRUE(o.ended.exited) << "ended by signal " << o.ended.status;
  EXPECT_EQ(o.ended.status, status) << o.ended.console;
  EXPECT_NE(o.ended.console.find(message), std::string::npos)
      << "missing \"" << message << "\" in:\n"
      << o.ended.console;
}

// The number of loci of a data file's first line and of its .par's line 6: equal in a pair of
// one run.
std::pair<int, int> LociOfPair(const Folder& f) {
  const std::string dat = ReadFile(f.Path("out.dat"));
  const std::string first = dat.substr(0, dat.find("\r\n"));
  const std::string par = ReadFile(f.Path("out.par"));
  size_t at = 0;
  for (int line = 1; line < 6; ++line) at = par.find("\r\n", at) + 2;
  return {int(std::count(first.begin(), first.end(), ' ') / 2), std::atoi(par.c_str() + at)};
}

// Every fault, one row each: a run or conversion that once went wrong, and what it must do.
TEST(Transaction, EveryFileEveryFault) {
  TempDir root;
  int count = 0;
  auto folder = [&](const std::string& text = SmallRun({})) {
    return Folder(root.Path() / ("row" + std::to_string(++count)), text);
  };
  const std::string convert = DRIFTSIM_CONVERT_BINARY;
  const std::string stats = DRIFTSIM_STATS_BINARY;
  struct Row {
    const char* item;
    std::function<void()> check;
  };
  const std::vector<Row> rows = {
      {"1. closed standard output or error: no console text in the data file",
       [&] {
         for (const int fd : {1, 2}) {
           const Folder f = folder();
           Launch run{{"p.txt", "--progress"}, f.dir};
           if (fd == 1) run.args = {"p.txt"};
           run.closedFds = {fd};
           const Ended e = Wait(Start(run), f.dir);
           EXPECT_TRUE(e.exited && e.status == 0) << fd;
           EXPECT_TRUE(ReadFile(f.Path("out.dat")).starts_with("S1_1 ")) << fd;
         }
       }},
      {"2. VCF of alleles 100 and above: every genotype whole, vcf and vcf.gz",
       [&] {
         const Folder f = folder();
         MakeDataSet(f.dir, {"--set", "NumAllele=127", "--set", "NumLoci=50", "--set", "FreqDist=1",
                             "--set", "NumIndiv1=200", "--set", "NumIndiv2=200"});
         const Outcome o = RunIn(f.dir, {"out.dat", "--to", "vcf", "-o", "y.vcf"}, convert);
         ASSERT_EQ(o.ended.status, 0) << o.ended.console;
         const std::string vcf = ReadFile(f.Path("y.vcf"));
         const std::regex gt("[0-9]+/[0-9]+|\\./\\.");
         int records = 0, wide = 0;
         for (size_t start = vcf.find("\n#CHROM"); start != std::string::npos;) {
           start = vcf.find('\n', start + 1);
           if (start == std::string::npos || start + 1 == vcf.size()) break;
           const std::string line = vcf.substr(start + 1, vcf.find('\n', start + 1) - start - 1);
           ++records;
           std::vector<std::string> fields;
           for (size_t a = 0, b; a <= line.size(); a = b + 1) {
             b = std::min(line.find('\t', a), line.size());
             fields.push_back(line.substr(a, b - a));
           }
           ASSERT_EQ(fields.size(), 9u + 405u) << "record " << records;
           for (size_t k = 9; k < fields.size(); ++k) {
             ASSERT_TRUE(std::regex_match(fields[k], gt)) << "'" << fields[k] << "'";
             wide += fields[k].size() == 7;
           }
         }
         EXPECT_EQ(records, 50);
         EXPECT_GT(wide, 0) << "no genotype of two three-digit alleles";
         if (convert::Available(convert::Format::kVcfGz) &&
             std::system("command -v bcftools >/dev/null 2>&1") == 0) {
           const Outcome gz =
               RunIn(f.dir, {"out.dat", "--to", "vcf.gz", "-o", "y.vcf.gz"}, convert);
           ASSERT_EQ(gz.ended.status, 0) << gz.ended.console;
           const std::string cmd = "cd '" + f.dir.string() +
                                   "' && bcftools view -H y.vcf.gz > view.txt 2>&1 && "
                                   "bcftools view -H y.vcf > view2.txt";
           EXPECT_EQ(std::system(cmd.c_str()), 0) << ReadFile(f.Path("view.txt"));
           EXPECT_EQ(ReadFile(f.Path("view.txt")), ReadFile(f.Path("view2.txt")));
         }
       }},
      {"3. an output that is an input or another output",
       [&] {
         const Folder f = folder();
         MakeDataSet(f.dir);
         const std::string dat = ReadFile(f.Path("out.dat"));
         ExpectRefused(RunIn(f.dir, {"p.txt", "--summary", "out.dat"}), "are the same file!");
         ExpectRefused(RunIn(f.dir, {"p.txt", "--summary", "./p.txt"}),
                       "Output file ./p.txt would overwrite the parameter file!");
         ExpectRefused(RunIn(f.dir, {"p.txt", "--write-params", "out.par"}), "are the same file!");
         ExpectRefused(RunIn(f.dir, {"p.txt", "--check", "--write-params", "./out.dat"}),
                       "are the same file!");
         ExpectRefused(
             RunIn(f.dir, {"out.dat", "--to", "vcf", "-o", "x.vcf", "--pop-map", "./x.vcf"},
                   convert),
             "are the same file!");
         ExpectRefused(
             RunIn(f.dir, {"out.dat", "--to", "plink", "-o", "pl", "--pop-map", "./pl.map"},
                   convert),
             "are the same file!");
         EXPECT_EQ(ReadFile(f.Path("out.dat")), dat);
         EXPECT_TRUE(f.Earlier("x.vcf") && f.Strays().empty());
       }},
      {"4. an output that exists and is not a regular file",
       [&] {
         const Folder f = folder();
         fs::create_symlink("/dev/null", f.dir / "link.json");
         for (const char* name : {"/dev/null", "link.json", "/dev/stdout"}) {
           ExpectRefused(RunIn(f.dir, {"p.txt", "--summary", name}),
                         "it exists and is not a regular file!");
         }
         ExpectRefused(RunIn(f.dir, {"p.txt", "--write-params", "/dev/stdout"}),
                       "it exists and is not a regular file!");
         MakeDataSet(f.dir, {"-o", "d"});
         ExpectRefused(RunIn(f.dir, {"d.dat", "--to", "vcf", "-o", "/dev/null"}, convert),
                       "it exists and is not a regular file!");
         EXPECT_TRUE(f.Earlier("out.dat") && f.Strays().empty());
       }},
      {"5. a run record that cannot be written stops the run before the work",
       [&] {
         const Folder f = folder();
         for (const bool check : {false, true}) {
           std::vector<std::string> args = {"p.txt", "--summary", "nowhere/s.json"};
           if (check) args.push_back("--check");
           const Outcome o = RunIn(f.dir, args);
           ExpectRefused(o, "Cannot create file nowhere/s.json: No such file or directory!");
           EXPECT_EQ(o.ended.console.find("Initialize variables"), std::string::npos);
         }
         EXPECT_TRUE(f.Earlier("out.dat") && f.Earlier("out.par") && f.Strays().empty());
       }},
      {"6. standard output that fails, and messages beside a record on standard output",
       [&] {
         const Folder f = folder();
         Launch run{{"p.txt", "--summary", "-"}, f.dir};
         run.stdoutFile = "/dev/full";
         const Ended e = Wait(Start(run), f.dir);
         EXPECT_TRUE(e.exited && e.status == 1) << e.console;
         EXPECT_NE(e.console.find("Cannot write the run record to standard output: No space"),
                   std::string::npos)
             << e.console;
         const Outcome o = RunIn(f.dir, {"p.txt", "--summary", "-", "-o", "nowhere/out"});
         EXPECT_EQ(o.out, "") << "a message went to standard output";
         ExpectRefused(o, "Cannot create file nowhere/out.dat");
       }},
      {"7. a name longer than the folder allows: --check refuses it",
       [&] {
         const Folder f = folder();
         ExpectRefused(RunIn(f.dir, {"p.txt", "--check", "-o", std::string(300, 'n')}),
                       "File name too long!");
       }},
      {"8. SIGKILL between the renames: the record, the refusal, the next run completes it",
       [&] {
         const Folder f = folder();
         Launch first{{"p.txt"}, f.dir};
         first.stopAt = "rename:1";
         const pid_t pid = Start(first);
         ASSERT_TRUE(WaitStopped(pid));
         kill(pid, SIGKILL);
         Wait(pid, f.dir);
         bool record = false;
         for (const auto& e : fs::directory_iterator(f.dir)) {
           record |= e.path().filename().string().starts_with(".driftsim-commit-");
         }
         EXPECT_TRUE(record);
         ExpectRefused(RunIn(f.dir, {"out.dat"}, stats),
                       "the commit that wrote it was interrupted");
         ExpectRefused(RunIn(f.dir, {"out.dat", "--to", "vcf"}, convert),
                       "the commit that wrote it was interrupted");
         const Outcome check = RunIn(f.dir, {"p.txt", "--check"});
         EXPECT_NE(check.ended.console.find("left the commit of out.dat unfinished"),
                   std::string::npos)
             << check.ended.console;
         // The next run on the stem completes the commit first: the first run's pair whole.
         Launch next{{"p.txt", "--set", "NumLoci=13"}, f.dir};
         next.stopAt = "start";
         const pid_t second = Start(next);
         ASSERT_TRUE(WaitStopped(second));
         EXPECT_EQ(LociOfPair(f), std::make_pair(12, 12));
         EXPECT_EQ(ReadFile(f.Path("out.par")), ExpectedParFile(Parse(ReadFile(f.Path("p.txt")))));
         kill(second, SIGTERM);
         kill(second, SIGCONT);
         Wait(second, f.dir);
         EXPECT_TRUE(f.Strays().empty()) << f.Strays().front();
         EXPECT_EQ(RunIn(f.dir, {"out.dat"}, stats).ended.status, 0);
       }},
      {"8. without flock, three concurrent runs still commit whole pairs",
       [&] {
         const Folder f = folder();
         for (int round = 0; round < 15; ++round) {
           std::vector<pid_t> pids;
           for (const char* loci : {"12", "13", "14"}) {
             Launch run{{"p.txt", "-q", "--set", std::string("NumLoci=") + loci}, f.dir};
             run.env = {"DRIFTSIM_TEST_FAIL=lock=" + std::to_string(ENOLCK)};
             pids.push_back(Start(run));
           }
           for (const pid_t pid : pids) EXPECT_EQ(Wait(pid, f.dir).status, 0);
           const auto [dat, par] = LociOfPair(f);
           ASSERT_EQ(dat, par) << "a mixed pair in round " << round;
         }
         EXPECT_TRUE(f.Strays().empty());
       }},
      {"9. FIFOs for the sizes file, the parameter file and a data file: refused at once",
       [&] {
         const Folder f = folder();
         ASSERT_EQ(mkfifo(f.Path("fifo").c_str(), 0600), 0);
         const auto limit = std::chrono::seconds(20);
         ExpectRefused(RunIn(f.dir, {"p.txt", "--sizes", "fifo"}, "", limit),
                       "cannot be read: not a regular file!");
         ExpectRefused(RunIn(f.dir, {"fifo"}, "", limit), "cannot be read: not a regular file!");
         ExpectRefused(RunIn(f.dir, {"fifo"}, stats, limit), "not a regular file");
         ExpectRefused(RunIn(f.dir, {"fifo", "--to", "vcf"}, convert, limit), "not a regular file");
       }},
      {"10. endless or long lines in the sizes file",
       [&] {
         const Folder f = folder();
         ExpectRefused(RunIn(f.dir, {"p.txt", "--sizes", "/dev/zero"}),
                       "cannot be read: not a regular file!");
         WriteFile(f.Path("long.txt"), std::string(5000, '\x01') + "\n");
         const Outcome o = RunIn(f.dir, {"p.txt", "--sizes", "long.txt"});
         ExpectRefused(
             o, "long.txt:1: line longer than 1000 characters: '" + [] {
               std::string s;
               for (int i = 0; i < 60; ++i) s += "\\x01";
               return s;
             }() + "...'!");
       }},
      {"11. a folder renamed during the run keeps its files together",
       [&] {
         const Folder f = folder(SmallRun({{11, "'sub/out'"}}));
         fs::create_directory(f.dir / "sub");
         Launch run{{"p.txt"}, f.dir};
         run.stopAt = "start";
         const pid_t pid = Start(run);
         ASSERT_TRUE(WaitStopped(pid));
         fs::rename(f.dir / "sub", f.dir / "moved");
         kill(pid, SIGCONT);
         const Ended e = Wait(pid, f.dir);
         EXPECT_TRUE(e.exited && e.status == 0) << e.console;
         EXPECT_TRUE(TempFilesIn(f.dir / "moved").empty());
         EXPECT_TRUE(ReadFile(f.Path("moved/out.dat")).starts_with("S1_1 "));
       }},
      {"12. no hard link, the earlier .dat cannot be moved aside, the .par rename fails",
       [&] {
         const Folder f = folder();
         static const std::vector<std::pair<CommitStep, int>> kFaults = {
             {CommitStep::kKeep, 0}, {CommitStep::kMoveAside, 0}, {CommitStep::kRename, 1}};
         gCommitHook = [](CommitStep step, int file) {
           for (const auto& [s, i] : kFaults) {
             if (s == step && i == file) return EPERM;
           }
           return 0;
         };
         std::string message;
         try {
           OutputFile dat(f.Path("out.dat"), "WriteGenoFile"), par(f.Path("out.par"));
           dat.Write("new\n");
           par.Write("new\n");
           dat.Close();
           par.Close();
           Commit({&dat, &par});
         } catch (const FatalError& e) {
           message = e.Message();
         }
         gCommitHook = nullptr;
         EXPECT_EQ(message, "Cannot keep the earlier file " + f.Path("out.dat") +
                                ": Operation not permitted!");
         EXPECT_TRUE(f.Earlier("out.dat") && f.Earlier("out.par") && f.Strays().empty());
       }},
      {"12. a failed rename whose put-back fails too keeps the record; it completes the commit",
       [&] {
         const Folder f = folder();
         static const std::vector<std::pair<CommitStep, int>> kFaults = {{CommitStep::kRename, 1},
                                                                         {CommitStep::kPutBack, 0}};
         gCommitHook = [](CommitStep step, int file) {
           for (const auto& [s, i] : kFaults) {
             if (s == step && i == file) return EIO;
           }
           return 0;
         };
         std::string message;
         try {
           OutputFile dat(f.Path("out.dat")), par(f.Path("out.par"));
           dat.Write("new out.dat\n");
           par.Write("new out.par\n");
           dat.Close();
           par.Close();
           Commit({&dat, &par});
         } catch (const FatalError& e) {
           message = e.Message();
         }
         gCommitHook = nullptr;
         EXPECT_NE(message.find("Cannot rename file " + f.Path("out.par") +
                                ": Input/output error; putting the earlier files back failed too"),
                   std::string::npos)
             << message;
         EXPECT_TRUE(CommitPending(f.Path("out.dat")));
         EXPECT_TRUE(RecoverCommit(f.Path("out.dat")));
         EXPECT_EQ(ReadFile(f.Path("out.dat")), "new out.dat\n");
         EXPECT_EQ(ReadFile(f.Path("out.par")), "new out.par\n");
         EXPECT_TRUE(f.Strays().empty()) << f.Strays().front();
       }},
      {"8. a record beside the real file, found through a link to the data file",
       [&] {
         const Folder f = folder();
         MakeDataSet(f.dir);
         WriteFile(f.Path(CommitRecordName("out.dat")),
                   "driftsim commit record\nprocess\t999999999\th\n"
                   "file\t.\t.driftsim-bbbbbbbbbbbb.tmp\tout.dat\t-\nend\n");
         const fs::path other = f.dir / "other";
         fs::create_directory(other);
         fs::create_symlink(f.dir / "out.dat", other / "link.dat");
         fs::create_symlink(f.dir / "out.par", other / "link.par");
         ExpectRefused(RunIn(other, {"link.dat"}, stats),
                       "the commit that wrote it was interrupted");
       }},
      {"4. outputs in /dev/shm, a folder like any other",
       [&] {
         const fs::path shm = "/dev/shm/driftsim-test-" + std::to_string(getpid());
         if (!fs::is_directory("/dev/shm") || !fs::create_directory(shm)) return;
         const Folder f = folder();
         for (int run = 0; run < 2; ++run) {
           const Outcome o = RunIn(f.dir, {"p.txt", "-q", "-o", (shm / "out").string()});
           EXPECT_EQ(o.ended.status, 0) << "run " << run << o.ended.console;
         }
         fs::remove_all(shm);
       }},
      {"--check approves what the run does: DRIFTSIM_THREADS=0, a small ulimit -f",
       [&] {
         const Folder f = folder();
         for (const bool check : {true, false}) {
           Launch run{{"p.txt"}, f.dir};
           if (check) run.args.push_back("--check");
           run.env = {"DRIFTSIM_THREADS=0"};
           ExpectFatal(Wait(Start(run), f.dir), "DRIFTSIM_THREADS=0: the thread count must be",
                       "SelectThreads");
           // The data file passes the limit; the console, quiet, does not.
           run.args.insert(run.args.end(), {"-q", "--set", "NumLoci=200"});
           run.env = {};
           run.fileSizeLimit = 8192;
           // --check refuses the limit that the run then meets in its writing.
           ExpectFatal(Wait(Start(run), f.dir),
                       check ? "Cannot write file out.dat: it may reach 18090 bytes, above the "
                               "file-size limit of 8192 bytes (ulimit -f)!"
                             : "Cannot write file out.dat: File too large!",
                       "WriteGenoFile");
         }
         EXPECT_TRUE(f.Earlier("out.dat") && f.Strays().empty());
       }},
      {"names: empty, with control characters",
       [&] {
         const Folder f = folder();
         MakeDataSet(f.dir);
         ExpectRefused(RunIn(f.dir, {"out.dat", "--to", "vcf", "-o", ""}, convert),
                       "-o needs a file name", 2);
         ExpectRefused(RunIn(f.dir, {"out.dat", "--to", "vcf", "--pop-map", ""}, convert),
                       "--pop-map needs a file name", 2);
         ExpectRefused(RunIn(f.dir, {"out.dat", "--to", "vcf", "-o", "a\nb"}, convert),
                       "Cannot create file a\\x0ab: the name holds a control character!");
         ExpectRefused(RunIn(f.dir, {"p.txt", "--summary", "s\x01.json"}),
                       "the name holds a control character!");
       }},
      {"sizes past the run or above MaxNe: refused with file and line",
       [&] {
         const Folder f = folder();
         WriteFile(f.Path("late.txt"), "1 10\n300 10\n");
         ExpectRefused(RunIn(f.dir, {"p.txt", "--sizes", "late.txt"}),
                       "late.txt:2: generation 300 is after the run's last generation 252");
         WriteFile(f.Path("big.txt"), "\n5 21\n");
         ExpectRefused(RunIn(f.dir, {"p.txt", "--sizes", "big.txt", "--check"}),
                       "big.txt:2: size 21 is above MaxNe 20");
       }},
      {"--write-params: a sizes name that reads back as another file is refused or resolved",
       [&] {
         const Folder f = folder();
         fs::create_directories(f.dir / "a" / "b");
         fs::create_directory_symlink(f.dir / "a" / "b", f.dir / "link");
         WriteFile(f.Path("a/sizes.txt"), "3 15\n");
         WriteFile(f.Path("sizes.txt"), "3 12\n");
         ASSERT_EQ(RunIn(f.dir,
                         {"p.txt", "-q", "--sizes", "link/../sizes.txt", "--write-params", "w.txt"})
                       .ended.status,
                   0);
         const std::string dat = ReadFile(f.Path("out.dat"));
         ASSERT_EQ(RunIn(f.dir, {"w.txt", "-q"}).ended.status, 0);
         EXPECT_EQ(ReadFile(f.Path("out.dat")), dat) << "w.txt names another sizes file";
         WriteFile(f.Path("blank.txt "), "3 15\n");
         ExpectRefused(RunIn(f.dir, {"p.txt", "--check", "--sizes", "blank.txt ", "--write-params",
                                     "w2.txt"}),
                       "blank.txt ' ends in a blank or holds a control character");
       }},
      {"--write-params records the model options; --check shows them",
       [&] {
         const Folder f = folder();
         WriteFile(f.Path("sizes.txt"), "3 15\n6 12\n");
         const std::vector<std::string> model = {"--burn-in",  "5",       "--mutation-rate",
                                                 "0.002",      "--sizes", "sizes.txt",
                                                 "--ne-ratio", "0.5"};
         std::vector<std::string> args = {"p.txt", "-q", "--write-params", "w.txt"};
         args.insert(args.end(), model.begin(), model.end());
         ASSERT_EQ(RunIn(f.dir, args).ended.status, 0);
         const std::string dat = ReadFile(f.Path("out.dat"));
         fs::remove(f.dir / "out.dat");
         const Outcome again = RunIn(f.dir, {"w.txt", "-q"});
         ASSERT_EQ(again.ended.status, 0) << again.ended.console;
         EXPECT_EQ(ReadFile(f.Path("out.dat")), dat) << "w.txt alone does not reproduce the run";
         const Outcome check = RunIn(f.dir, {"w.txt", "--check"});
         EXPECT_NE(check.ended.console.find("Model:\n  burn-in       5\n  mutation-rate 0.002\n"),
                   std::string::npos)
             << check.ended.console;
       }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.item);
    row.check();
  }
}

// This process as a commit record names its holder: pid, host, start time, boot, pid namespace.
struct Identity {
  std::string pid = std::to_string(getpid()), host, start, boot, pidSpace;
  Identity() {
    char name[256] = {};
    gethostname(name, sizeof name - 1);
    host = name;
    // As the program reads it: through the main thread's entry, which an emulator leaves alone.
    const std::string stat = ReadFile("/proc/" + pid + "/task/" + pid + "/stat");
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    for (int field = 3; field <= 22; ++field) fields >> start;
    boot = ReadFile("/proc/sys/kernel/random/boot_id");
    boot.resize(boot.find('\n'));
    pidSpace = fs::read_symlink("/proc/self/ns/pid").string();
  }
  std::string Line(const std::string& startTime) const {
    return "process\t" + pid + "\t" + host + "\t" + startTime + "\t" + boot + "\t" + pidSpace +
           "\n";
  }
};

// Every kind of commit record that a run may find beside its files, whoever left it: each row
// plants one and runs driftsim-stats, --check and the run. None may touch a file outside the
// folder, wait without bound or abort; a record that this program did not write is refused
// before the run's work, and nothing is renamed or removed; one that it wrote is completed
// when its process is gone, whatever the pid now names, and waited for while it may run.
TEST(Transaction, HostileRecords) {
  TempDir root;
  const fs::path victim = root.Path() / "victim";
  fs::create_directories(victim);
  const std::string thesis = (victim / "thesis.tex").string();
  const std::string stray = (victim / ".driftsim-aaaaaaaaaaaa.tmp").string();
  WriteFile(thesis, "thesis\n");
  WriteFile(stray, "stray\n");
  const std::string record = CommitRecordName("out.dat");
  const std::string title = "driftsim commit record\n";
  const std::string gone = "process\t999999999\t" + Identity().host + "\n";
  const std::string named = "file\t.\t.driftsim-bbbbbbbbbbbb.tmp\tout.dat\t-\n";
  const Identity me;
  const std::string refused = "cannot be trusted";
  const std::string noFlock = "DRIFTSIM_TEST_FAIL=lock=" + std::to_string(ENOLCK);
  const std::string endWait = "record-wait=" + std::to_string(ETIMEDOUT);
  enum Plant { kText, kFifo, kFolder, kOtherUser };
  struct Row {
    const char* item;
    Plant plant;
    std::string text;
    int ageSeconds = 0;
    bool atCommit = false;  // planted while the run waits at its commit, not before it
    std::string env{};
    int stats = 0, check = 0, run = 0;
    std::string message{};
  };
  const std::vector<Row> rows = {
      {"absolute names", kText,
       title + gone + "file\t" + victim.string() +
           "\t.driftsim-aaaaaaaaaaaa.tmp\tthesis.tex\t-\nend\n",
       0, false, "", 1, 1, 1, refused},
      {"cut short, naming another folder", kText,
       title + gone + "file\t" + victim.string() + "\tthesis.tex\tx\t-\n", 0, false, "", 1, 1, 1,
       refused},
      {"../ names", kText,
       title + gone + "file\t.\t../victim/.driftsim-aaaaaaaaaaaa.tmp\tout.dat\t-\nend\n", 0, false,
       "", 1, 1, 1, refused},
      {"a bad escape", kText, title + gone + "file\t.\t\\xzz\tout.dat\t-\nend\n", 0, false, "", 1,
       1, 1, "line 3 has a bad escape"},
      {"a FIFO", kFifo, "", 0, false, "", 1, 1, 1, "it is not a regular file"},
      {"a folder", kFolder, "", 0, false, "", 1, 1, 1, "it is not a regular file"},
      {"another user's", kOtherUser, title + gone + named + "end\n", 0, false, "", 1, 1, 1,
       "it belongs to another user"},
      {"empty, just created", kText, "", 0, false, "", 0, 0, 0},
      {"cut in its process line", kText, title + "process\t12", 0, false, "", 0, 0, 0},
      {"live pid with another start time", kText, title + me.Line("1") + named + "end\n", 0, false,
       "", 1, 0, 0},
      {"live pid with its own start time: a bounded wait", kText,
       title + me.Line(me.start) + named + "end\n", 0, true, "DRIFTSIM_TEST_FAIL=" + endWait, 1, 0,
       1, "is still there after a wait of 90 s; if that run has ended, remove the record"},
      {"another host, two days old, no flock", kText,
       title + "process\t4242\telsewhere.example\t77\tb\tpid:[1]\n" + named + "end\n",
       2 * 24 * 3600, true, noFlock, 1, 0, 0},
      {"another host, new, no flock: a bounded wait", kText,
       title + "process\t4242\telsewhere.example\t77\tb\tpid:[1]\n" + named + "end\n", 0, true,
       noFlock + "," + endWait, 1, 0, 1, "of process 4242 on host elsewhere.example"},
  };
  int count = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.item);
    if (row.plant == kOtherUser && geteuid() != 0) continue;  // only root gives files away
    const Folder f(root.Path() / ("row" + std::to_string(++count)));
    MakeDataSet(f.dir);
    const std::string dat = ReadFile(f.Path("out.dat")), par = ReadFile(f.Path("out.par"));
    WriteFile(f.Path(".driftsim-bbbbbbbbbbbb.tmp"), dat);
    const std::string path = f.Path(record);
    auto plant = [&] {
      if (row.plant == kFifo) {
        ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
      }
      if (row.plant == kFolder) fs::create_directory(path);
      if (row.plant != kText && row.plant != kOtherUser) return;
      WriteFile(path, row.text);
      if (row.plant == kOtherUser) {
        ASSERT_EQ(chown(path.c_str(), 65534, 65534), 0);
      }
      const timespec when[2] = {{time(nullptr) - row.ageSeconds, 0},
                                {time(nullptr) - row.ageSeconds, 0}};
      ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), when, AT_SYMLINK_NOFOLLOW), 0);
    };
    const auto limit = std::chrono::seconds(30);
    plant();
    const Outcome stats = RunIn(f.dir, {"out.dat"}, DRIFTSIM_STATS_BINARY, limit);
    EXPECT_EQ(stats.ended.status, row.stats) << stats.ended.console;
    const Outcome check = RunIn(f.dir, {"p.txt", "--check"}, "", limit);
    EXPECT_EQ(check.ended.status, row.check) << check.ended.console;
    Launch run{{"p.txt"}, f.dir};
    if (!row.env.empty()) run.env = {row.env};
    if (row.atCommit) {
      fs::remove(path);
      run.stopAt = "start";
    }
    const pid_t pid = Start(run);
    if (row.atCommit) {
      ASSERT_TRUE(WaitStopped(pid));
      plant();
      kill(pid, SIGCONT);
    }
    const Ended e = Wait(pid, f.dir, limit);
    EXPECT_TRUE(e.exited) << "ended by signal " << e.status;
    EXPECT_EQ(e.status, row.run) << e.console;
    EXPECT_NE(e.console.find(row.message), std::string::npos) << e.console;
    if (row.run == 0) {
      EXPECT_FALSE(fs::exists(fs::symlink_status(path))) << "the record stayed";
      const auto [datLoci, parLoci] = LociOfPair(f);
      EXPECT_EQ(datLoci, parLoci);
    } else {
      EXPECT_EQ(ReadFile(f.Path("out.dat")), dat);
      EXPECT_EQ(ReadFile(f.Path("out.par")), par);
      EXPECT_TRUE(fs::exists(fs::symlink_status(path))) << "a refused record was removed";
    }
    if (row.run == 1 && row.message == refused) {
      EXPECT_EQ(e.console.find("Initialize variables"), std::string::npos) << "refused late";
    }
    EXPECT_EQ(ReadFile(thesis), "thesis\n");
    EXPECT_EQ(ReadFile(stray), "stray\n");
  }
}

}  // namespace
}  // namespace driftsim::test
