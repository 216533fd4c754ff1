// The profile table line, the solver label, the phase timing file and the
// process CPU readings.
#include "driver/profile.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <sstream>

#include "tests/support/test_support.h"

namespace {

int failure_code(const std::function<void()>& action, std::string& message) {
  try {
    action();
  } catch (const TessarException& e) {
    message = e.message().str();
    return e.code();
  }
  return 0;
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

TEST(SolverLabel, PrecisionKindAndProcessorCount) {
  const char* single[] = {"Solver MRS", "Solver MRA", "Solver MCS", "Solver MCA", "Solver MCH"};
  const char* twelve[] = {"Solver DRS12", "Solver DRA12", "Solver DCS12", "Solver DCA12", "Solver DCH12"};
  for (int kind = 0; kind < 5; ++kind) {
    auto solver = make_test_solver(kind);
    solver->ncpu = 1;
    EXPECT_EQ(solver_label(*solver), single[kind]);
    solver->double_precision = true;
    solver->ncpu = 12;
    EXPECT_EQ(solver_label(*solver), twelve[kind]);
  }
  auto solver = make_test_solver(0);
  solver->ncpu = 2;
  EXPECT_EQ(solver_label(*solver), "Solver MRS2") << "the count starts at two processors";
}

TEST(SolverLabel, UnknownTypesAreFatal) {
  std::string message;
  auto real = make_test_solver(1);
  real->symmetry = 2;
  EXPECT_EQ(failure_code([&] { solver_label(*real); }, message), 1);
  EXPECT_EQ(message, "Unknown symmetry type for real matrix");
  auto complex = make_test_solver(4);
  complex->symmetry = 3;
  EXPECT_EQ(failure_code([&] { solver_label(*complex); }, message), 1);
  EXPECT_EQ(message, "Unknown symmetry type for complex matrix");
  complex->value_type = 2;
  EXPECT_EQ(failure_code([&] { create_profile(*complex); }, message), 1);
  EXPECT_EQ(message, "Unknown matrix type");
}

TEST(ProfileLine, TimesInHoursMinutesSeconds) {
  EXPECT_EQ(hours_minutes_seconds(0), "00:00:00");
  EXPECT_EQ(hours_minutes_seconds(59), "00:00:59");
  EXPECT_EQ(hours_minutes_seconds(3725), "01:02:05");
  EXPECT_EQ(hours_minutes_seconds(360'000), "100:00:00");
}

TEST(ProfileLine, DiskUseRoundsToTheNearestUnit) {
  auto text = [](std::int64_t bytes) {
    const ScaledSize size = scaled_disk_use(bytes);
    return std::to_string(size.value) + size.unit;
  };
  EXPECT_EQ(text(0), "0KB");
  EXPECT_EQ(text(1535), "1KB");
  EXPECT_EQ(text(1536), "2KB");
  EXPECT_EQ(text(999 * 1024), "999KB");
  EXPECT_EQ(text(1000 * 1024), "1000KB");
  EXPECT_EQ(text(1001 * 1024), "1MB");
  EXPECT_EQ(text(1000LL * 1024 * 1024), "1000MB");
  EXPECT_EQ(text(1001LL * 1024 * 1024), "1GB");
  EXPECT_EQ(text(5000LL * 1024 * 1024 * 1024), "5000GB");
}

TEST(ProfileLine, FixedColumns) {
  ProfileRecord record;
  record.label = "Solver MRS";
  record.wall_elapsed = 3725;
  record.cpu_total = 59;
  record.peak_memory_kb = 1234;
  record.dimension = 100;
  EXPECT_EQ(profile_line(record, 999 * 1024, false),
            "| Solver MRS    | 01:02:05 | 00:00:59 |    1234K |     100 matrix,  999KB disk |\n");
  EXPECT_EQ(profile_line(record, 3 * 1024 * 1024, true),
            "| Solver MRS    | 01:02:05 | 00:00:59 |    1234K |     100 matrix,    3MB disk, offcore |\n");
}

class EndReportTest : public ::testing::Test {
 protected:
  ScopedWorkDir dir;
  LogCapture log{2};
  std::unique_ptr<tessar> solver = make_test_solver(0);

  void SetUp() override {
    write_file("A", std::string(1000, 'a'));
    write_file("b", std::string(1000, 'b'));
    write_file("x", std::string(48, 'x'));
    write_file("U", std::string(2048, 'u'));
    write_file("L", std::string(1024, 'l'));
    write_file("index", std::string(1024, 'i'));
  }

  void run(std::int32_t n) {
    auto record = create_profile(*solver);
    end_report(*solver, record, n);
    EXPECT_EQ(record, nullptr);
  }
};

TEST_F(EndReportTest, AppendsOneLinePerRun) {
  write_file("profile", "earlier table\n");
  solver->offcore = 0;
  add_memory(*solver, 77);
  run(7);
  run(8);
  const auto lines = lines_of(read_file("profile"));
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "earlier table");
  // Incore, no saved factor: only "x", "b" and "A" count, 2,048 bytes.
  EXPECT_EQ(lines[1], "| Solver MRS    | 00:00:00 | 00:00:00 |      77K |       7 matrix,    2KB disk |");
  EXPECT_EQ(lines[2].substr(lines[2].find("K |")), "K |       8 matrix,    2KB disk |");
  EXPECT_TRUE(log.contains("Maximum memory used = 77 KB\n"));
}

TEST_F(EndReportTest, OffcoreRunsAndSavedFactorsCountTheFactorFiles) {
  solver->offcore = 1;
  run(5);
  solver->offcore = 0;
  solver->save_factor = true;
  run(5);
  const auto lines = lines_of(read_file("profile"));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[0].find("      5 matrix,    6KB disk, offcore |"), std::string::npos) << lines[0];
  EXPECT_NE(lines[1].find("      5 matrix,    6KB disk |"), std::string::npos) << lines[1];
}

TEST_F(EndReportTest, QuietRunsWriteNothing) {
  solver->quiet = true;
  EXPECT_EQ(create_profile(*solver), nullptr);
  run(5);
  EXPECT_FALSE(std::filesystem::exists("profile"));
}

TEST_F(EndReportTest, UnopenableProfileFileIsSkipped) {
  solver->profile_name = "missing_dir/profile";
  run(5);
  EXPECT_TRUE(log.contains("Cannot open profile file, skipping ..\n"));
}

TEST(PhaseTiming, FileStartsEmptyAndTakesOneLinePerPhase) {
  ScopedWorkDir dir;
  write_file("tessar.prof", "previous run\n");
  {
    ScopedEnv off("TESSAR_PROFILE", "0");
    reset_phase_timing_file();
    append_phase_timing("Solution time:  real = ", take_phase_readings());
    EXPECT_EQ(read_file("tessar.prof"), "previous run\n");
  }
  ScopedEnv on("TESSAR_PROFILE", "1");
  reset_phase_timing_file();
  EXPECT_EQ(read_file("tessar.prof"), "");
  const char* labels[] = {"Preprocessing time:  real = ", "Factorization time:  real = ", "Solution time:  real = "};
  for (const char* label : labels) append_phase_timing(label, take_phase_readings());
  const auto lines = lines_of(read_file("tessar.prof"));
  ASSERT_EQ(lines.size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) {
    double real = -1, cpu = -1;
    char rest = 0;
    EXPECT_EQ(std::sscanf(lines[i].c_str() + std::string(labels[i]).size(), "%lf  CPU = %lf%c", &real, &cpu, &rest), 2)
        << lines[i];
    EXPECT_EQ(lines[i].rfind(labels[i], 0), 0u) << lines[i];
    EXPECT_GE(real, 0.0);
    EXPECT_LT(real, 1.0);
  }
}

// A second of busy work shows up in every CPU reading in its own unit.
TEST(CpuReadings, UnitsAgree) {
  const std::int64_t ms0 = process_cpu_milliseconds(), us0 = process_cpu_microseconds(), s0 = process_cpu_seconds();
  volatile double sink = 0;
  while (process_cpu_milliseconds() - ms0 < 1100) sink = sink + 1.0;
  const std::int64_t ms1 = process_cpu_milliseconds(), us1 = process_cpu_microseconds(), s1 = process_cpu_seconds();
  EXPECT_NEAR(static_cast<double>(us1 - us0) / 1000.0, static_cast<double>(ms1 - ms0), 5.0);
  EXPECT_GE(s1 - s0, 1);
  EXPECT_LE(s1 - s0, 2);
}

}  // namespace
