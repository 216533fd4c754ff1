#pragma once
// File-system facts that need no solver object.
#include <cstdint>
#include <string>

// "%s/%s" of a directory and a name.
std::string path_in_dir(const std::string& dir, const std::string& name);

// Size in bytes of a regular file; 0 when it is missing or cannot be sized.
std::int64_t file_size_or_zero(const std::string& path);
