// Program entry: `kerfline [MOVIE]` opens the window (and the movie);
// `kerfline --export ...` runs an export without a window; `--help`,
// `--version` and usage errors are answered before anything else starts, so
// they need no display (see CommandLine.h). The window program is a module
// loaded only when a window is wanted (see WindowProgram.h): the other paths
// load FFmpeg's libraries and nothing of the toolkit or the player.
#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/shell/CommandLine.h"
#include "app/shell/WindowProgram.h"

#if KERFLINE_HAVE_EXPORT_CLI
#include "app/cli/ExportCommand.h"
#endif

#ifndef KERFLINE_WINDOW_MODULE_DIR
#define KERFLINE_WINDOW_MODULE_DIR ""
#endif

namespace {

std::string ProgramPath() {
  std::string path(4096, '\0');
  const ssize_t n = ::readlink("/proc/self/exe", path.data(), path.size());
  if (n <= 0 || static_cast<size_t>(n) >= path.size()) return {};
  path.resize(static_cast<size_t>(n));
  return path;
}

int RunWindowProgram(int argc, char** argv) {
  std::string failures;
  for (const std::string& candidate : kf::WindowModuleCandidates(ProgramPath(), KERFLINE_WINDOW_MODULE_DIR)) {
    if (::access(candidate.c_str(), F_OK) != 0) continue;
    void* module = ::dlopen(candidate.c_str(), RTLD_LAZY | RTLD_LOCAL);
    if (!module) {
      const char* why = ::dlerror();
      failures += "\n  " + std::string(why ? why : candidate);
      continue;
    }
    auto entry = reinterpret_cast<kf::WindowEntry>(::dlsym(module, kf::kWindowEntryPoint));
    if (!entry) {
      failures += "\n  " + candidate + ": no entry point";
      continue;
    }
    // The module stays loaded until the process ends: the toolkit's and the
    // player's exit handlers live in it.
    return entry(argc, argv);
  }
  if (failures.empty()) failures = std::string("\n  ") + kf::kWindowModuleFile + " was not found beside the program";
  std::fprintf(stderr, "kerfline: the window could not be started:%s\n  kerfline --export works without it; see kerfline --help\n",
               failures.c_str());
  return kf::kExitFailure;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  const kf::CommandLine line = kf::ParseCommandLine(args);
  switch (line.action) {
    case kf::CommandLine::Action::Help:
      std::fputs(kf::UsageText().c_str(), stdout);
      return kf::kExitSuccess;
    case kf::CommandLine::Action::Version:
      std::fputs(kf::VersionText().c_str(), stdout);
      return kf::kExitSuccess;
    case kf::CommandLine::Action::UsageError:
      std::fprintf(stderr, "kerfline: %s\n\n%s", line.error.c_str(), kf::UsageText().c_str());
      return kf::kExitUsage;
    case kf::CommandLine::Action::Export:
#if KERFLINE_HAVE_EXPORT_CLI
      return kf::RunExportCommand(args);
#else
      std::fprintf(stderr, "kerfline: this build has no command-line export\n");
      return kf::kExitUsage;
#endif
    case kf::CommandLine::Action::Open:
      break;
  }
  if (!kf::DisplayAvailable(line, [](const char* name) -> const char* { return std::getenv(name); })) {
    std::fprintf(stderr,
                 "kerfline: no display to show the window on (DISPLAY and WAYLAND_DISPLAY are unset);\n"
                 "  kerfline --export works without one; see kerfline --help\n");
    return kf::kExitFailure;
  }
  return RunWindowProgram(argc, argv);
}
