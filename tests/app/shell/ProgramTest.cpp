// The built program as a user starts it: with and without a display.
#include <gtest/gtest.h>

#include <filesystem>

#include "app/rules/RecentlyUsed.h"
#include "app/shell/CommandLine.h"
#include "platform/ffmpeg/TestMovies.h"
#include "support/ChildProcess.h"

namespace kf {
namespace {

namespace fs = std::filesystem;
namespace movies = kf::testmovies;
using kf::testing::ChildEnvironment;
using kf::testing::RunChild;

const std::string kProgram = KERFLINE_PROGRAM;

ChildEnvironment NoDisplay() { return {{}, {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}}; }

struct ProgramTest : ::testing::Test {
  void SetUp() override {
    dir = fs::temp_directory_path() / ("kf-program-" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir / "larder");
  }
  void TearDown() override { fs::remove_all(dir); }
  // An offscreen window that reports what it opened, then quits.
  ChildEnvironment Offscreen(const std::string& wait = "20") const {
    ChildEnvironment env;
    env.set = {{"QT_QPA_PLATFORM", "offscreen"},
               {"KERFLINE_SCRIPT", "0:quitwhenopen:" + wait},
               {"XDG_CONFIG_HOME", (dir / "config").string()},
               {"XDG_DATA_HOME", (dir / "data").string()},
               {"KERFLINE_LARDER_REGISTRY", (dir / "larder").string()},
               // No session bus: a Kerfline the user runs must not take these.
               {"DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent"}};
    env.unset = {"DISPLAY", "WAYLAND_DISPLAY"};
    return env;
  }
  fs::path dir;
};

TEST_F(ProgramTest, HelpVersionAndUsageErrorsNeedNoDisplay) {
  for (const ChildEnvironment& env : {NoDisplay(), ChildEnvironment{{{"QT_QPA_PLATFORM", "offscreen"}}, {}}}) {
    const auto help = RunChild(kProgram, {"--help"}, env);
    EXPECT_EQ(help.status, 0) << help.err;
    EXPECT_EQ(help.out, UsageText());
    EXPECT_EQ(help.err, "");

    const auto version = RunChild(kProgram, {"--version"}, env);
    EXPECT_EQ(version.status, 0) << version.err;
    EXPECT_EQ(version.out.rfind("kerfline " + ProgramVersion() + "\n", 0), 0u) << version.out;

    const auto bad = RunChild(kProgram, {"--no-such-option", "/dev/null"}, env, 20);
    EXPECT_EQ(bad.status, 2) << "an unknown option is a usage error, not a window";
    EXPECT_FALSE(bad.timedOut);
    EXPECT_EQ(bad.out, "");
    EXPECT_EQ(bad.err, "kerfline: unknown option --no-such-option\n\n" + UsageText());
  }
}

TEST_F(ProgramTest, WithoutADisplayAMovieIsRefusedWithAMessage) {
  const std::string movie = movies::ensure(movies::named("h264"));
  const auto r = RunChild(kProgram, {movie}, NoDisplay(), 20);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.signal, 0) << "no abort";
  EXPECT_NE(r.err.find("no display"), std::string::npos) << r.err;
  // A display that does not answer: the toolkit's failure, as a message.
  ChildEnvironment gone = NoDisplay();
  gone.set["DISPLAY"] = ":9999";
  const auto dead = RunChild(kProgram, {movie}, gone, 20);
  EXPECT_EQ(dead.status, 1) << dead.err;
  EXPECT_EQ(dead.signal, 0);
  EXPECT_EQ(dead.err.rfind("kerfline: ", 0), 0u) << dead.err;
}

TEST_F(ProgramTest, OpensTheFirstExistingMoviePathOrLink) {
  const std::string source = movies::ensure(movies::named("h264"));
  // Spaces and non-ASCII characters in names.
  const fs::path first = dir / "Müller clip one.mp4";
  const fs::path second = dir / "second.mp4";
  fs::copy_file(source, first);
  fs::copy_file(source, second);

  const auto two = RunChild(kProgram, {(dir / "missing.mp4").string(), first.string(), second.string()}, Offscreen());
  EXPECT_EQ(two.status, 0) << two.err;
  EXPECT_NE(two.out.find("opened " + first.string() + "\nsegments 1\n"), std::string::npos) << two.out;
  // The media line's tooltip names the decoder (no graphics hardware here).
  EXPECT_NE(two.out.find("\ndecoder Decoding on "), std::string::npos) << two.out;
  // The window carries the program's icon.
  EXPECT_NE(two.out.find("\nicon 256\n"), std::string::npos) << two.out;
  // The desktop's recently-used list has the movie.
  const std::string recent = kf::testing::ReadWholeFile((dir / "data" / "recently-used.xbel").string());
  EXPECT_NE(recent.find("href=\"" + FileURIFromPath(first.string()) + "\""), std::string::npos) << recent;
  EXPECT_EQ(recent.find("second.mp4"), std::string::npos);

  // A file link with percent escapes.
  const auto link = RunChild(kProgram, {"file://" + (dir / "M%C3%BCller%20clip%20one.mp4").string()}, Offscreen());
  EXPECT_EQ(link.status, 0) << link.err;
  EXPECT_NE(link.out.find("opened " + first.string() + "\n"), std::string::npos) << link.out;

  // A movie named like an option, after "--".
  const fs::path dashed = dir / "-dashed.mp4";
  fs::copy_file(source, dashed);
  ChildEnvironment env = Offscreen();
  const auto r = RunChild(kProgram, {"--", (dashed.filename()).string()}, Offscreen("1"));
  // The child's working folder is the test's: the relative name is not
  // found there, so nothing opens; with the full path it opens.
  EXPECT_NE(r.out.find("opened -\n"), std::string::npos) << r.out;
  const auto full = RunChild(kProgram, {"--", dashed.string()}, env);
  EXPECT_NE(full.out.find("opened " + dashed.string() + "\n"), std::string::npos) << full.out;

  // A handoff link goes to the Larder preparation (no Larder here: its
  // error shows), not to the file test.
  const auto handoff = RunChild(kProgram, {"kerfline://larder?domain=nowhere&item=x"}, Offscreen("1"));
  EXPECT_EQ(handoff.status, 0) << handoff.err;
  EXPECT_NE(handoff.out.find("opened -\n"), std::string::npos) << handoff.out;
  EXPECT_NE(handoff.out.find("Larder"), std::string::npos) << handoff.out;
}

// The command line (help, version, the headless export) is one small
// program; the toolkit and the player live in the window's module, loaded
// only to open a window. Without the module those paths still work, and
// opening a window says what is missing.
// The program starts with the C++ runtime alone. A byte copy of an MP4 runs
// on it; a cut loads the export engine (and FFmpeg with it), never the
// toolkit or the player; each module missing is named when it is needed.
TEST_F(ProgramTest, HeadlessPathsLoadOnlyWhatTheyNeed) {
  ChildEnvironment trace;
  trace.set = {{"LD_TRACE_LOADED_OBJECTS", "1"}};
  const auto loaded = RunChild(kProgram, {}, trace, 20);
  ASSERT_EQ(loaded.status, 0) << loaded.err;
  EXPECT_NE(loaded.out.find("libstdc++"), std::string::npos) << loaded.out;
  for (const char* library : {"libav", "libsw", "libQt6", "libmpv", "libGL"})
    EXPECT_EQ(loaded.out.find(library), std::string::npos) << library << " is loaded at start:\n" << loaded.out;

  const std::string movie = movies::ensure(movies::named("h264"));
  ChildEnvironment files = NoDisplay();
  files.set["LD_DEBUG"] = "files";
  const fs::path copy = dir / "copy.mp4";
  const auto copied = RunChild(kProgram, {"--export", movie, "-o", copy.string()}, files, 60);
  EXPECT_EQ(copied.status, 0) << copied.err;
  EXPECT_EQ(fs::file_size(copy), fs::file_size(movie));
  EXPECT_EQ(copied.err.find("libavformat"), std::string::npos) << "a byte copy loaded FFmpeg";
  const fs::path cut = dir / "cut.mp4";
  const auto engine = RunChild(kProgram, {"--export", movie, "-o", cut.string(), "--keep", "0-1"}, files, 60);
  EXPECT_EQ(engine.status, 0) << engine.err;
  EXPECT_NE(engine.err.find("kerfline-export-engine.so"), std::string::npos);
  EXPECT_NE(engine.err.find("libavformat"), std::string::npos);
  for (const char* library : {"libQt6", "libmpv", "kerfline-window"})
    EXPECT_EQ(engine.err.find(library), std::string::npos) << library << " is loaded by an export";

  const fs::path alone = dir / "bin" / "kerfline";
  fs::create_directories(alone.parent_path());
  fs::copy_file(kProgram, alone);
  const auto version = RunChild(alone.string(), {"--version"}, NoDisplay());
  EXPECT_EQ(version.status, 0) << version.err;
  const fs::path copy2 = dir / "copy2.mp4";
  const auto copiedAlone = RunChild(alone.string(), {"--export", movie, "-o", copy2.string()}, NoDisplay(), 60);
  EXPECT_EQ(copiedAlone.status, 0) << copiedAlone.err;
  EXPECT_TRUE(fs::exists(copy2));
  const fs::path cut2 = dir / "cut2.mp4";
  const auto cutAlone =
      RunChild(alone.string(), {"--export", movie, "-o", cut2.string(), "--keep", "0-1"}, NoDisplay(), 60);
  EXPECT_EQ(cutAlone.status, 1);
  EXPECT_EQ(cutAlone.err.rfind("kerfline: the export engine could not be loaded:", 0), 0u) << cutAlone.err;
  EXPECT_NE(cutAlone.err.find("kerfline-export-engine.so"), std::string::npos) << cutAlone.err;
  EXPECT_FALSE(fs::exists(cut2));

  const auto window = RunChild(alone.string(), {movie}, Offscreen(), 20);
  EXPECT_EQ(window.status, 1);
  EXPECT_EQ(window.signal, 0);
  EXPECT_EQ(window.err.rfind("kerfline: the window could not be started:", 0), 0u) << window.err;
  EXPECT_NE(window.err.find("kerfline-window.so"), std::string::npos) << window.err;
}

}  // namespace
}  // namespace kf
