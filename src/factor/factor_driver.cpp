#include "factor/factor_driver.h"

#include <cstdio>
#include <string>
#include <vector>

#include "analysis/index_file.h"
#include "core/tessar.h"
#include "factor/frontal_factorization.h"
#include "factor/matrix_prep.h"
#include "factor/memory_plan.h"
#include "factor/supernode_tree.h"
#include "io/matrix_file.h"
#include "platform/core_library.h"
#include "platform/error.h"
#include "platform/files.h"
#include "platform/kind_traits.h"
#include "platform/process.h"

namespace {

bool matrix_copy_requested() {
  auto value = environment_value("SAVE_TESSAR_MATRICES");
  return value && *value > 0;
}

// The files the factorization writes: the factors and, in the indexed (-mt)
// layout, their block indexes.
std::vector<std::string> factor_paths(const tessar& solver) {
  std::vector<std::string> names{solver.u_file_name};
  if (solver.symmetry == 1) names.push_back(solver.l_file_name);
  std::vector<std::string> paths;
  for (const std::string& name : names) {
    paths.push_back(path_in_dir(solver.work_dir, name));
    if (!solver.multi_thread) continue;
    for (FactorIndexPart part : {FactorIndexPart::diagonal, FactorIndexPart::off_diagonal})
      paths.push_back(path_in_dir(solver.work_dir, factor_index_file_name(name, part)));
  }
  return paths;
}

// A run that ends with an error before its factor is complete (a full disk,
// the hard memory limit) removes the factor files as it ends; once a kept
// factor is complete, with its analysis saved, it stays.
void remove_factor_files_on_failure(const tessar& solver, bool remove) {
  for (const std::string& path : factor_paths(solver)) {
    if (remove) remove_on_failure(path);
    else keep_on_failure(path);
  }
}

// The analysis of a run that keeps its factor is saved again only once the
// factor is complete, so a failed run leaves nothing a solve-only run could
// pick up; the factor files of a failed run are removed likewise.
void remove_kept_files(const tessar& solver, bool factor_files) {
  std::remove(path_in_dir(solver.work_dir, solver.index_file_name).c_str());
  if (!factor_files) return;
  for (const std::string& path : factor_paths(solver)) std::remove(path.c_str());
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
  if (solver.offcore || solver.save_factor) remove_factor_files_on_failure(solver, true);
  const int result = FactorFronts<K>(solver, a, tree, pivoting);
  if (result != 0) {
    remove_kept_files(solver, solver.offcore || solver.save_factor);
    return result;
  }
  if (solver.save_factor) {
    SaveIndexFile(solver, a.n);
    remove_factor_files_on_failure(solver, false);
  }
  OrlDebug(2, L".... Numerical factorization done\n");
  return result;
}

template int FactorizeMatrix<RealSymmetric>(tessar&, YaleMatrix&);
template int FactorizeMatrix<RealUnsymmetric>(tessar&, YaleMatrix&);
template int FactorizeMatrix<ComplexSymmetric>(tessar&, YaleMatrix&);
template int FactorizeMatrix<ComplexUnsymmetric>(tessar&, YaleMatrix&);
template int FactorizeMatrix<ComplexHermitian>(tessar&, YaleMatrix&);
