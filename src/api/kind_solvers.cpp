#include "api/kind_solvers.h"

#include "core/preferences.h"
#include "factor/factor_driver.h"
#include "factor/matrix_matching.h"
#include "solve/solution_phase.h"
#include "solve/verification.h"

template <class K>
KindSolver<K>::KindSolver(const wchar_t* banner) {
  solver_type = K::solver_type;
  value_type = K::value_type;
  symmetry = static_cast<std::int32_t>(K::symmetry);
  OrlDebug(2, banner);
  if constexpr (K::symmetry == Symmetry::unsymmetric) post_method = 1;
  set_elem_size();
}

template <class K>
void* KindSolver<K>::u_factor_buffer() {
  return double_precision ? u_factor_double : u_factor_single;
}

template <class K>
void* KindSolver<K>::l_factor_buffer() {
  if constexpr (K::symmetry == Symmetry::unsymmetric) return double_precision ? l_factor_double : l_factor_single;
  else return nullptr;
}

template <class K>
std::uint64_t KindSolver<K>::match(YaleMatrix& a) {
  return MatchMatrix<K>(*this, a);
}

template <class K>
int KindSolver<K>::factorize(YaleMatrix& a) {
  return FactorizeMatrix<K>(*this, a);
}

template <class K>
int KindSolver<K>::solve(YaleMatrix& a, const YaleMatrix& original, RhsVectors& vectors, RhsLedger& ledger) {
  return SolutionPhase<K>(*this, a, original, vectors, ledger);
}

template <class K>
void KindSolver<K>::verify(YaleMatrix& a) {
  CheckSolutionsOnDisk<K>(*this, a);
}

template <class K>
std::int32_t KindSolver<K>::set_elem_size() {
  constexpr std::int32_t single_bytes = K::is_complex ? 8 : 4;
  elem_size = double_precision ? 2 * single_bytes : single_bytes;
  return elem_size;
}

TSR_INSTANTIATE_FOR_KINDS(KindSolver)

rs_tsr::rs_tsr() : KindSolver(L"Initializing real symmetric matrix solver\n") {}
rn_tsr::rn_tsr() : KindSolver(L"Initializing real asymmetric matrix solver\n") {}
cs_tsr::cs_tsr() : KindSolver(L"Initializing complex symmetric matrix solver\n") {}
cn_tsr::cn_tsr() : KindSolver(L"Initializing complex asymmetric matrix solver\n") {}
ch_tsr::ch_tsr() : KindSolver(L"Initializing complex hermitian matrix solver\n") {}

namespace {

std::unique_ptr<tessar> solver_of_kind(int kind) {
  switch (kind) {
    case 0: return std::make_unique<rs_tsr>();
    case 1: return std::make_unique<rn_tsr>();
    case 2: return std::make_unique<cs_tsr>();
    case 3: return std::make_unique<cn_tsr>();
    case 4: return std::make_unique<ch_tsr>();
    default: return nullptr;
  }
}

}  // namespace

std::unique_ptr<tessar> make_solver(int kind, SolverUse use) {
  if (use == SolverUse::command_line) set_single_thread_environment();
  std::unique_ptr<tessar> solver = solver_of_kind(kind);
  if (solver && use == SolverUse::command_line) read_preferences(*solver);
  return solver;
}
