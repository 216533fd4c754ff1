#include "driver/switches.h"

#include <cstring>
#include <string_view>

#include "core/preferences.h"
#include "core/tessar.h"
#include "platform/core_library.h"
#include "platform/process.h"

namespace {

struct KindSwitch {
  std::string_view name;
  int kind;
  const wchar_t* log_line;
};

constexpr KindSwitch kind_switches[] = {
    {"-real_sym", 0, L"Solving real symmetric matrix\n"},
    {"-real_unsym", 1, L"Solving real asymmetric matrix\n"},
    {"-complex_sym", 2, L"Solving complex symmetric matrix\n"},
    {"-complex_unsym", 3, L"Solving complex asymmetric matrix\n"},
    {"-complex_herm", 4, L"Solving hermitian matrix\n"},
};

const KindSwitch* find_kind_switch(std::string_view arg) {
  for (const auto& s : kind_switches)
    if (s.name == arg) return &s;
  return nullptr;
}

// Walks the arguments left to right, handing out values to the switches that take one.
class SwitchParser {
 public:
  SwitchParser(tessar& solver, int argc, const char* const* argv) : solver_(solver), argc_(argc), argv_(argv) {}

  ParseOutcome run() {
    OrlDebug(2, L"Full 64-bit matrix solver\n");
    for (position_ = 1; position_ < argc_; ++position_) {
      if (apply(argv_[position_]) == ParseOutcome::end_now) return ParseOutcome::end_now;
    }
    refuse_contradicting_modes();
    return ParseOutcome::run;
  }

 private:
  // A run that factors (and keeps the factor) and a run that solves with the
  // factor of an earlier run cannot both be asked for: such a run would do
  // nothing, or not what either switch says.
  void refuse_contradicting_modes() {
    if (!factoring_mode_ || !solving_mode_) return;
    solver_.fatal(format_text("Switches %s and %s contradict each other: the first factors the matrix, the second "
                              "solves with the factor of an earlier run",
                              factoring_mode_, solving_mode_).c_str(),
                  1);
  }

  void note_mode(const char*& mode, const char* name) {
    if (!mode) mode = name;
  }

  // The next argument as the value of the switch in hand; a switch given last
  // has none and ends the run with a message naming it.
  const char* value_text(std::string_view name) {
    if (position_ + 1 >= argc_)
      solver_.fatal(format_text("Switch %.*s needs a value", static_cast<int>(name.size()), name.data()).c_str(), 1);
    return argv_[++position_];
  }

  // A whole decimal number, optionally signed, and nothing else: another
  // switch or a word is refused, naming both.
  std::int32_t int_value(std::string_view name) {
    const char* text = value_text(name);
    const char* digits = text + (*text == '-' || *text == '+' ? 1 : 0);
    if (*digits == '\0' || std::strspn(digits, "0123456789") != std::strlen(digits))
      solver_.fatal(format_text("Switch %.*s needs a whole number, not \"%s\"", static_cast<int>(name.size()),
                                name.data(), text).c_str(),
                    1);
    std::int64_t v = decimal_value(text);
    if (v < INT32_MIN || v > INT32_MAX)
      solver_.fatal(format_text("Value of switch %.*s is out of range", static_cast<int>(name.size()), name.data()).c_str(),
                    1);
    return static_cast<std::int32_t>(v);
  }

  void set_ncpu(std::int32_t n) {
    OrlDebug(2, L"Setting number of processors to %d\n", n);
    if (n < 1) solver_.fatal(format_text("Switch -ncpu needs a processor count of at least 1, not %d", n).c_str(), 1);
    solver_.ncpu = n;
    int p = processor_count();
    if (n > 1 && n > p) n = p;
    set_thread_count(n);
    if (n != solver_.ncpu) {
      solver_.ncpu = n;
      OrlDebug(2, L"Number of processors changed to %d\n", n);
    }
  }

  void set_ncpu_solve(std::int32_t n) {
    if (n < 1) {
      solver_.ncpu_solve = -1;
      return;
    }
    solver_.ncpu_solve = n;
    OrlDebug(2, L"Setting number of processors in solution stage to %d\n", n);
  }

  void set_profile_name(const char* name) {
    if (name[0] == '-')
      solver_.fatal(format_text("Switch -profile needs a file name, not the switch %s", name).c_str(), 1);
    if (std::strlen(name) > max_setting_length)
      solver_.fatal(format_text("Switch -profile needs a name of at most %zu characters", max_setting_length).c_str(), 1);
    solver_.profile_name = name;
    OrlDebug(2, L"Profile name is %s\n", name);
  }

  void set_block_size(std::int32_t n) {
    OrlDebug(2, L"Setting block size for 2nd level frontal matrix factorization to %d\n", n);
    if (n < 1) solver_.fatal(format_text("Switch -nblock needs a block size of at least 1, not %d", n).c_str(), 1);
    solver_.block_size = n;
  }

  ParseOutcome apply(std::string_view arg) {
    tessar& s = solver_;
    if (const KindSwitch* kind = find_kind_switch(arg)) {
      OrlDebug(2, kind->log_line);
    } else if (arg == "-ncpu") {
      set_ncpu(int_value(arg));
    } else if (arg == "-ncpu_fbs") {
      set_ncpu_solve(int_value(arg));
    } else if (arg == "-low_tri") {
      s.lower_triangular = 1;
      OrlDebug(2, L"Lower triangular matrix is expected\n");
    } else if (arg == "-double_precision") {
      s.double_precision = true;
      s.set_elem_size();
      OrlDebug(2, L"Using full double precision\n");
    } else if (arg == "-single_updates") {
      s.single_updates = true;
      OrlDebug(2, L"Update matrices of the fronts will be computed in single precision\n");
    } else if (arg == "-built") {
      return ParseOutcome::end_now;
    } else if (arg == "-nonf") {
      note_mode(solving_mode_, "-nonf");
      s.do_reorder = s.do_factor = false;
      s.factors_from_disk = true;
      OrlDebug(2, L"Skipping factorization\n");
    } else if (arg == "-nofbs") {
      note_mode(factoring_mode_, "-nofbs");
      s.save_factor = true;
      s.do_solve = false;
      OrlDebug(2, L"Skipping FB substitution\n");
    } else if (arg == "-gl_exec") {
      OrlDebug(2, L"GLINT call\n");
      s.fatal("No classical output for this matrix type", 1);
    } else if (arg == "-decomp_exec") {
      s.fatal("It is not implemented", 1);
    } else if (arg == "-mr_exec") {
      note_mode(factoring_mode_, "-mr_exec");
      s.save_factor = true;
      s.do_solve = false;
      OrlDebug(2, L" -mr_exec: save u matrix; skip solution, verbose\n");
    } else if (arg == "-awe_exec") {
      note_mode(factoring_mode_, "-awe_exec");
      s.save_factor = true;
      OrlDebug(2, L" -awe_exec: Save u matrix\n");
    } else if (arg == "-back_exec") {
      note_mode(solving_mode_, "-back_exec");
      s.factors_from_disk = s.quiet = true;
      s.do_factor = s.do_reorder = false;
      OrlDebug(2, L" -back_exec: Read U matrix from disk\n");
    } else if (arg == "-profile") {
      set_profile_name(value_text(arg));
    } else if (arg == "-quiet") {
      s.quiet = true;
    } else if (arg == "-ng") {
      s.no_progress = true;
    } else if (arg == "-check") {
      s.do_check = true;
      OrlDebug(2, L"Solution on the disk will be checked\n");
    } else if (arg == "-enforce_CG") {
      s.enforce_CG = true;
      OrlDebug(2, L"CG iterations will be enforced\n");
    } else if (arg == "-pivoting") {
      s.pivoting = true;
      OrlDebug(2, L"Pivoting will be used in the factorization\n");
    } else if (arg == "-allow_perturbation") {
      s.allow_perturbation = s.pivoting = s.enforce_CG = true;
      OrlDebug(2, L"Allow perturbing small pivots\n");
    } else if (arg == "-check_solution") {
      s.check_residual = true;
      OrlDebug(2, L"Relative residual of the solution will be checked\n");
    } else if (arg == "-diag_scale") {
      s.diag_scale = true;
      OrlDebug(2, L"Diagonal scaling will be performed\n");
    } else if (arg == "-matching") {
      s.matching = 2;
      OrlDebug(2, L"Rows will be matched to put large entries on the diagonal\n");
    } else if (arg == "-bicgstab") {
      s.post_method = 2;
      OrlDebug(2, L"Post improvement will be performed through BICGSTAB(if unsymmetric)\n");
    } else if (arg == "-nblock") {
      set_block_size(int_value(arg));
    } else if (arg == "-zerofill") {
      s.max_zero_fill = int_value(arg);
      OrlDebug(2, L"Setting maximum allowed zero fill-ins in each merge of supernodes to %d\n", s.max_zero_fill);
    } else if (arg == "-mt") {
      s.multi_thread = s.pivoting = true;
      OrlDebug(2, L"Multi-thread routines will be invoked.\n");
    } else if (arg == "-noreorder") {
      s.reorder_enabled = false;
      OrlDebug(2, L"Metis reordering will not be performed.\n");
    } else {
      OrlDebug(2, L"Unrecognized flag %d %s\n", position_, std::string(arg).c_str());
    }
    return ParseOutcome::run;
  }

  tessar& solver_;
  int argc_;
  const char* const* argv_;
  int position_ = 1;
  const char* factoring_mode_ = nullptr;  // the first of -nofbs, -mr_exec, -awe_exec
  const char* solving_mode_ = nullptr;    // the first of -nonf, -back_exec
};

}  // namespace

KindSelection kind_from_switches(int argc, const char* const* argv) {
  KindSelection selection;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (const KindSwitch* kind = find_kind_switch(arg)) selection.kind = kind->kind;
    if (arg == "-back_exec") selection.back_exec = true;
  }
  return selection;
}

ParseOutcome parse_switches(tessar& solver, int argc, const char* const* argv) {
  return SwitchParser(solver, argc, argv).run();
}
