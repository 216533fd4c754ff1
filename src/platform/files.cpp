#include "platform/files.h"

#include <filesystem>
#include <system_error>

std::string path_in_dir(const std::string& dir, const std::string& name) { return dir + "/" + name; }

std::int64_t file_size_or_zero(const std::string& path) {
  std::error_code error;
  auto size = std::filesystem::file_size(path, error);
  return error ? 0 : static_cast<std::int64_t>(size);
}
