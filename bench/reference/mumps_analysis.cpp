// Reference figures for the analysis benchmark: the time of a widely used
// multifrontal solver's analysis phase (nested dissection by METIS) on the 3D
// Laplacian of side k, and the factor entry count it predicts.
//   bench_reference_analysis [k]   (default 80: 512,000 unknowns)
#include <dmumps_c.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

constexpr int job_init = -1, job_analyse = 1, job_end = -2;
constexpr int use_comm_world = -987654;

// Upper triangle of the 7-point Laplacian, 1-based coordinates.
void laplacian_3d(int k, std::vector<int>& rows, std::vector<int>& cols) {
  auto id = [k](int x, int y, int z) { return 1 + x + k * (y + k * z); };
  for (int z = 0; z < k; ++z)
    for (int y = 0; y < k; ++y)
      for (int x = 0; x < k; ++x) {
        int i = id(x, y, z);
        rows.push_back(i);
        cols.push_back(i);
        if (x + 1 < k) rows.push_back(i), cols.push_back(id(x + 1, y, z));
        if (y + 1 < k) rows.push_back(i), cols.push_back(id(x, y + 1, z));
        if (z + 1 < k) rows.push_back(i), cols.push_back(id(x, y, z + 1));
      }
}

}  // namespace

int main(int argc, char** argv) {
  int k = argc > 1 ? std::atoi(argv[1]) : 80;
  std::vector<int> rows, cols;
  laplacian_3d(k, rows, cols);

  DMUMPS_STRUC_C id{};
  id.comm_fortran = use_comm_world;
  id.par = 1;
  id.sym = 1;  // symmetric positive definite
  id.job = job_init;
  dmumps_c(&id);

  id.n = k * k * k;
  id.nnz = static_cast<MUMPS_INT8>(rows.size());
  id.irn = rows.data();
  id.jcn = cols.data();
  id.icntl[0] = id.icntl[1] = id.icntl[2] = -1;  // no output
  id.icntl[3] = 0;
  id.icntl[6] = 5;   // ordering by METIS
  id.icntl[27] = 1;  // sequential analysis
  id.job = job_analyse;
  auto start = std::chrono::steady_clock::now();
  dmumps_c(&id);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

  long long entries = id.infog[19] >= 0 ? id.infog[19] : -static_cast<long long>(id.infog[19]) * 1'000'000;
  std::printf("reference analysis: n = %d, nnz(upper) = %zu, time = %.3f s, factor entries = %lld, status = %d\n", id.n,
              rows.size(), seconds, entries, id.infog[0]);
  id.job = job_end;
  dmumps_c(&id);
  return 0;
}
