#include "platform/core_library.h"

#include <unistd.h>

#include <clocale>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <cwchar>
#include <filesystem>
#include <mutex>
#include <system_error>
#include <vector>

#include "platform/process.h"

OrlDebugData my_orl_debug_data{2};

namespace {

class LogSink {
 public:
  ~LogSink() { close(); }

  void configure(const std::string& file, std::int32_t level) {
    std::lock_guard lock(mutex_);
    close();
    file_name_ = file;
    my_orl_debug_data.level = level;
    opened_ = false;
  }

  void write(std::int32_t level, bool always, const std::string& line) {
    std::lock_guard lock(mutex_);
    if (file_name_.empty() || (!always && level > my_orl_debug_data.level)) return;
    FILE* log = open_once();
    if (log) {
      std::fputs(line.c_str(), log);
      std::fflush(log);
    }
    if (log != stderr && (always || level <= 1)) {
      std::fputs(line.c_str(), stderr);
      std::fflush(stderr);
    }
  }

  void flush() {
    std::lock_guard lock(mutex_);
    if (file_) std::fflush(file_);
  }

 private:
  // The log file is opened on the first line, so a run that logs nothing
  // leaves no file behind. A file that cannot be opened sends the log to the
  // standard error stream.
  FILE* open_once() {
    if (!opened_) {
      opened_ = true;
      if (file_name_ == "-") {
        file_ = stderr;
      } else {
        file_ = std::fopen(file_name_.c_str(), "a");
        if (!file_) {
          std::fprintf(stderr, "Cannot open log file %s, logging to standard error\n", file_name_.c_str());
          file_ = stderr;
        }
      }
    }
    return file_;
  }

  void close() {
    if (file_ && file_ != stderr) std::fclose(file_);
    file_ = nullptr;
  }

  std::mutex mutex_;
  std::string file_name_ = "tessar.log";
  FILE* file_ = nullptr;
  bool opened_ = false;
};

LogSink& sink() {
  static LogSink instance;
  return instance;
}

void append_utf8(std::string& out, wchar_t wc) {
  auto c = static_cast<std::uint32_t>(wc);
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

std::string format_wide(const wchar_t* format, va_list args) {
  std::vector<wchar_t> buffer(512);
  for (;;) {
    va_list copy;
    va_copy(copy, args);
    int written = std::vswprintf(buffer.data(), buffer.size(), format, copy);
    va_end(copy);
    if (written >= 0) {
      std::string out;
      out.reserve(static_cast<std::size_t>(written));
      for (int i = 0; i < written; ++i) append_utf8(out, buffer[static_cast<std::size_t>(i)]);
      return out;
    }
    // vswprintf fails both when the buffer is short and on a bad conversion;
    // stop growing at a size no log line needs.
    if (buffer.size() > (1u << 20)) return "[log line could not be formatted]\n";
    buffer.resize(buffer.size() * 4);
  }
}

void ensure_utf8_ctype() {
  static std::once_flag once;
  std::call_once(once, [] {
    if (!std::setlocale(LC_CTYPE, "C.UTF-8")) std::setlocale(LC_CTYPE, "");
  });
}

}  // namespace

void OrlDebug(std::int32_t level, const wchar_t* format, ...) {
  if (level > my_orl_debug_data.level) return;
  ensure_utf8_ctype();
  va_list args;
  va_start(args, format);
  std::string line = format_wide(format, args);
  va_end(args);
  sink().write(level, false, line);
}

void OrlDebug(const wchar_t* format, ...) {
  ensure_utf8_ctype();
  va_list args;
  va_start(args, format);
  std::string line = format_wide(format, args);
  va_end(args);
  sink().write(0, true, line);
}

void OrlDebug(const wchar_t* category, std::int32_t level, const wchar_t* format, ...) {
  if (level > my_orl_debug_data.level) return;
  ensure_utf8_ctype();
  std::string line = "[";
  for (const wchar_t* c = category; *c; ++c) append_utf8(line, *c);
  line += "] ";
  va_list args;
  va_start(args, format);
  line += format_wide(format, args);
  va_end(args);
  sink().write(level, false, line);
}

void configure_log(const std::string& file, std::int32_t level) { sink().configure(file, level); }

void configure_log_from_environment() {
  std::int32_t level = 2;
  if (const char* text = std::getenv("TS_DEBUG_LEVEL")) level = static_cast<std::int32_t>(decimal_value(text));
  const char* file = std::getenv("TS_LOG_FILE");
  configure_log(file && *file ? file : "tessar.log", level);
}

void flush_log() { sink().flush(); }

bool LongFileName::MakeItDirectory() const {
  std::error_code error;
  std::filesystem::create_directories(path_, error);
  return std::filesystem::is_directory(path_, error);
}

double LFN_GetFreeSpaceLarge(const LongFileName& path) {
  std::error_code error;
  auto info = std::filesystem::space(path.path(), error);
  if (error) return 0.0;
  return static_cast<double>(info.available);
}

std::string format_text(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  int size = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string out(size > 0 ? static_cast<std::size_t>(size) : 0, '\0');
  if (size > 0) std::vsnprintf(out.data(), out.size() + 1, format, args);
  va_end(args);
  return out;
}
