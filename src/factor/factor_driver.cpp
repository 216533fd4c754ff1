#include "factor/factor_driver.h"

#include <cstdio>

#include "analysis/index_file.h"
#include "driver/tessar.h"
#include "factor/frontal_factorization.h"
#include "factor/matrix_prep.h"
#include "factor/memory_plan.h"
#include "factor/supernode_tree.h"
#include "io/matrix_file.h"
#include "platform/core_library.h"
#include "platform/files.h"
#include "platform/kind_traits.h"
#include "platform/process.h"

namespace {

bool matrix_copy_requested() {
  auto value = environment_value("SAVE_TESSAR_MATRICES");
  return value && *value > 0;
}

// The analysis of a run that keeps its factor is saved again only once the
// factor is complete, so a failed run leaves nothing a solve-only run could
// pick up; the factor files of a failed run are removed likewise.
void remove_kept_files(const tessar& solver, bool factor_files) {
  std::remove(path_in_dir(solver.work_dir, solver.index_file_name).c_str());
  if (!factor_files) return;
  std::remove(path_in_dir(solver.work_dir, solver.u_file_name).c_str());
  if (solver.symmetry == 1) std::remove(path_in_dir(solver.work_dir, solver.l_file_name).c_str());
}

}  // namespace

template <class K>
int FactorizeMatrix(tessar& solver, YaleMatrix& a) {
  constexpr bool symmetric = K::symmetry != Symmetry::unsymmetric;
  CheckMatrixValues<K>(solver, a);
  OrlDebug(2, L"Begining numerical factorization\n");
  if (symmetric && matrix_copy_requested()) {
    if constexpr (K::is_complex) write_matrix_complex(solver, a);
    else write_matrix_real(solver, a);
  }
  if (solver.diagonal_scaled()) ScaleMatrix<K>(solver, a);
  PermuteMatrix<K>(solver, a);

  if (solver.save_factor) remove_kept_files(solver, false);
  const SupernodeTree tree = build_supernode_tree(solver);
  const bool pivoting = solver.pivoting || solver.multi_thread;
  solver.factor_block_at.clear();
  if (solver.multi_thread) MultiThreadPlan(solver, tree);
  else if (pivoting) PivotingPlan(solver, tree);
  else PlainPlan(solver, tree);
  ReportFactorEstimate(solver);
  const int result = FactorFronts<K>(solver, a, tree, pivoting);
  if (result != 0) {
    remove_kept_files(solver, solver.offcore || solver.save_factor);
    return result;
  }
  if (solver.save_factor) SaveIndexFile(solver, a.n);
  OrlDebug(2, L".... Numerical factorization done\n");
  return result;
}

template int FactorizeMatrix<RealSymmetric>(tessar&, YaleMatrix&);
template int FactorizeMatrix<RealUnsymmetric>(tessar&, YaleMatrix&);
template int FactorizeMatrix<ComplexSymmetric>(tessar&, YaleMatrix&);
template int FactorizeMatrix<ComplexUnsymmetric>(tessar&, YaleMatrix&);
template int FactorizeMatrix<ComplexHermitian>(tessar&, YaleMatrix&);
