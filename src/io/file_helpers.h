#pragma once
// File helpers every file-handling part uses: chunked transfers (pieces of at
// most 1,000,000,000 bytes, so arrays beyond 2 GB move in one call), 64-bit
// positions, the work-directory opener and the size query.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

class RunFiles;

inline constexpr std::size_t max_chunk_bytes = 1'000'000'000;

// Whole elements transferred; callers compare with count.
std::size_t read_chunked(void* buffer, std::size_t element_size, std::size_t count, std::FILE* file);
std::size_t write_chunked(const void* buffer, std::size_t element_size, std::size_t count, std::FILE* file);

enum class SeekFrom { start = SEEK_SET, current = SEEK_CUR, end = SEEK_END };
// Nonzero on failure.
int seek64(std::FILE* file, std::int64_t offset, SeekFrom origin);
std::int64_t tell64(std::FILE* file);

// Opens "%s/%s" of work_dir and name; on failure logs "Could not open %s file\n"
// and ends the run with "Can't open temp file <path> for reading|writing:
// <reason>", naming the WorkingDirectory preference where it chose the
// directory, code 5.
std::FILE* open_in_work_dir(RunFiles& solver, const std::string& name, const char* mode);

// Size in bytes of "%s/%s" of dir and name; 0 when it cannot be opened.
std::int64_t file_size_in_dir(RunFiles& solver, const std::string& dir, const std::string& name);
