#include <gtest/gtest.h>

#include <map>

#include "app/shell/CommandLine.h"
#include "app/shell/WindowProgram.h"

namespace kf {
namespace {

using Action = CommandLine::Action;

TEST(CommandLineTest, HelpVersionAndExportAreDecidedFirst) {
  EXPECT_EQ(ParseCommandLine({"--help"}).action, Action::Help);
  EXPECT_EQ(ParseCommandLine({"/m/a.mp4", "-h"}).action, Action::Help);
  EXPECT_EQ(ParseCommandLine({"--version"}).action, Action::Version);
  EXPECT_EQ(ParseCommandLine({"-v", "--help"}).action, Action::Version) << "the first one wins";
  EXPECT_EQ(ParseCommandLine({"--export", "a.mp4", "-o", "b.mp4"}).action, Action::Export);
  const auto late = ParseCommandLine({"a.mp4", "--export"});
  EXPECT_EQ(late.action, Action::UsageError);
  EXPECT_EQ(late.error, "--export must come first");
  // After "--" nothing is an option.
  const auto ended = ParseCommandLine({"--", "--help"});
  EXPECT_EQ(ended.action, Action::Open);
  EXPECT_EQ(ended.movies, (std::vector<std::string>{"./--help"}));
}

TEST(CommandLineTest, UnknownOptionsAreUsageErrors) {
  for (const std::string bad : {"--bogus", "-x", "-psn_0_123", "--platform=", "--reverse=1"}) {
    const auto line = ParseCommandLine({"/m/a.mp4", bad});
    if (bad == "--platform=") {
      EXPECT_EQ(line.action, Action::Open) << "an empty inline value is the toolkit's to judge";
      continue;
    }
    EXPECT_EQ(line.action, Action::UsageError) << bad;
    EXPECT_EQ(line.error, "unknown option " + bad);
    EXPECT_TRUE(line.movies.empty());
  }
  const auto missing = ParseCommandLine({"-platform"});
  EXPECT_EQ(missing.action, Action::UsageError);
  EXPECT_EQ(missing.error, "-platform needs a value");
}

TEST(CommandLineTest, MoviesAndToolkitOptionsAreSeparated) {
  const auto line = ParseCommandLine({"-platform", "offscreen", "/m/a b.mp4", "--style=Fusion", "-reverse",
                                      "kerfline://larder?domain=d&item=i", "-", "", "--", "-x.mp4", "/m/c.mp4"});
  EXPECT_EQ(line.action, Action::Open);
  EXPECT_EQ(line.movies, (std::vector<std::string>{"/m/a b.mp4", "kerfline://larder?domain=d&item=i", "-", "",
                                                   "./-x.mp4", "/m/c.mp4"}));
  EXPECT_EQ(line.toolkitOptions, (std::vector<std::string>{"-platform", "offscreen", "--style=Fusion", "-reverse"}));
  EXPECT_EQ(line.platform, "offscreen");
  EXPECT_EQ(ParseCommandLine({"--platform=xcb"}).platform, "xcb");
}

TEST(CommandLineTest, DisplayNeedsAPlatformOrADisplayServer) {
  std::map<std::string, std::string> env;
  auto getenv = [&env](const char* name) -> const char* {
    auto it = env.find(name);
    return it == env.end() ? nullptr : it->second.c_str();
  };
  const CommandLine plain = ParseCommandLine({});
  EXPECT_FALSE(DisplayAvailable(plain, getenv));
  env["DISPLAY"] = "";
  EXPECT_FALSE(DisplayAvailable(plain, getenv)) << "empty counts as unset";
  EXPECT_TRUE(DisplayAvailable(ParseCommandLine({"-platform", "offscreen"}), getenv));
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
    env.clear();
    env[name] = "x";
    EXPECT_TRUE(DisplayAvailable(plain, getenv)) << name;
  }
}

TEST(CommandLineTest, UsageTextDocumentsExitStatuses) {
  const std::string usage = UsageText();
  EXPECT_EQ(usage.rfind("Usage: kerfline", 0), 0u);
  for (const std::string s : {"  0  success", "  1  failure", "  2  usage error", "--export SOURCE -o OUTPUT"})
    EXPECT_NE(usage.find(s), std::string::npos) << s;
  EXPECT_EQ(VersionText().rfind("kerfline " + ProgramVersion() + "\n", 0), 0u);
  EXPECT_FALSE(ProgramVersion().empty());
}

TEST(CommandLineTest, ModulesAreLookedForBesideTheProgramThenWhereTheyAreInstalled) {
  for (const std::string module : {"kerfline-window.so", "kerfline-export-engine.so"}) {
    EXPECT_EQ(ModuleCandidates("/usr/bin/kerfline", "../lib/x86_64-linux-gnu/kerfline", module),
              (std::vector<std::string>{"/usr/bin/" + module, "/usr/lib/x86_64-linux-gnu/kerfline/" + module}));
    EXPECT_EQ(ModuleCandidates("/home/me/.local/bin/kerfline", "/opt/kerfline/lib", module),
              (std::vector<std::string>{"/home/me/.local/bin/" + module, "/opt/kerfline/lib/" + module}));
    // A build tree, or no installed folder: beside the program only.
    EXPECT_EQ(ModuleCandidates("/src/build/src/app/shell/kerfline", "", module),
              (std::vector<std::string>{"/src/build/src/app/shell/" + module}));
    EXPECT_TRUE(ModuleCandidates("", "../lib/kerfline", module).empty()) << "the program's path is unknown";
  }
}

}  // namespace
}  // namespace kf
