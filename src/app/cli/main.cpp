// kerfline-export: the headless export on its own, for scripts and tests
// (the application's main dispatches "--export" to the same function).
#include <string>
#include <vector>

#include "app/cli/ExportCommand.h"
#include "app/cli/FfmpegExportBackend.h"

int main(int argc, char** argv) {
  std::vector<std::string> args{"--export"};
  for (int i = 1; i < argc; ++i) {
    if (i == 1 && std::string(argv[i]) == "--export") continue;
    args.emplace_back(argv[i]);
  }
  return kf::RunExportCommand(args, kf::LinkedFfmpegBackend());
}
