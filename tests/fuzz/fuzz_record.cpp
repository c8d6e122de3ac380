// libFuzzer entry point for the commit record: whatever a record beside a run's files holds,
// CommitPending and RecoverCommit use it or refuse it through the fatal-error path, and no file
// outside the record's folder is renamed, removed or changed. Anything else (another
// exception, a crash, a sanitizer report, a file outside touched) is a finding.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "common/common.hpp"
#include "transaction/transaction.hpp"

namespace {

namespace fs = std::filesystem;

void Write(const fs::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

std::string Read(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// A folder for the run and one beside it whose files a record must never reach; the names a
// hostile record would aim at are there.
struct Place {
  fs::path run, outside;
  Place() {
    std::string pattern = (fs::temp_directory_path() / "driftsim-fuzz-XXXXXX").string();
    const fs::path root = mkdtemp(pattern.data());
    run = root / "run";
    outside = root / "outside";
    fs::create_directories(run);
    fs::create_directories(outside);
    for (const char* name : {"thesis.tex", "out.dat", ".driftsim-aaaaaaaaaaaa.tmp"}) {
      Write(outside / name, name);
    }
  }
};

std::string Problem(const Place& p, const std::string& text) {
  for (const auto& entry : fs::directory_iterator(p.run)) fs::remove_all(entry.path());
  Write(p.run / "out.dat", "earlier");
  Write(p.run / ".driftsim-aaaaaaaaaaaa.tmp", "new");
  Write(p.run / driftsim::CommitRecordName("out.dat"), text);
  const std::string dat = (p.run / "out.dat").string();
  for (const bool recover : {false, true}) {
    try {
      if (recover) {
        driftsim::RecoverCommit(dat);
      } else {
        driftsim::CommitPending(dat);
      }
    } catch (const driftsim::FatalError& e) {
      if (e.Message().find("remove it!") == std::string::npos) return "refusal: " + e.Message();
    }
  }
  for (const char* name : {"thesis.tex", "out.dat", ".driftsim-aaaaaaaaaaaa.tmp"}) {
    if (Read(p.outside / name) != name) return std::string("a file outside was touched: ") + name;
  }
  size_t entries = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator(p.outside)) ++entries;
  return entries == 3 ? "" : "a file appeared outside";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const Place place;
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::string problem;
  try {
    problem = Problem(place, text);
  } catch (const std::exception& e) {
    problem = std::string("exception outside the fatal-error path: ") + e.what();
  }
  if (!problem.empty()) {
    std::fprintf(stderr, "fuzz_record: %s\n", problem.c_str());
    std::abort();
  }
  return 0;
}
