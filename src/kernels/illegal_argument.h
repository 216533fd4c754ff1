#pragma once
// The fixed report of an illegal argument passed to a dense kernel, in the
// form LAPACK's callers expect on standard output; the process then stops,
// because a wrong argument means a programming fault in the caller.

// Writes " ** On entry to NAME   parameter number NN had an illegal value"
// with the name cut to six characters, and ends the process with status 1.
[[noreturn]] void report_illegal_argument(const char* name, int parameter);
