// tsr_mm import <matrix.mtx> <dir> [--kind K] [--rhs b.mtx] [--markers]
//   converts a Matrix Market matrix to "A" and "b" in dir (b = A·1 without --rhs).
// tsr_mm export-x <dir> <out.mtx> --kind K [--n N] [--markers]
//   writes the solutions in dir/x as a Matrix Market array; N comes from dir/A
//   (in the marker layout with --markers) unless --n gives it.
#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "io/matrix_file.h"
#include "io/vectors.h"
#include "tools/common/kind_dispatch.h"
#include "tools/mm/matrix_market.h"

namespace {

namespace fs = std::filesystem;

// Two positional arguments, then options; "--markers" is a flag, the others take a value.
struct Arguments {
  std::string command;
  std::string first;
  std::string second;
  std::map<std::string, std::string, std::less<>> options;
  bool markers = false;
};

void print_usage() {
  std::fprintf(stderr,
               "usage: tsr_mm import <matrix.mtx> <dir> [--kind K] [--rhs b.mtx] [--markers]\n"
               "       tsr_mm export-x <dir> <out.mtx> --kind K [--n N] [--markers]\n"
               "kinds: 0 real symmetric, 1 real unsymmetric, 2 complex symmetric, 3 complex unsymmetric, "
               "4 complex Hermitian\n");
}

std::optional<Arguments> parse_arguments(int argc, char** argv, const std::vector<std::string_view>& valued) {
  if (argc < 4) return std::nullopt;
  Arguments args{argv[1], argv[2], argv[3], {}, false};
  for (int i = 4; i < argc; ++i) {
    const std::string_view option = argv[i];
    if (option == "--markers") {
      args.markers = true;
    } else if (std::find(valued.begin(), valued.end(), option) != valued.end() && i + 1 < argc) {
      args.options[std::string(option)] = argv[++i];
    } else {
      return std::nullopt;
    }
  }
  return args;
}

std::optional<std::int64_t> integer_option(const Arguments& args, std::string_view name) {
  const auto found = args.options.find(name);
  if (found == args.options.end()) return std::nullopt;
  std::int64_t value = 0;
  const std::string& text = found->second;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc{} || end != text.data() + text.size())
    throw std::invalid_argument(std::string(name) + " needs an integer, not \"" + text + "\"");
  return value;
}

std::optional<int> kind_option(const Arguments& args) {
  const auto kind = integer_option(args, "--kind");
  if (kind && !valid_kind(static_cast<int>(*kind))) throw std::invalid_argument("--kind must be 0 … 4");
  return kind ? std::optional<int>(static_cast<int>(*kind)) : std::nullopt;
}

void write_binary(const fs::path& path, const std::function<bool(std::FILE*)>& write) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) throw std::runtime_error(path.string() + ": cannot create the file");
  const bool written = write(file);
  if (std::fclose(file) != 0 || !written) throw std::runtime_error(path.string() + ": cannot write the file");
}

int run_import(const Arguments& args) {
  const auto kind_given = kind_option(args);
  const MmMatrix matrix = read_matrix_market(args.first);
  const int kind = kind_given.value_or(default_kind(matrix));
  const YaleMatrix a = convert_to_kind(matrix, kind);
  const auto rhs_file = args.options.find("--rhs");
  std::vector<double> b;
  std::int32_t nrhs = 1;
  if (rhs_file == args.options.end()) {
    b = multiply_by_ones(a, kind);
  } else {
    const MmArray array = read_matrix_market_array(rhs_file->second);
    b = vectors_for_kind(array, a.n, kind);
    nrhs = array.cols;
  }
  const fs::path dir = args.second;
  write_binary(dir / "A", [&](std::FILE* file) { return write_matrix_records(file, a, args.markers); });
  write_binary(dir / "b", [&](std::FILE* file) {
    return write_vector_records(file, b.data(), a.n, nrhs, a.value_width(), args.markers);
  });
  std::printf("%s: kind %d, N = %d, %lld stored entries, %d right-hand side(s)%s written to %s\n", args.first.c_str(),
              kind, a.n, static_cast<long long>(a.nnz), nrhs, rhs_file == args.options.end() ? " (A·1)" : "",
              dir.c_str());
  return 0;
}

// N from the last record of "A", which is the diagonal entry (N−1, N−1).
std::int32_t order_of_matrix_file(const fs::path& path, bool complex, bool markers) {
  const MatrixFileLayout layout{complex, markers};
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) throw std::runtime_error(path.string() + ": cannot open the file (give --n instead)");
  std::int32_t index[2] = {0, 0};
  const long back = static_cast<long>(layout.record_bytes()) - (markers ? 4 : 0);
  const bool read = std::fseek(file, -back, SEEK_END) == 0 && std::fread(index, sizeof index[0], 2, file) == 2;
  std::fclose(file);
  if (!read || index[0] != index[1])
    throw std::runtime_error(path.string() + ": the last record is not a diagonal entry (give --n instead)");
  return markers ? index[0] : index[0] + 1;
}

std::vector<double> read_solutions(const fs::path& path, std::int64_t doubles_per_vector, std::int32_t& count) {
  std::error_code error;
  const auto bytes = static_cast<std::int64_t>(fs::file_size(path, error));
  if (error) throw std::runtime_error(path.string() + ": cannot open the file");
  const std::int64_t vector_bytes = doubles_per_vector * static_cast<std::int64_t>(sizeof(double));
  if (bytes == 0 || bytes % vector_bytes != 0)
    throw std::runtime_error(path.string() + ": " + std::to_string(bytes) + " bytes is not a whole number of vectors");
  count = static_cast<std::int32_t>(bytes / vector_bytes);
  std::vector<double> values(static_cast<std::size_t>(bytes) / sizeof(double));
  std::FILE* file = std::fopen(path.c_str(), "rb");
  const bool read = file != nullptr && std::fread(values.data(), sizeof(double), values.size(), file) == values.size();
  if (file != nullptr) std::fclose(file);
  if (!read) throw std::runtime_error(path.string() + ": cannot read the file");
  return values;
}

int run_export_x(const Arguments& args) {
  const auto kind = kind_option(args);
  if (!kind) throw std::invalid_argument("export-x needs --kind");
  const bool complex = kind_is_complex(*kind);
  const fs::path dir = args.first;
  const auto n_option = integer_option(args, "--n");
  const auto n =
      n_option ? static_cast<std::int32_t>(*n_option) : order_of_matrix_file(dir / "A", complex, args.markers);
  if (n < 1) throw std::invalid_argument("--n must be at least 1");
  std::int32_t count = 0;
  const auto values = read_solutions(dir / "x", static_cast<std::int64_t>(n) * (complex ? 2 : 1), count);
  write_matrix_market_array(args.second, values, n, count, complex);
  std::printf("%d solution(s) of %d values written to %s\n", count, n, args.second.c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string_view command = argc > 1 ? argv[1] : "";
  const auto args = command == "import"     ? parse_arguments(argc, argv, {"--kind", "--rhs"})
                    : command == "export-x" ? parse_arguments(argc, argv, {"--kind", "--n"})
                                            : std::nullopt;
  if (!args) {
    print_usage();
    return 2;
  }
  try {
    return command == "import" ? run_import(*args) : run_export_x(*args);
  } catch (const std::invalid_argument& error) {
    std::fprintf(stderr, "tsr_mm: %s\n", error.what());
    print_usage();
    return 2;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "tsr_mm: %s\n", error.what());
    return 1;
  }
}
