// Times the solve of a generated system through the library in this process
// against the command line on the same system, in alternating runs: the
// command line's wall time, what it spends on its files (reading "A" twice,
// reading "b", writing "x", measured here with its own readers and writers)
// and the library's wall time from the caller's arrays to the solution.
//
//   bench_api <family> <size> [kind] [-ncpu n] [-reps r]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "api/kind_solvers.h"
#include "io/matrix_file.h"
#include "io/vectors.h"
#include "tessar/solver.h"
#include "tools/generator/generator.h"

namespace {

using clock_type = std::chrono::steady_clock;

double seconds_since(clock_type::time_point start) {
  return std::chrono::duration<double>(clock_type::now() - start).count();
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

const char* const kind_switches[] = {"-real_sym", "-real_unsym", "-complex_sym", "-complex_unsym", "-complex_herm"};

double command_line_seconds(const std::string& binary, int kind, int threads) {
  const std::string command =
      binary + " " + kind_switches[kind] + " -ncpu " + std::to_string(threads) + " -quiet 2>/dev/null";
  const auto start = clock_type::now();
  if (std::system(command.c_str()) != 0) {
    std::fprintf(stderr, "the command line failed: %s\n", command.c_str());
    std::exit(1);
  }
  return seconds_since(start);
}

// The command line's file work in this directory, with its readers and writers.
double file_seconds(int kind) {
  std::unique_ptr<tessar> files = make_solver(kind, SolverUse::library);
  files->set_throw_mode(true);
  const auto start = clock_type::now();
  for (int copy = 0; copy < 2; ++copy) {
    YaleMatrix a;
    const MatrixHeader header = read_matrix_header(*files);
    allocate_matrix(a, header, kind >= 2);
    if (kind >= 2) read_matrix_complex(*files, a);
    else read_matrix_real(*files, a);
  }
  const std::int32_t n = read_matrix_header(*files).n;
  const std::size_t width = kind >= 2 ? 16 : 8;
  std::vector<std::byte> vector(width * static_cast<std::size_t>(n));
  begin_solution_file(*files);
  read_rhs_vector(*files, n, vector.data(), width, 0, count_rhs(*files, "b", n));
  write_solution_vector(*files, n, vector.data(), width, 0);
  close_solution_file(*files);
  commit_solution_file(*files);
  return seconds_since(start);
}

// The caller's arrays are the generated matrix's rows (one triangle for the
// symmetric kinds), as a program that assembles by rows holds them.
double library_seconds(const GeneratedSystem& system, int threads) {
  const YaleMatrix& a = system.a;
  tsr::Options options;
  options.threads = threads;
  std::vector<double> x(system.b.size());
  const auto start = clock_type::now();
  const auto kind = static_cast<tsr::Kind>(system.kind);
  if (system.kind >= 2) {
    const auto* values = reinterpret_cast<const std::complex<double>*>(a.values.data());
    tsr::Solver solver(kind, a.n, a.row_ptr.data(), a.col_idx.data(), values, options, tsr::Storage::rows);
    solver.solve(reinterpret_cast<const std::complex<double>*>(system.b.data()),
                 reinterpret_cast<std::complex<double>*>(x.data()));
  } else {
    tsr::Solver solver(kind, a.n, a.row_ptr.data(), a.col_idx.data(), a.values.data(), options, tsr::Storage::rows);
    solver.solve(system.b.data(), x.data());
  }
  return seconds_since(start);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: bench_api <family> <size> [kind] [-ncpu n] [-reps r]\n");
    return 2;
  }
  const auto family = family_from_name(argv[1]);
  if (!family) {
    std::fprintf(stderr, "unknown family %s\n", argv[1]);
    return 2;
  }
  const int size = std::atoi(argv[2]);
  int kind = natural_kind(*family), threads = 1, reps = 3;
  for (int i = 3; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "-ncpu" && i + 1 < argc) threads = std::atoi(argv[++i]);
    else if (arg == "-reps" && i + 1 < argc) reps = std::atoi(argv[++i]);
    else kind = std::atoi(argv[i]);
  }
  const GeneratedSystem system = generate(*family, size, kind, 1, 1);
  const std::filesystem::path dir = std::filesystem::temp_directory_path() / ("bench_api_" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  write_system(dir, system, false);
  const std::string binary = std::filesystem::absolute(TSR_BINARY_PATH).string();
  std::filesystem::current_path(dir);
  std::vector<double> cli, files, library;
  for (int r = 0; r < reps; ++r) {
    cli.push_back(command_line_seconds(binary, kind, threads));
    files.push_back(file_seconds(kind));
    library.push_back(library_seconds(system, threads));
  }
  std::filesystem::current_path(dir.parent_path());
  std::filesystem::remove_all(dir);
  const double c = median(cli), f = median(files), l = median(library);
  std::printf("%s %d kind %d, %d thread(s), medians of %d: command line %.3f s (files %.3f s), library %.3f s, "
              "library / (command line - files) = %.2f\n",
              argv[1], size, kind, threads, reps, c, f, l, l / (c - f));
}
