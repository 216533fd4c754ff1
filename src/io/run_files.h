#pragma once
// What the readers and writers of a run's files need to know: the directory of
// the work files, the kind of matrix the files hold, and the vector streams
// open while right-hand sides and solutions move. The solver object is one;
// the file layer sees nothing else of it.
#include <cstdint>
#include <cstdio>
#include <string>

#include "platform/error.h"

class RunFiles : public tsr_error {
 public:
  std::string work_dir = ".";        // factor, index and temporary files
  std::int32_t value_type = 0;       // 0 real, 1 complex
  std::int32_t symmetry = 0;         // 0 symmetric, 1 unsymmetric, 2 Hermitian
  std::int32_t lower_triangular = 0; // symmetric kinds: "A" holds the lower triangle
  bool save_a_and_b = false;         // copies of "A" and "b" kept for a bug report
  bool threaded_vector_io = false;   // several solve threads move vectors at once

  // Right-hand-side and solution files while vectors move (io/vectors.h).
  std::FILE* rhs_file = nullptr;
  std::FILE* solution_file = nullptr;
};
