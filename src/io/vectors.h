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

class tessar;

// Number of whole right-hand sides in the file for dimension n.
std::int32_t count_rhs(tessar& solver, const char* file_name, std::int32_t n);

void read_rhs_vector(tessar& solver, std::int32_t n, void* buffer, std::size_t element_size, std::int32_t index,
                     std::int32_t total);
void write_solution_vector(tessar& solver, std::int32_t n, const void* buffer, std::size_t element_size,
                           std::int32_t index, std::int32_t total);
// Reads solutions in order; used by the verification.
void read_solution_vector(tessar& solver, std::int32_t n, void* buffer, std::size_t element_size,
                          std::int32_t index, std::int32_t total);

// Writes count vectors of n elements to an open file, optionally framed by
// markers; false on a short write. Used by the tools that prepare inputs.
bool write_vector_records(std::FILE* file, const double* values, std::int64_t n, std::int64_t count,
                          int doubles_per_value, bool markers);
