// The cutting rule on movies shaped like the ones people bring: fractional
// and variable frame rates, Matroska, WebM, MPEG-TS with a clock starting at
// 10 s, QuickTime with a timecode track, late sound, two sound tracks and
// subtitles; each cut four ways, in both modes.
//
// What FFmpeg's decoder shows of each output must be exactly the frames whose
// display interval (on the source's own timeline) overlaps a kept range, and
// every sound track must start each range within 1 ms of its picture.
//
// Built twice: the default run takes the cells of kFastCells, the `slow`
// run (KERFLINE_MATRIX_SLOW) the rest.
#include <cmath>
#include <map>
#include <set>
#include <sstream>

#include "ExportMatrix.h"

extern "C" {
#include <libavutil/display.h>
#include <libavutil/pixdesc.h>
}

namespace kf {
namespace {

using namespace matrix;

const int kQuiet = (av_log_set_level(AV_LOG_QUIET), 0);

struct Cell {
  std::string source;
  Edit edit;
  ExportPreset preset;
};

std::string CellName(const Cell& c) {
  std::string n = c.source + "_" + EditName(c.edit) + "_" + (c.preset == ExportPreset::Passthrough ? "lossless" : "reencode");
  for (char& ch : n)
    if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
  return n;
}

const std::vector<std::string> kSources = {"ntsc",   "film",       "p5994",     "vfr6",     "mkv-long", "webm6",
                                           "ts10",   "mov-tc",     "late-sound", "two-sound", "subtitles",
                                           "mkv-subs", "early-sound", "hev1-6", "hevc10", "open-gop",
                                           "phone-mov"};
const std::vector<Edit> kEdits = {Edit::InsideFrames, Edit::TwoMidGop, Edit::TenShort, Edit::ToEnd};

// The default run: every source losslessly with the hardest edits, and a
// sample of re-encodes.
bool IsFast(const Cell& c) {
  if (c.preset == ExportPreset::Passthrough) return c.edit == Edit::InsideFrames || c.edit == Edit::TenShort;
  return c.edit == Edit::TenShort && (c.source == "p5994" || c.source == "vfr6" || c.source == "ts10" ||
                                      c.source == "two-sound" || c.source == "mkv-subs");
}

std::vector<Cell> Cells(bool slow) {
  std::vector<Cell> out;
  for (const auto& s : kSources)
    for (Edit e : kEdits)
      for (ExportPreset p : {ExportPreset::Passthrough, ExportPreset::HighestQuality}) {
        Cell c{s, e, p};
        if (IsFast(c) != slow) out.push_back(c);
      }
  return out;
}

// Where the source's sound at `srcTime` plays in `out` around `outTime`,
// both placed by their timestamps as a player places them: the lag
// (seconds) that best lines up 40 ms of both, searched over ±13 ms. NaN
// when either has no sound there.
double SoundLag(const testing::Sound& src, double srcTime, const testing::Sound& out, double outTime) {
  const int rate = out.sampleRate;
  if (rate <= 0 || src.sampleRate != rate) return std::nan("");
  const long n = std::lround(0.040 * rate), search = std::lround(0.013 * rate);
  std::vector<float> o(static_cast<std::size_t>(n)), i(static_cast<std::size_t>(n + 2 * search));
  for (long x = 0; x < n; ++x)
    if (!testing::SampleAt(out, outTime + double(x) / rate, &o[x])) return std::nan("");
  for (long x = 0; x < n + 2 * search; ++x)
    if (!testing::SampleAt(src, srcTime + double(x - search) / rate, &i[x])) return std::nan("");
  double energy = 0;
  for (float v : o) energy += double(v) * v;
  if (energy / n < 0.01) return std::nan("");  // silence
  long best = 0;
  double bestErr = 1e300;
  for (long lag = -search; lag <= search; ++lag) {
    double err = 0;
    for (long x = 0; x < n; ++x) {
      const double d = double(o[x]) - i[x + search + lag];
      err += d * d;
    }
    if (err < bestErr) {
      bestErr = err;
      best = lag;
    }
  }
  return double(best) / rate;
}

class ExportMatrix : public ExportSessionTest, public ::testing::WithParamInterface<Cell> {};

TEST_P(ExportMatrix, ShowsExactlyTheOverlappingFramesWithSoundInStep) {
  const Cell& cell = GetParam();
  const Source& src = LoadSource(cell.source);
  ASSERT_GT(src.frames.size(), 120u);
  for (std::size_t i = 0; i < src.frames.size(); ++i) ASSERT_EQ(src.frames[i].number, int(i)) << "source frame " << i;
  const auto ranges = RangesFor(src, cell.edit);
  const auto expected = Expected(src, ranges);
  std::vector<int> numbers;
  for (const auto& r : expected)
    for (std::size_t i : r) numbers.push_back(src.frames[i].number);

  const std::string out = Out(CellName(GetParam()) + ".mp4");
  std::optional<Error> err;
  ASSERT_EQ(Run(src.path, Request(ranges, cell.preset, out), &err), ExportStatus::Completed)
      << (err ? err->message : "");
  auto frames = testing::DecodeVideo(out);
  ASSERT_TRUE(frames.ok()) << frames.error().message;
  const std::vector<int> shown = Numbers(*frames);
  if (shown != numbers) {
    std::size_t d = 0;
    while (d < shown.size() && d < numbers.size() && shown[d] == numbers[d]) ++d;
    std::ostringstream o;
    o << "shown " << shown.size() << " frames, expected " << numbers.size() << "; first difference at " << d
      << ": shown";
    for (std::size_t i = d > 3 ? d - 3 : 0; i < std::min(shown.size(), d + 6); ++i) o << " " << shown[i];
    o << " | expected";
    for (std::size_t i = d > 3 ? d - 3 : 0; i < std::min(numbers.size(), d + 6); ++i) o << " " << numbers[i];
    FAIL() << o.str();
  }

  if (cell.source == "mov-tc") {
    // The timecode names the first kept frame (the source's names frame 0
    // 01:00:00:00 at 30 fps).
    const int first = numbers.front();
    char expectedCode[32];
    std::snprintf(expectedCode, sizeof expectedCode, "01:%02d:%02d:%02d", first / 1800, first / 30 % 60, first % 30);
    AVFormatContext* raw = nullptr;
    ASSERT_EQ(avformat_open_input(&raw, out.c_str(), nullptr, nullptr), 0);
    ff::InputContextPtr c(raw);
    std::string code;
    for (unsigned s = 0; s < raw->nb_streams; ++s)
      if (raw->streams[s]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO)
        if (auto* e = av_dict_get(raw->streams[s]->metadata, "timecode", nullptr, 0)) code = e->value;
    EXPECT_EQ(code, expectedCode);
  }

  if (cell.preset == ExportPreset::Passthrough) {
    // Copied frames decode exactly as in the source: no reference lost.
    int differing = 0;
    std::size_t at = 0;
    for (const auto& r : expected)
      for (std::size_t i : r) differing += (*frames)[at++].checksum != src.frames[i].checksum;
    EXPECT_EQ(differing, 0);
  }

  {
    // The picture's turn (a phone's rotation) is kept; HEVC is written
    // "hvc1" with its bit depth.
    auto picture = [](const std::string& path, double* angle, unsigned* tag, int* depth) {
      AVFormatContext* raw = nullptr;
      if (avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0) return false;
      ff::InputContextPtr c(raw);
      avformat_find_stream_info(raw, nullptr);
      const int v = av_find_best_stream(raw, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
      if (v < 0) return false;
      const AVStream* st = raw->streams[v];
      const auto* m = reinterpret_cast<const std::int32_t*>(av_stream_get_side_data(st, AV_PKT_DATA_DISPLAYMATRIX, nullptr));
      *angle = m ? av_display_rotation_get(m) : 0;
      *tag = st->codecpar->codec_tag;
      const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(st->codecpar->format));
      *depth = d ? d->comp[0].depth : 0;
      return true;
    };
    double srcAngle = 0, outAngle = 0;
    unsigned srcTag = 0, outTag = 0;
    int srcDepth = 0, outDepth = 0;
    ASSERT_TRUE(picture(src.path, &srcAngle, &srcTag, &srcDepth));
    ASSERT_TRUE(picture(out, &outAngle, &outTag, &outDepth));
    EXPECT_NEAR(outAngle, srcAngle, 0.01);
    if (tm::named(cell.source).rotation != 0) {
      EXPECT_NEAR(std::fabs(srcAngle), 90, 0.01);
    }
    if (cell.preset == ExportPreset::Passthrough && tm::named(cell.source).video == tm::VideoCodec::Hevc) {
      EXPECT_EQ(outTag, MKTAG('h', 'v', 'c', '1'));
      EXPECT_EQ(outDepth, srcDepth);
      EXPECT_EQ(srcDepth, tm::named(cell.source).bitDepth);
    }
  }

  if (tm::named(cell.source).subtitles) {
    // Cue n reads "n" for a second: each range shows the cues it overlaps,
    // cut to it, at its place in the output.
    SCOPED_TRACE("subtitles");
    EXPECT_EQ(testing::TrackLanguages(out, AVMEDIA_TYPE_SUBTITLE), std::vector<std::string>{"eng"});
    auto source = testing::ReadTextCues(src.path);
    ASSERT_TRUE(source.ok()) << source.error().message;
    ASSERT_GE(source->size(), 6u);
    std::vector<testing::TextCue> want;
    const auto starts = RangeStarts(src, expected, frames->front().time);
    for (std::size_t r = 0; r < expected.size(); ++r) {
      if (expected[r].empty()) continue;
      const double s0 = src.start[expected[r].front()], s1 = src.endOf(expected[r].back());
      for (const auto& c : *source) {
        const double a = std::max(c.start - src.origin, s0), b = std::min(c.end - src.origin, s1);
        if (b - a > 0.002) want.push_back({starts[r] + a - s0, starts[r] + b - s0, c.text});
      }
    }
    auto cues = testing::ReadTextCues(out);
    ASSERT_TRUE(cues.ok()) << cues.error().message;
    std::vector<testing::TextCue> got;
    for (const auto& c : *cues)
      if (c.end - c.start > 0.002) got.push_back(c);
    if (getenv("KF_DEBUG_CUES"))
      for (std::size_t i = 0; i < std::max(got.size(), want.size()); ++i)
        std::fprintf(stderr, "%zu got %s %.4f %.4f want %s %.4f %.4f\n", i, i < got.size() ? got[i].text.c_str() : "-",
                     i < got.size() ? got[i].start : 0, i < got.size() ? got[i].end : 0,
                     i < want.size() ? want[i].text.c_str() : "-", i < want.size() ? want[i].start : 0,
                     i < want.size() ? want[i].end : 0);
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
      EXPECT_EQ(got[i].text, want[i].text) << "cue " << i;
      EXPECT_NEAR(got[i].start, want[i].start, 0.002) << "cue " << i;
      EXPECT_NEAR(got[i].end, want[i].end, 0.002) << "cue " << i;
    }
  }

  // Every sound track, with its language, in step at every range's start.
  auto normal = [](std::vector<std::string> v) {
    for (auto& l : v)
      if (l == "und") l.clear();
    return v;
  };
  EXPECT_EQ(normal(testing::TrackLanguages(out, AVMEDIA_TYPE_AUDIO)), normal(src.languages));
  for (std::size_t k = 0; k < src.sounds.size(); ++k) {
    SCOPED_TRACE("sound track " + std::to_string(k));
    auto sound = testing::DecodeSoundTrack(out, static_cast<int>(k));
    ASSERT_TRUE(sound.ok()) << sound.error().message;
    // Each range's first frame is presented where the ranges before it
    // end: every kept frame lasts as long as in the source. (FFmpeg stamps
    // the frames of later edit entries by a decode-order count, which with
    // B-frames and variable rates is not their presentation time.)
    double outStart = frames->front().time;
    int measured = 0;
    for (std::size_t r = 0; r < expected.size(); ++r) {
      if (expected[r].empty()) continue;
      const std::size_t i = expected[r].front();
      const double srcStart = src.frames[i].time;  // as FFmpeg reports it
      const double rangeAt = outStart;
      outStart += src.endOf(expected[r].back()) - src.start[i];
      // 40 ms from 5 ms into the range, or from where the source's sound
      // starts when that is later.
      double into = 0.005;
      const double soundStart = src.sounds[k].startTime + 0.05;  // past any priming and the search
      if (srcStart + into < soundStart) into = soundStart - srcStart;
      const double length = src.endOf(expected[r].back()) - src.start[i];
      if (into + 0.045 > length) continue;
      const double lag = SoundLag(src.sounds[k], srcStart + into, *sound, rangeAt + into);
      if (std::isnan(lag)) {
        if (getenv("KF_DEBUG_SYNC")) std::fprintf(stderr, "range %zu: no sound (src %.4f out %.4f into %.4f len %.4f)\n", r, srcStart, rangeAt, into, length);
        continue;
      }
      ++measured;
      EXPECT_LE(std::fabs(lag), 0.001) << "range " << r << " is " << lag * 1000 << " ms out of step";
    }
    EXPECT_GT(measured, 0);
  }
}

#ifndef KERFLINE_MATRIX_SLOW
// Sound that starts 0.5 s before the picture keeps its lead-in: a range from
// 0.2 s plays 0.3 s of sound before the first frame, in step, in both modes;
// a range wholly before the picture keeps its sound alone.
TEST_F(ExportSessionTest, SoundBeforeThePictureKeepsItsLeadIn) {
  const Source& src = LoadSource("early-sound");
  ASSERT_NEAR(src.start.front(), 0.5, 0.002);
  ASSERT_EQ(src.sounds.size(), 1u);
  for (ExportPreset preset : {ExportPreset::Passthrough, ExportPreset::HighestQuality}) {
    SCOPED_TRACE(preset == ExportPreset::Passthrough ? "lossless" : "re-encode");
    const std::string out = Out(preset == ExportPreset::Passthrough ? "lead-l.mp4" : "lead-r.mp4");
    ASSERT_EQ(Run(src.path, Request({{0.1, 0.3}, {0.2, 1.5}}, preset, out)), ExportStatus::Completed);
    auto frames = testing::DecodeVideo(out);
    ASSERT_TRUE(frames.ok()) << frames.error().message;
    std::vector<int> expected;
    for (std::size_t i = 0; i < 30; ++i) expected.push_back(src.frames[i].number);
    EXPECT_EQ(Numbers(*frames), expected);
    // 0.2 s of the first range's sound, then 0.3 s of the second's before its picture.
    EXPECT_NEAR(frames->front().time - testing::StartTime(out), 0.5, 0.002);
    auto sound = testing::DecodeSound(out);
    ASSERT_TRUE(sound.ok());
    const double at = testing::StartTime(out);
    EXPECT_NEAR(SoundLag(src.sounds[0], src.sounds[0].startTime + 0.12, *sound, at + 0.02), 0, 0.001);
    EXPECT_NEAR(SoundLag(src.sounds[0], src.sounds[0].startTime + 0.25, *sound, at + 0.25), 0, 0.001);
    EXPECT_NEAR(SoundLag(src.sounds[0], src.frames[10].time, *sound, frames->at(10).time), 0, 0.001);
    EXPECT_NEAR(double(sound->samples.size()) / sound->sampleRate, 1.5, 0.05);
  }
}

// Cuts given by exact times at the fractional rates, in both modes: on a
// frame's first instant, 0.3 ms after or before it, the range starts and
// ends at that frame; 1.9 ms inside the frame before (more than the 1/600 s
// tolerance), it keeps that frame too.
TEST_F(ExportSessionTest, ExactCutsKeepTheirFramesAtFractionalRates) {
  for (const char* name : {"film", "ntsc", "p5994"}) {
    const Source& src = LoadSource(name);
    for (ExportPreset preset : {ExportPreset::Passthrough, ExportPreset::HighestQuality}) {
      SCOPED_TRACE(std::string(name) + (preset == ExportPreset::Passthrough ? " lossless" : " re-encode"));
      struct Cut {
        std::size_t frame;
        double offset;
        int firstKept, endKept;  // expected [frame + firstKept, next + endKept)
      };
      const Cut cuts[] = {{31, 0, 0, 0}, {47, 0.0003, 0, 0}, {64, -0.0003, 0, 0}, {83, -0.0019, -1, 0},
                          {101, 0.0019, 0, 1}};
      std::vector<TimeSpan> ranges;
      std::vector<int> expected;
      for (const Cut& c : cuts) {
        const std::size_t next = c.frame + 7;
        ranges.push_back({src.start[c.frame] + c.offset, src.start[next] + c.offset});
        for (std::size_t i = c.frame + c.firstKept; i < next + c.endKept; ++i) expected.push_back(src.frames[i].number);
      }
      const std::string out = Out(std::string(name) + (preset == ExportPreset::Passthrough ? "-l.mp4" : "-r.mp4"));
      std::optional<Error> err;
      ASSERT_EQ(Run(src.path, Request(ranges, preset, out), &err), ExportStatus::Completed) << (err ? err->message : "");
      auto frames = testing::DecodeVideo(out);
      ASSERT_TRUE(frames.ok()) << frames.error().message;
      EXPECT_EQ(Numbers(*frames), expected);
    }
  }
}
#endif

#ifdef KERFLINE_MATRIX_SLOW
INSTANTIATE_TEST_SUITE_P(Slow, ExportMatrix, ::testing::ValuesIn(Cells(true)),
                         [](const auto& info) { return CellName(info.param); });
#else
INSTANTIATE_TEST_SUITE_P(Fast, ExportMatrix, ::testing::ValuesIn(Cells(false)),
                         [](const auto& info) { return CellName(info.param); });
#endif

}  // namespace
}  // namespace kf
