// The container each export writes: the one its name asks for, refused when
// it cannot hold the result, and the index at the front of MP4 and QuickTime.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <map>

#include "DecodedMovie.h"
#include "ExportSessionFixture.h"
#include "export/plan/OutputContainer.h"
#include "platform/export/Mp4Movie.h"

extern "C" {
#include <libavformat/avformat.h>
}

namespace kf {
namespace {

const int kQuiet = (av_log_set_level(AV_LOG_QUIET), 0);

// The demuxer FFmpeg recognises the file as ("mov,mp4,m4a,3gp,3g2,mj2",
// "matroska,webm"), and the WebM/Matroska document type where there is one.
std::string FormatOf(const std::string& path) {
  AVFormatContext* c = nullptr;
  if (avformat_open_input(&c, path.c_str(), nullptr, nullptr) < 0) return "";
  std::string name = c->iformat->name;
  avformat_close_input(&c);
  return name;
}

// The EBML document type of a Matroska file ("matroska" or "webm").
std::string DocType(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::string head(64, '\0');
  in.read(head.data(), 64);
  for (const char* t : {"webm", "matroska"})
    if (head.find(t) != std::string::npos) return t;
  return "";
}

std::map<int, std::uint64_t> Checksums(const std::string& path) {
  std::map<int, std::uint64_t> sums;
  auto frames = testing::DecodeVideo(path);
  if (frames)
    for (const auto& f : *frames) sums[f.number] = f.checksum;
  return sums;
}

// The codec table promises nothing FFmpeg's muxers refuse, and WebM's
// refusals are FFmpeg's too.
TEST(OutputContainerTable, EveryCodecAContainerHoldsIsAcceptedByItsMuxer) {
  const char* candidates[] = {"h264",      "hevc",      "av1",       "vp8",       "vp9",       "mpeg4",     "mpeg2video",
                              "mpeg1video", "prores",   "mjpeg",     "dnxhd",     "ffv1",      "theora",    "aac",
                              "mp3",       "mp2",       "opus",      "vorbis",    "flac",      "ac3",       "eac3",
                              "alac",      "dts",       "truehd",    "pcm_s16le", "pcm_s16be", "pcm_s24le", "pcm_s24be",
                              "pcm_s32le", "pcm_s32be", "pcm_f32le", "pcm_f32be", "pcm_f64le", "pcm_u8",    "cinepak"};
  int promised = 0;
  for (OutputFileType type : {OutputFileType::MPEG4, OutputFileType::QuickTimeMovie, OutputFileType::Matroska,
                              OutputFileType::WebM}) {
    const AVOutputFormat* muxer = av_guess_format(muxerName(type), nullptr, nullptr);
    ASSERT_NE(muxer, nullptr) << muxerName(type);
    for (const char* name : candidates) {
      const AVCodecDescriptor* d = avcodec_descriptor_get_by_name(name);
      ASSERT_NE(d, nullptr) << name;
      const bool accepted = avformat_query_codec(muxer, d->id, FF_COMPLIANCE_NORMAL) == 1;
      if (ContainerCarries(type, name)) {
        ++promised;
        EXPECT_TRUE(accepted) << muxerName(type) << " " << name;
      } else if (type == OutputFileType::WebM) {
        EXPECT_FALSE(accepted) << name;
      }
    }
  }
  EXPECT_GT(promised, 50);
}

TEST_F(ExportSessionTest, EveryMp4AndQuickTimeOutputHasItsIndexFirstAndStillShowsExactlyTheKeptFrames) {
  const std::string src = LongMovie();
  std::vector<int> expected = Range(60, 89);
  for (int n : Range(300, 329)) expected.push_back(n);
  for (ExportPreset preset : {ExportPreset::Passthrough, ExportPreset::HighestQuality}) {
    for (const char* name : {"front.mp4", "front.mov"}) {
      SCOPED_TRACE(std::string(name) + " " + PresetName(preset));
      const std::string out = Out(name);
      std::optional<Error> err;
      ASSERT_EQ(Run(src, Request({{2, 3}, {10, 11}}, preset, out), &err), ExportStatus::Completed)
          << (err ? err->message : "");
      auto boxes = mp4::TopLevelBoxes(out);
      ASSERT_TRUE(boxes.ok()) << boxes.error().message;
      ASSERT_GE(boxes->size(), 3u);
      EXPECT_EQ((*boxes)[0], "ftyp");
      EXPECT_EQ((*boxes)[1], "moov");
      EXPECT_EQ(boxes->back(), "mdat");
      EXPECT_EQ(std::count(boxes->begin(), boxes->end(), "moov"), 1);
      auto frames = testing::DecodeVideo(out);
      ASSERT_TRUE(frames.ok()) << frames.error().message;
      EXPECT_EQ(Numbers(*frames), expected);
      if (preset == ExportPreset::Passthrough) {
        // The moved samples are still found where the index says: every
        // frame decodes exactly as in the source.
        const auto sums = Checksums(src);
        int differing = 0;
        for (const auto& f : *frames) differing += sums.at(f.number) != f.checksum;
        EXPECT_EQ(differing, 0);
      }
    }
  }
}

TEST_F(ExportSessionTest, TheNameDecidesTheContainerOfBothModes) {
  // A re-encoded cut named .mkv is Matroska and shows exactly the kept frames.
  const std::string src = tm::ensure(tm::named("h264"));
  const std::string mkv = Out("cut.mkv");
  std::optional<Error> err;
  ASSERT_EQ(Run(src, Request({{0.5, 1.5}, {2, 2.5}}, ExportPreset::HighestQuality, mkv), &err), ExportStatus::Completed)
      << (err ? err->message : "");
  EXPECT_EQ(FormatOf(mkv), "matroska,webm");
  EXPECT_EQ(DocType(mkv), "matroska");
  std::vector<int> expected = Range(15, 44);
  for (int n : Range(60, 74)) expected.push_back(n);
  auto frames = testing::DecodeVideo(mkv);
  ASSERT_TRUE(frames.ok()) << frames.error().message;
  EXPECT_EQ(Numbers(*frames), expected);
  auto sound = testing::DecodeSound(mkv);
  ASSERT_TRUE(sound.ok()) << sound.error().message;
  EXPECT_NEAR(double(sound->samples.size()) / sound->sampleRate, 1.5, 0.05);

  // The whole movie, lossless, into Matroska: every frame, bit for bit.
  const std::string whole = Out("whole.mkv");
  ASSERT_EQ(Run(src, Request({{0, 3}}, ExportPreset::Passthrough, whole), &err), ExportStatus::Completed)
      << (err ? err->message : "");
  EXPECT_EQ(FormatOf(whole), "matroska,webm");
  EXPECT_EQ(Checksums(whole), Checksums(src));
  EXPECT_EQ(Checksums(whole).size(), 90u);

  // VP9/Opus WebM to WebM, whole: WebM, unchanged frames.
  const std::string webmSrc = tm::ensure(tm::named("webm"));
  const std::string webm = Out("whole.webm");
  auto webmDuration = ProbeMovieDuration(webmSrc);
  ASSERT_TRUE(webmDuration.ok());
  ASSERT_EQ(Run(webmSrc, Request({{0, *webmDuration}}, ExportPreset::Passthrough, webm), &err),
            ExportStatus::Completed)
      << (err ? err->message : "");
  EXPECT_EQ(DocType(webm), "webm");
  const auto webmSums = Checksums(webmSrc);
  EXPECT_EQ(Checksums(webm), webmSums);
  EXPECT_FALSE(webmSums.empty());
}

TEST_F(ExportSessionTest, ContainersThatCannotHoldTheExportAreRefusedBeforeAnythingIsWritten) {
  const std::string src = tm::ensure(tm::named("h264"));
  struct Case {
    const char* name;
    ExportPreset preset;
    std::vector<TimeSpan> keep;
    const char* says;
  };
  const Case cases[] = {
      {"cut.mkv", ExportPreset::Passthrough, {{0.5, 1.5}}, "cannot hide the frames before a cut"},
      {"cut.webm", ExportPreset::HighestQuality, {{0.5, 1.5}}, "WebM cannot hold H.264 or AAC"},
      {"whole.webm", ExportPreset::Passthrough, {{0, 3}}, ".mp4, .mov or .mkv"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ExportRequest req = Request(c.keep, c.preset, Out(std::string(".hidden.") + c.name));
    req.fileName = c.name;
    std::optional<Error> err;
    EXPECT_EQ(Run(src, req, &err), ExportStatus::Failed);
    ASSERT_TRUE(err.has_value());
    EXPECT_EQ(err->code, kOutputContainerCode);
    EXPECT_NE(err->message.find(std::string("“") + c.name + "”"), std::string::npos) << err->message;
    EXPECT_NE(err->message.find(c.says), std::string::npos) << err->message;
    EXPECT_FALSE(fs::exists(req.outputPath));
  }

  // A source whose own edit list hides frames (it starts inside a group of
  // pictures) cannot be copied into Matroska, whole or not.
  const std::string edited = tm::ensure(tm::named("editlist3"));
  std::optional<Error> err;
  const std::string out = Out("edited.mkv");
  auto probed = ProbeMovieDuration(edited);
  ASSERT_TRUE(probed.ok());
  const double duration = *probed;
  EXPECT_EQ(Run(edited, Request({{0, duration}}, ExportPreset::Passthrough, out), &err), ExportStatus::Failed);
  ASSERT_TRUE(err.has_value());
  EXPECT_NE(err->message.find("hides frames with an edit list"), std::string::npos) << err->message;
  EXPECT_FALSE(fs::exists(out));
}

}  // namespace
}  // namespace kf
