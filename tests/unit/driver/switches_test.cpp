#include "driver/switches.h"

#include <gtest/gtest.h>

#include <functional>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "platform/process.h"
#include "tests/support/test_support.h"

namespace {

// Parses a command line given as its switches separated by spaces.
ParseOutcome parse(tessar& solver, const std::string& line) {
  std::vector<std::string> words{"tessar64"};
  std::istringstream in(line);
  for (std::string word; in >> word;) words.push_back(word);
  std::vector<const char*> argv;
  for (const auto& w : words) argv.push_back(w.c_str());
  return parse_switches(solver, static_cast<int>(argv.size()), argv.data());
}

TEST(Switches, SetTheirFields) {
  ScopedWorkDir dir;
  LogCapture log{2};
  const std::tuple<std::string, int, std::function<bool(const tessar&)>> cases[] = {
      {"-nofbs", 0, [](const tessar& s) { return s.save_factor && !s.do_solve && s.do_factor; }},
      {"-nonf -check", 0,
       [](const tessar& s) { return !s.do_reorder && !s.do_factor && s.factors_from_disk && s.do_check; }},
      {"-back_exec", 0, [](const tessar& s) { return s.quiet && !s.do_factor && s.factors_from_disk; }},
      {"-allow_perturbation", 0, [](const tessar& s) { return s.allow_perturbation && s.pivoting && s.enforce_CG; }},
      {"-mt -bicgstab -zerofill 0 -nblock 64 -noreorder -low_tri", 1,
       [](const tessar& s) {
         return s.multi_thread && s.pivoting && s.post_method == 2 && s.max_zero_fill == 0 && s.block_size == 64 &&
                !s.reorder_enabled && s.lower_triangular == 1;
       }},
      {"-double_precision", 4, [](const tessar& s) { return s.elem_size == 16; }},
      // Processor requests beyond the machine are capped; an unknown switch is passed over.
      {"-ncpu " + std::to_string(processor_count() + 8), 0,
       [](const tessar& s) { return s.ncpu == processor_count(); }},
      {"-ncpu 1 -frobnicate", 0, [](const tessar& s) { return s.ncpu == 1; }},
      {"-ncpu_fbs 0", 0, [](const tessar& s) { return s.ncpu_solve == -1; }},
  };
  for (const auto& [line, kind, holds] : cases) {
    auto solver = make_test_solver(kind);
    EXPECT_EQ(parse(*solver, line), ParseOutcome::run) << line;
    EXPECT_TRUE(holds(*solver)) << line;
  }
  EXPECT_EQ(parse(*make_test_solver(0), "-built -gl_exec"), ParseOutcome::end_now) << "later switches are not read";
}

// Modes that contradict each other end the run the same way.
TEST(Switches, BadValuesEndTheRunNamingTheSwitch) {
  ScopedWorkDir dir;
  LogCapture log{2};
  const std::pair<std::string, std::string> cases[] = {
      {"-quiet -ncpu_fbs", "Switch -ncpu_fbs needs a value"},
      {"-quiet -profile", "Switch -profile needs a value"},
      {"-ncpu 0", "Switch -ncpu needs a processor count of at least 1, not 0"},
      {"-ncpu 99999999999", "Value of switch -ncpu is out of range"},
      {"-nblock -3", "Switch -nblock needs a block size of at least 1, not -3"},
      {"-ncpu abc", "Switch -ncpu needs a whole number, not \"abc\""},
      {"-zerofill -check_solution", "Switch -zerofill needs a whole number, not \"-check_solution\""},
      {"-profile -check_solution", "Switch -profile needs a file name, not the switch -check_solution"},
      {"-nofbs -nonf", "Switches -nofbs and -nonf contradict each other: the first factors the matrix, the second "
                       "solves with the factor of an earlier run"},
      {"-back_exec -quiet -awe_exec", "Switches -awe_exec and -back_exec contradict each other: the first factors "
                                      "the matrix, the second solves with the factor of an earlier run"},
      {"-profile " + std::string(256, 'p'), "Switch -profile needs a name of at most 255 characters"},
  };
  for (const auto& [line, message] : cases)
    EXPECT_EQ(failure_of([&] { parse(*make_test_solver(0), line); }), Failure(message, 1)) << line;
}

}  // namespace
