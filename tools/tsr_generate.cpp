// tsr_generate <family> <size> <dir> [--kind K] [--nrhs K] [--markers] [--seed S]
// Writes a generated test system to dir: "A", "b" and the exact solution "x_exact".
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <optional>
#include <string>
#include <string_view>

#include "tools/generator/generator.h"

namespace {

struct Arguments {
  Family family = Family::laplace3d;
  std::int32_t size = 0;
  std::string dir;
  std::optional<int> kind;
  std::int32_t nrhs = 1;
  bool markers = false;
  std::uint64_t seed = 1;
};

void print_usage() {
  std::fprintf(stderr,
               "usage: tsr_generate <family> <size> <dir> [--kind K] [--nrhs K] [--markers] [--seed S]\n"
               "writes A, b and x_exact (the exact solutions) into dir\n"
               "families (natural kind; kinds allowed):\n");
  for (Family family : all_families()) {
    std::string kinds;
    for (int kind = 0; kind <= 4; ++kind)
      if (family_allows_kind(family, kind)) {
        if (!kinds.empty()) kinds += ' ';
        kinds += std::to_string(kind);
      }
    std::fprintf(stderr, "  %-14s %d; %s\n", std::string(family_name(family)).c_str(), natural_kind(family),
                 kinds.c_str());
  }
  std::fprintf(stderr,
               "kinds: 0 real symmetric, 1 real unsymmetric, 2 complex symmetric, 3 complex unsymmetric, "
               "4 complex Hermitian\n");
}

template <class Integer>
std::optional<Integer> parse_integer(std::string_view text) {
  Integer value{};
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc{} || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// Reads the option at argv[i] (and its value); false when it is unknown or malformed.
bool parse_option(int argc, char** argv, int& i, Arguments& args) {
  const std::string_view option = argv[i];
  if (option == "--markers") {
    args.markers = true;
    return true;
  }
  if (i + 1 >= argc) return false;
  const std::string_view value = argv[++i];
  if (option == "--kind") return bool(args.kind = parse_integer<int>(value));
  if (option == "--nrhs") {
    const auto nrhs = parse_integer<std::int32_t>(value);
    if (nrhs) args.nrhs = *nrhs;
    return bool(nrhs);
  }
  if (option == "--seed") {
    const auto seed = parse_integer<std::uint64_t>(value);
    if (seed) args.seed = *seed;
    return bool(seed);
  }
  return false;
}

std::optional<Arguments> parse_arguments(int argc, char** argv) {
  if (argc < 4) return std::nullopt;
  Arguments args;
  const auto family = family_from_name(argv[1]);
  const auto size = parse_integer<std::int32_t>(argv[2]);
  if (!family || !size) return std::nullopt;
  args.family = *family;
  args.size = *size;
  args.dir = argv[3];
  for (int i = 4; i < argc; ++i)
    if (!parse_option(argc, argv, i, args)) return std::nullopt;
  return args;
}

}  // namespace

int main(int argc, char** argv) {
  const auto args = parse_arguments(argc, argv);
  if (!args) {
    print_usage();
    return 2;
  }
  const int kind = args->kind.value_or(natural_kind(args->family));
  try {
    const GeneratedSystem system = generate(args->family, args->size, kind, args->nrhs, args->seed);
    write_system(args->dir, system, args->markers);
    std::printf("%s %d: kind %d, N = %d, nnz = %lld, %d right-hand side(s) in %s\n",
                std::string(family_name(args->family)).c_str(), args->size, kind, system.a.n,
                static_cast<long long>(system.a.nnz), system.nrhs, args->dir.c_str());
  } catch (const std::invalid_argument& error) {
    std::fprintf(stderr, "tsr_generate: %s\n", error.what());
    print_usage();
    return 2;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "tsr_generate: %s\n", error.what());
    return 1;
  }
  return 0;
}
