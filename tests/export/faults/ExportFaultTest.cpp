// The fault matrix of the export, run against the real `kerfline-export`
// program in child processes: hostile sources, destinations that must
// survive a failed or killed export byte for byte, signals, a full disk and a
// read-only folder. Each case prints one "[fault]" line with its outcome.
#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <random>
#include <thread>
#include <vector>

#include "DecodedMovie.h"
#include "platform/ffmpeg/TestMovies.h"

extern "C" {
#include <libavformat/avformat.h>
}

namespace kf {
namespace {

namespace fs = std::filesystem;
namespace tm = kf::testmovies;
using Clock = std::chrono::steady_clock;

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

struct Limits {
  rlim_t fileSize = RLIM_INFINITY;
};

// One run of the export program.
class Export {
 public:
  Export(const std::vector<std::string>& args, const std::string& errPath, Limits limits = {},
         const char* program = KERFLINE_EXPORT_PROGRAM)
      : errPath_(errPath) {
    std::vector<std::string> argv{program};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> raw;
    for (auto& a : argv) raw.push_back(a.data());
    raw.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ == 0) {
      const int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      if (err >= 0) ::dup2(err, 2);
      const int in = ::open("/dev/null", O_RDONLY);
      if (in >= 0) ::dup2(in, 0);
      if (limits.fileSize != RLIM_INFINITY) {
        rlimit r{limits.fileSize, limits.fileSize};
        ::setrlimit(RLIMIT_FSIZE, &r);
      }
      ::execv(raw[0], raw.data());
      std::_Exit(127);
    }
  }
  ~Export() {
    if (pid_ > 0 && !done_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  void signal(int sig) { ::kill(pid_, sig); }
  bool running() {
    if (done_) return false;
    if (::waitpid(pid_, &status_, WNOHANG) == pid_) done_ = true;
    return !done_;
  }
  // Exit status, or -signal when a signal ended it; -1000 after a timeout.
  int wait(double seconds = 120) {
    const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
    while (running()) {
      if (Clock::now() > deadline) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        done_ = true;
        return -1000;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return WIFEXITED(status_) ? WEXITSTATUS(status_) : -WTERMSIG(status_);
  }
  std::string err() const { return ReadAll(errPath_); }

 private:
  pid_t pid_ = -1;
  bool done_ = false;
  int status_ = 0;
  std::string errPath_;
};

#if !KERFLINE_FAULTS_SLOW
// A copy of `in` with the movie box in front of the media data, the layout
// in which a truncated file still states its full duration.
bool RemuxMovieBoxFirst(const std::string& in, const std::string& out) {
  AVFormatContext* ic = nullptr;
  if (avformat_open_input(&ic, in.c_str(), nullptr, nullptr) < 0) return false;
  bool ok = avformat_find_stream_info(ic, nullptr) >= 0;
  AVFormatContext* oc = nullptr;
  ok = ok && avformat_alloc_output_context2(&oc, nullptr, "mp4", out.c_str()) >= 0;
  for (unsigned i = 0; ok && i < ic->nb_streams; ++i) {
    AVStream* os = avformat_new_stream(oc, nullptr);
    ok = os && avcodec_parameters_copy(os->codecpar, ic->streams[i]->codecpar) >= 0;
    if (ok) {
      os->codecpar->codec_tag = 0;
      os->time_base = ic->streams[i]->time_base;
    }
  }
  AVDictionary* opts = nullptr;
  av_dict_set(&opts, "movflags", "faststart", 0);
  ok = ok && avio_open(&oc->pb, out.c_str(), AVIO_FLAG_WRITE) >= 0;
  ok = ok && avformat_write_header(oc, &opts) >= 0;
  av_dict_free(&opts);
  AVPacket* pkt = av_packet_alloc();
  while (ok && av_read_frame(ic, pkt) >= 0) {
    av_packet_rescale_ts(pkt, ic->streams[pkt->stream_index]->time_base, oc->streams[pkt->stream_index]->time_base);
    ok = av_interleaved_write_frame(oc, pkt) >= 0;
    av_packet_unref(pkt);
  }
  av_packet_free(&pkt);
  ok = ok && av_write_trailer(oc) >= 0;
  if (oc) {
    if (oc->pb) avio_closep(&oc->pb);
    avformat_free_context(oc);
  }
  avformat_close_input(&ic);
  return ok;
}
#endif

class ExportFaultTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("kf-faults-" + std::to_string(::getpid()) + "-" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "out");
    tm::MovieSpec spec = tm::named("h264");
    spec.seconds = 20;
    movie_ = tm::ensure(spec);
  }
  void TearDown() override {
    for (const auto& m : mounts_) ::umount2(m.c_str(), MNT_DETACH);
    std::error_code ec;
    fs::permissions(dir_ / "out", fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(dir_, ec);
  }
  std::string P(const std::string& n) const { return (dir_ / n).string(); }
  std::string O(const std::string& n) const { return (dir_ / "out" / n).string(); }
  std::string ErrFile() { return P("stderr-" + std::to_string(runs_++)); }
  // Names in the output folder, hidden ones included.
  std::vector<std::string> OutNames() const {
    std::vector<std::string> names;
    for (auto& e : fs::directory_iterator(dir_ / "out")) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }
  int Temporaries() const {
    int n = 0;
    for (const auto& name : OutNames()) n += name.find(".kerfline-tmp.") != std::string::npos;
    return n;
  }
  // Mounts a tmpfs of `size` at `path` (created); false where the test may
  // not mount.
  bool MountTmpfs(const std::string& path, const std::string& size, bool readOnly = false) {
    fs::create_directories(path);
    const std::string options = "size=" + size;
    if (::mount("tmpfs", path.c_str(), "tmpfs", 0, options.c_str()) != 0) return false;
    mounts_.push_back(path);
    if (readOnly) {
      std::ofstream(path + "/earlier.mp4") << "earlier export";
      if (::mount("tmpfs", path.c_str(), "tmpfs", MS_REMOUNT | MS_RDONLY, options.c_str()) != 0) return false;
    }
    return true;
  }

  fs::path dir_;
  std::string movie_;
  std::vector<std::string> mounts_;
  int runs_ = 0;
};

constexpr const char* kPrecious = "an earlier export the user keeps\n";

// ---- sources -------------------------------------------------------------
#if !KERFLINE_FAULTS_SLOW

TEST_F(ExportFaultTest, SourcesAreCheckedBeforeAnyWork) {
  {
    std::ofstream random(P("random.mp4"), std::ios::binary);
    std::mt19937 bytes(12345);
    for (int i = 0; i < 200000; ++i) random.put(static_cast<char>(bytes() & 0xff));
  }
  std::ofstream(P("notes.mp4")) << "just some text, not a movie\n";
  std::ofstream(P("empty.mp4"));
  ASSERT_EQ(::mkfifo(P("pipe.mp4").c_str(), 0600), 0);
  const struct {
    std::string source, message, advice;
  } cases[] = {
      {P("random.mp4"), "This movie cannot be played.", "Check that “random.mp4” is a complete movie file"},
      {P("notes.mp4"), "This movie cannot be played.", "Check that “notes.mp4” is a complete movie file"},
      {P("empty.mp4"), "This movie cannot be played.", "Check that “empty.mp4” is a complete movie file"},
      {"/dev/zero", "It is not a regular file.", "Open a movie file instead of “zero”."},
      {P("pipe.mp4"), "It is not a regular file.", "Open a movie file instead of “pipe.mp4”."},
  };
  for (const auto& c : cases) {
    std::ofstream(O("out.mp4")) << kPrecious;
    Export run({c.source, "-o", O("out.mp4")}, ErrFile());
    const int status = run.wait(20);
    EXPECT_EQ(status, 1) << c.source;
    EXPECT_NE(run.err().find(c.message), std::string::npos) << run.err();
    EXPECT_NE(run.err().find("kerfline: " + c.advice), std::string::npos) << run.err();
    EXPECT_EQ(ReadAll(O("out.mp4")), kPrecious) << c.source;
    EXPECT_EQ(Temporaries(), 0);
    std::printf("[fault] source %s: exit %d, %s\n", fs::path(c.source).filename().c_str(), status,
                status == 1 && ReadAll(O("out.mp4")) == kPrecious ? "refused, destination intact" : "WRONG");
  }
}

TEST_F(ExportFaultTest, AMovieThatEndsBeforeTheKeptRangeFailsAndSaysWhere) {
  ASSERT_TRUE(RemuxMovieBoxFirst(movie_, P("front.mp4")));
  const auto size = fs::file_size(P("front.mp4"));
  fs::resize_file(P("front.mp4"), size / 10);
  // (Lossless from 0.5 s: the whole movie would be a byte copy of the file
  // as it is.)
  for (const char* mode : {"lossless", "reencode"}) {
    Export run({P("front.mp4"), "-o", O("cut.mp4"), "--keep", "0.5-20", "--mode", mode}, ErrFile());
    const int status = run.wait();
    EXPECT_EQ(status, 1) << mode;
    EXPECT_NE(run.err().find("The movie ends at 00:0"), std::string::npos) << run.err();
    EXPECT_NE(run.err().find("before the kept range ending at 00:20.000"), std::string::npos) << run.err();
    EXPECT_NE(run.err().find("kerfline: “front.mp4” ends earlier than its header says"), std::string::npos)
        << run.err();
    EXPECT_TRUE(OutNames().empty());
    std::printf("[fault] truncated source, %s: exit %d\n", mode, status);
  }
  // The whole movie still exports.
  Export whole({movie_, "-o", O("cut.mp4"), "--keep", "0-20", "--mode", "lossless"}, ErrFile());
  EXPECT_EQ(whole.wait(), 0) << whole.err();
}

TEST_F(ExportFaultTest, CommandLineNumbersAndRangesAreChecked) {
  Export fade({movie_, "-o", O("x.mp4"), "--fade-in", "1e19:1"}, ErrFile());
  EXPECT_EQ(fade.wait(), 2);
  EXPECT_EQ(fade.err().find("-9223372036854775808"), std::string::npos) << fade.err();
  EXPECT_NE(fade.err().find("no segment has the number \"1e19\""), std::string::npos) << fade.err();
  Export fade2({movie_, "-o", O("x.mp4"), "--keep", "1-2", "--fade-out", "4000000000:1"}, ErrFile());
  EXPECT_EQ(fade2.wait(), 2);
  EXPECT_EQ(fade2.err().find("segment -"), std::string::npos) << fade2.err();
  Export overlap({movie_, "-o", O("x.mp4"), "--keep", "1-5,4-8"}, ErrFile());
  EXPECT_EQ(overlap.wait(), 2);
  EXPECT_NE(overlap.err().find("--keep ranges overlap: 1-5 and 4-8"), std::string::npos) << overlap.err();
  Export unordered({movie_, "-o", O("x.mp4"), "--keep", "6-8,1-3,2.5-4"}, ErrFile());
  EXPECT_EQ(unordered.wait(), 2);
  EXPECT_TRUE(OutNames().empty());
  // Touching ranges are fine.
  Export touching({movie_, "-o", O("x.mp4"), "--keep", "1-2,2-3"}, ErrFile());
  EXPECT_EQ(touching.wait(), 0) << touching.err();
}

#endif

// ---- outputs ---------------------------------------------------------------

// Kills the export at several moments of its run: the destination holds the
// earlier file or the complete new one, never a part.
void KillMatrix(ExportFaultTest& t, const std::string& source, const std::string& out,
                const std::vector<std::string>& extra, const std::string& expected, const char* name,
                const std::function<std::string()>& errFile, const std::function<int()>& temporaries,
                double seconds) {
  const double fractions[] = {0.0, 0.1, 0.3, 0.6, 0.9};
  int kept = 0, complete = 0;
  for (double f : fractions) {
    std::ofstream(out) << kPrecious;
    std::vector<std::string> args{source, "-o", out};
    args.insert(args.end(), extra.begin(), extra.end());
    Export run(args, errFile());
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds * f));
    run.signal(SIGKILL);
    run.wait();
    const std::string now = ReadAll(out);
    const bool intact = now == kPrecious;
    const bool finished = now == expected;
    EXPECT_TRUE(intact || finished) << name << " killed at " << f << ": " << now.size() << " bytes";
    kept += intact;
    complete += finished;
  }
  // The next export into the folder removes what the killed ones left.
  std::vector<std::string> args{source, "-o", out};
  args.insert(args.end(), extra.begin(), extra.end());
  Export again(args, errFile());
  EXPECT_EQ(again.wait(), 0);
  EXPECT_EQ(ReadAll(out), expected);
  EXPECT_EQ(temporaries(), 0);
  std::printf("[fault] SIGKILL during %s: %zu runs, earlier file intact %d, complete new file %d, part files 0\n",
              name, std::size(fractions), kept, complete);
  (void)t;
}

struct PathRun {
  const char* name;
  std::string source;
  std::vector<std::string> extra;
};

void ExportFaultTest_KillEach(ExportFaultTest& t, const std::vector<PathRun>& cases, const std::string& out,
                              const std::function<std::string()>& errFile, const std::function<int()>& temporaries) {
  for (const auto& c : cases) {
    // The complete result and how long it takes.
    const std::string reference = out + ".reference";
    std::vector<std::string> args{c.source, "-o", reference};
    args.insert(args.end(), c.extra.begin(), c.extra.end());
    const auto start = Clock::now();
    Export run(args, errFile());
    ASSERT_EQ(run.wait(), 0) << run.err();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const std::string expected = ReadAll(reference);
    fs::remove(reference);
    KillMatrix(t, c.source, out, c.extra, expected, c.name, errFile, temporaries, seconds);
  }
}

#if !KERFLINE_FAULTS_SLOW
TEST_F(ExportFaultTest, KilledCopiesNeverLeaveAPartUnderTheFinalName) {
  // A byte copy long enough to be caught: the movie with 24 MiB of padding
  // after its boxes.
  fs::copy_file(movie_, P("big.mp4"));
  fs::resize_file(P("big.mp4"), fs::file_size(movie_) + 24 * 1024 * 1024);
  ExportFaultTest_KillEach(*this, {{"byte copy", P("big.mp4"), {}}, {"stream copy", movie_, {"--keep", "1-19"}}},
                           O("movie.mp4"), [this] { return ErrFile(); }, [this] { return Temporaries(); });
}
#else
TEST_F(ExportFaultTest, KilledReencodesNeverLeaveAPartUnderTheFinalName) {
  ExportFaultTest_KillEach(*this, {{"re-encode", movie_, {"--keep", "1-6", "--mode", "reencode"}}}, O("movie.mp4"),
                           [this] { return ErrFile(); }, [this] { return Temporaries(); });
}

TEST_F(ExportFaultTest, KilledClipExportsLeaveOnlyCompleteClips) {
  const double fractions[] = {0.0, 0.1, 0.3, 0.6};
  const std::vector<std::string> args{movie_, "-o", O("clips"), "--keep", "1-3,4-6,7-9", "--mode", "reencode",
                                      "--clips"};
  Export reference(args, ErrFile());
  const auto start = Clock::now();
  ASSERT_EQ(reference.wait(), 0) << reference.err();
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  std::vector<std::string> expected;
  for (const char* n : {"clip-01.mp4", "clip-02.mp4", "clip-03.mp4"}) expected.push_back(ReadAll(O("clips/") + n));
  int runs = 0;
  for (double f : fractions) {
    for (int i = 0; i < 3; ++i) std::ofstream(O("clips/clip-0" + std::to_string(i + 1) + ".mp4")) << kPrecious;
    Export run(args, ErrFile());
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds * f));
    run.signal(SIGKILL);
    run.wait();
    ++runs;
    for (int i = 0; i < 3; ++i) {
      const std::string now = ReadAll(O("clips/clip-0" + std::to_string(i + 1) + ".mp4"));
      EXPECT_TRUE(now == kPrecious || now == expected[i]) << "clip " << i + 1 << " after a kill at " << f;
    }
  }
  Export again(args, ErrFile());
  EXPECT_EQ(again.wait(), 0);
  int temporaries = 0;
  for (auto& e : fs::directory_iterator(O("clips")))
    temporaries += e.path().filename().string().find(".kerfline-tmp.") != std::string::npos;
  EXPECT_EQ(temporaries, 0);
  std::printf("[fault] SIGKILL during clips: %d runs, every clip earlier or complete\n", runs);
}

#endif

// Save in place and optimize, run by the window's export controller in a
// child process that is killed at several moments: the original holds its
// old bytes or the complete new movie, never a part, and the next save into
// the folder removes the hidden files the killed ones left.
void KillSavesInPlace(ExportFaultTest& t, const std::string& movie, const std::string& original,
                      const std::string& referenceFolder, const std::vector<std::string>& extra, const char* name,
                      const std::function<std::string()>& errFile, const std::function<int()>& temporaries) {
  auto run = [&](const std::string& path) {
    std::vector<std::string> args{path};
    args.insert(args.end(), extra.begin(), extra.end());
    return std::make_unique<Export>(args, errFile(), Limits{}, KERFLINE_SAVE_IN_PLACE_PROGRAM);
  };
  // The complete result, made on a copy of the same name in another folder,
  // and how long it takes.
  fs::create_directories(referenceFolder);
  const std::string reference = referenceFolder + "/" + fs::path(original).filename().string();
  fs::copy_file(movie, reference, fs::copy_options::overwrite_existing);
  const auto start = Clock::now();
  auto complete = run(reference);
  ASSERT_EQ(complete->wait(), 0) << complete->err();
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  const std::string before = ReadAll(movie);
  const std::string expected = ReadAll(reference);
  ASSERT_NE(expected, before) << name << " changed nothing";
  ASSERT_FALSE(expected.empty());

  const double fractions[] = {0.0, 0.1, 0.25, 0.4, 0.55, 0.7, 0.85, 0.95, 1.05};
  int kept = 0, replaced = 0, leftovers = 0;
  for (double f : fractions) {
    fs::copy_file(movie, original, fs::copy_options::overwrite_existing);
    auto killed = run(original);
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds * f));
    killed->signal(SIGKILL);
    killed->wait();
    const std::string now = ReadAll(original);
    const bool intact = now == before;
    const bool finished = now == expected;
    EXPECT_TRUE(intact || finished) << name << " killed at " << f << ": " << now.size() << " bytes";
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(original)));
    kept += intact;
    replaced += finished;
    leftovers += temporaries();
  }
  fs::copy_file(movie, original, fs::copy_options::overwrite_existing);
  auto again = run(original);
  EXPECT_EQ(again->wait(), 0) << again->err();
  EXPECT_EQ(ReadAll(original), expected);
  EXPECT_EQ(temporaries(), 0);
  std::printf("[fault] SIGKILL during %s: %zu runs, original intact %d, completely replaced %d, part files 0; "
              "hidden files seen after the kills %d, after the next save 0\n",
              name, std::size(fractions), kept, replaced, leftovers);
  (void)t;
}

#if !KERFLINE_FAULTS_SLOW
TEST_F(ExportFaultTest, KilledSavesInPlaceLeaveTheOriginalOrTheCompleteReplacement) {
  KillSavesInPlace(*this, movie_, O("movie.mp4"), P("reference"), {"--keep", "1-19"}, "save in place (lossless)",
                   [this] { return ErrFile(); }, [this] { return Temporaries(); });
  KillSavesInPlace(*this, movie_, O("movie.mp4"), P("reference"), {"--optimize"}, "optimize for editing",
                   [this] { return ErrFile(); }, [this] { return Temporaries(); });
}
#else
TEST_F(ExportFaultTest, KilledReencodingSavesInPlaceLeaveTheOriginalOrTheCompleteReplacement) {
  KillSavesInPlace(*this, movie_, O("movie.mp4"), P("reference"), {"--keep", "1-6", "--mode", "reencode"},
                   "save in place (re-encode)", [this] { return ErrFile(); }, [this] { return Temporaries(); });
}
#endif

#if !KERFLINE_FAULTS_SLOW
TEST_F(ExportFaultTest, TerminateAndHangUpCancelAndCleanUp) {
  for (int sig : {SIGTERM, SIGHUP, SIGINT}) {
    std::ofstream(O("movie.mp4")) << kPrecious;
    Export run({movie_, "-o", O("movie.mp4"), "--keep", "0-20", "--mode", "reencode"}, ErrFile());
    // Wait for the export to be writing: its hidden file appears.
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    while (Temporaries() == 0 && run.running() && Clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    run.signal(sig);
    const int status = run.wait();
    EXPECT_EQ(status, 1) << strsignal(sig) << ": " << run.err();
    EXPECT_NE(run.err().find("cancelled"), std::string::npos) << run.err();
    EXPECT_EQ(ReadAll(O("movie.mp4")), kPrecious);
    EXPECT_EQ(Temporaries(), 0);
    std::printf("[fault] %s during a re-encode: exit %d, destination intact, no hidden file\n", strsignal(sig),
                status);
  }
}

#endif

#if !KERFLINE_FAULTS_SLOW
TEST_F(ExportFaultTest, AFullDiskGivesAClearMessageAndNoFile) {
#else
TEST_F(ExportFaultTest, AFullDiskStopsAReencodeWithAClearMessageAndNoFile) {
#endif
  fs::copy_file(movie_, P("big.mp4"));
  fs::resize_file(P("big.mp4"), fs::file_size(movie_) + 1024 * 1024);
#if !KERFLINE_FAULTS_SLOW
  const PathRun cases[] = {
      {"byte copy", P("big.mp4"), {}},
      {"stream copy", movie_, {"--keep", "1-19"}},
  };
#else
  const PathRun cases[] = {{"re-encode", movie_, {"--keep", "1-8", "--mode", "reencode"}}};
#endif
  // A file-size limit below every output.
  for (const auto& c : cases) {
    std::ofstream(O("movie.mp4")) << kPrecious;
    std::vector<std::string> args{c.source, "-o", O("movie.mp4")};
    args.insert(args.end(), c.extra.begin(), c.extra.end());
    Export run(args, ErrFile(), Limits{64 * 1024});
    const int status = run.wait();
    EXPECT_EQ(status, 1) << c.name << ": " << run.err();
    EXPECT_NE(run.err().find(std::strerror(EFBIG)), std::string::npos) << c.name << ": " << run.err();
    EXPECT_NE(run.err().find("kerfline: “movie.mp4” would be larger than the disk holding “out” or a file-size "
                             "limit allows."),
              std::string::npos)
        << c.name << ": " << run.err();
    EXPECT_EQ(ReadAll(O("movie.mp4")), kPrecious);
    EXPECT_EQ(Temporaries(), 0);
    std::printf("[fault] file-size limit, %s: exit %d\n", c.name, status);
  }
  // A small file system that fills up.
  if (!MountTmpfs(P("small"), "64k")) {
    std::printf("[fault] full tmpfs: not run (cannot mount here)\n");
    return;
  }
  for (const auto& c : cases) {
    std::ofstream(P("small/movie.mp4")) << kPrecious;
    std::vector<std::string> args{c.source, "-o", P("small/movie.mp4")};
    args.insert(args.end(), c.extra.begin(), c.extra.end());
    Export run(args, ErrFile());
    const int status = run.wait();
    EXPECT_EQ(status, 1) << c.name << ": " << run.err();
    EXPECT_NE(run.err().find(std::strerror(ENOSPC)), std::string::npos) << c.name << ": " << run.err();
    EXPECT_NE(run.err().find("kerfline: There is not enough free space for “movie.mp4” in the folder “small”."),
              std::string::npos)
        << c.name << ": " << run.err();
    EXPECT_EQ(ReadAll(P("small/movie.mp4")), kPrecious);
    std::vector<std::string> left;
    for (auto& e : fs::directory_iterator(P("small"))) left.push_back(e.path().filename().string());
    EXPECT_EQ(left, std::vector<std::string>{"movie.mp4"});
    std::printf("[fault] full tmpfs, %s: exit %d\n", c.name, status);
  }
}

#if !KERFLINE_FAULTS_SLOW
TEST_F(ExportFaultTest, AReadOnlyFolderGivesAClearMessageAndNoFile) {
  std::string folder = O("");
  if (::geteuid() != 0) {
    std::ofstream(O("earlier.mp4")) << "earlier export";
    fs::permissions(dir_ / "out", fs::perms::owner_read | fs::perms::owner_exec);
  } else if (MountTmpfs(P("ro"), "1m", true)) {
    folder = P("ro/");
  } else {
    GTEST_SKIP() << "runs as root and may not mount: no folder is read-only to it";
  }
  for (const char* mode : {"lossless", "reencode"}) {
    for (const std::string& name : {std::string("new.mp4"), std::string("earlier.mp4")}) {
      Export run({movie_, "-o", folder + name, "--keep", "1-3", "--mode", mode}, ErrFile());
      const int status = run.wait();
      EXPECT_EQ(status, 1) << run.err();
      EXPECT_NE(run.err().find("Cannot write in the folder"), std::string::npos) << run.err();
      EXPECT_NE(run.err().find("kerfline: Kerfline may not write “" + name + "” in the folder “" +
                               fs::path(folder).parent_path().filename().string() + "”."),
                std::string::npos)
          << run.err();
      EXPECT_FALSE(fs::exists(folder + "new.mp4"));
      EXPECT_EQ(ReadAll(folder + "earlier.mp4"), "earlier export");
      std::printf("[fault] read-only folder, %s to %s: exit %d\n", mode, name.c_str(), status);
    }
  }
}

TEST_F(ExportFaultTest, DestinationsThatAreNotFilesAreRefused) {
  ASSERT_EQ(::mkfifo(O("pipe.mp4").c_str(), 0600), 0);
  fs::create_directory(O("folder.mp4"));
  for (const std::string& out : {O("pipe.mp4"), O("folder.mp4")}) {
    for (const std::vector<std::string>& extra : {std::vector<std::string>{}, {"--keep", "1-3"}}) {
      std::vector<std::string> args{movie_, "-o", out};
      args.insert(args.end(), extra.begin(), extra.end());
      Export run(args, ErrFile());
      const int status = run.wait(20);
      EXPECT_EQ(status, 1) << run.err();
      EXPECT_NE(run.err().find("not a regular file"), std::string::npos) << run.err();
      EXPECT_NE(run.err().find("kerfline: Choose another name for the export; what is at “" +
                               fs::path(out).filename().string() + "” stays as it is."),
                std::string::npos)
          << run.err();
      std::printf("[fault] destination %s%s: exit %d\n", fs::path(out).filename().c_str(),
                  extra.empty() ? " (byte copy)" : "", status);
    }
  }
  EXPECT_TRUE(fs::is_fifo(O("pipe.mp4")));
  EXPECT_TRUE(fs::is_directory(O("folder.mp4")));
  EXPECT_EQ(Temporaries(), 0);
}

#endif

}  // namespace
}  // namespace kf
