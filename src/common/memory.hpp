// What memory the process may use and has used: the limits of the machine, of its cgroup (under
// SLURM or in a container) and of the process, and its peak. The run checks its tables against
// these before it allocates them, so that a run that cannot fit stops with a message instead
// of being killed.
#pragma once

#include <cstdint>
#include <string>

namespace driftsim {

// The memory a run may use: the smallest of physical memory, the cgroup limit of the process
// and its address-space limit (RLIMIT_AS).
uint64_t MemoryLimit();

// The smallest cgroup memory limit on the cgroup of the process and its ancestors, from the text
// of /proc/self/cgroup and the folder where the cgroup file systems are mounted: v2 memory.max
// (also under unified/), v1 memory/.../memory.limit_in_bytes. UINT64_MAX when there is none.
uint64_t CgroupMemoryLimit(const std::string& procSelfCgroup, const std::string& mountRoot);

// Bytes this process may still take: MemoryLimit(), less where the address-space or data-size
// limit (ulimit -v, prlimit --as) leaves less beyond what the process already maps.
uint64_t UsableMemory();

// The most memory the process has held resident so far, in bytes.
uint64_t PeakResidentBytes();

}  // namespace driftsim
