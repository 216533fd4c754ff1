#include "solve/rhs_vectors.h"

#include "io/run_files.h"
#include "io/vectors.h"

std::int32_t FileRhsVectors::count(RunFiles& files, std::int32_t n) { return count_rhs(files, "b", n); }

void FileRhsVectors::read(RunFiles& files, std::int32_t n, void* vector, std::size_t element_size, std::int32_t k,
                          std::int32_t total) {
  read_rhs_vector(files, n, vector, element_size, k, total);
}

void FileRhsVectors::write(RunFiles& files, std::int32_t n, const void* vector, std::size_t element_size,
                           std::int32_t k) {
  write_solution_vector(files, n, vector, element_size, k);
}

void FileRhsVectors::close(RunFiles& files) { close_solution_file(files); }
