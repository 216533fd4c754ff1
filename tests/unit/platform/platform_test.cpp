#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include <unistd.h>

#include "platform/child_task.h"
#include "platform/core_library.h"
#include "platform/error.h"
#include "platform/files.h"
#include "platform/guarded_section.h"
#include "platform/process.h"
#include "platform/threads.h"
#include "tests/support/test_support.h"

namespace {

// In throw mode a fatal error carries its message and code; a missing message
// reads "solver failed" (also in the line the person sees).
TEST(Fatal, ThrowModeCarriesMessageAndCode) {
  LogCapture log;
  tsr_error error;
  error.set_throw_mode(true);
  for (auto [text, code, shown] : {std::tuple<const char*, int, std::string>{"Opening A matrix", 5, "Opening A matrix"},
                                   {nullptr, 1, "solver failed"}}) {
    EXPECT_EQ(failure_of([&] { error.fatal(text, code); }), Failure(shown, code));
    EXPECT_TRUE(log.contains("Error in tessar64: " + shown + "\n, code " + std::to_string(code) + "\n"));
  }
}

TEST(FatalDeathTest, EndsTheProcessWithTheCodeAndTellsThePerson) {
  EXPECT_EXIT(tsr_error().fatal("Not enough memory", 100), ::testing::ExitedWithCode(100),
              "Error in tessar64: Not enough memory\n, code 100");
  EXPECT_EXIT(mtverify_failed(), ::testing::ExitedWithCode(1), "MTVERIFY failed");
}

// Lines above the level are dropped, level-less lines always kept, UTF-8 arguments survive.
TEST(Log, LevelFilterAndAlwaysLines) {
  ScopedWorkDir dir;
  configure_log("run.log", 1);
  OrlDebug(2, L"hidden %d\n", 2);
  OrlDebug(1, L"warning %s %lld\n", "w", 7LL);
  OrlDebug(L"always %e\n", 1.5);
  OrlDebug(L"tessar", 1, L"with category\n");
  OrlDebug(1, L"dir %s\n", "/tmp/r\xc3\xa9sultats");
  flush_log();
  EXPECT_EQ(read_file("run.log"),
            "warning w 7\nalways 1.500000e+00\n[tessar] with category\ndir /tmp/r\xc3\xa9sultats\n");
  configure_log("-", 1);
}

// Re-entry from the owning thread is an error, not a silent recursive lock.
TEST(GuardedSection, ReentryFromTheOwningThreadIsReported) {
  GuardedSection section;
  section.error().set_throw_mode(true);
  section.enter();
  EXPECT_EQ(failure_of([&] { section.enter(); }), Failure("Error in a CriticalSection object", 1));
  section.leave();
  section.leave();
}

TEST(Process, DecimalValueReadsLeadingDigits) {
  const std::pair<const char*, std::int64_t> cases[] = {
      {"  42abc", 42}, {"-7", -7}, {"+3", 3}, {"abc", 0}, {"", 0}, {"99999999999999999999999", INT64_MAX}};
  for (const auto& [text, value] : cases) EXPECT_EQ(decimal_value(text), value) << text;
}

// A child's values come back whole; a child that fails or returns too few
// is replaced by the work run in the caller.
TEST(ChildTask, ReturnsTheChildsValuesOrRunsTheWorkInTheCaller) {
  const pid_t parent = ::getpid();
  ChildTask child([parent] { return std::vector<std::int32_t>(70000, ::getpid() == parent ? 1 : 2); }, 70000);
  EXPECT_EQ(child.finish(), std::vector<std::int32_t>(70000, 2)) << "larger than a pipe's buffer, from the child";
  ChildTask failing(
      [parent] {
        if (::getpid() != parent) throw 1;
        return std::vector<std::int32_t>{7};
      },
      1);
  EXPECT_EQ(failing.finish(), std::vector<std::int32_t>{7});
  ChildTask short_result([] { return std::vector<std::int32_t>{1}; }, 2);
  EXPECT_EQ(short_result.finish(), std::vector<std::int32_t>{1}) << "the caller's own result, as it is";
}

}  // namespace

// A mapped file shows the file's bytes; what is written into the mapping
// stays in the process (a factor whose couplings are moved out while it is
// solved must be left as it was on disk); a file shorter than asked is not
// mapped.
TEST(MappedFile, ReadsTheFileAndKeepsWritesPrivate) {
  ScopedWorkDir dir;
  write_file("U", "abcdefgh");
  MappedFile mapped;
  EXPECT_FALSE(mapped.map("U", 9));
  EXPECT_FALSE(mapped.map("missing", 1));
  ASSERT_TRUE(mapped.map("U", 8));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(mapped.data()), 8), "abcdefgh");
  mapped.data()[0] = std::byte{'z'};
  mapped.unmap();
  EXPECT_EQ(mapped.data(), nullptr);
  EXPECT_EQ(read_file("U"), "abcdefgh");
}
