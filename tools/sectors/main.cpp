// sectors: reads and writes absolute sectors of image files or block
// devices mapped to drive letters, through the raw disk component.
#include <cstdio>
#include <exception>

#include "Commands.h"
#include "Files.h"
#include "Options.h"

int main(int argc, char** argv) {
  using namespace sectors;
  try {
    TOptions options = ParseOptions(argc, argv);
    if (options.Help) {
      std::fputs(UsageText, stdout);
      return 0;
    }
    switch (options.Command) {
      case TCommand::Info: return RunInfo(options);
      case TCommand::Read: return RunRead(options);
      case TCommand::Write: return RunWrite(options);
      case TCommand::None: break;
    }
    return 2;
  } catch (const TUsageError& e) {
    std::fflush(stdout);
    std::fprintf(stderr, "sectors: %s\n", e.what());
    return 2;
  } catch (const std::exception& e) {
    std::fflush(stdout);
    std::fprintf(stderr, "sectors: %s\n", e.what());
    return 1;
  }
}
