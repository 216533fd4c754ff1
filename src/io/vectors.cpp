#include "io/vectors.h"

#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <system_error>

#include "io/file_helpers.h"
#include "io/matrix_file.h"
#include "io/run_files.h"
#include "platform/core_library.h"
#include "platform/guarded_section.h"

namespace {

// Position of the vector stream of one file, shared by all threads.
struct VectorStream {
  GuardedSection section;
  std::int32_t next_index = 0;
  std::int32_t transferred = 0;
};

VectorStream& rhs_stream() {
  static VectorStream stream;
  return stream;
}

VectorStream& solution_stream() {
  static VectorStream stream;
  return stream;
}

// Takes the stream's section only while threads share the file.
class OptionalLock {
 public:
  OptionalLock(GuardedSection& section, bool take) : section_(take ? &section : nullptr) {
    if (section_) section_->enter();
  }
  ~OptionalLock() {
    if (section_) section_->leave();
  }
  OptionalLock(const OptionalLock&) = delete;
  OptionalLock& operator=(const OptionalLock&) = delete;

 private:
  GuardedSection* section_;
};

// Moves a vector stream to vector `index` when it is not there already.
void seek_to_index(RunFiles& solver, std::FILE* file, VectorStream& stream, std::int32_t index,
                   std::int64_t vector_bytes, int failure_code) {
  if (index == stream.next_index) return;
  std::int64_t offset = (static_cast<std::int64_t>(index) - stream.next_index) * vector_bytes;
  if (seek64(file, offset, SeekFrom::current) != 0) {
    OrlDebug(1, L"OrlFileSeek failed, last %d cur %d\n", stream.next_index, index);
    solver.fatal("Can not adjust file pointer for rhs", failure_code);
  }
}

// The first value of a vector that is not a finite number, or -1.
std::int64_t first_non_finite(const double* values, std::int64_t count) {
  for (std::int64_t i = 0; i < count; ++i)
    if (!std::isfinite(values[i])) return i;
  return -1;
}

// A solution that could not be written whole (a full disk): the partial
// file goes as the run ends.
[[noreturn]] void fail_solution_write(RunFiles& solver) {
  const int error = errno;
  const char* reason = std::strerror(error);
  solver.fatal(format_text("Can not write svtr vector: %s: %s", partial_solution_file_name, reason).c_str(), 200);
}

}  // namespace

std::int64_t count_vectors(RunFiles& solver, const char* file_name, std::int32_t n, bool markers) {
  std::error_code error;
  const auto status = std::filesystem::status(file_name, error);
  if (!std::filesystem::exists(status)) solver.fatal(format_text("Can not open %s file\n", file_name).c_str(), 5);
  if (!std::filesystem::is_regular_file(status))
    solver.fatal(format_text("Error in the input: %s is not a regular file", file_name).c_str(), 1);
  std::FILE* file = std::fopen(file_name, "rb");
  if (!file) solver.fatal(format_text("Can not open %s file\n", file_name).c_str(), 5);
  if (seek64(file, 0, SeekFrom::end) != 0) {
    std::fclose(file);
    solver.fatal(format_text("Error seeking eof of %s\n", file_name).c_str(), 4);
  }
  std::int64_t size = tell64(file);
  std::fclose(file);
  if (size < 0) solver.fatal(format_text("Error rewinding the %s file\n", file_name).c_str(), 4);

  const std::int64_t value_bytes = solver.value_type == 1 ? 16 : 8;
  const std::int64_t vector_bytes = n * value_bytes + (markers ? 8 : 0);
  const std::int64_t count = vector_bytes > 0 ? size / vector_bytes : 0;
  if (count > 0 && size % vector_bytes != 0)
    OrlDebug(1, L"%s holds %lld bytes beyond its %lld vectors; they are ignored\n", file_name,
             static_cast<long long>(size % vector_bytes), static_cast<long long>(count));
  return count;
}

std::int32_t count_rhs(RunFiles& solver, const char* file_name, std::int32_t n) {
  const std::int64_t nrhs = count_vectors(solver, file_name, n, marker_layout_from_environment());
  if (nrhs == 0)
    solver.fatal(format_text("Error in the input: %s holds no whole right-hand side of dimension %d", file_name, n)
                     .c_str(), 1);
  if (nrhs > INT32_MAX)
    solver.fatal(format_text("Error in the input: %s holds %lld right-hand sides, more than a run can take",
                             file_name, static_cast<long long>(nrhs)).c_str(), 1);
  OrlDebug(2, L"Number of rhs = %d\n", static_cast<std::int32_t>(nrhs));
  return static_cast<std::int32_t>(nrhs);
}

void read_rhs_vector(RunFiles& solver, std::int32_t n, void* buffer, std::size_t element_size, std::int32_t index,
                     std::int32_t total) {
  VectorStream& stream = rhs_stream();
  OptionalLock lock(stream.section, solver.threaded_vector_io);
  if (!solver.rhs_file) {
    stream.next_index = stream.transferred = 0;
    solver.rhs_file = std::fopen("b", "rb");
    if (!solver.rhs_file) solver.fatal("Can not open rhs file", 5);
  }
  const bool markers = marker_layout_from_environment();
  const auto vector_bytes = static_cast<std::int64_t>(n) * static_cast<std::int64_t>(element_size) + (markers ? 8 : 0);
  seek_to_index(solver, solver.rhs_file, stream, index, vector_bytes, 4);

  std::int32_t marker = 0;
  bool complete = (!markers || read_chunked(&marker, sizeof marker, 1, solver.rhs_file) == 1) &&
                  read_chunked(buffer, element_size, static_cast<std::size_t>(n), solver.rhs_file) ==
                      static_cast<std::size_t>(n) &&
                  (!markers || read_chunked(&marker, sizeof marker, 1, solver.rhs_file) == 1);
  if (!complete) solver.fatal("Can not read rhs vector", 4);
  const auto doubles_per_row = static_cast<std::int64_t>(element_size / sizeof(double));
  if (const std::int64_t bad = first_non_finite(static_cast<const double*>(buffer), n * doubles_per_row); bad >= 0)
    solver.fatal(format_text("Error in the input: right-hand side %d of b holds a value that is not a finite number "
                             "in row %lld", index + 1, static_cast<long long>(bad / doubles_per_row)).c_str(), 1);

  if (++stream.transferred == total) {
    std::fclose(solver.rhs_file);
    solver.rhs_file = nullptr;
  }
  stream.next_index = index + 1;
}

void begin_solution_file(RunFiles& solver) {
  std::remove(solution_file_name);
  std::FILE* file = std::fopen(partial_solution_file_name, "wb");
  if (!file || std::fclose(file) != 0) solver.fatal("Can not open svtr file", 5);
  remove_on_failure(partial_solution_file_name);
}

void write_solution_vector(RunFiles& solver, std::int32_t n, const void* buffer, std::size_t element_size,
                           std::int32_t index) {
  VectorStream& stream = solution_stream();
  OptionalLock lock(stream.section, solver.threaded_vector_io);
  if (!solver.solution_file) {
    solver.solution_file = std::fopen(partial_solution_file_name, "r+b");
    if (!solver.solution_file) solver.fatal("Can not open svtr file", 5);
  }
  const auto vector_bytes = static_cast<std::int64_t>(n) * static_cast<std::int64_t>(element_size);
  if (seek64(solver.solution_file, index * vector_bytes, SeekFrom::start) != 0)
    solver.fatal("Can not adjust file pointer for svtr", 200);
  if (write_chunked(buffer, element_size, static_cast<std::size_t>(n), solver.solution_file) !=
      static_cast<std::size_t>(n))
    fail_solution_write(solver);
}

void close_solution_file(RunFiles& solver) {
  if (!solver.solution_file) return;
  const int closed = std::fclose(solver.solution_file);
  solver.solution_file = nullptr;
  if (closed != 0) fail_solution_write(solver);
}

void commit_solution_file(RunFiles& solver) {
  close_solution_file(solver);
  if (std::rename(partial_solution_file_name, solution_file_name) != 0)
    solver.fatal(format_text("Can not rename %s to %s", partial_solution_file_name, solution_file_name).c_str(), 200);
  keep_on_failure(partial_solution_file_name);
}

void discard_solution_file(RunFiles& solver) {
  close_solution_file(solver);
  std::remove(partial_solution_file_name);
  keep_on_failure(partial_solution_file_name);
}

void read_solution_vector(RunFiles& solver, std::int32_t n, void* buffer, std::size_t element_size,
                          std::int32_t index, std::int32_t total) {
  if (!solver.solution_file) {
    solver.solution_file = std::fopen(solution_file_name, "rb");
    if (!solver.solution_file) solver.fatal("Can not open svtr file", 5);
  }
  if (read_chunked(buffer, element_size, static_cast<std::size_t>(n), solver.solution_file) !=
      static_cast<std::size_t>(n))
    solver.fatal("Can not read svtr vector", 4);
  if (index == total - 1) {
    std::fclose(solver.solution_file);
    solver.solution_file = nullptr;
  }
}

bool write_vector_records(std::FILE* file, const double* values, std::int64_t n, std::int64_t count,
                          int doubles_per_value, bool markers) {
  const auto doubles = static_cast<std::size_t>(n * doubles_per_value);
  const auto marker = static_cast<std::int32_t>(doubles * sizeof(double));
  for (std::int64_t k = 0; k < count; ++k) {
    if (markers && write_chunked(&marker, sizeof marker, 1, file) != 1) return false;
    if (write_chunked(values + static_cast<std::size_t>(k) * doubles, sizeof(double), doubles, file) != doubles)
      return false;
    if (markers && write_chunked(&marker, sizeof marker, 1, file) != 1) return false;
  }
  return true;
}
