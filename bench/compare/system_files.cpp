#include "bench/compare/system_files.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <stdexcept>

namespace {

using File = std::unique_ptr<std::FILE, int (*)(std::FILE*)>;

File open_file(const std::string& path, const char* mode) {
  File file(std::fopen(path.c_str(), mode), &std::fclose);
  if (!file) throw std::runtime_error("cannot open " + path);
  return file;
}

std::uintmax_t file_bytes(const std::string& path) {
  std::error_code error;
  const std::uintmax_t bytes = std::filesystem::file_size(path, error);
  if (error) throw std::runtime_error("cannot size " + path);
  return bytes;
}

// Reads the records of one chunk into the triplets.
void unpack_records(const std::vector<char>& chunk, std::size_t records, std::size_t record_bytes, Triplets& a) {
  const std::size_t value_bytes = 8 * static_cast<std::size_t>(a.width);
  for (std::size_t r = 0; r < records; ++r) {
    const char* record = chunk.data() + r * record_bytes;
    std::int32_t row, col;
    std::memcpy(&row, record, 4);
    std::memcpy(&col, record + 4, 4);
    a.rows.push_back(row);
    a.cols.push_back(col);
    const std::size_t at = a.values.size();
    a.values.resize(at + static_cast<std::size_t>(a.width));
    std::memcpy(a.values.data() + at, record + 8, value_bytes);
  }
}

}  // namespace

int parse_kind(const std::string& text) {
  if (text.size() == 1 && text[0] >= '0' && text[0] <= '4') return text[0] - '0';
  throw std::invalid_argument("kind must be 0 to 4, not '" + text + "'");
}

Triplets read_matrix_file(const std::string& path, bool complex) {
  Triplets a;
  a.width = complex ? 2 : 1;
  const std::size_t record_bytes = complex ? 24 : 16;
  const std::uintmax_t bytes = file_bytes(path);
  if (bytes == 0 || bytes % record_bytes != 0) throw std::runtime_error(path + " is not a whole number of records");
  const std::size_t total = bytes / record_bytes;
  a.rows.reserve(total);
  a.cols.reserve(total);
  a.values.reserve(total * static_cast<std::size_t>(a.width));
  const File file = open_file(path, "rb");
  constexpr std::size_t chunk_records = 1 << 16;
  std::vector<char> chunk(chunk_records * record_bytes);
  for (std::size_t done = 0; done < total;) {
    const std::size_t records = std::min(chunk_records, total - done);
    if (std::fread(chunk.data(), record_bytes, records, file.get()) != records)
      throw std::runtime_error("cannot read " + path);
    unpack_records(chunk, records, record_bytes, a);
    done += records;
  }
  a.n = a.rows.back() + 1;
  return a;
}

std::vector<double> read_vector_file(const std::string& path) {
  const std::uintmax_t bytes = file_bytes(path);
  if (bytes % sizeof(double) != 0) throw std::runtime_error(path + " is not a whole number of doubles");
  std::vector<double> values(bytes / sizeof(double));
  const File file = open_file(path, "rb");
  if (std::fread(values.data(), sizeof(double), values.size(), file.get()) != values.size())
    throw std::runtime_error("cannot read " + path);
  return values;
}

void write_vector_file(const std::string& path, const std::vector<double>& values) {
  const File file = open_file(path, "wb");
  if (std::fwrite(values.data(), sizeof(double), values.size(), file.get()) != values.size())
    throw std::runtime_error("cannot write " + path);
}
