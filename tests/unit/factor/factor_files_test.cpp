#include "factor/factor_files.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "driver/preferences.h"
#include "driver/switches.h"
#include "tests/support/test_support.h"

namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<char>;
using Failure = std::pair<std::string, int>;

// Entries [first, first + count) of a test factor, width bytes each: the first
// four bytes hold the entry's number, the rest a pattern derived from it, so a
// misplaced entry shows which one it is.
Bytes entries(std::int64_t first, std::int64_t count, int width) {
  Bytes bytes(static_cast<std::size_t>(count * width));
  for (std::int64_t k = 0; k < count; ++k) {
    char* entry = bytes.data() + k * width;
    const auto value = static_cast<std::uint32_t>(first + k);
    std::memcpy(entry, &value, sizeof value);
    for (int j = 4; j < width; ++j) entry[j] = static_cast<char>((first + k) * 31 + j);
  }
  return bytes;
}

// Concatenation of entry runs (first, count).
Bytes runs(const std::vector<std::pair<std::int64_t, std::int64_t>>& list, int width) {
  Bytes all;
  for (auto [first, count] : list) {
    Bytes part = entries(first, count, width);
    all.insert(all.end(), part.begin(), part.end());
  }
  return all;
}

void write_bytes(const fs::path& path, const Bytes& bytes) {
  write_file(path, std::string(bytes.begin(), bytes.end()));
}

void write_index(const fs::path& path, const std::vector<std::int64_t>& offsets) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(offsets.data()), static_cast<std::streamsize>(offsets.size() * 8));
}

// Message and code of the fatal error an action ends with.
Failure failure_of(const std::function<void()>& action) {
  try {
    action();
  } catch (const TessarException& e) {
    return {e.message().str(), e.code()};
  }
  return {"no failure", 0};
}

// Three supernodes over six pivots: s0 with w = 2, r = 3; s1 with w = 3,
// r = 1; the root s2 with w = 1, r = 0. Blocks (diagonal + off-diagonal):
// s0 3 + 6 at 0, s1 6 + 3 at 9, s2 1 + 0 at 18; 19 entries in all.
void three_supernodes(tessar& solver) {
  solver.NSuper = 3;
  solver.SNode.allocate(solver, 4, "test");
  const std::int32_t snode[] = {0, 2, 5, 6};
  std::copy(std::begin(snode), std::end(snode), solver.SNode.begin());
  solver.IU.allocate(solver, 7, "test");
  const std::int64_t iu[] = {0, 5, 9, 13, 16, 18, 19};  // column counts 5, 4 | 4, 3, 2 | 1
  std::copy(std::begin(iu), std::end(iu), solver.IU.begin());
  solver.NzU = 19;
}
constexpr std::int64_t block_at[] = {0, 9, 18, 19};

// A factor file of three_supernodes in an order the threads of a -mt run could
// produce (s1 off-diagonal, the root, s0 whole, s1 diagonal), entries numbered
// by their sequential position plus base, with its two index files. The
// root's off-diagonal offset is bogus: it must never be read.
void write_indexed_factor(const std::string& name, int width, std::int64_t base) {
  write_bytes(name, runs({{base + 15, 3}, {base + 18, 1}, {base + 0, 9}, {base + 9, 6}}, width));
  write_index(factor_index_file_name(name, FactorIndexPart::diagonal), {4, 13, 3});
  write_index(factor_index_file_name(name, FactorIndexPart::off_diagonal), {7, 0, 99});
}

struct EntryWidth {
  int kind;
  bool double_precision;
  int bytes;
};

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

  int width() const { return solver->elem_size; }

  // The first count entries of the in-memory area of a factor.
  Bytes area_prefix(char factor, std::int64_t count) const {
    const Bytes& area = factor == 'U' ? u_area : l_area;
    return Bytes(area.begin(), area.begin() + count * width());
  }

  void write_factor(char factor, const Bytes& bytes) {
    WriteFactorEntries(*solver, bytes.data(), width(), 0, static_cast<std::int64_t>(bytes.size()) / width(), factor);
  }
};

// Writing and reading at every entry width.

class FactorWidthTest : public FactorFilesTest, public ::testing::WithParamInterface<EntryWidth> {
 protected:
  void SetUp() override { use_solver(GetParam().kind, GetParam().double_precision); }
};

INSTANTIATE_TEST_SUITE_P(AllWidths, FactorWidthTest,
                         ::testing::Values(EntryWidth{0, false, 4}, EntryWidth{0, true, 8}, EntryWidth{2, false, 8},
                                           EntryWidth{4, true, 16}),
                         [](const ::testing::TestParamInfo<EntryWidth>& info) {
                           return "kind" + std::to_string(info.param.kind) +
                                  (info.param.double_precision ? "_double" : "_single");
                         });

TEST_P(FactorWidthTest, PiecewiseWritesReadBackInAnyOrder) {
  ASSERT_EQ(width(), GetParam().bytes);
  const std::int64_t total = 3000;
  const Bytes all = entries(0, total, width());
  OpenUFile(*solver, "wb");
  const std::int64_t pieces[] = {0, 1, 400, total};
  for (int p = 0; p < 3; ++p) {
    Bytes piece(all.begin() + pieces[p] * width(), all.begin() + pieces[p + 1] * width());
    WriteFactorEntries(*solver, piece.data(), width(), pieces[p], pieces[p + 1] - pieces[p], 'U');
  }
  CloseFactorFile(*solver, 'U');
  ASSERT_EQ(read_file("U"), std::string(all.begin(), all.end())) << "raw entries, no header or padding";

  OpenUFile(*solver, "rb");
  const auto seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  for (int trial = 0; trial < 40; ++trial) {
    // Half the reads continue where the previous one ended, half jump.
    std::int64_t offset = solver->u_file_position;
    if (trial % 2 == 1 || offset >= total) offset = std::uniform_int_distribution<std::int64_t>(0, total - 1)(rng);
    const std::int64_t count =
        std::uniform_int_distribution<std::int64_t>(0, std::min<std::int64_t>(total - offset, 400))(rng);
    ASSERT_EQ(ReadFactorRange(*solver, offset, count, 'U'), count);
    ASSERT_EQ(area_prefix('U', count), entries(offset, count, width())) << "offset " << offset << " count " << count;
    ASSERT_EQ(solver->u_file_position, offset + count);
  }
}

TEST_P(FactorWidthTest, UnsymmetricKindsKeepTheLFactorApart) {
  use_solver(GetParam().kind == 0 ? 1 : 3, GetParam().double_precision);
  OpenUFile(*solver, "wb");
  OpenLFile(*solver, "wb");
  write_factor('U', entries(0, 50, width()));
  write_factor('L', entries(1000, 40, width()));
  CloseFactorFile(*solver, 'U');
  CloseFactorFile(*solver, 'L');
  EXPECT_EQ(fs::file_size("L"), static_cast<std::uintmax_t>(40 * width()));
  ReadFactorRange(*solver, 10, 30, 'L');
  ReadFactorRange(*solver, 5, 20, 'U');
  EXPECT_EQ(area_prefix('L', 30), entries(1010, 30, width()));
  EXPECT_EQ(area_prefix('U', 20), entries(5, 20, width()));
  EXPECT_EQ(solver->l_file_position, 40);
  EXPECT_EQ(solver->u_file_position, 25);
}

TEST_P(FactorWidthTest, SupernodesLoadInTheSequentialBlockLayout) {
  three_supernodes(*solver);
  write_indexed_factor("U", width(), 0);
  LoadSupernodeFactors(*solver, 2, 1, 'U');
  EXPECT_EQ(area_prefix('U', 1), Bytes(width(), 0)) << "an empty range reads nothing";
  EXPECT_TRUE(solver->UDiagIndex) << "but loads the index";
  EXPECT_FALSE(solver->LDiagIndex) << "symmetric kinds have no L index";
  for (std::int32_t first = 0; first < 3; ++first)
    for (std::int32_t last = first; last < 3; ++last) {
      LoadSupernodeFactors(*solver, first, last, 'U');
      const std::int64_t count = block_at[last + 1] - block_at[first];
      EXPECT_EQ(area_prefix('U', count), entries(block_at[first], count, width()))
          << "supernodes " << first << " to " << last;
    }
  EXPECT_EQ(solver->u_file_position, 4) << "the root reads its diagonal block, not the bogus off-diagonal one";
}

// Index files of the indexed block layout.

TEST_F(FactorFilesTest, UnsymmetricKindsLoadBothIndexPairsOnFirstUse) {
  LogCapture log(2);
  use_solver(3, true);
  three_supernodes(*solver);
  write_indexed_factor("U", 16, 0);
  write_indexed_factor("L", 16, 500);
  LoadSupernodeFactors(*solver, 0, 2, 'L');
  EXPECT_EQ(area_prefix('L', 19), entries(500, 19, 16));
  EXPECT_TRUE(log.contains("index for U file is loaded\n"));
  EXPECT_TRUE(log.contains("index for L file is loaded\n"));
  ASSERT_TRUE(solver->UDiagIndex && solver->UOffdiagIndex && solver->LDiagIndex && solver->LOffdiagIndex);
  EXPECT_EQ(solver->LDiagIndex[1], 13);
  EXPECT_EQ(solver->UOffdiagIndex[0], 7);

  // Once loaded the arrays stay: the files are no longer needed.
  fs::remove(factor_index_file_name("U", FactorIndexPart::diagonal));
  fs::remove(factor_index_file_name("L", FactorIndexPart::off_diagonal));
  LoadSupernodeFactors(*solver, 1, 2, 'U');
  EXPECT_EQ(area_prefix('U', 10), entries(9, 10, 16));
}

// Naming.

TEST_F(FactorFilesTest, FilesAreNumberedAndLieInTheWorkingDirectory) {
  use_solver(1);
  std::istringstream prefs("DIRECT_SOLVER FileIndex 2");
  apply_preferences(*solver, prefs, "prefs.ini");
  EXPECT_EQ(factor_index_file_name(solver->u_file_name, FactorIndexPart::diagonal), "U_2_diag_index");
  EXPECT_EQ(factor_index_file_name(solver->l_file_name, FactorIndexPart::off_diagonal), "L_2_offdiag_index");
  fs::create_directory("work");
  solver->work_dir = "work";
  OpenUFile(*solver, "wb");
  OpenLFile(*solver, "wb");
  write_factor('U', entries(0, 3, 4));
  CloseFactorFile(*solver, 'U');
  CloseFactorFile(*solver, 'L');
  EXPECT_EQ(fs::file_size("work/U_2"), 12u);
  EXPECT_TRUE(fs::exists("work/L_2"));
  EXPECT_FALSE(fs::exists("work/U"));

  // The default-named files of another run in the same directory are not read.
  three_supernodes(*solver);
  write_indexed_factor("work/U_2", 4, 0);
  write_indexed_factor("work/L_2", 4, 100);
  write_indexed_factor("work/U", 4, 7000);
  LoadSupernodeFactors(*solver, 0, 2, 'U');
  EXPECT_EQ(area_prefix('U', 19), entries(0, 19, 4));
}

// Failures: message and code.

TEST_F(FactorFilesTest, TransferFailuresCarryTheirMessageAndCode) {
  LogCapture log(2);
  use_solver(1);
  const Failure missing{"Can't open temp file", 5}, unknown{"Unknown factor is specified", 1};
  EXPECT_EQ(failure_of([&] { OpenUFile(*solver, "rb"); }), missing);
  EXPECT_TRUE(log.contains("Could not open ./U file\n"));
  EXPECT_EQ(failure_of([&] { ReadFactorRange(*solver, 0, 1, 'L'); }), missing);

  three_supernodes(*solver);
  write_indexed_factor("U", 4, 0);
  write_indexed_factor("L", 4, 0);
  const Bytes data = entries(0, 1, 4);
  const std::pair<std::function<void()>, Failure> cases[] = {
      {[&] { ReadFactorRange(*solver, 15, 10, 'U'); }, {"Error reading partial U from disk", 4}},
      {[&] { ReadFactorRange(*solver, 20, 1, 'L'); }, {"Error reading partial L from disk", 4}},
      {[&] { SeekFactorFile(*solver, 'U', -1); }, {"error fp to U", 4}},
      {[&] { ReadFactorRange(*solver, -3, 1, 'L'); }, {"error fp to L", 4}},
      {[&] { ReadFactorRange(*solver, 0, 1, 'X'); }, unknown},
      {[&] { WriteFactorEntries(*solver, data.data(), 4, 0, 1, 'u'); }, unknown},
      {[&] { SeekFactorFile(*solver, 'D', 0); }, unknown},
      {[&] { LoadSupernodeFactors(*solver, 0, 0, 'Z'); }, unknown},
  };
  for (std::size_t c = 0; c < std::size(cases); ++c)
    EXPECT_EQ(failure_of(cases[c].first), cases[c].second) << "case " << c;
}

TEST_F(FactorFilesTest, IndexedLoadFailuresCarryTheirMessageAndCode) {
  use_solver(1);
  EXPECT_EQ(failure_of([&] { LoadSupernodeFactors(*solver, 0, 0, 'U'); }), Failure("Can't open temp file", 5))
      << "no index files";

  use_solver(1);
  three_supernodes(*solver);
  write_indexed_factor("U", 4, 0);
  write_indexed_factor("L", 4, 0);
  write_index(factor_index_file_name("L", FactorIndexPart::off_diagonal), {0, 1});
  EXPECT_EQ(failure_of([&] { LoadSupernodeFactors(*solver, 0, 0, 'U'); }), Failure("Error reading index of L file", 4));

  use_solver(0);
  three_supernodes(*solver);
  write_indexed_factor("U", 4, 0);
  fs::resize_file("U", 10 * 4);  // loses s0's off-diagonal block
  EXPECT_EQ(failure_of([&] { LoadSupernodeFactors(*solver, 0, 0, 'U'); }),
            Failure("Error reading partial U from disk", 4));
}

TEST_F(FactorFilesTest, AShortWriteFailsWithCode200) {
  LogCapture log(1);
  use_solver(3);
  write_bytes("U", entries(0, 1, 8));
  write_bytes("L", entries(0, 1, 8));
  OpenLFile(*solver, "rb");  // a stream that refuses writes
  const Bytes data = entries(0, 10, 8);
  EXPECT_EQ(failure_of([&] { WriteFactorEntries(*solver, data.data(), 8, 0, 10, 'L'); }),
            Failure("Error writing partial L to disk", 200));
  EXPECT_TRUE(log.contains("Size_t 8 entries2write 10 entries_written 0\n"));
  OpenUFile(*solver, "rb");
  EXPECT_EQ(failure_of([&] { WriteFactorEntries(*solver, data.data(), 8, 0, 10, 'U'); }).first,
            "Error writing partial U to disk");
}

TEST_F(FactorFilesTest, ReadsNeverPassTheEndOfTheFactorArea) {
  use_solver(0, false, 8);
  write_bytes("U", entries(0, 20, 4));
  write_bytes("L", entries(0, 20, 4));
  const Failure overflow{"Factor entries exceed the in-memory factor area", 1};
  EXPECT_EQ(failure_of([&] { ReadFactorRange(*solver, 0, 9, 'U'); }), overflow);
  EXPECT_EQ(failure_of([&] { ReadFactorRange(*solver, 0, 1, 'L'); }), overflow) << "a symmetric kind has no L area";
  three_supernodes(*solver);
  write_indexed_factor("U", 4, 0);
  EXPECT_EQ(failure_of([&] { LoadSupernodeFactors(*solver, 0, 1, 'U'); }), overflow) << "18 entries in 8";
}

// Clean-up at the end of a run.

using Names = std::vector<std::string>;
const Names all_files = {"U", "L", "U_diag_index", "U_offdiag_index", "L_diag_index", "L_offdiag_index", "index"};

// Lays out every factor file, runs a solver of a kind with switches through
// its life (offcore unless told otherwise) and returns the files left.
Names files_left_after(int kind, std::vector<std::string> switches, int offcore = 1) {
  for (const auto& name : all_files) write_file(name, "f");
  {
    auto solver = make_test_solver(kind);
    switches.insert(switches.begin(), "tessar64");
    std::vector<const char*> argv;
    for (const auto& s : switches) argv.push_back(s.c_str());
    parse_switches(*solver, static_cast<int>(argv.size()), argv.data());
    solver->offcore = offcore;
  }
  Names left;
  for (const auto& name : all_files)
    if (fs::exists(name)) left.push_back(name);
  return left;
}

TEST(FactorFileCleanUp, RunsRemoveTheFilesTheyNoLongerNeed) {
  ScopedWorkDir dir;
  EXPECT_EQ(files_left_after(0, {}),
            (Names{"L", "U_diag_index", "U_offdiag_index", "L_diag_index", "L_offdiag_index", "index"}));
  EXPECT_EQ(files_left_after(3, {"-pivoting"}),
            (Names{"U_diag_index", "U_offdiag_index", "L_diag_index", "L_offdiag_index", "index"}));
  EXPECT_EQ(files_left_after(4, {"-mt"}), (Names{"L", "L_diag_index", "L_offdiag_index", "index"}))
      << "multi-threaded runs also remove the index files";
  EXPECT_EQ(files_left_after(1, {"-mt"}), (Names{"index"}));
  EXPECT_EQ(files_left_after(1, {"-mt"}, 0), all_files) << "an incore run keeps its files";
  for (const char* keep : {"-nofbs", "-awe_exec", "-mr_exec", "-back_exec", "-nonf"})
    EXPECT_EQ(files_left_after(1, {"-mt", keep}), all_files) << keep;

  // A numbered run removes only its own files.
  const Names numbered = {"U_2", "L_2", "U_2_diag_index", "U_2_offdiag_index", "L_2_diag_index", "L_2_offdiag_index"};
  for (const auto& name : numbered) write_file(name, "f");
  write_file("prefs.ini", "DIRECT_SOLVER FileIndex 2\n");
  EXPECT_EQ(files_left_after(3, {"-mt"}), all_files);
  for (const auto& name : numbered) EXPECT_FALSE(fs::exists(name)) << name;
}

TEST(FactorFileCleanUp, OpenFilesAreClosedAndArraysCredited) {
  ScopedWorkDir dir;
  LogCapture log(2);
  {
    auto solver = make_test_solver(1);
    solver->multi_thread = true;
    OpenUFile(*solver, "wb");
    OpenLFile(*solver, "wb");
    solver->allocate_factor_index('U', 4096);
    solver->allocate_factor_index('L', 4096);
    EXPECT_EQ(solver->memory_in_use, 128);
  }
  EXPECT_FALSE(fs::exists("U"));
  EXPECT_FALSE(fs::exists("L"));
  EXPECT_TRUE(log.contains("Can not remove diagonal index of U file\n")) << "never written, so not removable";
  EXPECT_TRUE(log.contains("Can not remove off-diagonal index of L file\n"));
  EXPECT_FALSE(log.contains("Can not remove U file\n"));
}

}  // namespace
