#pragma once
// The progress protocol the parent program reads from the standard error
// stream: "solver :progress %f\n" and "solver :message %s\n", one whole line
// per write, silent when quiet or no_progress is set.
#include <cstdint>

class tessar;

void report_progress(const tessar& solver, std::int32_t percent);
void report_message(const tessar& solver, const char* text);

// Midpoint of a progress band, truncated toward zero.
std::int32_t band_midpoint(std::int32_t start, std::int32_t end);
