#pragma once
// The matrix file "A": one record per stored entry, grouped by ascending row,
// columns ascending within a row, the last record being the diagonal entry
// (N−1, N−1). Record: row and column (int32, 0-based) and the value (one
// double, or real and imaginary parts). In the marker layout (TS_READ_ORLAN > 0)
// each record is framed by two 4-byte markers and indices are 1-based.
#include <cstdint>
#include <cstdio>
#include <string>

#include "io/yale_matrix.h"

class RunFiles;

struct MatrixFileLayout {
  bool complex = false;
  bool markers = false;
  std::int64_t record_bytes() const { return (complex ? 24 : 16) + (markers ? 8 : 0); }
};

// The marker layout is selected by TS_READ_ORLAN > 0, for "A" and "b" alike.
bool marker_layout_from_environment();

struct MatrixHeader {
  std::int32_t n = 0;
  std::int64_t nnz = 0;
};

// Sizes "A" from its length and last record; copies "A" and "b" to "_A_" and
// "_b_" when save_a_and_b is set.
MatrixHeader read_matrix_header(RunFiles& solver);

// Sizes a's arrays for the header. A failed allocation throws std::bad_alloc,
// which the entry point ends as "Not enough memory", code 100.
void allocate_matrix(YaleMatrix& a, const MatrixHeader& header, bool complex);

// Reads "A" into a matrix sized by the header. Every record is validated as it
// is read (index range, row order, empty rows, column order, the diagonal), so
// no file can make the reader write outside the arrays.
void read_matrix_real(RunFiles& solver, YaleMatrix& a);
void read_matrix_complex(RunFiles& solver, YaleMatrix& a);

// Writes a matrix in the default layout to "A" in work_dir ("Saving tessar A matrix").
void write_matrix_real(RunFiles& solver, const YaleMatrix& a);
void write_matrix_complex(RunFiles& solver, const YaleMatrix& a);

// Writes the records of a matrix to an open file; false on a short write.
bool write_matrix_records(std::FILE* file, const YaleMatrix& a, bool markers);

// The input check: diagonal present, columns ascending, the stored triangle of
// the symmetric kinds, the symmetric pattern of the unsymmetric kinds.
void check_input_matrix(RunFiles& solver, std::int32_t n, std::int64_t nnz, const std::int64_t* row_ptr,
                        const std::int32_t* col_idx);
