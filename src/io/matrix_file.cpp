#include "io/matrix_file.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "io/file_helpers.h"
#include "io/run_files.h"
#include "platform/core_library.h"
#include "platform/process.h"

bool marker_layout_from_environment() {
  auto value = environment_value("TS_READ_ORLAN");
  return value && *value > 0;
}

namespace {

MatrixFileLayout layout_of(const RunFiles& solver) {
  return MatrixFileLayout{solver.value_type == 1, marker_layout_from_environment()};
}

void copy_inputs() {
  namespace fs = std::filesystem;
  std::error_code error;
  fs::copy_file("A", "_A_", fs::copy_options::overwrite_existing, error);
  if (error) OrlDebug(1, L"Cannot copy A to _A_: %s\n", error.message().c_str());
  fs::copy_file("b", "_b_", fs::copy_options::overwrite_existing, error);
  if (error) OrlDebug(1, L"Cannot copy b to _b_: %s\n", error.message().c_str());
}

// Closes the file on every path out of a reader.
struct FileCloser {
  std::FILE* file;
  ~FileCloser() {
    if (file) std::fclose(file);
  }
};

std::FILE* open_matrix_file(RunFiles& solver) {
  std::FILE* file = std::fopen("A", "rb");
  if (!file) solver.fatal("Opening A matrix", 5);
  // Records are read a field at a time; a large buffer keeps that cheap.
  std::setvbuf(file, nullptr, _IOFBF, 1 << 20);
  return file;
}

}  // namespace

MatrixHeader read_matrix_header(RunFiles& solver) {
  MatrixFileLayout layout = layout_of(solver);
  std::FILE* file = open_matrix_file(solver);
  FileCloser closer{file};

  if (seek64(file, 0, SeekFrom::end) != 0) solver.fatal("Seeking eof of A", 4);
  std::int64_t size = tell64(file);
  if (size < 0 || seek64(file, 0, SeekFrom::start) != 0) solver.fatal("Seeking eof of A", 4);
  std::int64_t r = layout.record_bytes();
  if (size == 0) solver.fatal("Matrix file A is empty", 4);
  if (size % r != 0) {
    OrlDebug(1, L"A holds %lld bytes, not a whole number of %lld-byte records\n", static_cast<long long>(size),
             static_cast<long long>(r));
    solver.fatal("Matrix file A ends with a truncated record", 4);
  }

  MatrixHeader header;
  header.nnz = size / r;
  if (seek64(file, layout.markers ? 4 - r : -r, SeekFrom::end) != 0) solver.fatal("Can't step back from eof", 4);
  std::int32_t row = 0, col = 0;
  if (read_chunked(&row, sizeof row, 1, file) != 1) solver.fatal("Cannot read dimA", 4);
  if (read_chunked(&col, sizeof col, 1, file) != 1) solver.fatal("Confirming dimA", 4);
  if (row != col) solver.fatal("Last entry not [N,N]", 4);

  std::int64_t n = layout.markers ? std::int64_t{row} : std::int64_t{row} + 1;
  if (n < 1 || n > INT32_MAX) {
    OrlDebug(1, L"The last record of A is (%d, %d), which gives no valid dimension\n", row, col);
    solver.fatal("Error in the input: the matrix dimension must be at least 1", 1);
  }
  header.n = static_cast<std::int32_t>(n);
  OrlDebug(2, L"Dim = %d NZ = %lld\n", header.n, static_cast<long long>(header.nnz));
  // Every row holds its diagonal, so a file with fewer records than rows is
  // malformed; refusing it here also keeps a corrupt last record from sizing
  // the arrays.
  if (header.nnz < header.n)
    solver.fatal(format_text("Error in the input: A holds %lld records, fewer than its dimension %d",
                             static_cast<long long>(header.nnz), header.n).c_str(), 1);
  if (solver.save_a_and_b) copy_inputs();
  return header;
}

namespace {

// Reads the records of "A" in blocks of whole records and validates each
// against the rows read so far. A record is [marker] row column value(s)
// [marker], the markers 4 bytes each, row and column 4 bytes, each value 8.
class MatrixReader {
 public:
  MatrixReader(RunFiles& solver, YaleMatrix& a) : solver_(solver), a_(a), layout_(layout_of(solver)) {}

  void run() {
    std::FILE* file = open_matrix_file(solver_);
    FileCloser closer{file};
    a_.row_ptr.assign(static_cast<std::size_t>(a_.n) + 1, 0);
    const int width = a_.value_width();
    const std::size_t marker_bytes = layout_.markers ? sizeof(std::int32_t) : 0;
    const std::size_t record = 2 * marker_bytes + 2 * sizeof(std::int32_t) + width * sizeof(double);
    std::vector<char> block(record * records_per_block);
    for (std::int64_t k = 0; k < a_.nnz;) {
      const auto count = static_cast<std::size_t>(std::min<std::int64_t>(records_per_block, a_.nnz - k));
      if (read_chunked(block.data(), record, count, file) != count) solver_.fatal("Failed reading A matrix", 4);
      for (std::size_t r = 0; r < count; ++r, ++k) {
        const char* at = block.data() + r * record + marker_bytes;
        std::int32_t stored_row = 0, stored_col = 0;
        std::memcpy(&stored_row, at, sizeof stored_row);
        std::memcpy(&stored_col, at + sizeof stored_row, sizeof stored_col);
        // The marker layout counts from 1; taken in 64 bits, so that no
        // stored value can overflow on the way to the range check.
        const std::int64_t base = layout_.markers ? 1 : 0;
        const auto [row, col] = accept(k, stored_row - base, stored_col - base);
        std::memcpy(&a_.values[static_cast<std::size_t>(k * width)], at + 2 * sizeof(std::int32_t),
                    width * sizeof(double));
        check_finite(k, row, col, width);
      }
    }
    finish_row(a_.nnz);
    if (current_row_ != a_.n - 1) reject_row(current_row_ + 1, a_.nnz, "has no entries");
  }

 private:
  static constexpr std::int64_t records_per_block = 4096;

  // Validates record k's row and column (0-based) and returns them.
  std::pair<std::int32_t, std::int32_t> accept(std::int64_t k, std::int64_t wide_row, std::int64_t wide_col) {
    if (wide_row < 0 || wide_row >= a_.n || wide_col < 0 || wide_col >= a_.n) {
      OrlDebug(1, L"Record %lld of A holds row %lld, column %lld outside the dimension %d\n",
               static_cast<long long>(k), static_cast<long long>(wide_row), static_cast<long long>(wide_col), a_.n);
      solver_.fatal(format_text("Error in the input: index outside the matrix in record %lld of A",
                                static_cast<long long>(k)).c_str(), 1);
    }
    const auto row = static_cast<std::int32_t>(wide_row), col = static_cast<std::int32_t>(wide_col);
    if (row != current_row_) {
      if (row < current_row_) {
        OrlDebug(1, L"Record %lld of A holds row %d after row %d\n", static_cast<long long>(k), row, current_row_);
        solver_.fatal(format_text("Error in the input: rows out of order in record %lld of A",
                                  static_cast<long long>(k)).c_str(), 1);
      }
      finish_row(k);
      if (row != current_row_ + 1) reject_row(current_row_ + 1, k, "has no entries");
      current_row_ = row;
      has_diagonal_ = false;
    } else if (col <= last_col_) {
      OrlDebug(1, L"Problem with column ordering row %d\n", row);
      solver_.fatal(format_text("Error in the input: column %d not ascending in row %d, record %lld of A", col, row,
                                static_cast<long long>(k)).c_str(), 1);
    }
    last_col_ = col;
    has_diagonal_ = has_diagonal_ || col == row;
    a_.col_idx[static_cast<std::size_t>(k)] = col;
    a_.row_ptr[static_cast<std::size_t>(row) + 1] = k + 1;
    return {row, col};
  }

  // A NaN or infinity would poison the factor and every iterate: refused here.
  void check_finite(std::int64_t k, std::int32_t row, std::int32_t col, int width) {
    const double* value = &a_.values[static_cast<std::size_t>(k * width)];
    if (std::isfinite(value[0]) && (width == 1 || std::isfinite(value[1]))) return;
    const std::string text = format_text(
        "Error in the input: row %d of A holds a value that is not a finite number in column %d (record %lld)", row,
        col, static_cast<long long>(k));
    solver_.fatal(text.c_str(), 1);
  }

  // Closes the current row at record k.
  void finish_row(std::int64_t k) {
    if (current_row_ >= 0 && !has_diagonal_) reject_row(current_row_, k, "is missing its diagonal element");
  }

  [[noreturn]] void reject_row(std::int32_t row, std::int64_t k, const char* what) {
    OrlDebug(1, L"Row %d is missing diagonal element\n", row);
    solver_.fatal(format_text("Error in the input: row %d of A %s (before record %lld)", row, what,
                              static_cast<long long>(k)).c_str(), 1);
  }

  RunFiles& solver_;
  YaleMatrix& a_;
  MatrixFileLayout layout_;
  std::int32_t current_row_ = -1;
  std::int32_t last_col_ = -1;
  bool has_diagonal_ = false;
};

void read_matrix(RunFiles& solver, YaleMatrix& a, bool complex) {
  a.complex = complex;
  MatrixReader(solver, a).run();
}

void write_matrix(RunFiles& solver, const YaleMatrix& a) {
  OrlDebug(2, L"Saving tessar A matrix\n");
  std::FILE* file = open_in_work_dir(solver, "A", "wb");
  bool written = write_matrix_records(file, a, false);
  if (std::fclose(file) != 0 || !written) solver.fatal("Failed writing A matrix", 200);
}

}  // namespace

void allocate_matrix(YaleMatrix& a, const MatrixHeader& header, bool complex) {
  a.n = header.n;
  a.nnz = header.nnz;
  a.complex = complex;
  a.values.resize(static_cast<std::size_t>(header.nnz) * (complex ? 2 : 1));
  a.row_ptr.resize(static_cast<std::size_t>(header.n) + 1);
  a.col_idx.resize(static_cast<std::size_t>(header.nnz));
}

void read_matrix_real(RunFiles& solver, YaleMatrix& a) { read_matrix(solver, a, false); }
void read_matrix_complex(RunFiles& solver, YaleMatrix& a) { read_matrix(solver, a, true); }
void write_matrix_real(RunFiles& solver, const YaleMatrix& a) { write_matrix(solver, a); }
void write_matrix_complex(RunFiles& solver, const YaleMatrix& a) { write_matrix(solver, a); }

bool write_matrix_records(std::FILE* file, const YaleMatrix& a, bool markers) {
  const int width = a.value_width();
  const std::int32_t marker = static_cast<std::int32_t>(8 + 8 * width);
  const std::int32_t base = markers ? 1 : 0;
  for (std::int32_t i = 0; i < a.n; ++i) {
    for (std::int64_t p = a.row_ptr[static_cast<std::size_t>(i)]; p < a.row_ptr[static_cast<std::size_t>(i) + 1]; ++p) {
      std::int32_t index[2] = {i + base, a.col_idx[static_cast<std::size_t>(p)] + base};
      if (markers && write_chunked(&marker, sizeof marker, 1, file) != 1) return false;
      if (write_chunked(index, sizeof(std::int32_t), 2, file) != 2) return false;
      if (write_chunked(&a.values[static_cast<std::size_t>(p * width)], sizeof(double), static_cast<std::size_t>(width),
                        file) != static_cast<std::size_t>(width))
        return false;
      if (markers && write_chunked(&marker, sizeof marker, 1, file) != 1) return false;
    }
  }
  return true;
}

namespace {

bool row_holds(const std::int64_t* row_ptr, const std::int32_t* col_idx, std::int32_t row, std::int32_t col) {
  for (std::int64_t p = row_ptr[row]; p < row_ptr[row + 1]; ++p)
    if (col_idx[p] == col) return true;
  return false;
}

}  // namespace

void check_input_matrix(RunFiles& solver, std::int32_t n, std::int64_t nnz, const std::int64_t* row_ptr,
                        const std::int32_t* col_idx) {
  OrlDebug(2, L"...... Verifying the input matrix ......\n");
  if (nnz != row_ptr[n]) solver.fatal("Inconsistent number of nonzeroes", 1);
  for (std::int32_t i = 0; i < n; ++i) {
    if (!row_holds(row_ptr, col_idx, i, i)) {
      OrlDebug(1, L"Row %d is missing diagonal element\n", i);
      solver.fatal("Error in the input", 1);
    }
  }
  for (std::int32_t i = 0; i < n; ++i) {
    for (std::int64_t p = row_ptr[i] + 1; p < row_ptr[i + 1]; ++p) {
      if (col_idx[p] <= col_idx[p - 1]) {
        OrlDebug(1, L"Problem with column ordering row %d\n", i);
        solver.fatal("Error in the input", 1);
      }
    }
  }
  if (solver.symmetry != 1) {
    for (std::int32_t i = 0; i < n; ++i) {
      for (std::int64_t p = row_ptr[i]; p < row_ptr[i + 1]; ++p) {
        std::int32_t j = col_idx[p];
        if ((solver.lower_triangular == 0 && j < i) || (solver.lower_triangular == 1 && j > i)) {
          OrlDebug(1, L"Problem with input YALE matrix, row %d col %d\n", i, j);
          solver.fatal("Error in the input", 1);
        }
      }
    }
    return;
  }
  for (std::int32_t i = 0; i < n; ++i) {
    for (std::int64_t p = row_ptr[i]; p < row_ptr[i + 1]; ++p) {
      std::int32_t j = col_idx[p];
      if (!row_holds(row_ptr, col_idx, j, i)) {
        OrlDebug(1, L"Element (%d %d) does not have a symmetric pair\n", i, j);
        solver.fatal("Error in the input", 1);
      }
    }
  }
  OrlDebug(2, L"....... Input is fine .......\n");
}
