// Program entry: hands the arguments to the main line. Running out of memory anywhere
// ends the program with "Insufficient memory." and exit code 2.
#include <new>
#include <string>
#include <vector>

#include "driver/base/messages.h"
#include "driver/base/output.h"
#include "driver/base/results.h"
#include "driver/base/stop.h"
#include "driver/run.h"

int main(int argc, char** argv) {
  try {
    std::vector<std::string> args(argv, argv + argc);
    driver::program_main(args);
  } catch (const std::bad_alloc&) {
    driver::console_printf("%s", msg::kInsufficientMemory);
    driver::stop(driver::kExitError);
  }
}
