#include "driver/switches.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/process.h"
#include "tests/support/test_support.h"

namespace {

struct Args {
  explicit Args(std::vector<std::string> list) : text(std::move(list)) {
    text.insert(text.begin(), "tessar64");
    for (auto& t : text) argv.push_back(t.c_str());
  }
  int argc() const { return static_cast<int>(argv.size()); }
  std::vector<std::string> text;
  std::vector<const char*> argv;
};

class SwitchesTest : public ::testing::Test {
 protected:
  ScopedWorkDir dir;
  LogCapture log{2};
  std::unique_ptr<tessar> solver = make_test_solver(0);

  ParseOutcome parse(std::vector<std::string> list) {
    Args args(std::move(list));
    return parse_switches(*solver, args.argc(), args.argv.data());
  }

  // Message and code of the fatal error a parse ends with.
  std::pair<std::string, int> parse_failure(std::vector<std::string> list) {
    try {
      parse(std::move(list));
    } catch (const TessarException& e) {
      return {e.message().str(), e.code()};
    }
    return {"", 0};
  }
};

TEST(KindSelection, LastKindSwitchWinsAndBackExecIsSeen) {
  Args none({});
  EXPECT_EQ(kind_from_switches(none.argc(), none.argv.data()).kind, 0);
  Args two({"-real_unsym", "-nofbs", "-complex_sym"});
  KindSelection selection = kind_from_switches(two.argc(), two.argv.data());
  EXPECT_EQ(selection.kind, 2);
  EXPECT_FALSE(selection.back_exec);
  Args back({"-complex_herm", "-back_exec"});
  EXPECT_TRUE(kind_from_switches(back.argc(), back.argv.data()).back_exec);
}

TEST_F(SwitchesTest, KindSwitchesAreLoggedInOrder) {
  parse({"-real_unsym", "-complex_sym"});
  std::string text = log.text();
  auto first = text.find("Solving real asymmetric matrix\n");
  auto second = text.find("Solving complex symmetric matrix\n");
  ASSERT_NE(first, std::string::npos);
  ASSERT_NE(second, std::string::npos);
  EXPECT_LT(first, second);
  EXPECT_LT(text.find("Full 64-bit matrix solver\n"), first);
}

TEST_F(SwitchesTest, RunModesSetTheirPhaseFlags) {
  parse({"-nofbs"});
  EXPECT_TRUE(solver->save_factor);
  EXPECT_FALSE(solver->do_solve);
  EXPECT_TRUE(solver->do_factor);

  solver = make_test_solver(0);
  parse({"-nonf", "-check"});
  EXPECT_FALSE(solver->do_reorder);
  EXPECT_FALSE(solver->do_factor);
  EXPECT_TRUE(solver->factors_from_disk);
  EXPECT_TRUE(solver->do_check);

  solver = make_test_solver(0);
  parse({"-back_exec"});
  EXPECT_TRUE(solver->quiet);
  EXPECT_FALSE(solver->do_factor);

  solver = make_test_solver(0);
  parse({"-awe_exec"});
  EXPECT_TRUE(solver->save_factor);
  EXPECT_TRUE(solver->do_solve);
}

TEST_F(SwitchesTest, CombinedSwitchesSetEveryFieldTheyName) {
  parse({"-allow_perturbation"});
  EXPECT_TRUE(solver->allow_perturbation);
  EXPECT_TRUE(solver->pivoting);
  EXPECT_TRUE(solver->enforce_CG);

  solver = make_test_solver(1);
  EXPECT_EQ(solver->post_method, 1);
  parse({"-mt", "-bicgstab", "-zerofill", "0", "-nblock", "64", "-noreorder", "-low_tri"});
  EXPECT_TRUE(solver->multi_thread);
  EXPECT_TRUE(solver->pivoting);
  EXPECT_EQ(solver->post_method, 2);
  EXPECT_EQ(solver->max_zero_fill, 0);
  EXPECT_EQ(solver->block_size, 64);
  EXPECT_FALSE(solver->reorder_enabled);
  EXPECT_EQ(solver->lower_triangular, 1);
}

TEST_F(SwitchesTest, DoublePrecisionDoublesTheStoredEntry) {
  parse({"-double_precision"});
  EXPECT_EQ(solver->elem_size, 8);
  solver = make_test_solver(4);
  EXPECT_EQ(solver->elem_size, 8);
  parse({"-double_precision"});
  EXPECT_EQ(solver->elem_size, 16);
}

TEST_F(SwitchesTest, BuiltEndsBeforeLaterSwitches) {
  EXPECT_EQ(parse({"-built", "-gl_exec"}), ParseOutcome::end_now);
  EXPECT_EQ(parse({"-quiet"}), ParseOutcome::run);
}

TEST_F(SwitchesTest, NcpuIsCappedAtTheProcessorCount) {
  int p = processor_count();
  parse({"-ncpu", std::to_string(p + 8)});
  EXPECT_EQ(solver->ncpu, p);
  EXPECT_TRUE(log.contains("Setting number of processors to " + std::to_string(p + 8) + "\n"));
  EXPECT_TRUE(log.contains("Number of processors changed to " + std::to_string(p) + "\n"));
}

TEST_F(SwitchesTest, NcpuFbsBelowOneMeansUseNcpu) {
  parse({"-ncpu_fbs", "0"});
  EXPECT_EQ(solver->ncpu_solve, -1);
  EXPECT_FALSE(log.contains("processors in solution stage"));
  parse({"-ncpu_fbs", "3"});
  EXPECT_EQ(solver->ncpu_solve, 3);
}

TEST_F(SwitchesTest, UnknownArgumentsAreLoggedWithTheirPosition) {
  parse({"-ncpu", "1", "-frobnicate"});
  EXPECT_TRUE(log.contains("Unrecognized flag 3 -frobnicate\n"));
}

TEST_F(SwitchesTest, ValuesAreReadAsLeadingDecimals) {
  parse({"-zerofill", "  42abc"});
  EXPECT_EQ(solver->max_zero_fill, 42);
  parse({"-zerofill", "abc"});
  EXPECT_EQ(solver->max_zero_fill, 0);
}

TEST_F(SwitchesTest, BadValuesEndTheRunNamingTheSwitch) {
  for (const char* name : {"-ncpu", "-ncpu_fbs", "-nblock", "-zerofill", "-profile"}) {
    auto [message, code] = parse_failure({"-quiet", name});
    EXPECT_EQ(code, 1) << name;
    EXPECT_NE(message.find(name), std::string::npos) << message;
  }
  EXPECT_EQ(parse_failure({"-ncpu", "0"}).second, 1);
  EXPECT_EQ(parse_failure({"-nblock", "-3"}).second, 1);
  EXPECT_EQ(parse_failure({"-profile", std::string(256, 'p')}).second, 1);
  EXPECT_EQ(parse_failure({"-gl_exec"}), std::make_pair(std::string("No classical output for this matrix type"), 1));
  EXPECT_EQ(parse_failure({"-decomp_exec"}), std::make_pair(std::string("It is not implemented"), 1));
  EXPECT_TRUE(log.contains("GLINT call\n"));
}

TEST_F(SwitchesTest, ProfileNameUpToTheLimitIsKept) {
  std::string name(255, 'p');
  parse({"-profile", name});
  EXPECT_EQ(solver->profile_name, name);
}

}  // namespace
