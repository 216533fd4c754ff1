#pragma once
// Facts about the process and the machine, and the few environment operations
// the solver needs.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

// Decimal reading of a text: leading white space, an optional sign and the
// leading digits; 0 when there are no digits. Saturates instead of overflowing.
std::int64_t decimal_value(const char* text);

// The decimal value of an environment variable, or nothing when it is unset.
std::optional<std::int64_t> environment_value(const char* name);
bool environment_has(const char* name);

// Puts NAME=VALUE into the process environment; returns 0 or the error number.
int put_environment(const char* name, const char* value);

// Backs the whole pages inside [data, data + bytes) with memory now, in one
// call, where the system offers it (nothing otherwise). Touching fresh pages
// one by one costs a fault each, several microseconds under a hypervisor;
// for an array the caller will write whole anyway, this takes a tenth of it.
void back_pages_now(void* data, std::size_t bytes);

// Total physical memory of the machine in bytes.
std::int64_t total_physical_memory_bytes();

// Kernel plus user time of the process in 100-nanosecond units, or nothing
// when the operating system cannot report it.
std::optional<std::int64_t> process_cpu_time_100ns();

// Milliseconds since the process started, from a monotonic clock.
std::int64_t elapsed_milliseconds();

// The current directory, or nothing when it cannot be taken.
std::optional<std::string> current_directory();

// Processor count of the OpenMP runtime, and its thread count for the dense
// library (the calling thread's setting).
int processor_count();
int thread_count();
void set_thread_count(int threads);
