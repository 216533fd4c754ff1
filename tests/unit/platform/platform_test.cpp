#include <gtest/gtest.h>

#include <thread>

#include "platform/core_library.h"
#include "platform/error.h"
#include "platform/guarded_section.h"
#include "platform/process.h"
#include "platform/threads.h"
#include "tests/support/test_support.h"

namespace {

TEST(Fatal, ThrowModeCarriesMessageAndCode) {
  LogCapture log;
  tsr_error error;
  error.set_throw_mode(true);
  try {
    error.fatal("Opening A matrix", 5);
    FAIL() << "fatal returned";
  } catch (const TessarException& e) {
    EXPECT_EQ(e.code(), 5);
    EXPECT_STREQ(e.message().c_str(), "Opening A matrix");
    TessarException copy = e;
    EXPECT_EQ(copy.code(), 5);
  }
  EXPECT_TRUE(log.contains("Error in tessar64: Opening A matrix\n, code 5\n"));
}

TEST(Fatal, NullMessageIsReportedAsSolverFailed) {
  LogCapture log;
  tsr_error error;
  error.set_throw_mode(true);
  EXPECT_THROW(error.fatal(static_cast<const char*>(nullptr), 1), TessarException);
  EXPECT_TRUE(log.contains("Error in tessar64: solver failed\n, code 1\n"));
}

TEST(FatalDeathTest, EndsTheProcessWithTheCodeAndTellsThePerson) {
  EXPECT_EXIT(tsr_error().fatal("Not enough memory", 100), ::testing::ExitedWithCode(100),
              "Error in tessar64: Not enough memory\n, code 100");
  EXPECT_EXIT(mtverify_failed(), ::testing::ExitedWithCode(1), "MTVERIFY failed");
}

TEST(Log, LevelFilterAndAlwaysLines) {
  ScopedWorkDir dir;
  configure_log("run.log", 1);
  OrlDebug(2, L"hidden %d\n", 2);
  OrlDebug(1, L"warning %s %lld\n", "w", 7LL);
  OrlDebug(L"always %e\n", 1.5);
  OrlDebug(L"tessar", 1, L"with category\n");
  flush_log();
  EXPECT_EQ(my_orl_debug_data.level, 1);
  EXPECT_EQ(read_file("run.log"), "warning w 7\nalways 1.500000e+00\n[tessar] with category\n");
  configure_log("-", 1);
}

TEST(Log, NonAsciiArgumentsSurvive) {
  LogCapture log;
  OrlDebug(1, L"Working directory changed to %s\n", "/tmp/r\xc3\xa9sultats");
  EXPECT_TRUE(log.contains("/tmp/r\xc3\xa9sultats"));
}

TEST(GuardedSection, ReentryFromTheOwningThreadIsReported) {
  GuardedSection section;
  section.error().set_throw_mode(true);
  section.enter();
  try {
    section.enter();
    FAIL() << "re-entry went unnoticed";
  } catch (const TessarException& e) {
    EXPECT_STREQ(e.message().c_str(), "Error in a CriticalSection object");
    EXPECT_EQ(e.code(), 1);
  }
  section.leave();
  section.leave();
}

TEST(GuardedSection, SerialisesThreads) {
  GuardedSection section;
  long counter = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 10000; ++i) {
        std::scoped_lock lock(section);
        ++counter;
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(counter, 40000);
}

TEST(Threads, TasksReportThroughASemaphore) {
  Semaphore done(0);
  std::atomic<int> sum{0};
  std::vector<std::thread> tasks;
  for (int i = 1; i <= 3; ++i)
    tasks.push_back(start_thread([&, i] {
      sum += i;
      done.release();
    }));
  for (int i = 0; i < 3; ++i) done.acquire();
  EXPECT_EQ(sum, 6);
  for (auto& t : tasks) t.join();
}

TEST(Process, DecimalValueReadsLeadingDigits) {
  EXPECT_EQ(decimal_value("  42abc"), 42);
  EXPECT_EQ(decimal_value("-7"), -7);
  EXPECT_EQ(decimal_value("+3"), 3);
  EXPECT_EQ(decimal_value("abc"), 0);
  EXPECT_EQ(decimal_value(""), 0);
  EXPECT_EQ(decimal_value("99999999999999999999999"), INT64_MAX);
}

TEST(Process, MachineFactsAreSane) {
  EXPECT_GT(total_physical_memory_bytes(), 0);
  EXPECT_GE(processor_count(), 1);
  EXPECT_TRUE(process_cpu_time_100ns().has_value());
  EXPECT_TRUE(current_directory().has_value());
}

TEST(Paths, MakeItDirectoryAndFreeSpace) {
  ScopedWorkDir dir;
  LongFileName path(AString("a/b/c"));
  EXPECT_TRUE(path.MakeItDirectory());
  EXPECT_TRUE(std::filesystem::is_directory("a/b/c"));
  EXPECT_GT(LFN_GetFreeSpaceLarge(path), 0.0);
  EXPECT_EQ(LFN_GetFreeSpaceLarge(LongFileName(AString("/no/such/volume/dir"))), 0.0);
}

}  // namespace
