// Real matrices of every kind from the shared collection, run through the built solver.
#include <gtest/gtest.h>

#include "tests/support/test_support.h"
#include "tools/mm/matrix_market.h"

namespace {

struct RealMatrix {
  const char* file;
  int kind;
  bool zero_pivots = false;  // the plain path of a kept factor meets exactly zero pivots and ends with 16
};

const RealMatrix matrices[] = {
    {"ss_bcsstk13.mtx", 0},            // ill-conditioned stiffness matrix
    {"ss_hangGlider_2.mtx", 0, true},  // saddle point: matched pairs, 2×2 pivots
    {"ss_west0479.mtx", 1},            // chemical process, zero diagonals: rows matched, columns delayed
    {"ss_rajat19.mtx", 1, true},       // circuit
    {"ss_adder_dcop_05.mtx", 1},       // circuit, badly scaled
    {"ss_arrow.mtx", 1},               // one dense row and column
    {"px_young4c.mtx", 2},
    {"ss_young1c.mtx", 3},
    {"px_mhd1280b.mtx", 4},
};

void PrintTo(const RealMatrix& m, std::ostream* out) { *out << m.file << " as kind " << m.kind; }

class RealMatrices : public ::testing::TestWithParam<RealMatrix> {};

// Each path keeps a factor of the whole matrix (as read: its dimension and
// entries are logged); then a default run solves a right-hand side, checked
// here against the matrix. A collection without the file skips.
TEST_P(RealMatrices, EveryPathFactorsAndTheDefaultRunSolves) {
  const RealMatrix& m = GetParam();
  const auto source = shared_dir() / "matrix-sources" / m.file;
  if (!std::filesystem::exists(source)) GTEST_SKIP() << source << " is not available";
  ScopedWorkDir dir;
  const YaleMatrix a = convert_to_kind(read_matrix_market(source), m.kind);
  write_matrix_file(a);

  for (const std::vector<std::string>& path : {std::vector<std::string>{}, {"-pivoting"}, {"-mt", "-ncpu", "2"}}) {
    std::vector<std::string> args{kind_switches[m.kind], "-nofbs"};
    args.insert(args.end(), path.begin(), path.end());
    std::filesystem::remove("tessar.log");
    const RunResult run = run_binary(args);
    const std::string what = std::string(m.file) + " " + (path.empty() ? "plain" : path[0]) + "\n" + run.err;
    if (m.zero_pivots && path.empty()) {
      EXPECT_NE(run.err.find("singular matrix (an exactly zero pivot"), std::string::npos) << what;
      continue;
    }
    EXPECT_EQ(run.status, 0) << what;
    EXPECT_NE(run.err.find("solver :progress 30.000000"), std::string::npos) << what;
    EXPECT_NE(run.log.find("Dim = " + std::to_string(a.n) + " NZ = " + std::to_string(a.nnz) + "\n"),
              std::string::npos) << what;
  }

  const bool complex = m.kind >= 2;
  std::vector<double> b;
  for (std::int32_t i = 0; i < a.n; ++i) {
    b.push_back(1.0 + i % 7);
    if (complex) b.push_back(0.5 * (i % 3));
  }
  write_file("b", std::string(reinterpret_cast<const char*>(b.data()), b.size() * sizeof(double)));
  const RunResult run = run_binary({kind_switches[m.kind]});
  ASSERT_EQ(run.status, 0) << m.file << "\n" << run.err;
  EXPECT_TRUE(solved(a, m.kind, read_vectors("x", complex), read_vectors("b", complex), 0)) << m.file;
}

INSTANTIATE_TEST_SUITE_P(SharedCollection, RealMatrices, ::testing::ValuesIn(matrices), [](const auto& info) {
  const std::string name = info.param.file;
  return name.substr(0, name.find('.'));
});

}  // namespace
