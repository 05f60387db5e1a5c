// The program's command line, decided before any window or display exists:
//
//   kerfline [OPTION...] [MOVIE | LINK]...
//   kerfline --export SOURCE -o OUTPUT [...]   (see app/cli/ExportCommand.h)
//
// "--help"/"-h" and "--version"/"-v" print and end the program; "--export"
// as the first argument runs the headless export; "--" ends the options
// (later arguments are movies even when they begin with "-"). The toolkit's
// own options ("-platform NAME", "-display NAME", "-style NAME", "-session
// ID", ...; also spelled with two dashes or as "-name=value") pass through
// to the toolkit. Any other argument beginning with "-" is a usage error:
// the usage text goes to standard error and the exit status is 2.
//
// Pure: no toolkit, no file system.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace kf {

// Exit statuses of the program, also listed in the usage text.
enum ExitStatus : int {
  kExitSuccess = 0,  // done (the window closed, the export finished, --help)
  kExitFailure = 1,  // could not run (no display, no player) or the export failed or was cancelled
  kExitUsage = 2,    // the command line is wrong
};

struct CommandLine {
  enum class Action { Open, Help, Version, Export, UsageError };
  Action action = Action::Open;
  // Open: the arguments naming movies or links, in order. An argument after
  // "--" that begins with "-" is given as "./ARG" so that it stays a
  // relative path and is never read as an option.
  std::vector<std::string> movies;
  // Open: the toolkit's options, in order, values included.
  std::vector<std::string> toolkitOptions;
  // Open: the value of the toolkit's "-platform" option ("" when absent).
  std::string platform;
  // UsageError: what is wrong, without the program name.
  std::string error;
};

CommandLine ParseCommandLine(const std::vector<std::string>& argumentsAfterProgram);

// Whether a window can be shown: a toolkit platform is named (the
// "-platform" option, else QT_QPA_PLATFORM from `getenv`), or DISPLAY or
// WAYLAND_DISPLAY is set. Decided before the toolkit starts, which would
// otherwise abort.
bool DisplayAvailable(const CommandLine& line, const std::function<const char*(const char*)>& getenv);

// The program's version ("0.1.0").
std::string ProgramVersion();
// "kerfline 0.1.0\n" followed by the licence line.
std::string VersionText();
// The text of "--help": synopsis, options, links, exit statuses.
std::string UsageText();

}  // namespace kf
