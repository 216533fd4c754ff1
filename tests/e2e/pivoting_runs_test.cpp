// Pivoting runs: rows matched to large diagonal entries (a well-conditioned
// unsymmetric matrix with its rows rotated has only zeros on its diagonal),
// columns delayed to their parents, and the inertia of symmetric indefinite
// matrices whose eigenvalue signs are known.
#include <gtest/gtest.h>

#include <tuple>

#include "tests/support/test_support.h"
#include "tools/generator/generator.h"

namespace {

namespace fs = std::filesystem;
constexpr auto npos = std::string::npos;

// Convection–diffusion on an 8 × 8 grid with row i taken from row i + 5
// (mod n), the pattern made symmetric and every diagonal stored, as zeros;
// written to "A" beside the generated right-hand sides.
YaleMatrix write_rotated_system(int kind, std::int32_t nrhs) {
  const GeneratedSystem g = generate(Family::convdiff2d, 8, kind, nrhs, 5);
  const std::int32_t n = g.a.n, w = g.a.value_width();
  const auto from = [n](std::int32_t i) { return (i + 5) % n; };
  const auto find = [&g](std::int32_t i, std::int32_t j) {
    for (std::int64_t p = g.a.row_ptr[i]; p < g.a.row_ptr[i + 1]; ++p)
      if (g.a.col_idx[p] == j) return p;
    return std::int64_t{-1};
  };
  std::vector<std::int32_t> rows, cols;
  std::vector<double> values;
  for (std::int32_t i = 0; i < n; ++i)
    for (std::int32_t j = 0; j < n; ++j) {
      const std::int64_t p = find(from(i), j);
      if (p < 0 && i != j && find(from(j), i) < 0) continue;
      rows.push_back(i);
      cols.push_back(j);
      for (std::int32_t c = 0; c < w; ++c) values.push_back(p < 0 ? 0.0 : g.a.values[p * w + c]);
    }
  const YaleMatrix a = matrix_from_entries(n, rows, cols, values, w == 2);
  write_matrix_file(a);
  write_file("b", std::string(reinterpret_cast<const char*>(g.b.data()), g.b.size() * sizeof(double)));
  return a;
}

// The runs of a mode, made one after another in one directory.
struct Mode {
  const char* what;
  std::vector<std::vector<std::string>> runs;
  std::vector<std::string> env;
};

// Makes the runs of a mode, each after the leading switches: every run ends
// with status 0 without escalation and the last one solves. Returns the logs
// of the runs that do their own analysis (all but -back_exec).
std::vector<std::string> run_mode(const Mode& mode, const std::vector<std::string>& lead, const YaleMatrix& a,
                                  int kind, const std::string& what) {
  std::vector<std::string> logs;
  for (const auto& switches : mode.runs) {
    std::vector<std::string> args = lead;
    args.insert(args.end(), switches.begin(), switches.end());
    const RunResult run = run_binary(args, mode.env);
    EXPECT_EQ(run.status, 0) << what << "\n" << run.err;
    EXPECT_EQ(run.err.find("Escalation"), npos) << what << "\n" << run.err;
    if (!mode.env.empty()) { EXPECT_NE(run.log.find("Post improvement goes offcore"), npos) << what; }
    if (switches.empty() || switches[0] != "-back_exec") logs.push_back(run.log);
  }
  const auto x = read_vectors("x", kind >= 2), b = read_vectors("b", kind >= 2);
  EXPECT_EQ(x.size(), b.size()) << what;
  for (std::int32_t k = 0; x.size() == b.size() && k < std::int32_t(b.size() / a.n); ++k)
    EXPECT_TRUE(solved(a, kind, x, b, k)) << what << " rhs " << k;
  return logs;
}

// The rotated rows are matched back at once in every mode.
TEST(PivotingRuns, RotatedRowsAreMatchedBackInEveryRunMode) {
  const Mode modes[] = {
      {"default", {{}}, {}},
      {"pivoting", {{"-pivoting"}}, {}},
      {"offcore", {{}}, {"TS_MEM_LIMIT_SOFT=1", "TS_PATCH_ENTRIES=1500"}},
      {"kept factor solved later", {{"-nofbs"}, {"-back_exec"}}, {}},
      {"kept pivoting factor solved later", {{"-nofbs", "-pivoting"}, {"-nonf", "-pivoting"}}, {}},
  };
  for (int kind : {1, 3})
    for (const Mode& mode : modes) {
      ScopedWorkDir dir;
      const YaleMatrix a = write_rotated_system(kind, 2);
      const std::string what = std::string(mode.what) + " kind " + std::to_string(kind);
      for (const auto& log : run_mode(mode, {kind_switches[kind]}, a, kind, what))
        EXPECT_NE(log.find("Matching: structural rank 64 of 64"), npos) << what;
    }
}

// The delayed pivots a run's log reports; −1 where it reports none.
long delayed_pivots(const std::string& log) {
  const std::string key = "Number of delayed pivots = ";
  const auto at = log.rfind(key);
  return at == npos ? -1 : std::stol(log.substr(at + key.size()));
}

// Zero diagonals in supernodes of one column (no merging): without the
// matching ("Matching 0") each such column is delayed to its parent front,
// which must pivot it; with it, the matched pairs are ordered together, also
// where the zeros are regularized to 1e-10; asked for by -matching, its
// symmetric scaling solves the saddle-point kinds as well. Incore, out of core
// and with the renumbered analysis kept for a later solve, without escalation.
TEST(PivotingRuns, DelayedColumnsArePivotedByTheirParents) {
  const Mode modes[] = {
      {"incore", {{"-pivoting"}}, {}},
      {"offcore", {{"-pivoting"}}, {"TS_MEM_LIMIT_SOFT=1", "TS_PATCH_ENTRIES=1500"}},
      {"kept factor solved later", {{"-nofbs", "-pivoting"}, {"-nonf", "-pivoting"}}, {}},
  };
  enum { unmatched, matched, regularized, scaled };
  const char* const variant_name[] = {"unmatched", "matched", "regularized", "scaled"};
  for (const int variant : {unmatched, matched, regularized, scaled})
    for (int kind : {0, 1, 4}) {
      if (variant >= regularized && kind == 1) continue;  // a nonzero diagonal leaves unsymmetric rows as read
      for (const Mode& mode : modes) {
        ScopedWorkDir dir;
        GeneratedSystem g = generate(Family::zero_diagonal, 20, kind, 2, 3);
        const std::int32_t w = g.a.value_width();
        if (variant == regularized)
          for (std::int32_t i = 0; i < g.a.n; ++i)
            for (std::int64_t p = g.a.row_ptr[i]; p < g.a.row_ptr[i + 1]; ++p)
              if (g.a.col_idx[p] == i && g.a.values[p * w] == 0.0) g.a.values[p * w] = 1e-10;
        write_system(fs::current_path(), g, false);
        if (variant == unmatched) write_file("prefs.ini", "DIRECT_SOLVER Matching 0\n");
        std::vector<std::string> lead{kind_switches[kind], "-zerofill", "0"};
        if (variant == scaled) lead.push_back("-matching");
        const std::string what = std::string(mode.what) + " kind " + std::to_string(kind) + " " + variant_name[variant];
        for (const auto& log : run_mode(mode, lead, g.a, kind, what)) {
          if (variant == unmatched) {
            EXPECT_GT(delayed_pivots(log), 0) << what;
            EXPECT_EQ(log.find("Matching:"), npos) << what;
          } else if (variant == scaled) {
            EXPECT_NE(log.find("Matching: structural rank"), npos) << what;
          } else if (kind != 1) {
            EXPECT_NE(log.find("pairs of columns kept together"), npos) << what;
          }
        }
      }
    }
}

// [[H, Bᵀ], [B, 0]] with H positive definite and B of full rank has as many
// positive eigenvalues as H has rows and as many negative ones as B; each
// [[0, a], [ā, 0]] block has one of each.
TEST(PivotingRuns, InertiaLineCountsTheSignsOfTheEigenvalues) {
  const std::tuple<Family, std::int32_t, int, const char*> cases[] = {
      {Family::zero_diagonal, 6, 0, "Inertia: 12 positive, 6 negative, 0 zero pivots"},
      {Family::pivot2x2, 20, 0, "Inertia: 20 positive, 20 negative, 0 zero pivots"},
      {Family::pivot2x2, 20, 4, "Inertia: 20 positive, 20 negative, 0 zero pivots"}};
  for (const auto& [family, size, kind, line] : cases) {
    ScopedWorkDir dir;
    write_system(fs::current_path(), generate(family, size, kind, 1, 3), false);
    const RunResult run = run_binary({kind_switches[kind], "-pivoting"});
    EXPECT_NE(run.err.find(line), npos) << line << "\n" << run.err;
  }
}

}  // namespace
