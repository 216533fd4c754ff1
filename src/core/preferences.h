#pragma once
// Settings from the environment and from the optional "prefs.ini" in the
// current directory, read once while the solver object is constructed so that
// the switches parsed afterwards override them.
#include <cstdint>
#include <istream>

class tessar;

// Reads the environment variables and "prefs.ini" into the solver.
void read_preferences(tessar& solver);

// Applies the "DIRECT_SOLVER" directives of a preferences text. Never fatal:
// malformed material is skipped, with a warning where a value is unusable.
void apply_preferences(tessar& solver, std::istream& text, const char* file_name);

// The processor rule: v < 1 counts back from the p processors (at least 1);
// v > 1 is capped at p.
std::int32_t processor_rule(std::int32_t requested, std::int32_t processors);

// Applies the processor rule to a requested count, sets the dense library's
// thread count and logs a change of ncpu.
void set_processor_count(tessar& solver, std::int32_t requested);
