#pragma once
// The core-library services every subsystem relies on: the diagnostic log with
// its debug level, the message string type and the path type with directory
// creation and free-space query.
//
// Where the log goes: lines are appended to the file named by the environment
// variable TS_LOG_FILE (default "tessar.log" in the current directory; "-"
// sends the log to the standard error stream only). Lines whose level is at or
// below the debug level are written; the debug level is read from TS_DEBUG_LEVEL
// (default 2: errors, warnings and information). Lines that must always appear
// (the level-less form) and level-1 errors and warnings are also copied to the
// standard error stream, so the person who started the run sees why it failed.
#include <cstdint>
#include <string>

struct OrlDebugData {
  std::int32_t level;
};
// The current debug level is the first field; other code only reads it.
extern OrlDebugData my_orl_debug_data;

// Formats with wide printf-style formats; %s takes a narrow (UTF-8) string.
void OrlDebug(std::int32_t level, const wchar_t* format, ...);
void OrlDebug(const wchar_t* format, ...);
void OrlDebug(const wchar_t* category, std::int32_t level, const wchar_t* format, ...);

// Reads TS_DEBUG_LEVEL and TS_LOG_FILE; called once at program start. Without
// it the log goes to "tessar.log" at level 2.
void configure_log_from_environment();
// Points the log at a file (or "-" for the standard error stream) and sets the
// level; an empty name turns the log off, the lines that always appear included.
void configure_log(const std::string& file, std::int32_t level);
// Flushes the log; the fatal path calls it before the process ends.
void flush_log();

// Message text. Stored as UTF-8; c_str() is what %s of OrlDebug expects.
class AString {
 public:
  AString() = default;
  AString(const char* text) : text_(text ? text : "") {}  // NOLINT: implicit like a string literal
  AString(std::string text) : text_(std::move(text)) {}   // NOLINT
  void assign(const char* text) { text_ = text ? text : ""; }
  const char* c_str() const { return text_.c_str(); }
  const std::string& str() const { return text_; }

 private:
  std::string text_;
};

// A path on disk.
class LongFileName {
 public:
  explicit LongFileName(const AString& path) : path_(path.str()) {}
  // Creates the directory and its parents if missing; returns false when it
  // still does not exist afterwards.
  bool MakeItDirectory() const;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// Free space, in bytes, of the volume that holds the path; 0 when unknown.
double LFN_GetFreeSpaceLarge(const LongFileName& path);

// printf into a std::string, for messages built from values.
std::string format_text(const char* format, ...) __attribute__((format(printf, 1, 2)));
