#include "app/shell/CommandLine.h"

#include <array>
#include <string_view>

#ifndef KERFLINE_VERSION
#error "KERFLINE_VERSION is set by the build"
#endif

namespace kf {
namespace {

// The toolkit's options that take a value, and those that do not.
constexpr std::array<std::string_view, 14> kToolkitValued = {
    "platform", "platformpluginpath", "platformtheme", "plugin", "qwindowgeometry", "geometry", "qwindowicon",
    "qwindowtitle", "session", "display", "name", "title", "style", "stylesheet"};
constexpr std::array<std::string_view, 7> kToolkitFlags = {"reverse", "widgetcount", "nograb", "dograb",
                                                           "sync",    "testability", "qwindowalwaysontop"};

template <std::size_t N>
bool Contains(const std::array<std::string_view, N>& list, std::string_view name) {
  for (std::string_view n : list)
    if (n == name) return true;
  return false;
}

}  // namespace

CommandLine ParseCommandLine(const std::vector<std::string>& args) {
  CommandLine out;
  if (!args.empty() && args.front() == "--export") {
    out.action = CommandLine::Action::Export;
    return out;
  }
  auto usageError = [&out](std::string message) {
    out.action = CommandLine::Action::UsageError;
    out.error = std::move(message);
    out.movies.clear();
    out.toolkitOptions.clear();
    out.platform.clear();
    return out;
  };
  bool optionsEnded = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (optionsEnded) {
      out.movies.push_back(!a.empty() && a.front() == '-' ? "./" + a : a);
      continue;
    }
    if (a.empty() || a.front() != '-' || a == "-") {
      out.movies.push_back(a);
      continue;
    }
    if (a == "--") {
      optionsEnded = true;
      continue;
    }
    if (a == "--help" || a == "-h" || a == "-?") {
      out.action = CommandLine::Action::Help;
      return out;
    }
    if (a == "--version" || a == "-v") {
      out.action = CommandLine::Action::Version;
      return out;
    }
    if (a == "--export") return usageError("--export must come first");
    // The toolkit's options: "-name", "--name", "-name=value", "-name value".
    std::string_view name(a);
    name.remove_prefix(name.starts_with("--") ? 2 : 1);
    std::string_view inlineValue;
    bool hasInlineValue = false;
    if (const auto eq = name.find('='); eq != std::string_view::npos) {
      inlineValue = name.substr(eq + 1);
      name = name.substr(0, eq);
      hasInlineValue = true;
    }
    if (Contains(kToolkitValued, name)) {
      std::string value;
      if (hasInlineValue) {
        value = std::string(inlineValue);
        out.toolkitOptions.push_back(a);
      } else {
        if (i + 1 >= args.size()) return usageError(a + " needs a value");
        value = args[++i];
        out.toolkitOptions.push_back(a);
        out.toolkitOptions.push_back(value);
      }
      if (name == "platform") out.platform = value;
      continue;
    }
    if (Contains(kToolkitFlags, name) && !hasInlineValue) {
      out.toolkitOptions.push_back(a);
      continue;
    }
    return usageError("unknown option " + a);
  }
  return out;
}

bool DisplayAvailable(const CommandLine& line, const std::function<const char*(const char*)>& getenv) {
  auto set = [&getenv](const char* name) {
    const char* v = getenv(name);
    return v != nullptr && *v != '\0';
  };
  return !line.platform.empty() || set("QT_QPA_PLATFORM") || set("DISPLAY") || set("WAYLAND_DISPLAY");
}

std::string ProgramVersion() { return KERFLINE_VERSION; }

std::string VersionText() {
  return "kerfline " + ProgramVersion() +
         "\n"
         "License GPL-3.0-or-later: GNU GPL version 3 or later <https://gnu.org/licenses/gpl.html>.\n"
         "This is free software: you are free to change and redistribute it.\n"
         "There is NO WARRANTY, to the extent permitted by law.\n";
}

std::string UsageText() {
  return "Usage: kerfline [OPTION...] [MOVIE | kerfline://LINK]\n"
         "       kerfline --export SOURCE -o OUTPUT [EXPORT OPTION...]\n"
         "\n"
         "A fast video cutter. Opens MOVIE (a file path or file:// URL) or a\n"
         "kerfline:// handoff link in a window; with several, only the first that\n"
         "exists is opened. When Kerfline already runs with no movie open, that\n"
         "window opens the movie; otherwise a new window does.\n"
         "\n"
         "Options:\n"
         "  -h, --help       show this text and exit\n"
         "  -v, --version    show the version and exit\n"
         "  --               treat every later argument as a movie\n"
         "  --export ...     export without a window (must come first):\n"
         "      kerfline --export SOURCE -o OUTPUT [--keep A-B[,A-B...]]\n"
         "               [--fade-in I:SECONDS]... [--fade-out I:SECONDS]...\n"
         "               [--exposure STOPS] [--mode lossless|reencode|smart]\n"
         "               [--size source|1080p|720p|480p] [--clips]\n"
         "    Times are seconds; I is a 1-based segment number; --clips makes\n"
         "    OUTPUT a folder for numbered clips. Progress goes to standard error:\n"
         "    a bar on a terminal, else one percentage line per step.\n"
         "\n"
         "The toolkit's options (-platform NAME, -display NAME, -style NAME, ...)\n"
         "are passed on to Qt.\n"
         "\n"
         "Exit status:\n"
         "  0  success (the window was closed, or the export finished)\n"
         "  1  failure (no display, the player could not start, or the export\n"
         "     failed or was cancelled)\n"
         "  2  usage error (unknown option or wrong export arguments)\n";
}

}  // namespace kf
