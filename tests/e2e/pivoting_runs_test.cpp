// Pivoting runs. Matrices whose rows must be matched to large diagonal
// entries: a well-conditioned unsymmetric matrix with its rows rotated has
// only zeros on its diagonal, and the rows matched back make the first
// factorization work, also with the factor kept on disk and solved by a
// later run. The inertia of symmetric indefinite matrices of known spectrum.
#include <gtest/gtest.h>

#include <complex>
#include <filesystem>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/test_support.h"
#include "tools/generator/generator.h"

namespace {

namespace fs = std::filesystem;

// Convection–diffusion on an 8 × 8 grid with row i taken from row i + 5
// (mod n), the pattern made symmetric and every diagonal stored, as zeros.
struct RotatedSystem {
  YaleMatrix a;
  std::vector<double> b;
};

RotatedSystem rotated_system(int kind, std::int32_t nrhs) {
  const GeneratedSystem g = generate(Family::convdiff2d, 8, kind, nrhs, 5);
  const std::int32_t n = g.a.n, width = g.a.value_width(), shift = 5;
  std::map<std::pair<std::int32_t, std::int32_t>, std::vector<double>> entries;
  for (std::int32_t i = 0; i < n; ++i) {
    const std::int32_t from = (i + shift) % n;
    for (std::int64_t p = g.a.row_ptr[from]; p < g.a.row_ptr[from + 1]; ++p) {
      const std::int32_t j = g.a.col_idx[p];
      entries[{i, j}].assign(g.a.values.begin() + p * width, g.a.values.begin() + (p + 1) * width);
      entries.insert({{j, i}, std::vector<double>(width, 0.0)});
    }
    entries.insert({{i, i}, std::vector<double>(width, 0.0)});
  }
  std::vector<std::int32_t> rows, cols;
  std::vector<double> values;
  for (const auto& [at, v] : entries) {
    rows.push_back(at.first);
    cols.push_back(at.second);
    values.insert(values.end(), v.begin(), v.end());
  }
  RotatedSystem s{matrix_from_entries(n, rows, cols, values, width == 2), {}};
  for (std::int32_t k = 0; k < nrhs; ++k)
    for (std::int32_t i = 0; i < n; ++i) {
      const auto first = g.b.begin() + (static_cast<std::ptrdiff_t>(k) * n + (i + shift) % n) * width;
      s.b.insert(s.b.end(), first, first + width);
    }
  return s;
}

void expect_solved(const YaleMatrix& a, int kind, const std::string& what) {
  const auto x = read_vectors("x", kind >= 2), b = read_vectors("b", kind >= 2);
  ASSERT_EQ(x.size(), b.size()) << what;
  for (std::int32_t k = 0; k < std::int32_t(b.size() / a.n); ++k)
    EXPECT_TRUE(solved(a, kind, x, b, k)) << what << " rhs " << k;
}

// Each run of a sequence in one directory ends with status 0; the last one
// solves; the runs that factor match the rows at once, without escalation.
TEST(PivotingRuns, RotatedRowsAreMatchedBackInEveryRunMode) {
  const struct {
    const char* what;
    std::vector<std::vector<std::string>> runs;
    std::vector<std::string> env;
  } modes[] = {
      {"default", {{}}, {}},
      {"pivoting", {{"-pivoting"}}, {}},
      {"offcore", {{}}, {"TS_MEM_LIMIT_SOFT=1"}},
      {"kept factor solved later", {{"-nofbs"}, {"-back_exec"}}, {}},
      {"kept pivoting factor solved later", {{"-nofbs", "-pivoting"}, {"-nonf", "-pivoting"}}, {}},
  };
  for (int kind : {1, 3})
    for (const auto& mode : modes) {
      ScopedWorkDir dir;
      const RotatedSystem s = rotated_system(kind, 2);
      write_matrix_file(s.a);
      write_file("b", std::string(reinterpret_cast<const char*>(s.b.data()), s.b.size() * sizeof(double)));
      const std::string what = std::string(mode.what) + " kind " + std::to_string(kind);
      for (const auto& switches : mode.runs) {
        std::vector<std::string> args{kind == 1 ? "-real_unsym" : "-complex_unsym"};
        args.insert(args.end(), switches.begin(), switches.end());
        const RunResult run = run_binary(args, mode.env);
        ASSERT_EQ(run.status, 0) << what << "\n" << run.err;
        EXPECT_EQ(run.err.find("Escalation"), std::string::npos) << what << "\n" << run.err;
        if (switches.empty() || switches[0] != "-back_exec")
          EXPECT_NE(run.log.find("Matching: structural rank 64 of 64"), std::string::npos) << what;
      }
      expect_solved(s.a, kind, what);
    }
}

// The delayed pivots a run's log reports; −1 where it reports none.
long delayed_pivots(const std::string& log) {
  const std::string key = "Number of delayed pivots = ";
  const auto at = log.rfind(key);
  return at == std::string::npos ? -1 : std::stol(log.substr(at + key.size()));
}

// Zero diagonals in supernodes of one column (no merging): without the
// matching each such column is delayed to its parent front, which must pivot
// it; with it, the matched pairs are ordered together, also where the zeros
// are regularized to 1e-10. Incore, out of core and with the renumbered
// analysis kept for a later solve, without escalation.
TEST(PivotingRuns, DelayedColumnsArePivotedByTheirParents) {
  const struct {
    const char* what;
    std::vector<std::vector<std::string>> runs;
    std::vector<std::string> env;
  } modes[] = {
      {"incore", {{"-pivoting"}}, {}},
      {"offcore", {{"-pivoting"}}, {"TS_MEM_LIMIT_SOFT=1"}},
      {"kept factor solved later", {{"-nofbs", "-pivoting"}, {"-nonf", "-pivoting"}}, {}},
  };
  const char* const kind_switch[] = {"-real_sym", "-real_unsym", "", "", "-complex_herm"};
  enum { unmatched, matched, regularized };
  for (const int variant : {unmatched, matched, regularized})
    for (int kind : {0, 1, 4})
      for (const auto& mode : modes) {
        ScopedWorkDir dir;
        GeneratedSystem g = generate(Family::zero_diagonal, 12, kind, 2, 3);
        const bool matching = variant != unmatched;
        if (variant == regularized) {
          if (kind == 1) continue;  // a nonzero diagonal leaves unsymmetric rows as read
          for (std::int32_t i = 0; i < g.a.n; ++i)
            for (std::int64_t p = g.a.row_ptr[i]; p < g.a.row_ptr[i + 1]; ++p)
              if (g.a.col_idx[p] == i && g.a.values[p * g.a.value_width()] == 0.0) g.a.values[p * g.a.value_width()] = 1e-10;
        }
        write_system(fs::current_path(), g, false);
        if (!matching) write_file("prefs.ini", "DIRECT_SOLVER Matching 0\n");
        const std::string what = std::string(mode.what) + " kind " + std::to_string(kind) + (matching ? " matched" : "");
        for (const auto& switches : mode.runs) {
          std::vector<std::string> args{kind_switch[kind], "-zerofill", "0"};
          args.insert(args.end(), switches.begin(), switches.end());
          const RunResult run = run_binary(args, mode.env);
          ASSERT_EQ(run.status, 0) << what << "\n" << run.err;
          EXPECT_EQ(run.err.find("Escalation"), std::string::npos) << what << "\n" << run.err;
          if (switches[0] == "-nonf") continue;
          if (!matching) EXPECT_GT(delayed_pivots(run.log), 0) << what;
          if (matching && kind != 1) EXPECT_NE(run.log.find("pairs of columns kept together"), std::string::npos) << what;
        }
        expect_solved(g.a, kind, what);
      }
}

// Asked for, the symmetric scaling of the matching solves the saddle-point
// kinds as well; "Matching 0" keeps the rows of an unsymmetric matrix as read.
TEST(PivotingRuns, SwitchAndPreferenceChooseTheMatching) {
  {
    ScopedWorkDir dir;
    GeneratedSystem g = generate(Family::zero_diagonal, 6, 0, 1, 3);
    write_system(fs::current_path(), g, false);
    const RunResult run = run_binary({"-real_sym", "-matching", "-pivoting"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.log.find("Matching: structural rank"), std::string::npos);
    expect_solved(g.a, 0, "-matching");
  }
  ScopedWorkDir dir;
  const RotatedSystem s = rotated_system(1, 1);
  write_matrix_file(s.a);
  write_file("b", std::string(reinterpret_cast<const char*>(s.b.data()), s.b.size() * sizeof(double)));
  write_file("prefs.ini", "DIRECT_SOLVER Matching 0\n");
  const RunResult run = run_binary({"-real_unsym"});
  EXPECT_EQ(run.log.find("Matching:"), std::string::npos) << run.log;
}

// [[H, Bᵀ], [B, 0]] with H positive definite and B of full rank has as many
// positive eigenvalues as H has rows and as many negative ones as B; each
// [[0, a], [ā, 0]] block has one of each.
TEST(PivotingRuns, InertiaLineCountsTheSignsOfTheEigenvalues) {
  const struct {
    Family family;
    std::int32_t size;
    int kind;
    const char* line;
  } cases[] = {{Family::zero_diagonal, 6, 0, "Inertia: 12 positive, 6 negative, 0 zero pivots"},
               {Family::pivot2x2, 20, 0, "Inertia: 20 positive, 20 negative, 0 zero pivots"},
               {Family::pivot2x2, 20, 4, "Inertia: 20 positive, 20 negative, 0 zero pivots"}};
  for (const auto& c : cases) {
    ScopedWorkDir dir;
    write_system(fs::current_path(), generate(c.family, c.size, c.kind, 1, 3), false);
    const RunResult run = run_binary({c.kind == 0 ? "-real_sym" : "-complex_herm", "-pivoting"});
    EXPECT_NE(run.err.find(c.line), std::string::npos) << c.line << "\n" << run.err;
  }
}

}  // namespace
