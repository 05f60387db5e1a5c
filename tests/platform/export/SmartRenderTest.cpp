// The smart render on generated frame-numbered movies: H.264 with closed
// and open groups of pictures and HEVC, cut in one, two and ten mid-group
// ranges. The output must show exactly the kept frames whether edit lists
// are honoured or ignored, from 0 and without gaps; the frames from each
// range's first keyframe on must come from the source's own packets (H.264
// open groups: up to the next group's I picture, slice headers rewritten);
// the sound must start every range within 1 ms of its picture.
//
// Half of the cells run by default; the rest with the `slow` label
// (KERFLINE_SMART_SLOW).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>

#include "ExportMatrix.h"
#include "platform/export/AvcRestart.h"
#include "platform/export/NalUnits.h"
#ifdef KERFLINE_SMART_SLOW
#include "PlayerCheck.h"
#endif

namespace kf {
namespace {

using matrix::Edit;
using matrix::EditName;
using matrix::Expected;
using matrix::LoadSource;
using matrix::RangesFor;
using matrix::Source;

struct Cell {
  std::string source;
  Edit edit;
};

std::string CellName(const Cell& c) {
  std::string n = c.source + "_" + EditName(c.edit);
  for (char& ch : n)
    if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
  return n;
}

std::vector<Cell> Cells(bool slow) {
  std::vector<Cell> out;
  for (const char* s : {"ntsc", "open-gop", "hevc6", "mkv-long"})
    for (Edit e : {Edit::InsideFrames, Edit::TwoMidGop, Edit::TenShort}) {
      // The fast half: every source once, and every edit on the closed GOP.
      const bool fast = e == Edit::TwoMidGop ? std::string(s) != "mkv-long" : std::string(s) == "ntsc";
      if (fast != slow) out.push_back({s, e});
    }
  return out;
}

// One video packet as stored: its presentation time (seconds) and its
// picture data with what a join may add or mark taken away (end of
// sequence and parameter-set units; an HEVC broken-link mark undone; H.264
// slice headers, which a copy from an open group's I picture rewrites).
struct StoredPacket {
  double time = 0;
  bool key = false;
  exportimpl::Bytes picture;
};

exportimpl::Bytes PictureUnits(const AVCodecParameters* par, const AVPacket* pkt, exportimpl::AvcRestart& avc) {
  using namespace exportimpl;
  const bool hevc = par->codec_id == AV_CODEC_ID_HEVC;
  if (!hevc)
    if (auto data = avc.sliceData(pkt->data, pkt->size)) return *data;
  auto units = SplitLengthPrefixed(pkt->data, pkt->size, NalLengthSize(par));
  if (!units) return Bytes(pkt->data, pkt->data + pkt->size);
  Bytes out;
  for (Bytes u : *units) {
    const int type = UnitType(u, hevc);
    if (hevc && (type == kHevcEndOfSequence || (type >= kHevcVps && type <= kHevcPps))) continue;
    if (!hevc && (type == kAvcEndOfSequence || type == kAvcSps || type == kAvcPps)) continue;
    if (hevc && type == 16 && u.size() > 2) {  // a broken link access made of a clean random access picture
      u[0] = static_cast<std::uint8_t>((u[0] & 0x81) | (kHevcCra << 1));
      u[2] &= static_cast<std::uint8_t>(~0x40);
    }
    if (hevc && type == kHevcCra && u.size() > 2) u[2] &= static_cast<std::uint8_t>(~0x40);
    out.insert(out.end(), u.begin(), u.end());
  }
  return out;
}

std::vector<StoredPacket> VideoPackets(const std::string& path) {
  std::vector<StoredPacket> out;
  AVFormatContext* raw = nullptr;
  if (avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0) return out;
  ff::InputContextPtr c(raw);
  if (avformat_find_stream_info(raw, nullptr) < 0) return out;
  const int v = av_find_best_stream(raw, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  if (v < 0) return out;
  const AVStream* st = raw->streams[v];
  exportimpl::AvcRestart avc(st->codecpar);
  ff::PacketPtr pkt = ff::allocPacket();
  while (av_read_frame(raw, pkt.get()) >= 0) {
    if (pkt->stream_index == v)
      out.push_back({(pkt->pts - (st->start_time == AV_NOPTS_VALUE ? 0 : st->start_time)) * av_q2d(st->time_base),
                     (pkt->flags & AV_PKT_FLAG_KEY) != 0, PictureUnits(st->codecpar, pkt.get(), avc)});
    av_packet_unref(pkt.get());
  }
  return out;
}

// Offset and size of each top-level box of an MP4 file, by type.
std::map<std::string, std::pair<std::uint64_t, std::uint64_t>> TopLevelBoxes(const std::string& path) {
  std::map<std::string, std::pair<std::uint64_t, std::uint64_t>> out;
  std::ifstream f(path, std::ios::binary);
  std::uint64_t at = 0;
  unsigned char h[16];
  while (f.seekg(static_cast<std::streamoff>(at)) && f.read(reinterpret_cast<char*>(h), 8)) {
    std::uint64_t size = (std::uint64_t(h[0]) << 24) | (h[1] << 16) | (h[2] << 8) | h[3];
    const std::string type(reinterpret_cast<char*>(h) + 4, 4);
    if (size == 1 && f.read(reinterpret_cast<char*>(h) + 8, 8)) {
      size = 0;
      for (int i = 8; i < 16; ++i) size = (size << 8) | h[i];
    }
    if (size < 8) break;
    out.emplace(type, std::make_pair(at, size));
    at += size;
  }
  return out;
}

// The index of the source frame that starts nearest `t`.
std::size_t FrameAt(const Source& s, double t) {
  auto it = std::lower_bound(s.start.begin(), s.start.end(), t - 1e-4);
  return std::min<std::size_t>(static_cast<std::size_t>(it - s.start.begin()), s.start.size() - 1);
}

std::string Differences(const std::vector<int>& shown, const std::vector<int>& numbers) {
  std::size_t d = 0;
  while (d < shown.size() && d < numbers.size() && shown[d] == numbers[d]) ++d;
  std::ostringstream o;
  o << "shown " << shown.size() << " frames, expected " << numbers.size() << "; first difference at " << d << ": shown";
  for (std::size_t i = d > 3 ? d - 3 : 0; i < std::min(shown.size(), d + 6); ++i) o << " " << shown[i];
  o << " | expected";
  for (std::size_t i = d > 3 ? d - 3 : 0; i < std::min(numbers.size(), d + 6); ++i) o << " " << numbers[i];
  return o.str();
}

// Where the source's sound at `srcTime` plays in `out` around `outTime`:
// the lag (seconds) that best lines up 40 ms of both, searched over ±13 ms.
// NaN where either is silent or missing.
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
  if (energy / n < 0.01) return std::nan("");
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

class SmartRender : public ExportSessionTest, public ::testing::WithParamInterface<Cell> {
 protected:
  static void SetUpTestSuite() { av_log_set_level(AV_LOG_ERROR); }
};

TEST_P(SmartRender, ShowsExactlyTheKeptFramesWithOrWithoutEditListsAndCopiesFromEachKeyframe) {
  const Cell& cell = GetParam();
  const Source& src = LoadSource(cell.source);
  ASSERT_GT(src.frames.size(), 120u);
  const auto ranges = RangesFor(src, cell.edit);
  const auto expected = Expected(src, ranges);
  std::vector<int> numbers;
  for (const auto& r : expected)
    for (std::size_t i : r) numbers.push_back(src.frames[i].number);

  const std::string out = Out(CellName(cell) + ".mp4");
  std::optional<Error> err;
  ASSERT_EQ(Run(src.path, Request(ranges, ExportPreset::SmartRender, out), &err), ExportStatus::Completed)
      << (err ? err->message : "");

  // The index before the samples, and no edit list in it: every player
  // shows the same.
  {
    const auto boxes = TopLevelBoxes(out);
    ASSERT_TRUE(boxes.count("moov") && boxes.count("mdat"));
    EXPECT_LT(boxes.at("moov").first, boxes.at("mdat").first) << "the index comes after the samples";
    std::ifstream f(out, std::ios::binary);
    std::string moov(static_cast<std::size_t>(boxes.at("moov").second), '\0');
    f.seekg(static_cast<std::streamoff>(boxes.at("moov").first));
    f.read(moov.data(), static_cast<std::streamsize>(moov.size()));
    EXPECT_EQ(moov.find("elst"), std::string::npos) << "an edit list was written";
    EXPECT_NE(moov.find("stsd"), std::string::npos);
  }

  for (bool ignore : {false, true}) {
    SCOPED_TRACE(ignore ? "edit lists ignored" : "edit lists honoured");
    testing::DecodeOptions options;
    options.ignoreEditList = ignore;
    auto frames = testing::DecodeVideo(out, options);
    ASSERT_TRUE(frames.ok()) << frames.error().message;
    const std::vector<int> shown = Numbers(*frames);
    ASSERT_EQ(shown, numbers) << Differences(shown, numbers);
    // From 0, each frame for as long as in the source.
    double at = 0;
    for (std::size_t k = 0, i = 0; k < expected.size(); ++k)
      for (std::size_t f : expected[k]) {
        EXPECT_NEAR((*frames)[i++].time, at, 1e-4) << "frame " << src.frames[f].number;
        at += src.endOf(f) - src.start[f];
      }
  }

  // The copied frames are the source's packets, bit for bit (H.264: their
  // slice data), each shown where its frame belongs: at least every frame
  // from a range's first keyframe to its end, but for the last few that
  // reordering keeps from ending a copy (up to three B-frames and their
  // reference).
  const auto srcPackets = VideoPackets(src.path);
  const auto outPackets = VideoPackets(out);
  ASSERT_EQ(outPackets.size(), numbers.size());
  std::map<exportimpl::Bytes, std::size_t> bySource;  // picture -> source frame index
  std::vector<std::size_t> keys;
  for (const StoredPacket& p : srcPackets) {
    const std::size_t f = FrameAt(src, p.time - src.origin);
    bySource.emplace(p.picture, f);
    if (p.key) keys.push_back(f);
  }
  std::sort(keys.begin(), keys.end());
  std::vector<double> outTimes;
  for (const StoredPacket& p : outPackets) outTimes.push_back(p.time);
  std::sort(outTimes.begin(), outTimes.end());
  std::size_t copied = 0;
  for (const StoredPacket& p : outPackets) {
    auto it = bySource.find(p.picture);
    if (it == bySource.end()) continue;
    ++copied;
    const auto at = std::lower_bound(outTimes.begin(), outTimes.end(), p.time - 1e-4) - outTimes.begin();
    EXPECT_EQ(numbers[static_cast<std::size_t>(at)], src.frames[it->second].number) << "a copied packet is misplaced";
  }
  // H.264 open groups of pictures: a copy from one group's I picture stops
  // before the next's (see SmartRender.cpp).
  std::size_t mustCopy = 0;
  const bool copies = cell.source != "mkv-long";
  const bool openGroups = cell.source == "open-gop";
  for (const auto& r : expected) {
    if (!copies) break;
    if (r.empty()) continue;
    auto first = std::lower_bound(keys.begin(), keys.end(), r.front());
    if (first == keys.end() || *first > r.back()) continue;  // no keyframe inside: all re-encoded
    std::size_t stop = r.back() + 1;
    if (openGroups && first + 1 != keys.end()) stop = std::min(stop, *(first + 1));
    if (stop > *first + 4) mustCopy += stop - *first - 4;
  }
  EXPECT_GE(copied, mustCopy) << "too few frames were copied";
  if (copies && cell.edit != Edit::TenShort) {
    EXPECT_GT(mustCopy, 0u);
  }

  // Sound in step at every range's start, both ways.
  for (bool ignore : {false, true}) {
    SCOPED_TRACE(ignore ? "sound, edit lists ignored" : "sound, edit lists honoured");
    auto sound = testing::DecodeSoundTrack(out, 0, ignore);
    ASSERT_TRUE(sound.ok()) << sound.error().message;
    double rangeAt = 0;
    int measured = 0;
    for (std::size_t r = 0; r < expected.size(); ++r) {
      if (expected[r].empty()) continue;
      const std::size_t i = expected[r].front();
      const double length = src.endOf(expected[r].back()) - src.start[i];
      const double lag = SoundLag(src.sounds[0], src.frames[i].time + 0.005, *sound, rangeAt + 0.005);
      rangeAt += length;
      if (std::isnan(lag)) continue;
      ++measured;
      EXPECT_LE(std::fabs(lag), 0.001) << "range " << r << " is " << lag * 1000 << " ms out of step";
    }
    EXPECT_GT(measured, 0);
  }
}

#ifndef KERFLINE_SMART_SLOW
// Pictures it cannot match are refused before anything is written, naming
// the modes to choose instead; a movie without picture is re-encoded.
TEST_F(ExportSessionTest, SmartRenderRefusesOtherCodecsAndReencodesSoundOnly) {
  av_log_set_level(AV_LOG_ERROR);
  for (const char* name : {"webm6", "ts10"}) {
    SCOPED_TRACE(name);
    const std::string out = Out(std::string(name) + ".mp4");
    std::optional<Error> err;
    EXPECT_EQ(Run(tm::ensure(tm::named(name)), Request({{1, 2}}, ExportPreset::SmartRender, out), &err),
              ExportStatus::Failed);
    ASSERT_TRUE(err.has_value());
    EXPECT_EQ(err->domain, kKerflineErrorDomain);
    EXPECT_EQ(err->code, 7);
    EXPECT_NE(err->message.find("Smart Render is not available"), std::string::npos) << err->message;
    EXPECT_NE(err->message.find("“Lossless (Stream Copy)”"), std::string::npos) << err->message;
    EXPECT_NE(err->message.find("“Frame-Accurate Re-encode”"), std::string::npos) << err->message;
    EXPECT_FALSE(fs::exists(out));
  }
  const std::string out = Out("sound.mp4");
  std::optional<Error> err;
  ASSERT_EQ(Run(tm::ensure(tm::named("audio-only")), Request({{0.5, 1.5}}, ExportPreset::SmartRender, out), &err),
            ExportStatus::Completed)
      << (err ? err->message : "");
  auto sound = testing::DecodeSound(out);
  ASSERT_TRUE(sound.ok()) << sound.error().message;
  EXPECT_NEAR(static_cast<double>(sound->samples.size()) / sound->sampleRate, 1.0, 0.03);
}
#endif

#ifdef KERFLINE_SMART_SLOW
// Real players with their default settings: libmpv shows exactly the kept
// frames and lands seeks at the start, middle and end of every range.
// Headless Chromium, where installed and able to play the codec, is held
// to the same.
class SmartRenderPlayers : public ExportSessionTest, public ::testing::WithParamInterface<Cell> {
 protected:
  static void SetUpTestSuite() { av_log_set_level(AV_LOG_ERROR); }
};

TEST_P(SmartRenderPlayers, LibmpvAndChromiumShowExactlyTheKeptFrames) {
  const Cell& cell = GetParam();
  const Source& src = LoadSource(cell.source);
  const auto ranges = RangesFor(src, cell.edit);
  std::vector<int> numbers;
  for (const auto& r : Expected(src, ranges))
    for (std::size_t i : r) numbers.push_back(src.frames[i].number);
  const std::string out = Out(CellName(cell) + ".mp4");
  std::optional<Error> err;
  ASSERT_EQ(Run(src.path, Request(ranges, ExportPreset::SmartRender, out), &err), ExportStatus::Completed)
      << (err ? err->message : "");
  const auto seeks = players::SeekPlan(numbers, 1.0 / src.frameLength);
  const players::Showing mpv = players::PlayLibmpv(out, seeks);
  ASSERT_TRUE(mpv.unavailable.empty()) << mpv.unavailable;
  const players::Comparison c = players::Compare(numbers, mpv);
  std::cout << players::Describe(numbers, mpv, c);
  EXPECT_TRUE(c.exact) << players::Describe(numbers, mpv, c);
  if (players::HaveProgram("chromium")) {
    const players::Showing web = players::PlayChromium(out, seeks);
    std::cout << "chromium: " << (web.unavailable.empty() ? "played" : web.unavailable) << "\n";
    if (web.unavailable.empty()) {
      const players::Comparison w = players::Compare(numbers, web);
      std::cout << players::Describe(numbers, web, w);
      EXPECT_TRUE(w.exact) << players::Describe(numbers, web, w);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Slow, SmartRenderPlayers,
                         ::testing::Values(Cell{"ntsc", Edit::InsideFrames}, Cell{"ntsc", Edit::TwoMidGop},
                                           Cell{"ntsc", Edit::TenShort}, Cell{"open-gop", Edit::TwoMidGop},
                                           Cell{"hevc6", Edit::InsideFrames}, Cell{"hevc6", Edit::TwoMidGop},
                                           Cell{"hevc6", Edit::TenShort}),
                         [](const auto& info) { return CellName(info.param); });

INSTANTIATE_TEST_SUITE_P(Slow, SmartRender, ::testing::ValuesIn(Cells(true)),
                         [](const auto& info) { return CellName(info.param); });
#else
INSTANTIATE_TEST_SUITE_P(Fast, SmartRender, ::testing::ValuesIn(Cells(false)),
                         [](const auto& info) { return CellName(info.param); });
#endif

}  // namespace
}  // namespace kf
