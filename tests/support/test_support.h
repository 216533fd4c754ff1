#pragma once
// Helpers shared by the tests: temporary working directories, small matrices
// written in the solver's file format, and a solver object in throw mode.
#include <complex>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/tessar.h"
#include "io/yale_matrix.h"

// Creates a fresh directory, makes it the current directory for the test's
// lifetime, and removes it afterwards.
class ScopedWorkDir {
 public:
  ScopedWorkDir();
  ~ScopedWorkDir();
  ScopedWorkDir(const ScopedWorkDir&) = delete;
  ScopedWorkDir& operator=(const ScopedWorkDir&) = delete;
  const std::filesystem::path& path() const { return dir_; }

 private:
  std::filesystem::path dir_;
  std::filesystem::path previous_;
};

// The switch that selects each kind (0 … 4) on the command line.
inline const char* const kind_switches[] = {"-real_sym", "-real_unsym", "-complex_sym", "-complex_unsym",
                                            "-complex_herm"};

// Builds a solver of a kind (0 … 4) whose fatal errors throw TessarException.
std::unique_ptr<tessar> make_test_solver(int kind);

// Message and code of the fatal error an action ends with; {"no failure", 0} when it returns.
using Failure = std::pair<std::string, int>;
Failure failure_of(const std::function<void()>& action);

// Sets an environment variable for the test's lifetime, restoring it afterwards.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  bool had_value_ = false;
  std::string old_value_;
};

void write_file(const std::filesystem::path& path, const std::string& bytes);
std::string read_file(const std::filesystem::path& path);
int occurrences(const std::string& text, const std::string& word);

// A matrix from dense-style triplets (row, column, value) already in row order.
YaleMatrix matrix_from_entries(std::int32_t n, const std::vector<std::int32_t>& rows,
                               const std::vector<std::int32_t>& cols, const std::vector<double>& values,
                               bool complex = false);

// Writes a matrix to "A" in the current directory.
void write_matrix_file(const YaleMatrix& a, bool markers = false);

// Entry p of a stored matrix as a complex value.
std::complex<double> stored_value(const YaleMatrix& a, std::int64_t p);

// Values of a kind's layout (pairs for the complex kinds), or the vectors of a
// file of doubles ("b", "x"), as complex values (imaginary part 0 for the real
// kinds).
std::vector<std::complex<double>> complex_values(const std::vector<double>& values, bool complex);
std::vector<std::complex<double>> read_vectors(const std::filesystem::path& file, bool complex);

// ‖A·x − b‖₂ / ‖b‖₂ for vector k of x and b (n values each), computed here
// from the stored matrix of a kind: one triangle for the symmetric kinds
// (mirrored, conjugated for the Hermitian kind 4), whole rows otherwise.
double relative_residual(const YaleMatrix& a, int kind, const std::vector<std::complex<double>>& x,
                         const std::vector<std::complex<double>>& b, std::int32_t k);

// ‖A·x − b‖∞ / (‖A‖∞·‖x‖∞ + ‖b‖∞) for vector k, from the stored matrix as above.
double backward_error(const YaleMatrix& a, int kind, const std::vector<std::complex<double>>& x,
                      const std::vector<std::complex<double>>& b, std::int32_t k);

// Whether vector k of x solves the system as a run may report it: a relative
// residual of at most 1e-10, or a backward error at the level of rounding
// with a relative residual of at most 1e-5 (where the matrix's scaling puts
// the relative residual out of reach).
bool solved(const YaleMatrix& a, int kind, const std::vector<std::complex<double>>& x,
            const std::vector<std::complex<double>>& b, std::int32_t k);

// Directory of the shared test data (matrix-sources).
std::filesystem::path shared_dir();

// Sends the log to a file at a level for the test's lifetime; text() reads it.
class LogCapture {
 public:
  explicit LogCapture(int level = 3);
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;
  std::string text() const;
  bool contains(const std::string& line) const { return text().find(line) != std::string::npos; }

 private:
  std::filesystem::path file_;
};

// Result of running the built tessar64 in the current directory.
struct RunResult {
  int status = -1;
  std::string err;  // standard error stream
  std::string log;  // tessar.log
};

// Runs the built tessar64 with arguments and extra environment
// settings ("NAME=value") in the current directory, after the shell
// commands of shell (limits, say).
RunResult run_binary(const std::vector<std::string>& args, const std::vector<std::string>& env = {},
                     const std::string& shell = "");
