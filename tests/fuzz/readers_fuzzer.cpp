// One libFuzzer target per reader of the files a parent program hands over,
// chosen when it is built (TSR_FUZZ_READER): each input becomes the file in
// a private directory and the reader runs on a solver in throw mode. A
// reader may refuse the file with its error; anything else (a crash, a leak,
// a sanitizer report, an exception of another type) is a fault.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "analysis/index_file.h"
#include "api/kind_solvers.h"
#include "core/preferences.h"
#include "core/tessar.h"
#include "io/matrix_file.h"
#include "io/vectors.h"
#include "platform/core_library.h"
#include "tools/mm/matrix_market.h"

namespace {

void write_input(const char* name, const std::uint8_t* data, std::size_t size) {
  std::FILE* file = std::fopen(name, "wb");
  if (!file) std::abort();
  if (size > 0 && std::fwrite(data, 1, size, file) != size) std::abort();
  std::fclose(file);
}

// The first byte of an input chooses the kind (bits 0–2, modulo 5), the
// marker layout of "A" and "b" (bit 3) and, for "index", the pivoting
// analysis (bit 4); the rest is the file.
struct Choice {
  int kind;
  bool markers;
};
Choice choice_of(std::uint8_t byte) { return {(byte & 7) % 5, (byte & 8) != 0}; }

void read_a(tessar& solver) {
  const bool complex = solver.value_type == 1;
  YaleMatrix a;
  allocate_matrix(a, read_matrix_header(solver), complex);
  if (complex) read_matrix_complex(solver, a);
  else read_matrix_real(solver, a);
}

// Right-hand sides of dimension n, at most four of them read.
void read_b(tessar& solver, std::int32_t n) {
  const std::int32_t count = count_rhs(solver, "b", n);
  const std::size_t width = solver.value_type == 1 ? 16 : 8;
  std::vector<char> vector(static_cast<std::size_t>(n) * width);
  for (std::int32_t k = 0; k < count && k < 4; ++k) read_rhs_vector(solver, n, vector.data(), width, k, count);
}

// The reader of this target on body; for "b" and "index" the body's first
// byte gives the dimension, the rest is the file.
void read_input(tessar& solver, std::uint8_t first, const std::uint8_t* body, std::size_t bytes) {
  if (TSR_FUZZ_READER == 0) {
    write_input("A", body, bytes);
    read_a(solver);
  } else if (TSR_FUZZ_READER == 1) {
    write_input("b", body + 1, bytes - 1);
    read_b(solver, 1 + body[0] % 16);
  } else if (TSR_FUZZ_READER == 2) {
    solver.pivoting = (first & 16) != 0;
    write_input("index", body + 1, bytes - 1);
    LoadIndexFile(solver, 1 + body[0] % 64);
  } else if (TSR_FUZZ_READER == 3) {
    write_input("prefs.ini", body, bytes);
    read_preferences(solver);
  } else {
    write_input("m.mtx", body, bytes);
    (void)convert_to_kind(read_matrix_market("m.mtx"), solver.solver_type);
  }
}

void run(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return;
  const Choice c = choice_of(data[0]);
  setenv("TS_READ_ORLAN", c.markers ? "1" : "0", 1);
  auto solver = make_solver(c.kind);
  solver->set_throw_mode(true);
  try {
    read_input(*solver, data[0], data + 1, size - 1);
  } catch (const TessarException&) {
  } catch (const MatrixMarketError&) {
  }
}

}  // namespace

// The inputs are written to a directory in memory where there is one.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char shm[] = "/dev/shm/tsr_fuzz_XXXXXX", tmp[] = "/tmp/tsr_fuzz_XXXXXX";
  const char* dir = mkdtemp(shm);
  if (!dir) dir = mkdtemp(tmp);
  if (!dir || chdir(dir) != 0) std::abort();
  static const std::string made = dir;
  std::atexit([] { std::filesystem::remove_all(made); });
  configure_log("/dev/null", 0);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  run(data, size);
  return 0;
}
