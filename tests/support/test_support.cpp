#include "tests/support/test_support.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>

#include "api/kind_solvers.h"
#include "io/matrix_file.h"
#include "platform/core_library.h"

namespace fs = std::filesystem;

namespace {

// Tests keep the log off the working directory: errors go to the standard
// error stream unless a test captures the log itself.
const bool quiet_log = [] {
  configure_log("-", 1);
  return true;
}();

std::string shell_quote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

// r = A·x − b for vector k, from the stored matrix of a kind, and the row
// sums of |A|.
struct Residual {
  std::vector<std::complex<double>> r;
  std::vector<double> row_sums;
};

Residual residual_of(const YaleMatrix& a, int kind, const std::vector<std::complex<double>>& x,
                     const std::vector<std::complex<double>>& b, std::int32_t k) {
  using cdouble = std::complex<double>;
  const bool whole_rows = kind == 1 || kind == 3;
  const cdouble* xk = x.data() + std::size_t(k) * a.n;
  const cdouble* bk = b.data() + std::size_t(k) * a.n;
  Residual out{std::vector<cdouble>(a.n), std::vector<double>(a.n)};
  for (std::int32_t i = 0; i < a.n; ++i)
    for (std::int64_t p = a.row_ptr[i]; p < a.row_ptr[i + 1]; ++p) {
      const std::int32_t j = a.col_idx[p];
      const cdouble v = stored_value(a, p);
      out.r[i] += v * xk[j];
      out.row_sums[i] += std::abs(v);
      if (!whole_rows && j != i) {
        out.r[j] += (kind == 4 ? std::conj(v) : v) * xk[i];
        out.row_sums[j] += std::abs(v);
      }
    }
  for (std::int32_t i = 0; i < a.n; ++i) out.r[i] -= bk[i];
  return out;
}

}  // namespace

ScopedWorkDir::ScopedWorkDir() : previous_(fs::current_path()) {
  static std::mt19937_64 rng(std::random_device{}());
  dir_ = fs::temp_directory_path() / ("tsr_test_" + std::to_string(getpid()) + "_" + std::to_string(rng()));
  fs::create_directories(dir_);
  fs::current_path(dir_);
}

ScopedWorkDir::~ScopedWorkDir() {
  std::error_code error;
  fs::current_path(previous_, error);
  fs::remove_all(dir_, error);
}

std::unique_ptr<tessar> make_test_solver(int kind) {
  auto solver = make_solver(kind);
  solver->set_throw_mode(true);
  return solver;
}

Failure failure_of(const std::function<void()>& action) {
  try {
    action();
  } catch (const TessarException& e) {
    return {e.message().str(), e.code()};
  }
  return {"no failure", 0};
}

ScopedEnv::ScopedEnv(const char* name, const char* value) : name_(name) {
  if (const char* old = std::getenv(name)) had_value_ = true, old_value_ = old;
  value ? setenv(name, value, 1) : unsetenv(name);
}

ScopedEnv::~ScopedEnv() { had_value_ ? setenv(name_.c_str(), old_value_.c_str(), 1) : unsetenv(name_.c_str()); }

void write_file(const fs::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

int occurrences(const std::string& text, const std::string& word) {
  int count = 0;
  for (auto at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) ++count;
  return count;
}

YaleMatrix matrix_from_entries(std::int32_t n, const std::vector<std::int32_t>& rows,
                               const std::vector<std::int32_t>& cols, const std::vector<double>& values,
                               bool complex) {
  YaleMatrix a;
  a.n = n;
  a.nnz = static_cast<std::int64_t>(rows.size());
  a.complex = complex;
  a.row_ptr.assign(static_cast<std::size_t>(n) + 1, 0);
  for (std::int32_t r : rows) ++a.row_ptr[static_cast<std::size_t>(r) + 1];
  for (std::size_t i = 1; i < a.row_ptr.size(); ++i) a.row_ptr[i] += a.row_ptr[i - 1];
  a.col_idx = cols;
  a.values = values;
  return a;
}

void write_matrix_file(const YaleMatrix& a, bool markers) {
  std::FILE* file = std::fopen("A", "wb");
  ASSERT_NE(file, nullptr);
  ASSERT_TRUE(write_matrix_records(file, a, markers));
  std::fclose(file);
}

fs::path shared_dir() {
  const char* dir = std::getenv("TSR_SHARED_DIR");
  return dir ? fs::path(dir) : fs::path(TSR_SHARED_PATH);
}

LogCapture::LogCapture(int level) {
  static int counter = 0;
  file_ = fs::temp_directory_path() / ("tsr_log_" + std::to_string(getpid()) + "_" + std::to_string(++counter));
  configure_log(file_.string(), level);
}

LogCapture::~LogCapture() {
  configure_log("-", 1);
  std::error_code error;
  fs::remove(file_, error);
}

std::string LogCapture::text() const {
  flush_log();
  return read_file(file_);
}

RunResult run_binary(const std::vector<std::string>& args, const std::vector<std::string>& env,
                     const std::string& shell) {
  const char* binary = std::getenv("TSR_BINARY");
  if (!binary) binary = TSR_BINARY_PATH;
  std::string command = shell + "env -u TS_LOG_FILE -u TS_DEBUG_LEVEL";
  for (const auto& setting : env) command.append(" ").append(shell_quote(setting));
  command.append(" ").append(shell_quote(binary));
  for (const auto& arg : args) command.append(" ").append(shell_quote(arg));
  command += " 2> stderr.txt < /dev/null";
  int raw = std::system(command.c_str());
  RunResult result;
  result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  result.err = read_file("stderr.txt");
  result.log = read_file("tessar.log");
  return result;
}

std::complex<double> stored_value(const YaleMatrix& a, std::int64_t p) {
  const auto k = static_cast<std::size_t>(p);
  return a.complex ? std::complex<double>(a.values[2 * k], a.values[2 * k + 1]) : std::complex<double>(a.values[k]);
}

std::vector<std::complex<double>> complex_values(const std::vector<double>& v, bool complex) {
  std::vector<std::complex<double>> out;
  const std::size_t step = complex ? 2 : 1;
  for (std::size_t i = 0; i + step <= v.size(); i += step) out.emplace_back(v[i], complex ? v[i + 1] : 0.0);
  return out;
}

std::vector<std::complex<double>> read_vectors(const std::filesystem::path& file, bool complex) {
  std::ifstream in(file, std::ios::binary);
  std::vector<double> raw;
  for (double v; in.read(reinterpret_cast<char*>(&v), sizeof v);) raw.push_back(v);
  return complex_values(raw, complex);
}

double relative_residual(const YaleMatrix& a, int kind, const std::vector<std::complex<double>>& x,
                         const std::vector<std::complex<double>>& b, std::int32_t k) {
  const Residual res = residual_of(a, kind, x, b, k);
  double num = 0, den = 0;
  for (std::int32_t i = 0; i < a.n; ++i) {
    num += std::norm(res.r[i]);
    den += std::norm(b[std::size_t(k) * a.n + i]);
  }
  return std::sqrt(num / den);
}

double backward_error(const YaleMatrix& a, int kind, const std::vector<std::complex<double>>& x,
                      const std::vector<std::complex<double>>& b, std::int32_t k) {
  const Residual res = residual_of(a, kind, x, b, k);
  double r_max = 0, a_max = 0, x_max = 0, b_max = 0;
  for (std::int32_t i = 0; i < a.n; ++i) {
    const std::size_t at = std::size_t(k) * a.n + i;
    r_max = std::max(r_max, std::abs(res.r[i]));
    a_max = std::max(a_max, res.row_sums[i]);
    x_max = std::max(x_max, std::abs(x[at]));
    b_max = std::max(b_max, std::abs(b[at]));
  }
  return r_max / (a_max * x_max + b_max);
}

bool solved(const YaleMatrix& a, int kind, const std::vector<std::complex<double>>& x,
            const std::vector<std::complex<double>>& b, std::int32_t k) {
  if (x.size() < std::size_t(k + 1) * a.n) return false;
  const double relative = relative_residual(a, kind, x, b, k);
  return relative <= 1e-10 || (relative <= 1e-5 && backward_error(a, kind, x, b, k) <= 1.5e-14);
}
