#pragma once
// The five solver classes, one per matrix kind. Each is a thin layer that
// fixes the kind's codes and dispatches to the algorithms written once over
// the kind traits.
#include <memory>

#include "core/tessar.h"
#include "platform/kind_traits.h"

template <class K>
class KindSolver : public tessar {
 public:
  void* u_factor_buffer() override;
  // Only the unsymmetric kinds have an L factor.
  void* l_factor_buffer() override;
  std::int32_t set_elem_size() override;
  std::uint64_t match(YaleMatrix& a) override;
  int factorize(YaleMatrix& a) override;
  int solve(YaleMatrix& a, const YaleMatrix& original, RhsVectors& vectors, RhsLedger& ledger) override;
  void verify(YaleMatrix& a) override;

 protected:
  explicit KindSolver(const wchar_t* banner);
};

class rs_tsr final : public KindSolver<RealSymmetric> {
 public:
  rs_tsr();
};
class rn_tsr final : public KindSolver<RealUnsymmetric> {
 public:
  rn_tsr();
};
class cs_tsr final : public KindSolver<ComplexSymmetric> {
 public:
  cs_tsr();
};
class cn_tsr final : public KindSolver<ComplexUnsymmetric> {
 public:
  cn_tsr();
};
class ch_tsr final : public KindSolver<ComplexHermitian> {
 public:
  ch_tsr();
};

// Who a solver object serves: the command line (its process environment set
// for one dense-library thread, the settings of "prefs.ini" read) or the
// library (neither: the caller's options are all).
enum class SolverUse { command_line, library };

// Builds the solver of a kind code 0 … 4; null for any other code.
std::unique_ptr<tessar> make_solver(int kind, SolverUse use = SolverUse::command_line);
