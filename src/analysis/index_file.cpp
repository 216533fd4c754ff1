#include "analysis/index_file.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "core/tessar.h"
#include "io/file_helpers.h"
#include "platform/core_library.h"
#include "platform/error.h"
#include "platform/files.h"

namespace {

constexpr const char* no_memory_message = "Can't allocate memory for indeces";

// Closes the file when the transfer ends, normally or through a fatal error.
class IndexFile {
 public:
  IndexFile(tessar& solver, const char* mode)
      : solver_(solver), file_(open_in_work_dir(solver, solver.index_file_name, mode)) {}
  ~IndexFile() { std::fclose(file_); }
  IndexFile(const IndexFile&) = delete;
  IndexFile& operator=(const IndexFile&) = delete;

  template <class T>
  void write(const T* data, std::size_t count) {
    if (write_chunked(data, sizeof(T), count, file_) == count) return;
    fail_write();
  }

  // Pushes buffered bytes out, so that a full disk is noticed here.
  void flush() {
    if (std::fflush(file_) == 0 && !std::ferror(file_)) return;
    fail_write();
  }

  template <class T>
  void read(T* data, std::size_t count) {
    if (read_chunked(data, sizeof(T), count, file_) == count) return;
    OrlDebug(1, L"Short read on %s file\n", solver_.index_file_name.c_str());
    solver_.fatal("Can't read index file", 4);
  }

  template <class T>
  T read_value() {
    T value{};
    read(&value, 1);
    return value;
  }

  std::int64_t size() {
    const std::int64_t here = tell64(file_);
    if (seek64(file_, 0, SeekFrom::end) != 0) solver_.fatal("Can't seek index file", 4);
    const std::int64_t end = tell64(file_);
    if (seek64(file_, here, SeekFrom::start) != 0) solver_.fatal("Can't seek index file", 4);
    return end;
  }

 private:
  // A file that could not be written whole (a full disk) names its path and
  // the reason; SaveIndexFile has it removed as the run ends.
  [[noreturn]] void fail_write() {
    const int error = errno;
    OrlDebug(1, L"Short write on %s file\n", solver_.index_file_name.c_str());
    const std::string path = path_in_dir(solver_.work_dir, solver_.index_file_name);
    solver_.fatal(format_text("Can't write index file %s: %s", path.c_str(), std::strerror(error)).c_str(), 200);
  }

  tessar& solver_;
  std::FILE* file_;
};

std::size_t count_of(std::int64_t n) { return static_cast<std::size_t>(n); }

// Bytes of the fields every index file holds, for n unknowns and sizeJU subscripts.
std::int64_t common_bytes(std::int64_t n, std::int64_t size_ju) {
  return 4 + 8 + 4 * n + 8 * n + 8 * (n + 1) + 4 * size_ju;
}

// Bytes of the pivoting fields for nsuper supernodes.
std::int64_t pivoting_bytes(std::int64_t n, std::int64_t nsuper) { return 4 + 4 * (nsuper + 1) + 4 + 4 + 4 * n; }

// The matching section that follows, in files of runs that matched rows:
// a tag, the row positions and the row and column scales.
constexpr std::int32_t matching_tag = 0x4843544d;
std::int64_t matching_bytes(std::int64_t n) { return 4 + 4 * n + 16 * n; }

[[noreturn]] void refuse(tessar& solver, std::int64_t file_bytes, std::int64_t expected, const char* why) {
  OrlDebug(1, L"%s file holds %lld bytes, %lld expected: %s\n", solver.index_file_name.c_str(),
           static_cast<long long>(file_bytes), static_cast<long long>(expected), why);
  const std::string message = "index file \"" + solver.index_file_name +
                              "\" does not match this matrix and pivoting switch";
  solver.fatal(message.c_str(), 1);
}

bool increasing_from_zero(const std::int64_t* v, std::int32_t n) {
  if (v[0] != 0) return false;
  for (std::int32_t k = 0; k < n; ++k)
    if (v[k + 1] <= v[k]) return false;
  return true;
}

// Every subscript names an unknown, and every pivot's list lies inside JU and
// starts after the pivot, so no later phase can index outside its arrays.
bool structure_is_consistent(const tessar& solver, std::int32_t n) {
  if (!increasing_from_zero(solver.IU.data(), n)) return false;
  for (std::int64_t p = 0; p < solver.sizeJU; ++p)
    if (solver.JU[p] < 0 || solver.JU[p] >= n) return false;
  for (std::int32_t k = 0; k < n; ++k) {
    const std::int64_t off = solver.IU[k + 1] - solver.IU[k] - 1;
    if (off == 0) continue;
    const std::int64_t first = solver.IJU[k];
    // Compared without a sum, which a damaged start could overflow.
    if (off < 0 || first < 0 || first > solver.sizeJU - off || solver.JU[first] <= k) return false;
  }
  return true;
}

bool is_permutation(const ChargedArray<std::int32_t>& v, std::int32_t n) {
  std::vector<bool> seen(static_cast<std::size_t>(n), false);
  for (std::int32_t k = 0; k < n; ++k) {
    if (v[k] < 0 || v[k] >= n || seen[v[k]]) return false;
    seen[v[k]] = true;
  }
  return true;
}

bool supernodes_are_consistent(const tessar& solver, std::int32_t n) {
  if (solver.SNode[0] != 0 || solver.SNode[solver.NSuper] != n) return false;
  for (std::int32_t s = 0; s < solver.NSuper; ++s)
    if (solver.SNode[s + 1] <= solver.SNode[s]) return false;
  return true;
}

void read_common_fields(tessar& solver, IndexFile& file, std::int32_t n) {
  solver.iperm.allocate(solver, count_of(n), no_memory_message);
  solver.IU.allocate(solver, count_of(n) + 1, no_memory_message);
  solver.IJU.allocate(solver, count_of(n), no_memory_message);
  solver.JU.allocate(solver, count_of(solver.sizeJU), no_memory_message);
  file.read(solver.iperm.data(), count_of(n));
  file.read(solver.IJU.data(), count_of(n));
  file.read(solver.IU.data(), count_of(n) + 1);
  file.read(solver.JU.data(), count_of(solver.sizeJU));
  solver.NzU = solver.IU[n];
}

void read_pivoting_fields(tessar& solver, IndexFile& file, std::int32_t n) {
  solver.SNode.allocate(solver, count_of(solver.NSuper) + 1, no_memory_message);
  file.read(solver.SNode.data(), count_of(solver.NSuper) + 1);
  solver.Num2x2Pivots = file.read_value<std::int32_t>();
  solver.NumPerturbed = file.read_value<std::int32_t>();
  solver.PivotOrder.allocate(solver, count_of(n), no_memory_message);
  file.read(solver.PivotOrder.data(), count_of(n));
}

void write_pivoting_fields(tessar& solver, IndexFile& file, std::int32_t n) {
  file.write(&solver.NSuper, 1);
  file.write(solver.SNode.data(), count_of(solver.NSuper) + 1);
  file.write(&solver.Num2x2Pivots, 1);
  file.write(&solver.NumPerturbed, 1);
  file.write(solver.PivotOrder.data(), count_of(n));
}

void write_matching_fields(tessar& solver, IndexFile& file, std::int32_t n) {
  file.write(&matching_tag, 1);
  file.write(solver.match_position.data(), count_of(n));
  file.write(solver.row_scale.data(), count_of(n));
  file.write(solver.column_scale.data(), count_of(n));
}

bool scales_are_valid(const ChargedArray<double>& scale) {
  for (double s : scale)
    if (!(s > 0.0) || !std::isfinite(s)) return false;
  return true;
}

// The matching section, where the file holds one after the end of the
// other fields (files of runs without a matching end there).
void read_matching_fields(tessar& solver, IndexFile& file, std::int32_t n, std::int64_t file_bytes, std::int64_t end) {
  if (file_bytes == end) return;
  if (file_bytes != end + matching_bytes(n) || file.read_value<std::int32_t>() != matching_tag)
    refuse(solver, file_bytes, end, "unexpected bytes after the structure");
  solver.match_position.allocate(solver, count_of(n), no_memory_message);
  solver.row_scale.allocate(solver, count_of(n), no_memory_message);
  solver.column_scale.allocate(solver, count_of(n), no_memory_message);
  file.read(solver.match_position.data(), count_of(n));
  file.read(solver.row_scale.data(), count_of(n));
  file.read(solver.column_scale.data(), count_of(n));
  if (!is_permutation(solver.match_position, n) || !scales_are_valid(solver.row_scale) ||
      !scales_are_valid(solver.column_scale))
    refuse(solver, file_bytes, file_bytes, "inconsistent matching");
}

}  // namespace

void SaveIndexFile(tessar& solver, std::int32_t n) {
  const std::string path = path_in_dir(solver.work_dir, solver.index_file_name);
  remove_on_failure(path);
  IndexFile file(solver, "wb");
  file.write(&solver.solver_type, 1);
  file.write(&solver.sizeJU, 1);
  file.write(solver.iperm.data(), count_of(n));
  file.write(solver.IJU.data(), count_of(n));
  file.write(solver.IU.data(), count_of(n) + 1);
  file.write(solver.JU.data(), count_of(solver.sizeJU));
  if (solver.pivoting) write_pivoting_fields(solver, file, n);
  if (solver.matched()) write_matching_fields(solver, file, n);
  file.flush();
  keep_on_failure(path);
}

void LoadIndexFile(tessar& solver, std::int32_t n) {
  IndexFile file(solver, "rb");
  const std::int64_t file_bytes = file.size();
  if (file_bytes < 4) refuse(solver, file_bytes, 4, "no kind code");
  // Kinds 0 … 4: real symmetric, real unsymmetric, complex symmetric,
  // complex unsymmetric, complex Hermitian.
  const std::int32_t saved_kind = file.read_value<std::int32_t>();
  if (saved_kind != solver.solver_type)
    solver.fatal(format_text("Solver type inconsistency: %s was saved by a run of kind %d, this run is of kind %d",
                             solver.index_file_name.c_str(), saved_kind, solver.solver_type).c_str(),
                 1);
  if (file_bytes < 12) refuse(solver, file_bytes, 12, "no subscript count");
  solver.sizeJU = file.read_value<std::int64_t>();
  // Checked before it sizes anything: a damaged count could overflow the sizes.
  if (solver.sizeJU < 0 || solver.sizeJU > file_bytes / 4)
    refuse(solver, file_bytes, file_bytes, "its subscript count does not fit the file");
  const std::int64_t common = common_bytes(n, solver.sizeJU);
  if (file_bytes < common) refuse(solver, file_bytes, common, "too short for the matrix size");
  const auto fits = [&](std::int64_t end) { return file_bytes == end || file_bytes == end + matching_bytes(n); };
  if (!solver.pivoting && !fits(common))
    refuse(solver, file_bytes, common, "written by a pivoting run or for another matrix size");
  read_common_fields(solver, file, n);
  if (!is_permutation(solver.iperm, n) || !structure_is_consistent(solver, n))
    refuse(solver, file_bytes, common, "inconsistent structure");
  if (!solver.pivoting) return read_matching_fields(solver, file, n, file_bytes, common);
  if (file_bytes < common + 4) refuse(solver, file_bytes, common + 4, "written by a run without pivoting");
  solver.NSuper = file.read_value<std::int32_t>();
  const std::int64_t end = common + pivoting_bytes(n, std::max(solver.NSuper, 0));
  if (solver.NSuper < (n > 0 ? 1 : 0) || solver.NSuper > n || !fits(end))
    refuse(solver, file_bytes, end, "written by a run without pivoting or for another matrix size");
  read_pivoting_fields(solver, file, n);
  if (!supernodes_are_consistent(solver, n)) refuse(solver, file_bytes, file_bytes, "inconsistent supernodes");
  read_matching_fields(solver, file, n, file_bytes, end);
}
