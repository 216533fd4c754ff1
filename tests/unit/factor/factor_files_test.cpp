#include "factor/factor_files.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "core/preferences.h"
#include "tests/support/test_support.h"

namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<char>;

// Entries [first, first + count) of a test factor, width bytes each: the first
// four bytes hold the entry's number, the rest a pattern derived from it, so a
// misplaced entry shows which one it is.
Bytes entries(std::int64_t first, std::int64_t count, int width) {
  Bytes bytes(static_cast<std::size_t>(count * width));
  for (std::int64_t k = 0; k < count; ++k) {
    const auto value = static_cast<std::uint32_t>(first + k);
    std::memcpy(bytes.data() + k * width, &value, sizeof value);
    for (int j = 4; j < width; ++j) bytes[k * width + j] = static_cast<char>((first + k) * 31 + j);
  }
  return bytes;
}

void write_index(const fs::path& path, const std::vector<std::int64_t>& offsets) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(offsets.data()), offsets.size() * 8);
}

// Three supernodes over six pivots: s0 with w = 2, r = 3; s1 with w = 3,
// r = 1; the root s2 with w = 1, r = 0. Blocks (diagonal + off-diagonal):
// s0 3 + 6 at 0, s1 6 + 3 at 9, s2 1 + 0 at 18; 19 entries in all.
void three_supernodes(tessar& solver) {
  solver.NSuper = 3;
  solver.SNode.allocate(solver, 4, "test");
  solver.IU.allocate(solver, 7, "test");
  for (int i = 0; i < 4; ++i) solver.SNode[i] = std::array{0, 2, 5, 6}[i];
  for (int i = 0; i < 7; ++i) solver.IU[i] = std::array{0, 5, 9, 13, 16, 18, 19}[i];  // counts 5, 4 | 4, 3, 2 | 1
  solver.NzU = 19;
}
constexpr std::int64_t block_at[] = {0, 9, 18, 19};

// A factor file of three_supernodes in an order the threads of a -mt run could
// produce (s1 off-diagonal, the root, s0 whole, s1 diagonal), entries numbered
// by their sequential position plus base, with its two index files. The
// root's off-diagonal offset is bogus: it must never be read.
void write_indexed_factor(const std::string& name, int width, std::int64_t base) {
  std::string all;
  for (auto [first, count] : {std::pair{15, 3}, {18, 1}, {0, 9}, {9, 6}}) {
    const Bytes part = entries(base + first, count, width);
    all.append(part.begin(), part.end());
  }
  write_file(name, all);
  write_index(factor_index_file_name(name, FactorIndexPart::diagonal), {4, 13, 3});
  write_index(factor_index_file_name(name, FactorIndexPart::off_diagonal), {7, 0, 99});
}

// The unsymmetric kinds, which have both factor files, at every entry width.
struct EntryWidth {
  int kind;
  bool double_precision;
  int bytes;
};
constexpr EntryWidth all_widths[] = {{1, false, 4}, {1, true, 8}, {3, false, 8}, {3, true, 16}};

// A solver of one kind and precision with in-memory U and L areas of the test.
class FactorFilesTest : public ::testing::Test {
 protected:
  ScopedWorkDir dir;
  std::unique_ptr<tessar> solver;
  Bytes u_area, l_area;

  void use_solver(int kind, bool double_precision = false, std::int64_t capacity = 4096) {
    solver = make_test_solver(kind);
    solver->double_precision = double_precision;
    solver->set_elem_size();
    u_area.assign(static_cast<std::size_t>(capacity * solver->elem_size), 0);
    l_area.assign(u_area.size(), 0);
    *(double_precision ? &solver->u_factor_double : &solver->u_factor_single) = u_area.data();
    *(double_precision ? &solver->l_factor_double : &solver->l_factor_single) = l_area.data();
    solver->u_factor_capacity = solver->l_factor_capacity = capacity;
  }

  // The first count entries of the in-memory area of a factor.
  Bytes area_prefix(char factor, std::int64_t count) const {
    const Bytes& area = factor == 'U' ? u_area : l_area;
    return Bytes(area.begin(), area.begin() + count * solver->elem_size);
  }

  // Each action must end the run with its message and code.
  static void expect_failures(std::initializer_list<std::pair<std::function<void()>, Failure>> cases) {
    int c = 0;
    for (const auto& [action, failure] : cases) EXPECT_EQ(failure_of(action), failure) << "case " << c++;
  }
};

TEST_F(FactorFilesTest, PiecewiseWritesReadBackInAnyOrder) {
  const auto seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  for (const EntryWidth& w : all_widths) {
    SCOPED_TRACE("width " + std::to_string(w.bytes));
    use_solver(w.kind, w.double_precision);
    ASSERT_EQ(solver->elem_size, w.bytes);
    const std::int64_t total = 3000, base[] = {0, 10000}, pieces[] = {0, 1, 400, total};
    const char factors[] = {'U', 'L'};
    OpenUFile(*solver, "wb");
    OpenLFile(*solver, "wb");
    for (int f = 0; f < 2; ++f)
      for (int p = 0; p < 3; ++p) {
        const Bytes piece = entries(base[f] + pieces[p], pieces[p + 1] - pieces[p], w.bytes);
        WriteFactorEntries(*solver, piece.data(), w.bytes, pieces[p], pieces[p + 1] - pieces[p], factors[f]);
      }
    CloseFactorFile(*solver, 'U');
    CloseFactorFile(*solver, 'L');
    for (int f = 0; f < 2; ++f) {
      const Bytes all = entries(base[f], total, w.bytes);
      ASSERT_EQ(read_file(std::string(1, factors[f])), std::string(all.begin(), all.end())) << "raw entries only";
    }
    // Reads alternate between the factors; every other pair continues where
    // the previous read of its factor ended, the others jump.
    for (int trial = 0; trial < 80; ++trial) {
      const int f = trial % 2;
      const std::int64_t& position = f == 0 ? solver->u_file_position : solver->l_file_position;
      std::int64_t offset = position;
      if (trial % 4 >= 2 || offset >= total) offset = std::uniform_int_distribution<std::int64_t>(0, total - 1)(rng);
      const std::int64_t count =
          std::uniform_int_distribution<std::int64_t>(0, std::min<std::int64_t>(total - offset, 400))(rng);
      ASSERT_EQ(ReadFactorRange(*solver, offset, count, factors[f]), count);
      ASSERT_EQ(area_prefix(factors[f], count), entries(base[f] + offset, count, w.bytes))
          << factors[f] << " offset " << offset << " count " << count;
      ASSERT_EQ(position, offset + count);
    }
  }
}

TEST_F(FactorFilesTest, SupernodesLoadInTheSequentialBlockLayout) {
  for (const EntryWidth& w : all_widths) {
    SCOPED_TRACE("width " + std::to_string(w.bytes));
    use_solver(w.kind, w.double_precision);
    three_supernodes(*solver);
    write_indexed_factor("U", w.bytes, 0);
    write_indexed_factor("L", w.bytes, 500);
    LoadSupernodeFactors(*solver, 2, 1, 'L');
    EXPECT_EQ(area_prefix('L', 1), Bytes(w.bytes, 0)) << "an empty range reads nothing";
    for (char factor : {'L', 'U'})
      for (std::int32_t first = 0; first < 3; ++first)
        for (std::int32_t last = first; last < 3; ++last) {
          LoadSupernodeFactors(*solver, first, last, factor);
          const std::int64_t count = block_at[last + 1] - block_at[first];
          EXPECT_EQ(area_prefix(factor, count), entries((factor == 'L' ? 500 : 0) + block_at[first], count, w.bytes))
              << factor << " supernodes " << first << " to " << last;
        }
    EXPECT_EQ(solver->u_file_position, 4) << "the root reads its diagonal block, not the bogus off-diagonal one";
    // Both index pairs were loaded on first use and stay: the files are no longer needed.
    for (const char* name : {"U_diag_index", "U_offdiag_index", "L_diag_index", "L_offdiag_index"}) fs::remove(name);
    LoadSupernodeFactors(*solver, 1, 2, 'U');
    EXPECT_EQ(area_prefix('U', 10), entries(9, 10, w.bytes));
  }
}

// A numbered run reads and writes its own files in the working directory, not
// the default-named files of another run there.
TEST_F(FactorFilesTest, FilesAreNumberedAndLieInTheWorkingDirectory) {
  use_solver(1);
  std::istringstream prefs("DIRECT_SOLVER FileIndex 2");
  apply_preferences(*solver, prefs, "prefs.ini");
  fs::create_directory("work");
  solver->work_dir = "work";
  three_supernodes(*solver);
  write_indexed_factor("work/U_2", 4, 0);
  write_indexed_factor("work/L_2", 4, 100);
  write_indexed_factor("work/U", 4, 7000);
  LoadSupernodeFactors(*solver, 0, 2, 'U');
  EXPECT_EQ(area_prefix('U', 19), entries(0, 19, 4));
  OpenLFile(*solver, "wb");
  WriteFactorEntries(*solver, entries(0, 3, 4).data(), 4, 0, 3, 'L');
  CloseFactorFile(*solver, 'L');
  EXPECT_EQ(fs::file_size("work/L_2"), 12u);
  EXPECT_FALSE(fs::exists("work/L"));
}

TEST_F(FactorFilesTest, FailuresCarryTheirMessageAndCode) {
  const auto missing = [](const char* path) {
    return Failure(std::string("Can't open temp file ") + path + " for reading: No such file or directory", 5);
  };
  const Failure overflow{"Factor entries exceed the in-memory factor area", 1};
  const auto set_up = [&](int kind, std::int64_t capacity, bool with_files) {
    use_solver(kind, false, capacity);
    three_supernodes(*solver);
    if (with_files) write_indexed_factor("U", 4, 0), write_indexed_factor("L", 4, 0);
  };
  set_up(1, 8, false);
  expect_failures({{[&] { OpenUFile(*solver, "rb"); }, missing("./U")},
                   {[&] { ReadFactorRange(*solver, 0, 1, 'L'); }, missing("./L")},
                   {[&] { LoadSupernodeFactors(*solver, 0, 0, 'U'); }, missing("./U_diag_index")}});

  set_up(1, 8, true);
  const Bytes one = entries(0, 1, 4);
  expect_failures({
      {[&] { ReadFactorRange(*solver, 15, 5, 'U'); },
       {"Error reading partial U from disk: ./U holds fewer than 20 entries", 4}},
      {[&] { ReadFactorRange(*solver, 20, 1, 'L'); },
       {"Error reading partial L from disk: ./L holds fewer than 21 entries", 4}},
      {[&] { ReadFactorRange(*solver, 0, 9, 'U'); }, overflow},
      {[&] { LoadSupernodeFactors(*solver, 0, 1, 'U'); }, overflow},  // 18 entries in 8
      {[&] { OpenUFile(*solver, "rb"), WriteFactorEntries(*solver, one.data(), 4, 0, 1, 'U'); },
       {"Error writing partial U to disk: ./U: Bad file descriptor", 200}},
  });

  set_up(1, 4096, true);
  write_index(factor_index_file_name("L", FactorIndexPart::off_diagonal), {0, 1});
  expect_failures({{[&] { LoadSupernodeFactors(*solver, 0, 0, 'U'); }, {"Error reading index of L file", 4}}});

  // A symmetric kind reads no L index and has no L area.
  set_up(0, 4096, true);
  for (const char* name : {"L_diag_index", "L_offdiag_index"}) fs::remove(name);
  fs::resize_file("U", 10 * 4);  // loses s0's off-diagonal block
  expect_failures({{[&] { LoadSupernodeFactors(*solver, 0, 0, 'U'); },
                    {"Error reading partial U from disk: ./U holds fewer than 13 entries", 4}},
                   {[&] { ReadFactorRange(*solver, 0, 1, 'L'); }, overflow}});
}

}  // namespace
