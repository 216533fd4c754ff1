#pragma once
// The run of one process: kind selection, the solver object, the switches, the
// matrix, and the phases in their fixed order. Returns the exit status of a
// normal end; failures end the process through the fatal path.
int run_tessar(int argc, const char* const* argv);
