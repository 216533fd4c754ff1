#pragma once
// The out-of-core factor files: the U file (every kind) and the L file (the
// unsymmetric kinds) in the working directory, written in one of three layouts
// (column, sequential block, indexed block) and read back into the in-memory
// factor area. Files hold raw entries of elem_size bytes with no header; every
// offset is counted in entries. The solver object keeps the open files, the
// position each next read starts from, and the block offsets of the indexed
// layout (UDiagIndex, UOffdiagIndex, LDiagIndex, LOffdiagIndex), whose files
// are named by factor_index_file_name (driver/tessar.h).
//
// The factor letter is 'U' or 'L'; any other letter ends the run with
// "Unknown factor is specified", code 1. Every I/O failure ends the run through
// the solver's fatal path.
#include <cstdint>

class tessar;

// Open the U / L file with a mode ("wb" for writers, truncating; "rb" for
// readers) and reset its tracked position to 0. Failure: "Can't open temp
// file", code 5.
void OpenUFile(tessar& solver, const char* mode);
void OpenLFile(tessar& solver, const char* mode);

// Closes a factor file if it is open.
void CloseFactorFile(tessar& solver, char factor);

// Positions a factor file at an entry offset and tracks it. Failure:
// "error fp to U" / "error fp to L", code 4.
void SeekFactorFile(tessar& solver, char factor, std::int64_t offset);

// Reads count entries from an entry offset to the start of the factor's
// in-memory area (u_factor_buffer / l_factor_buffer), seeking only when the
// offset differs from the tracked position, which then advances by count. A
// file not yet open is opened for reading. Returns the entries read; a short
// read ends the run with "Error reading partial U from disk" (or L), code 4.
std::int64_t ReadFactorRange(tessar& solver, std::int64_t offset, std::int64_t count, char factor);

// Appends count entries of entry_size bytes at the file's current position,
// without a seek; position is the caller's entry offset of the first entry and
// is not used to place them. A short write ends the run with "Error writing
// partial U to disk" (or L), code 200.
void WriteFactorEntries(tessar& solver, const void* buffer, std::int32_t entry_size, std::int64_t position,
                        std::int64_t count, char factor);

// Reads supernodes first … last (inclusive) of the indexed block layout to
// the start of the factor's in-memory area in the sequential block layout:
// each supernode's diagonal block, then its off-diagonal block (none when the
// supernode has no off-diagonal rows). On first use the index files of the U
// factor (and of the L factor for the unsymmetric kinds) are loaded into the
// solver object and charged to the memory monitor. Nothing is read when
// first > last.
void LoadSupernodeFactors(tessar& solver, std::int32_t first, std::int32_t last, char factor);

// Writes the index files of the factor's blocks (of U, and of L for the
// unsymmetric kinds) from the index arrays the solver holds.
void WriteFactorIndex(tessar& solver);

// Entries of supernode s's diagonal block, w·(w+1)/2, and of its off-diagonal
// block, r·w, for its w pivot columns and r off-diagonal rows (SNode, IU).
std::int64_t diagonal_block_entries(const tessar& solver, std::int32_t s);
std::int64_t offdiagonal_block_entries(const tessar& solver, std::int32_t s);
