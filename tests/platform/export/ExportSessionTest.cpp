#include "platform/export/FfmpegExportSession.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>

#include "DecodedMovie.h"
#include "support/PlaybackSupport.h"
#include "source/MGRangeAssetLoader.h"
#include "source/Mp4Summary.h"

extern "C" {
#include <libavutil/display.h>
}
#include "ExportSessionFixture.h"
#include "platform/export/ExportInternal.h"
#include "platform/export/Mp4Movie.h"
#include "platform/ffmpeg/TestMovies.h"

namespace kf {
namespace {

// The libraries' own diagnostics would drown the test output.
const int kQuiet = (av_log_set_level(AV_LOG_QUIET), 0);

TEST_F(ExportSessionTest, JoinedStreamCopyPresentsExactlyTheKeptFramesUnchanged) {
  const std::string src = LongMovie();
  auto source = testing::DecodeVideo(src);
  ASSERT_TRUE(source.ok()) << source.error().message;
  std::map<int, std::uint64_t> sourceSums;
  for (const auto& f : *source) sourceSums[f.number] = f.checksum;

  for (const char* name : {"joined.mp4", "joined.mov"}) {
    SCOPED_TRACE(name);
    const std::string out = Out(name);
    std::optional<Error> err;
    ASSERT_EQ(Run(src, Request({{2, 5}, {10, 14}}, ExportPreset::Passthrough, out), &err), ExportStatus::Completed)
        << (err ? err->message : "");
    auto frames = testing::DecodeVideo(out);
    ASSERT_TRUE(frames.ok()) << frames.error().message;
    std::vector<int> expected = Range(60, 149);
    for (int n : Range(300, 419)) expected.push_back(n);
    EXPECT_EQ(Numbers(*frames), expected);
    // Every presented frame decodes exactly as in the source: no frame lost
    // a reference at a cut.
    int differing = 0;
    for (const auto& f : *frames) differing += sourceSums[f.number] != f.checksum;
    EXPECT_EQ(differing, 0);
    // Presentation times run on without a gap: 7 s in all.
    ASSERT_FALSE(frames->empty());
    EXPECT_NEAR(frames->front().time, 0.0, 1e-3);
    EXPECT_NEAR(frames->back().time, 7.0 - 1.0 / 30, 2e-3);

    // One entry per range and track, whole frames long, in the picture
    // track's units.
    auto edits = mp4::ReadEditLists(out);
    ASSERT_TRUE(edits.ok());
    auto timing = mp4::ReadMovieTiming(out);
    ASSERT_TRUE(timing.ok());
    const std::int64_t unit = timing->movieTimescale;
    EXPECT_EQ(unit, timing->tracks[0].timescale);
    ASSERT_EQ(edits->size(), 2u);  // video and sound
    for (const auto& list : *edits) ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ((*edits)[0][0].duration, 3 * unit);
    EXPECT_EQ((*edits)[0][1].duration, 4 * unit);
    // The sound's second range starts on a whole packet, up to one packet
    // (1024 samples) before the picture's, so that it is in step at 3 s.
    const auto& soundEdits = (*edits)[1];
    EXPECT_EQ(soundEdits[0].duration + soundEdits[1].duration, 7 * unit);
    EXPECT_LE(soundEdits[0].duration, 3 * unit);
    EXPECT_GT(soundEdits[0].duration, 3 * unit - unit * 1024 / 48000);
    // The sound is as long as the picture.
    auto sound = testing::DecodeSound(out);
    ASSERT_TRUE(sound.ok());
    EXPECT_NEAR(sound->samples.size() / double(sound->sampleRate), 7.0, 0.03);
  }
}

double Linear(std::uint8_t v) {
  const double c = v / 255.0;
  return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
}

// Mean linear light of the output over pixels whose source value lies in
// [lo, hi] (linear), divided by the source's mean over the same pixels.
double LightRatio(const testing::Frame& out, const testing::Frame& src, double lo, double hi) {
  double a = 0, b = 0;
  for (std::size_t i = 0; i < src.rgb.size(); ++i) {
    const double s = Linear(src.rgb[i]);
    if (s < lo || s > hi) continue;
    a += Linear(out.rgb[i]);
    b += s;
  }
  return b > 0 ? a / b : -1;
}

TEST_F(ExportSessionTest, StreamCopyKeepsSampleEntryRotationAndTags) {
  struct Probe {
    unsigned tag = 0;
    double rotation = 0;
    std::string language, created;
  };
  auto probe = [](const std::string& path) {
    Probe p;
    AVFormatContext* raw = nullptr;
    if (avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0) return p;
    ff::InputContextPtr c(raw);
    avformat_find_stream_info(raw, nullptr);
    for (unsigned i = 0; i < raw->nb_streams; ++i) {
      AVStream* st = raw->streams[i];
      if (st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
        p.tag = st->codecpar->codec_tag;
        if (auto* m = reinterpret_cast<const int32_t*>(av_stream_get_side_data(st, AV_PKT_DATA_DISPLAYMATRIX, nullptr)))
          p.rotation = av_display_rotation_get(m);
      }
      if (st->codecpar->codec_type == AVMEDIA_TYPE_AUDIO)
        if (auto* e = av_dict_get(st->metadata, "language", nullptr, 0)) p.language = e->value;
    }
    if (auto* e = av_dict_get(raw->metadata, "creation_time", nullptr, 0)) p.created = e->value;
    return p;
  };
  for (const char* name : {"hvc1", "rotated90"}) {
    SCOPED_TRACE(name);
    const std::string src = tm::ensure(tm::named(name));
    const std::string out = Out(std::string(name) + ".mp4");
    ASSERT_EQ(Run(src, Request({{0.5, 1.5}, {2, 2.5}}, ExportPreset::Passthrough, out)), ExportStatus::Completed);
    const Probe a = probe(src), b = probe(out);
    EXPECT_EQ(b.tag, a.tag);
    EXPECT_EQ(b.rotation, a.rotation);
    EXPECT_EQ(b.language, a.language);
    EXPECT_EQ(b.created, a.created);
    if (std::string(name) == "hvc1") {
      EXPECT_EQ(b.tag, MKTAG('h', 'v', 'c', '1'));
    } else {
      EXPECT_NE(b.rotation, 0);
    }
    auto frames = testing::DecodeVideo(out);
    ASSERT_TRUE(frames.ok());
    std::vector<int> expected = Range(15, 44);
    for (int n : Range(60, 74)) expected.push_back(n);
    // HEVC too: the frames still buffered before the cut are shown before
    // the next range's random access picture starts afresh.
    EXPECT_EQ(Numbers(*frames), expected);
  }
  // Cuts inside groups of pictures, whose ranges start from an earlier
  // random access picture.
  const std::string out = Out("hevc-mid.mp4");
  ASSERT_EQ(Run(tm::ensure(tm::named("hev1")), Request({{0.5, 1.2}, {1.7, 2.3}, {2.4, 2.9}}, ExportPreset::Passthrough, out)),
            ExportStatus::Completed);
  auto frames = testing::DecodeVideo(out);
  ASSERT_TRUE(frames.ok());
  std::vector<int> expected = Range(15, 35);
  for (int n : Range(51, 68)) expected.push_back(n);
  for (int n : Range(72, 86)) expected.push_back(n);
  EXPECT_EQ(Numbers(*frames), expected);
}

TEST_F(ExportSessionTest, ServedMovieIsCopiedAsThePlayerSeesIt) {
  // A local "hev1" movie is served with its sample entry presented as
  // "hvc1"; the copy keeps what it was shown.
  const std::string path = tm::ensure(tm::named("hev1"));
  auto loader = testsupport::ServedLoader(path);
  ASSERT_FALSE(loader->retags().empty());
  const std::string out = Out("served.mp4");
  FfmpegExportSession s(OpenServed("kerfline-range://movie/hev1.mp4", loader),
                        Request({{0.5, 1.5}}, ExportPreset::Passthrough, out));
  s.exportBlocking();
  ASSERT_EQ(s.status(), ExportStatus::Completed) << (s.error() ? s.error()->message : "");
  AVFormatContext* raw = nullptr;
  ASSERT_EQ(avformat_open_input(&raw, out.c_str(), nullptr, nullptr), 0);
  ff::InputContextPtr c(raw);
  avformat_find_stream_info(raw, nullptr);
  EXPECT_EQ(raw->streams[0]->codecpar->codec_tag, MKTAG('h', 'v', 'c', '1'));
  EXPECT_EQ(Numbers(*testing::DecodeVideo(out)), Range(15, 44));
}

TEST_F(ExportSessionTest, FadesAndExposureActInLinearLight) {
  tm::MovieSpec spec = tm::named("h264");
  spec.seconds = 2;
  const std::string src = tm::ensure(spec);
  testing::DecodeOptions all;
  all.keepRgb = true;
  auto source = testing::DecodeVideo(src, all);
  ASSERT_TRUE(source.ok());

  // Fade-in of 1 s over a 2 s segment starting at 0.5 s: output frame 0 is
  // black, output frame 15 (0.5 s) at half light.
  const std::string faded = Out("fade.mp4");
  ASSERT_EQ(Run(src, Request({{0.5, 1.5}}, ExportPreset::HighestQuality, faded, {1.0}, {0})), ExportStatus::Completed);
  auto f = testing::DecodeVideo(faded, all);
  ASSERT_TRUE(f.ok());
  ASSERT_EQ(f->size(), 30u);
  int brightest = 0;
  for (std::uint8_t v : (*f)[0].rgb) brightest = std::max<int>(brightest, v);
  EXPECT_LE(brightest, 3);
  EXPECT_NEAR(LightRatio((*f)[15], (*source)[30], 0.02, 1.0), 0.5, 0.03);
  EXPECT_NEAR(LightRatio((*f)[29], (*source)[44], 0.02, 1.0), 29.0 / 30.0, 0.03);

  // +1 stop doubles linear light (where it does not clip).
  const std::string brighter = Out("exposure.mp4");
  ASSERT_EQ(Run(src, Request({{0, 1}}, ExportPreset::HighestQuality, brighter, {}, {}, 1.0)), ExportStatus::Completed);
  auto e = testing::DecodeVideo(brighter, all);
  ASSERT_TRUE(e.ok());
  ASSERT_EQ(e->size(), 30u);
  EXPECT_NEAR(LightRatio((*e)[10], (*source)[10], 0.03, 0.4), 2.0, 0.1);
}

// Ranges cut inside frames are widened to whole frames; fades act over
// those lengths: each fade-in starts black on the range's first kept frame
// and each fade-out ends where its last kept frame ends.
TEST_F(ExportSessionTest, FadesFollowTheKeptFramesOfEachRange) {
  tm::MovieSpec spec = tm::named("h264");
  const std::string src = tm::ensure(spec);
  testing::DecodeOptions all;
  all.keepRgb = true;
  auto source = testing::DecodeVideo(src, all);
  ASSERT_TRUE(source.ok());
  const std::string out = Out("widened-fades.mp4");
  // Frames 15..44 and 60..89 (30 each), fades of 0.1 s (three frames).
  ASSERT_EQ(Run(src, Request({{0.51, 1.49}, {2.03, 2.97}}, ExportPreset::HighestQuality, out, {0.1, 0.1}, {0.1, 0.1})),
            ExportStatus::Completed);
  auto f = testing::DecodeVideo(out, all);
  ASSERT_TRUE(f.ok());
  ASSERT_EQ(f->size(), 60u);
  // The movie lasts its frames' time: 60 frames of 1/30 s.
  auto duration = ProbeMovieDuration(out);
  ASSERT_TRUE(duration.ok());
  EXPECT_NEAR(*duration, 2.0, 0.0005);
  for (int r = 0; r < 2; ++r) {
    SCOPED_TRACE("range " + std::to_string(r));
    const int first = r == 0 ? 15 : 60;
    const testing::Frame* o = &(*f)[static_cast<std::size_t>(30 * r)];
    EXPECT_EQ(o[1].number, first + 1);  // frame 0 is black
    int brightest = 0;
    for (std::uint8_t v : o[0].rgb) brightest = std::max<int>(brightest, v);
    EXPECT_LE(brightest, 3);
    EXPECT_NEAR(LightRatio(o[1], (*source)[first + 1], 0.02, 1.0), 1.0 / 3, 0.03);
    EXPECT_NEAR(LightRatio(o[2], (*source)[first + 2], 0.02, 1.0), 2.0 / 3, 0.03);
    EXPECT_NEAR(LightRatio(o[15], (*source)[first + 15], 0.02, 1.0), 1.0, 0.03);
    EXPECT_NEAR(LightRatio(o[28], (*source)[first + 28], 0.02, 1.0), 2.0 / 3, 0.03);
    EXPECT_NEAR(LightRatio(o[29], (*source)[first + 29], 0.02, 1.0), 1.0 / 3, 0.03);
  }
  // The sound's fades over the same lengths: silent at each range's start
  // and end, full in the middle.
  auto sound = testing::DecodeSound(out);
  auto original = testing::DecodeSound(src);
  ASSERT_TRUE(sound.ok() && original.ok());
  const auto rms = testing::WindowRms(*sound, 0.010);
  const auto ramps = AudioFadeRampsForLengths({1.0, 1.0}, {0.1, 0.1}, {0.1, 0.1});
  const auto sourceRms = testing::WindowRms(*original, 0.010);
  ASSERT_GE(rms.size(), 195u);
  int off = 0;
  for (std::size_t w = 1; w + 1 < 199; ++w) {
    const double t = (w + 0.5) * 0.010;
    const std::size_t sw = static_cast<std::size_t>(w < 100 ? w + 50 : w + 100);
    off += std::fabs(rms[w] / sourceRms[sw] - VolumeAt(ramps, t)) > 0.06;
  }
  EXPECT_LE(off, 4);
}

TEST_F(ExportSessionTest, AudioLoudnessFollowsTheFadeEnvelope) {
  tm::MovieSpec spec = tm::named("h264");
  spec.seconds = 3;
  const std::string src = tm::ensure(spec);
  const std::string out = Out("ramps.mp4");
  const std::vector<TimeSpan> segs{{0.5, 2.5}};
  const std::vector<double> fi{1.0}, fo{0.5};
  ASSERT_EQ(Run(src, Request(segs, ExportPreset::HighestQuality, out, fi, fo)), ExportStatus::Completed);
  auto sound = testing::DecodeSound(out);
  ASSERT_TRUE(sound.ok());
  auto original = testing::DecodeSound(src);
  ASSERT_TRUE(original.ok());
  const auto rms = testing::WindowRms(*sound, 0.010);
  const auto sourceRms = testing::WindowRms(*original, 0.010);
  ASSERT_GE(rms.size(), 195u);
  ASSERT_GE(sourceRms.size(), 250u);
  const auto ramps = AudioFadeRamps(segs, fi, fo);
  // Window w of the export is window w + 50 of the source (0.5 s later).
  int off = 0;
  for (std::size_t w = 1; w + 1 < rms.size(); ++w) {
    const double t = (w + 0.5) * 0.010;
    off += std::fabs(rms[w] / sourceRms[w + 50] - VolumeAt(ramps, t)) > 0.04;
  }
  EXPECT_LE(off, 2);
}

// Jumps between consecutive samples of `sound` from `from` to `to` seconds
// (of its own timeline) larger than `limit`.
int Discontinuities(const testing::Sound& sound, double from, double to, double limit) {
  int jumps = 0;
  const auto a = static_cast<std::size_t>(std::max(0.0, from * sound.sampleRate));
  const auto b = std::min(sound.samples.size(), static_cast<std::size_t>(to * sound.sampleRate));
  for (std::size_t i = a + 1; i < b; ++i) jumps += std::fabs(sound.samples[i] - sound.samples[i - 1]) > limit;
  return jumps;
}

// Matroska stamps sound in whole milliseconds: placed by those stamps, the
// re-encoded samples would be skipped or doubled by up to half a
// millisecond at every packet. Counted, the sine stays continuous.
TEST_F(ExportSessionTest, ReencodedSoundFromMatroskaIsContinuous) {
  tm::MovieSpec spec = tm::named("mkv");
  spec.seconds = 5;
  const std::string src = tm::ensure(spec);
  const std::string out = Out("mkv-sound.mp4");
  ASSERT_EQ(Run(src, Request({{0.3, 2.3}, {2.9, 4.9}}, ExportPreset::HighestQuality, out)), ExportStatus::Completed);
  auto sound = testing::DecodeSound(out);
  ASSERT_TRUE(sound.ok()) << sound.error().message;
  auto original = testing::DecodeSound(src);
  ASSERT_TRUE(original.ok());
  // A 440 Hz sine at half scale moves at most 0.029 per sample at 48 kHz.
  const double slope = 0.5 * 2 * M_PI * tm::toneFrequency(spec, 0) / sound->sampleRate;
  const double limit = 3 * slope;
  EXPECT_EQ(Discontinuities(*original, 0.05, 4.9, limit), 0);  // the measure itself
  // Inside each range (the junction itself joins two phases of the sine),
  // found where the frame numbers jump.
  auto frames = testing::DecodeVideo(out);
  ASSERT_TRUE(frames.ok());
  double junction = 0;
  for (std::size_t i = 1; i < frames->size(); ++i)
    if ((*frames)[i].number != (*frames)[i - 1].number + 1) junction = (*frames)[i].time;
  ASSERT_GT(junction, 1.9);
  const double end = frames->back().time;
  EXPECT_EQ(Discontinuities(*sound, 0.02, junction - 0.02, limit), 0);
  EXPECT_EQ(Discontinuities(*sound, junction + 0.02, end, limit), 0);
}

TEST_F(ExportSessionTest, CancellingLeavesNoFile) {
  const std::string src = LongMovie();
  for (ExportPreset preset : {ExportPreset::Passthrough, ExportPreset::HighestQuality, ExportPreset::SmartRender}) {
    for (double at : {0.0, 0.2, 0.6}) {
      const std::string out = Out("cancel.mp4");
      FfmpegExportSession s(OpenPath(src), Request({{0, 6}, {8, 14}}, preset, out));
      std::promise<void> done;
      if (at == 0) s.cancelExport();
      s.exportAsynchronously([&] { done.set_value(); });
      while (at > 0 && s.progress() < at && s.status() == ExportStatus::Exporting) std::this_thread::yield();
      const bool finishedFirst = s.status() == ExportStatus::Completed;  // a starved test thread
      s.cancelExport();
      done.get_future().wait();
      if (finishedFirst) {
        EXPECT_EQ(s.status(), ExportStatus::Completed);
        fs::remove(out);
        continue;
      }
      EXPECT_EQ(s.status(), ExportStatus::Cancelled) << PresetName(preset) << " at " << at;
      EXPECT_FALSE(fs::exists(out));
    }
  }
}

TEST_F(ExportSessionTest, UnreadableSourceFailsWithoutOutput) {
  const std::string bad = Out("unreadable.mp4");
  { std::ofstream(bad) << "not a movie"; }
  const std::string out = Out("never.mp4");
  std::optional<Error> err;
  EXPECT_EQ(Run(bad, Request({{0, 1}}, ExportPreset::Passthrough, out), &err), ExportStatus::Failed);
  ASSERT_TRUE(err);
  EXPECT_FALSE(err->message.empty());
  EXPECT_FALSE(fs::exists(out));
}

std::optional<Mp4MovieSummary> SummarizeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  const std::vector<std::uint8_t> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  auto read = [&](std::uint64_t off, std::uint64_t len) -> std::optional<std::vector<std::uint8_t>> {
    if (off > file.size()) return std::nullopt;
    const std::uint64_t n = std::min<std::uint64_t>(len, file.size() - off);
    return std::vector<std::uint8_t>(file.begin() + static_cast<std::ptrdiff_t>(off),
                                     file.begin() + static_cast<std::ptrdiff_t>(off + n));
  };
  return ReadMp4MovieSummary(read, file.size());
}

// The checked open reads the container's header, and the first packets
// only where the header leaves the duration or a track open (MPEG-TS,
// fragmented MP4): the duration and codecs are those of a full read, and the
// input handed to a session has had its first packets read all the same.
//
// The movie box's own summary (read without FFmpeg for a byte copy), where
// it answers, agrees with both to the microsecond and the codec.
TEST_F(ExportSessionTest, CheckedSourcesAgreeWithAFullReadOfEveryKindOfMovie) {
  std::vector<std::string> summarized;
  for (const std::string& name : tm::names()) {
    SCOPED_TRACE(name);
    const std::string path = tm::ensure(tm::named(name));
    auto full = OpenPath(path)();
    auto checked = OpenCheckedSource(path);
    if (auto summary = SummarizeFile(path)) {
      summarized.push_back(name);
      ASSERT_TRUE(checked.ok()) << checked.error().message;
      EXPECT_EQ(summary->duration, checked->duration);
      EXPECT_EQ(summary->codecs, checked->codecs);
    }
    if (!full) {
      EXPECT_FALSE(checked.ok());
      continue;
    }
    const AVFormatContext* c = full->context.get();
    auto probed = ProbeMovieDuration(path);
    ASSERT_TRUE(probed.ok());
    if (!checked) {
      EXPECT_FALSE(*probed > 0) << "refused: " << checked.error().message;
      continue;
    }
    EXPECT_EQ(checked->duration, *probed);
    EXPECT_EQ(checked->codecs, exportimpl::SourceCodecs(c));
    for (int round = 0; round < 2; ++round) {  // the first input, then a fresh one
      auto handed = checked->input();
      ASSERT_TRUE(handed.ok()) << handed.error().message;
      const AVFormatContext* h = handed->context.get();
      ASSERT_EQ(h->nb_streams, c->nb_streams);
      for (unsigned i = 0; i < c->nb_streams; ++i) {
        EXPECT_EQ(h->streams[i]->codecpar->format, c->streams[i]->codecpar->format) << "stream " << i;
        EXPECT_EQ(h->streams[i]->r_frame_rate.num, c->streams[i]->r_frame_rate.num) << "stream " << i;
        EXPECT_EQ(h->streams[i]->r_frame_rate.den, c->streams[i]->r_frame_rate.den) << "stream " << i;
      }
    }
  }
  // Every plain MP4 and QuickTime movie is summarised; the others are left
  // to FFmpeg.
  for (const char* name : {"h264", "mov", "hvc1", "hev1", "hevc10", "rotated90", "silent", "audio-only", "surround51",
                           "editlist3", "two-sound", "subtitles", "phone-mov", "mov-tc", "early-sound"})
    EXPECT_NE(std::find(summarized.begin(), summarized.end(), name), summarized.end()) << name;
  for (const char* name : {"mkv", "webm", "ts10", "fragmented", "truncated", "empty"})
    EXPECT_EQ(std::find(summarized.begin(), summarized.end(), name), summarized.end()) << name;
}

TEST_F(ExportSessionTest, NeverWritesOverItsOwnSource) {
  const std::string src = Out("source.mp4");
  fs::copy_file(tm::ensure(tm::named("h264")), src);
  const auto size = fs::file_size(src);
  std::optional<Error> err;
  EXPECT_EQ(Run(src, Request({{0, 1}}, ExportPreset::Passthrough, src), &err), ExportStatus::Failed);
  ASSERT_TRUE(err);
  EXPECT_EQ(fs::file_size(src), size);
}

TEST_F(ExportSessionTest, FullDestinationFailsAndLeavesNoPartialFile) {
  const std::string src = LongMovie();
  for (ExportPreset preset : {ExportPreset::Passthrough, ExportPreset::HighestQuality, ExportPreset::SmartRender}) {
    const std::string out = Out("full.mp4");
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      // The child may write at most 64 KiB per file.
      std::signal(SIGXFSZ, SIG_IGN);
      rlimit lim{64 * 1024, 64 * 1024};
      ::setrlimit(RLIMIT_FSIZE, &lim);
      FfmpegExportSession s(OpenPath(src), Request({{0, 14}}, preset, out));
      s.exportBlocking();
      const bool ok = s.status() == ExportStatus::Failed && s.error() && !s.error()->message.empty() &&
                      !fs::exists(out);
      ::_exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << PresetName(preset);
    EXPECT_FALSE(fs::exists(out));
  }
}

}  // namespace
}  // namespace kf
