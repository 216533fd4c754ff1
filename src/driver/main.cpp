#include "driver/main_flow.h"
#include "platform/core_library.h"

int main(int argc, char** argv) {
  configure_log_from_environment();
  return run_tessar(argc, argv);
}
