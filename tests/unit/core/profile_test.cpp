// The profile table line (read by the parent program), the solver label and
// the phase timing file.
#include "core/profile.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

#include "tests/support/test_support.h"

namespace {

// Times as hours:minutes:seconds (hours widen past 99), disk use rounded to the
// nearest unit and moving up past 1000.
TEST(ProfileLine, FieldsAndFixedColumns) {
  for (auto [bytes, text] : {std::pair<std::int64_t, const char*>{1535, "1KB"}, {1536, "2KB"}, {1000 * 1024, "1000KB"},
                             {1001 * 1024, "1MB"}, {1001LL << 20, "1GB"}, {5000LL << 30, "5000GB"}}) {
    const ScaledSize size = scaled_disk_use(bytes);
    EXPECT_EQ(std::to_string(size.value) + size.unit, text) << bytes;
  }
  const ProfileRecord record{
      .dimension = 100, .peak_memory_kb = 1234, .label = "Solver MRS", .cpu_total = 59, .wall_elapsed = 363'725};
  EXPECT_EQ(profile_line(record, 3 * 1024 * 1024, true),
            "| Solver MRS    | 101:02:05 | 00:00:59 |    1234K |     100 matrix,    3MB disk, offcore |\n");
}

// Each run appends its line; the factor files count only when offcore or kept.
// An unopenable file is skipped and quiet runs write nothing.
TEST(EndReport, AppendsOneLinePerRun) {
  ScopedWorkDir dir;
  LogCapture log{2};
  auto solver = make_test_solver(0);
  for (auto [name, size] : {std::pair<const char*, std::size_t>{"A", 1000}, {"b", 1000}, {"x", 48}, {"U", 2048},
                            {"L", 1024}, {"index", 1024}})
    write_file(name, std::string(size, 'f'));
  auto run = [&](std::int32_t n) {
    auto record = create_profile(*solver);
    end_report(*solver, record, n);
  };
  write_file("profile", "earlier table\n");
  solver->offcore = 0;
  add_memory(*solver, 77);
  run(7);  // "x", "b" and "A" only: 2,048 bytes
  solver->offcore = 1;
  run(5);
  solver->offcore = 0;
  solver->save_factor = true;
  run(5);
  const std::string head = "| Solver MRS    | 00:00:00 | 00:00:00 |      77K | ";
  const std::string table = "earlier table\n" + head + "      7 matrix,    2KB disk |\n" + head +
                            "      5 matrix,    6KB disk, offcore |\n" + head + "      5 matrix,    6KB disk |\n";
  EXPECT_EQ(read_file("profile"), table);
  solver->profile_name = "missing_dir/profile";
  run(5);
  solver->profile_name = "profile";
  solver->quiet = true;
  run(5);
  EXPECT_EQ(read_file("profile"), table);
}

}  // namespace
