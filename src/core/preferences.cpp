#include "core/preferences.h"

#include <charconv>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>
#include <utility>

#include "core/tessar.h"
#include "platform/core_library.h"
#include "platform/process.h"

std::int32_t processor_rule(std::int32_t requested, std::int32_t processors) {
  std::int64_t v = requested;
  if (v < 1) {
    v += processors;
    if (v < 1) v = 1;
  } else if (v > 1) {
    v = std::min<std::int64_t>(v, processors);
  }
  return static_cast<std::int32_t>(v);
}

void set_processor_count(tessar& solver, std::int32_t requested) {
  std::int32_t v = processor_rule(requested, processor_count());
  set_thread_count(v);
  if (v != solver.ncpu) {
    OrlDebug(2, L"Number of processors changed to %d\n", v);
    solver.ncpu = v;
  }
}

namespace {

// Whitespace-separated tokens with one token of look-ahead, so that a value
// that is not a number stays in the stream as the next token.
class TokenReader {
 public:
  explicit TokenReader(std::istream& in) : in_(in) {}

  std::optional<std::string> next() {
    if (pending_) return std::exchange(pending_, std::nullopt);
    std::string token;
    if (!(in_ >> token)) return std::nullopt;
    return token;
  }
  void put_back(std::string token) { pending_ = std::move(token); }

 private:
  std::istream& in_;
  std::optional<std::string> pending_;
};

// A whole token read as a decimal integer within [low, high].
std::optional<std::int64_t> integer_token(const std::string& token, std::int64_t low, std::int64_t high) {
  std::int64_t value = 0;
  const char* first = token.data();
  const char* last = first + token.size();
  if (first != last && *first == '+') ++first;
  auto [end, error] = std::from_chars(first, last, value);
  if (error != std::errc() || end != last || value < low || value > high) return std::nullopt;
  return value;
}

std::optional<double> real_token(const std::string& token) {
  char* end = nullptr;
  double value = std::strtod(token.c_str(), &end);
  if (token.empty() || *end != '\0') return std::nullopt;
  return value;
}

class PreferenceReader {
 public:
  PreferenceReader(tessar& solver, std::istream& text, const char* file_name)
      : solver_(solver), tokens_(text), file_name_(file_name) {}

  void run() {
    while (auto token = tokens_.next()) {
      if (*token != "DIRECT_SOLVER") continue;
      auto key = tokens_.next();
      if (!key) return;
      apply(*key);
    }
  }

 private:
  // The value token of a key; a token that does not fit stays in the stream.
  std::optional<std::int64_t> integer_value(const std::string& key, std::int64_t low, std::int64_t high) {
    auto token = tokens_.next();
    if (!token) return std::nullopt;
    auto value = integer_token(*token, low, high);
    if (!value) {
      OrlDebug(1, L"Preference %s in %s needs an integer value, not \"%s\"; ignored\n", key.c_str(), file_name_,
               token->c_str());
      tokens_.put_back(*token);
    }
    return value;
  }

  void apply(const std::string& key) {
    if (key == "MemLimitSoft") {
      if (auto v = integer_value(key, INT64_MIN, INT64_MAX)) set_soft_limit(*v);
    } else if (key == "MemLimitHard") {
      if (auto v = integer_value(key, INT32_MIN, INT32_MAX)) set_hard_limit(*v);
    } else if (key == "MaxNumCpu") {
      if (auto v = integer_value(key, INT32_MIN, INT32_MAX)) {
        solver_.ncpu = static_cast<std::int32_t>(*v);
        OrlDebug(2, L"Preference sets maximum number of CPUs to %d\n", solver_.ncpu);
        set_processor_count(solver_, solver_.ncpu);
      }
    } else if (key == "ErrorNorm") {
      set_error_norm();
    } else if (key == "MaxPostIter") {
      if (auto v = integer_value(key, INT32_MIN, INT32_MAX)) {
        solver_.cg_iter = std::max<std::int32_t>(static_cast<std::int32_t>(*v), 1);
        OrlDebug(2, L"Preference sets CG_iter to %d\n", solver_.cg_iter);
      }
    } else if (key == "MaxRestarts") {
      set_limit(key, 0, solver_.restart_limit);
    } else if (key == "GmresRestart") {
      set_limit(key, 1, solver_.gmres_restart);
    } else if (key == "GmresMaxIter") {
      set_limit(key, 0, solver_.gmres_iter);
    } else if (key == "Matching") {
      if (auto v = integer_value(key, 0, 2)) {
        solver_.matching = static_cast<std::int32_t>(*v);
        OrlDebug(2, L"Preference sets Matching to %d\n", solver_.matching);
      }
    } else if (key == "PivotThreshold") {
      set_pivot_threshold();
    } else if (key == "SaveAandB") {
      solver_.save_a_and_b = true;
      OrlDebug(2, L"Matrix A and b will be saved in _A_ and _b_\n");
    } else if (key == "CheckSolution") {
      solver_.do_check = true;
      OrlDebug(2, L"Solution vectors will be checked for accuracy\n");
    } else if (key == "QuietMode") {
      solver_.quiet = true;
      OrlDebug(2, L"Quiet mode is on\n");
    } else if (key == "WorkingDirectory") {
      set_working_directory();
    } else if (key == "FileIndex") {
      if (auto v = integer_value(key, INT32_MIN, INT32_MAX)) set_file_index(static_cast<std::int32_t>(*v));
    } else if (key == "SingleUpdates") {
      solver_.single_updates = true;
      OrlDebug(2, L"Update matrices of the fronts will be computed in single precision\n");
    } else if (key == "LowerTriangular") {
      solver_.lower_triangular = 1;
      OrlDebug(2, L"Lower triangular matrix is expected\n");
    } else {
      OrlDebug(2, L"Unknowns solver directive in %s file\n", file_name_);
    }
  }

  // A count of the steps after an unconfirmed solution, at least `least`.
  void set_limit(const std::string& key, std::int32_t least, std::int32_t& field) {
    if (auto v = integer_value(key, least, INT32_MAX)) {
      field = static_cast<std::int32_t>(*v);
      OrlDebug(2, L"Preference sets %s to %d\n", key.c_str(), field);
    }
  }

  void set_soft_limit(std::int64_t kb) {
    solver_.Soft_Memory_Limit = kb;
    if (solver_.mem_limit_hard != 0 && solver_.mem_limit_hard < kb) solver_.mem_limit_hard = kb;
    OrlDebug(2, L"Preference sets mem_limit_soft to %lld KiloBytes\n", static_cast<long long>(kb));
  }

  void set_hard_limit(std::int64_t kb) {
    solver_.mem_limit_hard = std::max(kb, solver_.Soft_Memory_Limit);
    OrlDebug(2, L"Preference sets mem_limit_hard to %lld KiloBytes\n", static_cast<long long>(solver_.mem_limit_hard));
  }

  void set_error_norm() {
    auto token = tokens_.next();
    if (!token) return;
    if (auto v = real_token(*token)) {
      solver_.cg_tolerance = *v;
      OrlDebug(2, L"Preference sets  CG_Tolerance to %le\n", solver_.cg_tolerance);
    } else {
      OrlDebug(1, L"Preference ErrorNorm in %s needs a number, not \"%s\"; ignored\n", file_name_, token->c_str());
      tokens_.put_back(*token);
    }
  }

  void set_pivot_threshold() {
    auto token = tokens_.next();
    if (!token) return;
    const auto v = real_token(*token);
    if (v && *v >= 0.0 && *v <= 1.0) {
      solver_.pivot_threshold = *v;
      OrlDebug(2, L"Preference sets PivotThreshold to %le\n", solver_.pivot_threshold);
    } else {
      OrlDebug(1, L"Preference PivotThreshold in %s needs a number from 0 to 1, not \"%s\"; ignored\n", file_name_,
               token->c_str());
      tokens_.put_back(*token);
    }
  }

  void set_working_directory() {
    auto token = tokens_.next();
    if (!token) return;
    if (token->size() > max_setting_length) {
      OrlDebug(1, L"Working directory in %s is longer than %d characters; ignored\n", file_name_,
               static_cast<int>(max_setting_length));
      return;
    }
    solver_.work_dir = *token;
    OrlDebug(2, L"Working directory changed to %s\n", solver_.work_dir.c_str());
  }

  void set_file_index(std::int32_t k) {
    solver_.u_file_name = format_text("U_%d", k);
    solver_.l_file_name = format_text("L_%d", k);
    solver_.index_file_name = format_text("index_%d", k);
    OrlDebug(2, L"Ufile if %s, Lfile is %s\n", solver_.u_file_name.c_str(), solver_.l_file_name.c_str());
  }

  tessar& solver_;
  TokenReader tokens_;
  const char* file_name_;
};

void read_environment(tessar& solver) {
  std::int64_t requested = environment_value("nbyxfmm").value_or(1);
  solver.ncpu = requested > 1 ? static_cast<std::int32_t>(std::min<std::int64_t>(requested, INT32_MAX)) : 1;
  OrlDebug(2, L"Setting number of processors to %d\n", solver.ncpu);
  set_processor_count(solver, solver.ncpu);

  if (auto soft = environment_value("TS_MEM_LIMIT_SOFT"); soft && *soft > 0) {
    solver.Soft_Memory_Limit = *soft;
    OrlDebug(L"tessar", 2, L"Soft_Memory_Limit is set to %lld KB\n", static_cast<long long>(*soft));
  }
}

}  // namespace

void apply_preferences(tessar& solver, std::istream& text, const char* file_name) {
  PreferenceReader(solver, text, file_name).run();
}

void read_preferences(tessar& solver) {
  if (auto cwd = current_directory())
    OrlDebug(2, L"Current working directory is %s\n", cwd->c_str());
  else
    OrlDebug(2, L"Cannot determine current working directory\n");

  read_environment(solver);

  std::ifstream file("prefs.ini");
  if (!file) return;
  OrlDebug(2, L"Reading solver directives from %s\n", "prefs.ini");
  apply_preferences(solver, file, "prefs.ini");
}
