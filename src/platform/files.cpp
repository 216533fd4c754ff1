#include "platform/files.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <filesystem>
#include <system_error>

std::string path_in_dir(const std::string& dir, const std::string& name) { return dir + "/" + name; }

std::int64_t file_size_or_zero(const std::string& path) {
  std::error_code error;
  auto size = std::filesystem::file_size(path, error);
  return error ? 0 : static_cast<std::int64_t>(size);
}

bool MappedFile::map(const std::string& path, std::int64_t bytes) {
  unmap();
  if (bytes <= 0 || file_size_or_zero(path) < bytes) return false;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  void* at = ::mmap(nullptr, static_cast<std::size_t>(bytes), PROT_READ | PROT_WRITE, MAP_PRIVATE, fd, 0);
  ::close(fd);
  if (at == MAP_FAILED) return false;
  data_ = static_cast<std::byte*>(at);
  bytes_ = static_cast<std::size_t>(bytes);
  return true;
}

void MappedFile::unmap() {
  if (data_) ::munmap(data_, bytes_);
  data_ = nullptr;
  bytes_ = 0;
}
