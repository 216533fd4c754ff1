#include "tools/mm/matrix_market.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <fstream>
#include <limits>
#include <string_view>

#include "tools/common/full_matrix.h"
#include "tools/common/kind_dispatch.h"
#include "tools/common/scalar_values.h"

namespace {

// Lines of a file with their numbers; errors name the file and a line.
class LineReader {
 public:
  explicit LineReader(const std::filesystem::path& path) : file_(path.string()), in_(path) {
    if (!in_) throw MatrixMarketError(file_ + ": cannot open the file");
  }

  const std::string& file() const { return file_; }
  std::int64_t line_number() const { return line_number_; }

  bool next(std::string& line) {
    if (!std::getline(in_, line)) return false;
    ++line_number_;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return true;
  }

  // The next line that is neither blank nor a comment.
  bool next_data(std::string& line) {
    while (next(line))
      if (line.find_first_not_of(" \t") != std::string::npos && line.front() != '%') return true;
    return false;
  }

  [[noreturn]] void fail(const std::string& message) const { fail_at(line_number_, message); }
  [[noreturn]] void fail_at(std::int64_t line, const std::string& message) const {
    throw MatrixMarketError(file_ + ":" + std::to_string(line) + ": " + message);
  }

 private:
  std::string file_;
  std::ifstream in_;
  std::int64_t line_number_ = 0;
};

[[noreturn]] void fail_at(const std::string& file, std::int64_t line, const std::string& message) {
  throw MatrixMarketError(file + ":" + std::to_string(line) + ": " + message);
}

std::vector<std::string_view> split(std::string_view text) {
  std::vector<std::string_view> tokens;
  std::size_t start = text.find_first_not_of(" \t");
  while (start != std::string_view::npos) {
    const std::size_t end = std::min(text.find_first_of(" \t", start), text.size());
    tokens.push_back(text.substr(start, end - start));
    start = text.find_first_not_of(" \t", end);
  }
  return tokens;
}

std::string lower_case(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return std::tolower(c); });
  return out;
}

std::int64_t parse_integer(const LineReader& reader, std::string_view token, const char* what) {
  std::int64_t value = 0;
  const auto [end, error] = std::from_chars(token.data(), token.data() + token.size(), value);
  if (error != std::errc{} || end != token.data() + token.size())
    reader.fail("expected an integer " + std::string(what) + ", found \"" + std::string(token) + "\"");
  return value;
}

double parse_real(const LineReader& reader, std::string_view token) {
  if (!token.empty() && token.front() == '+') token.remove_prefix(1);
  double value = 0;
  const auto [end, error] = std::from_chars(token.data(), token.data() + token.size(), value);
  if (error != std::errc{} || end != token.data() + token.size())
    reader.fail("expected a number, found \"" + std::string(token) + "\"");
  return value;
}

struct Header {
  std::string format;
  MmField field = MmField::real;
  MmSymmetry symmetry = MmSymmetry::general;
};

MmField parse_field(const LineReader& reader, const std::string& field) {
  if (field == "real" || field == "double") return MmField::real;
  if (field == "integer") return MmField::integer;
  if (field == "complex") return MmField::complex;
  if (field == "pattern") reader.fail("pattern matrices carry no values and cannot be converted");
  reader.fail("unknown field \"" + field + "\" (expected real, integer or complex)");
}

MmSymmetry parse_symmetry(const LineReader& reader, const std::string& symmetry) {
  if (symmetry == "general") return MmSymmetry::general;
  if (symmetry == "symmetric") return MmSymmetry::symmetric;
  if (symmetry == "skew-symmetric") return MmSymmetry::skew_symmetric;
  if (symmetry == "hermitian") return MmSymmetry::hermitian;
  reader.fail("unknown symmetry \"" + symmetry + "\" (expected general, symmetric, skew-symmetric or hermitian)");
}

Header read_header(LineReader& reader) {
  std::string line;
  if (!reader.next(line)) reader.fail("the file is empty");
  const auto tokens = split(line);
  if (tokens.empty() || lower_case(tokens[0]) != "%%matrixmarket")
    reader.fail("the first line is not a Matrix Market banner (%%MatrixMarket matrix ...)");
  if (tokens.size() != 5) reader.fail("the banner needs 4 words: matrix, format, field and symmetry");
  if (lower_case(tokens[1]) != "matrix") reader.fail("only \"matrix\" objects can be read");
  Header header;
  header.format = lower_case(tokens[2]);
  if (header.format != "coordinate" && header.format != "array")
    reader.fail("unknown format \"" + header.format + "\" (expected coordinate or array)");
  header.field = parse_field(reader, lower_case(tokens[3]));
  header.symmetry = parse_symmetry(reader, lower_case(tokens[4]));
  return header;
}

// The numbers of the size line: rows, columns and, for coordinate files, entries.
std::vector<std::int64_t> read_size_line(LineReader& reader, std::size_t count) {
  std::string line;
  if (!reader.next_data(line)) reader.fail("the file ends before its size line");
  const auto tokens = split(line);
  if (tokens.size() != count)
    reader.fail("the size line needs " + std::to_string(count) + " numbers, found " + std::to_string(tokens.size()));
  std::vector<std::int64_t> sizes;
  for (std::string_view token : tokens) sizes.push_back(parse_integer(reader, token, "size"));
  if (sizes[0] < 1 || sizes[1] < 1) reader.fail("the matrix must have at least one row and one column");
  if (sizes[0] > std::numeric_limits<std::int32_t>::max() || sizes[1] > std::numeric_limits<std::int32_t>::max())
    reader.fail("the matrix is too large for 32-bit indices");
  if (count == 3 && sizes[2] < 0) reader.fail("the number of entries is negative");
  return sizes;
}

// The next data line of a section announced to hold `total` lines, of which
// `done` were read; fails when the file ends early.
std::vector<std::string_view> read_data_tokens(LineReader& reader, std::string& line, std::int64_t done,
                                               std::int64_t total, std::int64_t size_line) {
  if (!reader.next_data(line))
    reader.fail("the file ends after " + std::to_string(done) + " of the " + std::to_string(total) +
                " entries announced on line " + std::to_string(size_line));
  return split(line);
}

void expect_end(LineReader& reader, std::int64_t total, std::int64_t size_line) {
  std::string line;
  if (reader.next_data(line))
    reader.fail("more entries than the " + std::to_string(total) + " announced on line " + std::to_string(size_line));
}

std::complex<double> parse_value(const LineReader& reader, const std::vector<std::string_view>& tokens,
                                 std::size_t first, bool complex) {
  const std::size_t expected = first + (complex ? 2 : 1);
  if (tokens.size() != expected)
    reader.fail("expected " + std::to_string(expected) + " numbers on the line, found " +
                std::to_string(tokens.size()));
  return {parse_real(reader, tokens[first]), complex ? parse_real(reader, tokens[first + 1]) : 0.0};
}

std::int32_t parse_index(const LineReader& reader, std::string_view token, std::int32_t n, const char* what) {
  const std::int64_t index = parse_integer(reader, token, what);
  if (index < 1 || index > n)
    reader.fail(std::string(what) + " index " + std::to_string(index) + " is outside 1 … " + std::to_string(n));
  return static_cast<std::int32_t>(index - 1);
}

MmEntry read_entry(const LineReader& reader, const std::vector<std::string_view>& tokens, const MmMatrix& matrix) {
  if (tokens.size() < 2) reader.fail("expected a row and a column index");
  MmEntry entry;
  entry.row = parse_index(reader, tokens[0], matrix.n, "row");
  entry.col = parse_index(reader, tokens[1], matrix.n, "column");
  entry.value = parse_value(reader, tokens, 2, matrix.field == MmField::complex);
  entry.line = reader.line_number();
  if (entry.row == entry.col && matrix.symmetry == MmSymmetry::hermitian && entry.value.imag() != 0)
    reader.fail("a diagonal entry of a Hermitian matrix must be real");
  if (entry.row == entry.col && matrix.symmetry == MmSymmetry::skew_symmetric && entry.value != 0.0)
    reader.fail("a diagonal entry of a skew-symmetric matrix must be zero");
  return entry;
}

// Orders the entries by position; in files with a symmetry, (i, j) and (j, i)
// are the same position. Two entries at one position are an error.
void reject_duplicates(const MmMatrix& matrix) {
  const bool one_triangle = matrix.symmetry != MmSymmetry::general;
  const auto key = [&](const MmEntry& e) {
    return one_triangle ? std::pair(std::max(e.row, e.col), std::min(e.row, e.col)) : std::pair(e.row, e.col);
  };
  std::vector<const MmEntry*> order;
  for (const MmEntry& entry : matrix.entries) order.push_back(&entry);
  std::sort(order.begin(), order.end(), [&](const MmEntry* a, const MmEntry* b) {
    return key(*a) != key(*b) ? key(*a) < key(*b) : a->line < b->line;
  });
  for (std::size_t k = 1; k < order.size(); ++k) {
    if (key(*order[k]) != key(*order[k - 1])) continue;
    fail_at(matrix.file, order[k]->line,
            "entry (" + std::to_string(order[k]->row + 1) + ", " + std::to_string(order[k]->col + 1) +
                ") repeats the entry given on line " + std::to_string(order[k - 1]->line));
  }
}

std::complex<double> mirror_in_file(MmSymmetry symmetry, std::complex<double> value) {
  switch (symmetry) {
    case MmSymmetry::skew_symmetric:
      return -value;
    case MmSymmetry::hermitian:
      return std::conj(value);
    default:
      return value;
  }
}

const char* kind_symmetry_name(int kind) { return kind == 4 ? "Hermitian" : "symmetric"; }

template <class K>
FullMatrix<K> expand(const MmMatrix& matrix) {
  using Scalar = typename K::scalar;
  FullMatrix<K> full(matrix.n);
  for (const MmEntry& e : matrix.entries) {
    full.set(e.row, e.col, make_scalar<Scalar>(e.value.real(), e.value.imag()));
    if (matrix.symmetry != MmSymmetry::general && e.row != e.col) {
      const auto mirrored = mirror_in_file(matrix.symmetry, e.value);
      full.set(e.col, e.row, make_scalar<Scalar>(mirrored.real(), mirrored.imag()));
    }
  }
  return full;
}

// For the symmetric and Hermitian kinds, where only one triangle is stored.
template <class K>
void check_kind_symmetry(const MmMatrix& matrix, const FullMatrix<K>& full) {
  for (const MmEntry& e : matrix.entries) {
    if (full.at(e.col, e.row) == K::mirror(full.at(e.row, e.col))) continue;
    fail_at(matrix.file, e.line,
            "entry (" + std::to_string(e.row + 1) + ", " + std::to_string(e.col + 1) + ") does not match entry (" +
                std::to_string(e.col + 1) + ", " + std::to_string(e.row + 1) + "): the matrix is not " +
                kind_symmetry_name(K::solver_type) + "; convert it to kind " + (K::is_complex ? "3" : "1"));
  }
}

template <class K>
YaleMatrix convert(const MmMatrix& matrix) {
  if (matrix.field == MmField::complex && !K::is_complex)
    fail_at(matrix.file, 1, "complex values cannot be converted to the real kind " + std::to_string(K::solver_type));
  const FullMatrix<K> full = expand<K>(matrix);
  if constexpr (K::symmetry != Symmetry::unsymmetric) check_kind_symmetry(matrix, full);
  return full.stored();
}

std::string format_scalar(const std::vector<double>& values, std::size_t k, bool complex) {
  char text[64];
  if (complex)
    std::snprintf(text, sizeof text, "%.17g %.17g", values[2 * k], values[2 * k + 1]);
  else
    std::snprintf(text, sizeof text, "%.17g", values[k]);
  return text;
}

std::FILE* create_file(const std::filesystem::path& path) {
  std::FILE* file = std::fopen(path.c_str(), "w");
  if (file == nullptr) throw MatrixMarketError(path.string() + ": cannot create the file");
  return file;
}

void close_file(std::FILE* file, const std::filesystem::path& path) {
  const bool failed = std::ferror(file) != 0;
  if (std::fclose(file) != 0 || failed) throw MatrixMarketError(path.string() + ": cannot write the file");
}

// The stored entry (i, j) as the file's lower-triangle entry (j, i).
template <class K>
std::vector<double> mirrored_values(const YaleMatrix& a) {
  using Scalar = typename K::scalar;
  std::vector<double> out;
  for (std::size_t p = 0; p < a.col_idx.size(); ++p) push_scalar(out, K::mirror(scalar_at<Scalar>(a.values, p)));
  return out;
}

}  // namespace

MmMatrix read_matrix_market(const std::filesystem::path& path) {
  LineReader reader(path);
  const Header header = read_header(reader);
  if (header.format != "coordinate") reader.fail_at(1, "a matrix must be in coordinate format");
  if (header.field == MmField::complex && header.symmetry == MmSymmetry::skew_symmetric)
    reader.fail("complex skew-symmetric matrices are not supported");
  if (header.field != MmField::complex && header.symmetry == MmSymmetry::hermitian)
    reader.fail("a Hermitian matrix must have complex values");
  const auto sizes = read_size_line(reader, 3);
  const std::int64_t size_line = reader.line_number();
  if (sizes[0] != sizes[1]) reader.fail("the matrix is not square");
  MmMatrix matrix{reader.file(), header.field, header.symmetry, static_cast<std::int32_t>(sizes[0]), {}};
  std::string line;
  for (std::int64_t k = 0; k < sizes[2]; ++k)
    matrix.entries.push_back(read_entry(reader, read_data_tokens(reader, line, k, sizes[2], size_line), matrix));
  expect_end(reader, sizes[2], size_line);
  reject_duplicates(matrix);
  return matrix;
}

int default_kind(const MmMatrix& matrix) {
  const bool complex = matrix.field == MmField::complex;
  switch (matrix.symmetry) {
    case MmSymmetry::symmetric:
      return complex ? 2 : 0;
    case MmSymmetry::hermitian:
      return 4;
    default:
      return complex ? 3 : 1;
  }
}

YaleMatrix convert_to_kind(const MmMatrix& matrix, int kind) {
  return with_kind(kind, [&](auto k) { return convert<decltype(k)>(matrix); });
}

void write_matrix_market(const std::filesystem::path& path, const YaleMatrix& a, int kind) {
  const char* symmetry = kind_is_unsymmetric(kind) ? "general" : (kind == 4 ? "hermitian" : "symmetric");
  const std::vector<double> values =
      kind_is_unsymmetric(kind) ? a.values : with_kind(kind, [&](auto k) { return mirrored_values<decltype(k)>(a); });
  std::FILE* file = create_file(path);
  std::fprintf(file, "%%%%MatrixMarket matrix coordinate %s %s\n", a.complex ? "complex" : "real", symmetry);
  std::fprintf(file, "%d %d %lld\n", a.n, a.n, static_cast<long long>(a.nnz));
  for (std::int32_t i = 0; i < a.n; ++i) {
    for (auto p = static_cast<std::size_t>(a.row_ptr[static_cast<std::size_t>(i)]);
         p < static_cast<std::size_t>(a.row_ptr[static_cast<std::size_t>(i) + 1]); ++p) {
      const std::int32_t j = a.col_idx[p];
      const auto [row, col] = kind_is_unsymmetric(kind) ? std::pair(i, j) : std::pair(j, i);
      std::fprintf(file, "%d %d %s\n", row + 1, col + 1, format_scalar(values, p, a.complex).c_str());
    }
  }
  close_file(file, path);
}

MmArray read_matrix_market_array(const std::filesystem::path& path) {
  LineReader reader(path);
  const Header header = read_header(reader);
  if (header.format != "array") reader.fail_at(1, "vectors must be in array format");
  if (header.symmetry != MmSymmetry::general) reader.fail_at(1, "vectors must be \"general\"");
  const auto sizes = read_size_line(reader, 2);
  MmArray array{reader.file(),
                reader.line_number(),
                static_cast<std::int32_t>(sizes[0]),
                static_cast<std::int32_t>(sizes[1]),
                header.field == MmField::complex,
                {}};
  const std::int64_t total = sizes[0] * sizes[1];
  std::string line;
  for (std::int64_t k = 0; k < total; ++k)
    array.values.push_back(
        parse_value(reader, read_data_tokens(reader, line, k, total, array.size_line), 0, array.complex));
  expect_end(reader, total, array.size_line);
  return array;
}

std::vector<double> vectors_for_kind(const MmArray& array, std::int32_t n, int kind) {
  if (array.rows != n)
    fail_at(array.file, array.size_line,
            "the vectors have " + std::to_string(array.rows) + " rows but the matrix has " + std::to_string(n));
  if (array.complex && !kind_is_complex(kind))
    fail_at(array.file, 1, "complex values cannot be used with the real kind " + std::to_string(kind));
  std::vector<double> values;
  for (const auto& value : array.values) {
    values.push_back(value.real());
    if (kind_is_complex(kind)) values.push_back(value.imag());
  }
  return values;
}

void write_matrix_market_array(const std::filesystem::path& path, const std::vector<double>& values, std::int32_t n,
                               std::int32_t count, bool complex) {
  std::FILE* file = create_file(path);
  std::fprintf(file, "%%%%MatrixMarket matrix array %s general\n", complex ? "complex" : "real");
  std::fprintf(file, "%d %d\n", n, count);
  const auto total = static_cast<std::size_t>(n) * static_cast<std::size_t>(count);
  for (std::size_t k = 0; k < total; ++k) std::fprintf(file, "%s\n", format_scalar(values, k, complex).c_str());
  close_file(file, path);
}

std::vector<double> multiply_by_ones(const YaleMatrix& a, int kind) {
  return with_kind(kind, [&](auto k) {
    using K = decltype(k);
    const auto full = FullMatrix<K>::from_stored(a);
    std::vector<double> b;
    append_doubles(b, full.multiply(std::vector<typename K::scalar>(static_cast<std::size_t>(a.n), 1.0)));
    return b;
  });
}
