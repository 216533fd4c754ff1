#include "platform/process.h"

#include <omp.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <ctime>
#include <filesystem>

std::int64_t decimal_value(const char* text) {
  if (!text) return 0;
  while (std::isspace(static_cast<unsigned char>(*text))) ++text;
  bool negative = false;
  if (*text == '+' || *text == '-') negative = (*text++ == '-');
  std::int64_t value = 0;
  for (; std::isdigit(static_cast<unsigned char>(*text)); ++text) {
    int digit = *text - '0';
    if (value > (INT64_MAX - digit) / 10) return negative ? INT64_MIN : INT64_MAX;
    value = value * 10 + digit;
  }
  return negative ? -value : value;
}

std::optional<std::int64_t> environment_value(const char* name) {
  const char* text = std::getenv(name);
  if (!text) return std::nullopt;
  return decimal_value(text);
}

bool environment_has(const char* name) { return std::getenv(name) != nullptr; }

int put_environment(const char* name, const char* value) {
  return setenv(name, value, 1) == 0 ? 0 : errno;
}

void back_pages_now(void* data, std::size_t bytes) {
#ifdef MADV_POPULATE_WRITE
  const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  const auto start = reinterpret_cast<std::uintptr_t>(data);
  const std::uintptr_t first = (start + page - 1) / page * page, end = (start + bytes) / page * page;
  // Older kernels refuse the advice, and a failure to back pages only leaves
  // them to the faults: the result is ignored.
  if (end > first) (void)madvise(reinterpret_cast<void*>(first), end - first, MADV_POPULATE_WRITE);
#else
  (void)data;
  (void)bytes;
#endif
}

std::int64_t total_physical_memory_bytes() {
  long pages = sysconf(_SC_PHYS_PAGES);
  long page_size = sysconf(_SC_PAGE_SIZE);
  if (pages <= 0 || page_size <= 0) return 0;
  return static_cast<std::int64_t>(pages) * page_size;
}

std::optional<std::int64_t> process_cpu_time_100ns() {
  timespec now{};
  if (clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now) != 0) return std::nullopt;
  return static_cast<std::int64_t>(now.tv_sec) * 10'000'000 + now.tv_nsec / 100;
}

std::int64_t elapsed_milliseconds() {
  static const auto start = std::chrono::steady_clock::now();
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
}

std::optional<std::string> current_directory() {
  std::error_code error;
  auto path = std::filesystem::current_path(error);
  if (error) return std::nullopt;
  return path.string();
}

int processor_count() { return omp_get_num_procs(); }

int thread_count() { return omp_get_max_threads(); }

void set_thread_count(int threads) { omp_set_num_threads(threads); }
