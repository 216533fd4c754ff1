#pragma once
// The solver's own account of the memory it holds, in KB: a hard limit that
// stops a run before it takes more than allowed, the incore/offcore decision of
// the factorization, and the peak of the end report. Counts are 64-bit.
#include <cstdint>

#include "core/charged_array.h"

class tessar;

// KB charged for an allocation of bytes (rounding down).
inline std::uint64_t kb_of_bytes(std::uint64_t bytes) { return bytes / 1024; }

// Charge kb; beyond a nonzero hard limit the run ends, code 100.
void add_memory(tessar& solver, std::uint64_t kb);
// Credit kb; a negative total is an accounting fault, code 1.
void release_memory(tessar& solver, std::uint64_t kb);

// Decides whether the factor stays in memory: work_kb is what the
// factorization needs besides the factor, disk_kb the disk need that does not
// depend on the decision, factor_kb the factor itself. Sets offcore and
// disk_usage, and checks the free space of work_dir when files will be written.
void decide_incore_offcore(tessar& solver, std::int64_t work_kb, std::int64_t disk_kb, std::int64_t factor_kb);

// Megabytes usable on a volume with free_bytes free: 2 % is held back.
std::int64_t available_disk_mb(double free_bytes);
