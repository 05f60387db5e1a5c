// The program `kerfline` is two pieces: the command line (help, version,
// usage errors, the headless export), which needs no toolkit, player or
// FFmpeg, and the window program, a module loaded at run time only when a
// window is wanted. Its entry point takes the program's own arguments. (The
// headless export loads the export engine, another module, only when it
// needs FFmpeg; see app/cli/ExportBackend.h.)
#pragma once

#include <string>
#include <vector>

#define KERFLINE_WINDOW_EXPORT __attribute__((visibility("default")))

namespace kf {

// The module's file name and its entry point.
inline constexpr const char* kWindowModuleFile = "kerfline-window.so";
inline constexpr const char* kWindowEntryPoint = "kerfline_window_main";
using WindowEntry = int (*)(int argc, char** argv);

// Where a module of the program (the window's, or the export engine's) may
// be, in the order to try: beside the program (the build tree), then in the
// installed folder named relative to the program's folder (e.g.
// "../lib/kerfline"). programPath is the program's resolved file; an empty
// path (unknown) gives no candidates.
std::vector<std::string> ModuleCandidates(const std::string& programPath, const std::string& installedDir,
                                          const std::string& fileName);

}  // namespace kf

extern "C" KERFLINE_WINDOW_EXPORT int kerfline_window_main(int argc, char** argv);
