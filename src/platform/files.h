#pragma once
// File-system facts that need no solver object.
#include <cstddef>
#include <cstdint>
#include <string>

// "%s/%s" of a directory and a name.
std::string path_in_dir(const std::string& dir, const std::string& name);

// Size in bytes of a regular file; 0 when it is missing or cannot be sized.
std::int64_t file_size_or_zero(const std::string& path);

// The first bytes of a regular file mapped into memory privately: reads see
// the file, writes stay in this process (each page written is copied). Pages
// of a file in the page cache are mapped as they are, neither allocated nor
// cleared nor copied. Unmapped by unmap or on destruction.
class MappedFile {
 public:
  MappedFile() = default;
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;
  ~MappedFile() { unmap(); }

  // False (nothing mapped) when the file is shorter than bytes or cannot be
  // mapped.
  bool map(const std::string& path, std::int64_t bytes);
  void unmap();
  std::byte* data() const { return data_; }

 private:
  std::byte* data_ = nullptr;
  std::size_t bytes_ = 0;
};
