#include "io/file_helpers.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "io/run_files.h"
#include "platform/core_library.h"
#include "platform/files.h"

namespace {

// Moves count elements in pieces of at most max_chunk_bytes, stopping at the
// first short piece; returns the whole elements moved.
template <class Bytes, class Transfer>
std::size_t transfer_chunked(Bytes* bytes, std::size_t element_size, std::size_t count, Transfer transfer) {
  if (element_size == 0) return 0;
  std::size_t total = element_size * count;
  std::size_t done = 0;
  while (done < total) {
    std::size_t piece = std::min(total - done, max_chunk_bytes);
    std::size_t moved = transfer(bytes + done, piece);
    done += moved;
    if (moved < piece) break;
  }
  return done / element_size;
}

}  // namespace

std::size_t read_chunked(void* buffer, std::size_t element_size, std::size_t count, std::FILE* file) {
  return transfer_chunked(static_cast<char*>(buffer), element_size, count,
                          [file](char* at, std::size_t n) { return std::fread(at, 1, n, file); });
}

std::size_t write_chunked(const void* buffer, std::size_t element_size, std::size_t count, std::FILE* file) {
  return transfer_chunked(static_cast<const char*>(buffer), element_size, count,
                          [file](const char* at, std::size_t n) { return std::fwrite(at, 1, n, file); });
}

int seek64(std::FILE* file, std::int64_t offset, SeekFrom origin) {
  return fseeko(file, static_cast<off_t>(offset), static_cast<int>(origin)) == 0 ? 0 : 1;
}

std::int64_t tell64(std::FILE* file) { return static_cast<std::int64_t>(ftello(file)); }

std::FILE* open_in_work_dir(RunFiles& solver, const std::string& name, const char* mode) {
  std::string path = path_in_dir(solver.work_dir, name);
  std::FILE* file = std::fopen(path.c_str(), mode);
  if (!file) {
    const int error = errno;
    OrlDebug(2, L"Could not open %s file\n", path.c_str());
    const char* chosen = solver.work_dir == "." ? "" : " (the directory WorkingDirectory in prefs.ini names)";
    const char* purpose = mode[0] == 'r' ? "reading" : "writing";
    solver.fatal(
        format_text("Can't open temp file %s for %s: %s%s", path.c_str(), purpose, std::strerror(error), chosen).c_str(),
        5);
  }
  return file;
}

std::int64_t file_size_in_dir(RunFiles& solver, const std::string& dir, const std::string& name) {
  std::FILE* file = std::fopen(path_in_dir(dir, name).c_str(), "rb");
  if (!file) return 0;
  if (seek64(file, 0, SeekFrom::end) != 0) {
    std::fclose(file);
    solver.fatal("Seeking eof of a file", 4);
  }
  std::int64_t size = tell64(file);
  std::fclose(file);
  return size;
}
