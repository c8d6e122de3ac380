#include "common/memory.hpp"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace driftsim {

namespace {

uint64_t PhysicalMemory() {
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long size = sysconf(_SC_PAGE_SIZE);
  if (pages <= 0 || size <= 0) return UINT64_MAX;
  return static_cast<uint64_t>(pages) * static_cast<uint64_t>(size);
}

// A limit file's value: bytes, or "max" (v2) for none; an unreadable file sets no limit.
uint64_t LimitIn(const std::string& file) {
  std::ifstream in(file);
  std::string text;
  if (!(in >> text) || text == "max") return UINT64_MAX;
  uint64_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc() && end == text.data() + text.size() ? value : UINT64_MAX;
}

// Pages this process maps, and of them its data and stack, from /proc/self/statm.
struct MappedBytes {
  uint64_t all = 0;
  uint64_t data = 0;
};
MappedBytes ProcessMapped() {
  std::ifstream statm("/proc/self/statm");
  uint64_t size = 0, resident = 0, shared = 0, text = 0, lib = 0, data = 0;
  statm >> size >> resident >> shared >> text >> lib >> data;
  const auto page = static_cast<uint64_t>(sysconf(_SC_PAGE_SIZE));
  return {size * page, data * page};
}

// What limit resource leaves beyond used bytes; UINT64_MAX when it is unlimited.
uint64_t LeftUnder(int resource, uint64_t used) {
  struct rlimit lim;
  if (getrlimit(resource, &lim) != 0 || lim.rlim_cur == RLIM_INFINITY) return UINT64_MAX;
  return lim.rlim_cur > used ? lim.rlim_cur - used : 0;
}

}  // namespace

uint64_t CgroupMemoryLimit(const std::string& procSelfCgroup, const std::string& mountRoot) {
  uint64_t limit = UINT64_MAX;
  std::istringstream lines(procSelfCgroup);
  for (std::string line; std::getline(lines, line);) {
    // hierarchy:controllers:path; v2 has no controllers, v1 lists memory among others.
    const size_t a = line.find(':');
    const size_t b = a == std::string::npos ? a : line.find(':', a + 1);
    if (b == std::string::npos) continue;
    const std::string controllers = "," + line.substr(a + 1, b - a - 1) + ",";
    const bool v2 = controllers == ",,";
    if (!v2 && controllers.find(",memory,") == std::string::npos) continue;
    const std::vector<std::string> mounts =
        v2 ? std::vector<std::string>{mountRoot, mountRoot + "/unified"}
           : std::vector<std::string>{mountRoot + "/memory"};
    const char* file = v2 ? "/memory.max" : "/memory.limit_in_bytes";
    for (const std::string& mount : mounts) {
      // The cgroup and each ancestor: a limit on a parent holds for its children too. In a
      // cgroup namespace the mount's top is the process's own cgroup, reached last.
      for (std::string path = line.substr(b + 1);; path.resize(path.rfind('/'))) {
        if (path == "/") path.clear();
        limit = std::min(limit, LimitIn(mount + path + file));
        if (path.find('/') == std::string::npos) break;
      }
    }
  }
  return limit;
}

uint64_t MemoryLimit() {
  std::ifstream in("/proc/self/cgroup");
  std::ostringstream text;
  text << in.rdbuf();
  uint64_t limit = std::min(PhysicalMemory(), CgroupMemoryLimit(text.str(), "/sys/fs/cgroup"));
  struct rlimit as;
  if (getrlimit(RLIMIT_AS, &as) == 0 && as.rlim_cur != RLIM_INFINITY) {
    limit = std::min<uint64_t>(limit, as.rlim_cur);
  }
  return limit;
}

uint64_t UsableMemory() {
  const MappedBytes mapped = ProcessMapped();
  return std::min(
      {MemoryLimit(), LeftUnder(RLIMIT_AS, mapped.all), LeftUnder(RLIMIT_DATA, mapped.data)});
}

uint64_t PeakResidentBytes() {
  struct rusage usage {};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<uint64_t>(usage.ru_maxrss) * 1024;  // kilobytes on Linux
}

}  // namespace driftsim
