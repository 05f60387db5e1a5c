// Program entry: `kerfline [MOVIE]` opens the window (and the movie);
// `kerfline --export ...` runs an export without a window; `--help`,
// `--version` and usage errors are answered before anything else starts, so
// they need no display (see CommandLine.h). The window program is a module
// loaded only when a window is wanted (see WindowProgram.h), and the export
// engine one loaded only when an export needs FFmpeg (see
// app/cli/ExportBackend.h): a byte copy, help and version load neither.
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

#ifndef KERFLINE_MODULE_DIR
#define KERFLINE_MODULE_DIR ""
#endif

namespace {

std::string ProgramPath() {
  std::string path(4096, '\0');
  const ssize_t n = ::readlink("/proc/self/exe", path.data(), path.size());
  if (n <= 0 || static_cast<size_t>(n) >= path.size()) return {};
  path.resize(static_cast<size_t>(n));
  return path;
}

// The entry point `symbol` of the module `file`, from the first place it
// loads from; null with what went wrong added to `failures`. The module stays
// loaded until the process ends (the toolkit's and the player's exit
// handlers live in the window's).
void* OpenModuleEntry(const char* file, const char* symbol, std::string& failures) {
  for (const std::string& candidate : kf::ModuleCandidates(ProgramPath(), KERFLINE_MODULE_DIR, file)) {
    if (::access(candidate.c_str(), F_OK) != 0) continue;
    void* module = ::dlopen(candidate.c_str(), RTLD_LAZY | RTLD_LOCAL);
    if (!module) {
      const char* why = ::dlerror();
      failures += "\n  " + std::string(why ? why : candidate);
      continue;
    }
    if (void* entry = ::dlsym(module, symbol)) return entry;
    failures += "\n  " + candidate + ": no entry point";
  }
  if (failures.empty()) failures = std::string("\n  ") + file + " was not found beside the program";
  return nullptr;
}

int RunWindowProgram(int argc, char** argv) {
  std::string failures;
  if (void* entry = OpenModuleEntry(kf::kWindowModuleFile, kf::kWindowEntryPoint, failures))
    return reinterpret_cast<kf::WindowEntry>(entry)(argc, argv);
  std::fprintf(stderr, "kerfline: the window could not be started:%s\n  kerfline --export works without it; see kerfline --help\n",
               failures.c_str());
  return kf::kExitFailure;
}

#if KERFLINE_HAVE_EXPORT_CLI
kf::Result<kf::ExportBackend*> LoadExportEngine() {
  static kf::ExportBackend* backend = nullptr;
  if (backend) return backend;
  std::string failures;
  if (void* entry = OpenModuleEntry(kf::kExportModuleFile, kf::kExportBackendEntry, failures))
    backend = reinterpret_cast<kf::ExportBackendEntry>(entry)();
  if (!backend) return kf::Error{kf::kKerflineErrorDomain, 1, failures};
  return backend;
}
#endif

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
      return kf::RunExportCommand(args, LoadExportEngine);
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
