#include "io/vectors.h"

#include <mutex>

#include "driver/tessar.h"
#include "io/file_helpers.h"
#include "io/matrix_file.h"
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

void seek_to_index(tessar& solver, std::FILE* file, VectorStream& stream, std::int32_t index,
                   std::int64_t vector_bytes, int failure_code) {
  if (!solver.threaded_vector_io || index == stream.next_index) return;
  std::int64_t offset = (static_cast<std::int64_t>(index) - stream.next_index) * vector_bytes;
  if (seek64(file, offset, SeekFrom::current) != 0) {
    OrlDebug(1, L"OrlFileSeek failed, last %d cur %d\n", stream.next_index, index);
    solver.fatal("Can not adjust file pointer for rhs", failure_code);
  }
}

}  // namespace

std::int32_t count_rhs(tessar& solver, const char* file_name, std::int32_t n) {
  std::FILE* file = std::fopen(file_name, "rb");
  if (!file) solver.fatal(format_text("Can not open %s file\n", file_name).c_str(), 5);
  if (seek64(file, 0, SeekFrom::end) != 0) {
    std::fclose(file);
    solver.fatal(format_text("Error seeking eof of %s\n", file_name).c_str(), 4);
  }
  std::int64_t size = tell64(file);
  if (size < 0 || seek64(file, 0, SeekFrom::start) != 0) {
    std::fclose(file);
    solver.fatal(format_text("Error rewinding the %s file\n", file_name).c_str(), 4);
  }
  std::fclose(file);

  const std::int64_t value_bytes = solver.value_type == 1 ? 16 : 8;
  const std::int64_t vector_bytes = n * value_bytes + (marker_layout_from_environment() ? 8 : 0);
  std::int64_t nrhs = vector_bytes > 0 ? size / vector_bytes : 0;
  OrlDebug(2, L"Number of rhs = %d\n", static_cast<std::int32_t>(nrhs));
  if (nrhs == 0) OrlDebug(1, L"%s holds no right-hand side for dimension %d (%lld bytes)\n", file_name, n,
                          static_cast<long long>(size));
  else if (size % vector_bytes != 0)
    OrlDebug(1, L"%s holds %lld bytes beyond its %lld right-hand sides; they are ignored\n", file_name,
             static_cast<long long>(size % vector_bytes), static_cast<long long>(nrhs));
  return static_cast<std::int32_t>(nrhs);
}

void read_rhs_vector(tessar& solver, std::int32_t n, void* buffer, std::size_t element_size, std::int32_t index,
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

  if (++stream.transferred == total) {
    std::fclose(solver.rhs_file);
    solver.rhs_file = nullptr;
  }
  stream.next_index = index + 1;
}

void write_solution_vector(tessar& solver, std::int32_t n, const void* buffer, std::size_t element_size,
                           std::int32_t index, std::int32_t total) {
  VectorStream& stream = solution_stream();
  OptionalLock lock(stream.section, solver.threaded_vector_io);
  if (!solver.solution_file) {
    stream.next_index = stream.transferred = 0;
    solver.solution_file = std::fopen("x", "wb");
    if (!solver.solution_file) solver.fatal("Can not open svtr file", 5);
  }
  const auto vector_bytes = static_cast<std::int64_t>(n) * static_cast<std::int64_t>(element_size);
  seek_to_index(solver, solver.solution_file, stream, index, vector_bytes, 200);

  if (write_chunked(buffer, element_size, static_cast<std::size_t>(n), solver.solution_file) !=
      static_cast<std::size_t>(n))
    solver.fatal("Can not write svtr vector", 200);

  if (++stream.transferred == total) {
    int closed = std::fclose(solver.solution_file);
    solver.solution_file = nullptr;
    if (closed != 0) solver.fatal("Can not write svtr vector", 200);
  }
  stream.next_index = index + 1;
}

void read_solution_vector(tessar& solver, std::int32_t n, void* buffer, std::size_t element_size,
                          std::int32_t index, std::int32_t total) {
  if (!solver.solution_file) {
    solver.solution_file = std::fopen("x", "rb");
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
