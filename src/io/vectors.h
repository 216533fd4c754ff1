#pragma once
// The right-hand-side file "b" and the solution file "x": vectors of N values
// back to back, no header. In the marker layout (TS_READ_ORLAN > 0) each vector
// of "b" is framed by two 4-byte markers; "x" always has the plain layout.
// Solve threads may ask for vectors in any order while threaded_vector_io is
// set: each call then runs inside its file's guarded section and seeks to the
// vector's own position.
#include <cstddef>
#include <cstdint>
#include <cstdio>

class RunFiles;

// Number of whole vectors of dimension n (plain layout unless markers) in a
// regular file; a missing file ends the run with code 5, one that is not a
// regular file with code 1.
std::int64_t count_vectors(RunFiles& solver, const char* file_name, std::int32_t n, bool markers);

// Number of whole right-hand sides in the file for dimension n. A file that
// holds none, or more than a 32-bit count, ends the run with code 1.
std::int32_t count_rhs(RunFiles& solver, const char* file_name, std::int32_t n);

// Reads right-hand side `index`; a value that is not a finite number ends the
// run with code 1, naming the right-hand side and the row. The file closes
// after `total` reads.
void read_rhs_vector(RunFiles& solver, std::int32_t n, void* buffer, std::size_t element_size, std::int32_t index,
                     std::int32_t total);

// Solutions are written to "x.partial" at their own positions while the run
// solves, and the file becomes "x" only once every right-hand side is solved
// and confirmed: a parent program never reads a stale, partial or unconfirmed
// "x". begin_solution_file removes an "x" of an earlier run and creates the
// empty partial file (removed should the run fail); close_solution_file ends
// one round of writes (a later round reopens the file and fills further
// positions); commit_solution_file renames it to "x"; discard_solution_file
// removes it.
inline constexpr const char* solution_file_name = "x";
inline constexpr const char* partial_solution_file_name = "x.partial";
void begin_solution_file(RunFiles& solver);
void write_solution_vector(RunFiles& solver, std::int32_t n, const void* buffer, std::size_t element_size,
                           std::int32_t index);
void close_solution_file(RunFiles& solver);
void commit_solution_file(RunFiles& solver);
void discard_solution_file(RunFiles& solver);
// Reads solutions in order; used by the verification.
void read_solution_vector(RunFiles& solver, std::int32_t n, void* buffer, std::size_t element_size,
                          std::int32_t index, std::int32_t total);

// Writes count vectors of n elements to an open file, optionally framed by
// markers; false on a short write. Used by the tools that prepare inputs.
bool write_vector_records(std::FILE* file, const double* values, std::int64_t n, std::int64_t count,
                          int doubles_per_value, bool markers);
