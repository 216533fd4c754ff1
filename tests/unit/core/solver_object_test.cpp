#include <gtest/gtest.h>

#include <set>
#include <tuple>

#include "core/progress.h"
#include "tests/support/test_support.h"

namespace {

// The parent program reads these stderr lines; quiet and -ng runs print none.
TEST(Progress, LinesAreCappedAndSilencedByQuietModes) {
  ScopedWorkDir dir;
  auto solver = make_test_solver(0);
  ::testing::internal::CaptureStderr();
  report_progress(*solver, 130);
  report_progress(*solver, -5);
  report_progress(*solver, band_midpoint(30, 81));
  report_message(*solver, "Factor (Est. memory = 1MB, disk = 1MB)");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "solver :progress 100.000000\nsolver :progress -5.000000\nsolver :progress 55.000000\n"
            "solver :message Factor (Est. memory = 1MB, disk = 1MB)\n");
  for (bool tessar::*flag : {&tessar::quiet, &tessar::no_progress}) {
    auto silent = make_test_solver(0);
    (*silent).*flag = true;
    ::testing::internal::CaptureStderr();
    report_progress(*silent, 42);
    report_message(*silent, "hidden");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  }
}

// Only an offcore factor that is not kept is removed (with its index files
// in the -mt layout, L only for unsymmetric kinds); "index" always stays.
TEST(SolverDestruction, RemovesOnlyFactorFilesThatWereTemporary) {
  ScopedWorkDir dir;
  const char* files[] = {"U", "L", "U_diag_index", "U_offdiag_index", "L_diag_index", "L_offdiag_index", "index"};
  // kind, -mt, kept factor, offcore, files removed
  const std::tuple<int, bool, bool, int, std::set<std::string>> cases[] = {
      {1, true, false, 1, {"U", "L", "U_diag_index", "U_offdiag_index", "L_diag_index", "L_offdiag_index"}},
      {0, false, false, 1, {"U"}},
      {0, false, true, 1, {}},
      {0, false, false, 0, {}},
  };
  for (const auto& [kind, multi_thread, save_factor, offcore, removed] : cases) {
    for (const char* f : files) write_file(f, "f");
    {
      auto s = make_test_solver(kind);
      std::tie(s->multi_thread, s->save_factor, s->offcore) = std::tuple(multi_thread, save_factor, offcore);
    }
    for (const char* f : files) EXPECT_EQ(std::filesystem::exists(f), removed.count(f) == 0) << f << " kind " << kind;
  }
}

}  // namespace
