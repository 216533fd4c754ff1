#pragma once
// The command line: the kind switches, looked at before the solver exists,
// and the option switches, parsed by the solver object right after it is
// built. Switches match whole arguments exactly; a value-taking switch
// consumes the next argument as a decimal integer.
#include <cstdint>

class tessar;

struct KindSelection {
  int kind = 0;            // last kind switch on the line, 0 without any
  bool back_exec = false;  // the kind then comes from the head of "index"
};

KindSelection kind_from_switches(int argc, const char* const* argv);

enum class ParseOutcome { run, end_now };

// Applies the switches to the solver's configuration, logging each. Returns
// end_now for -built. Bad values end the run through fatal, code 1.
ParseOutcome parse_switches(tessar& solver, int argc, const char* const* argv);
