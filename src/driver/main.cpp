#include <new>
#include <stdexcept>

#include "driver/main_flow.h"
#include "platform/core_library.h"
#include "platform/error.h"

int main(int argc, char** argv) {
  configure_log_from_environment();
  // A standard container that cannot grow ends the run like any other
  // allocation failure.
  try {
    return run_tessar(argc, argv);
  } catch (const std::bad_alloc&) {
    tsr_error().fatal("Not enough memory", 100);
  } catch (const std::length_error&) {
    tsr_error().fatal("Not enough memory", 100);
  }
}
