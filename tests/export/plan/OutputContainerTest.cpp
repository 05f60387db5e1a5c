#include "export/plan/OutputContainer.h"

#include <gtest/gtest.h>

namespace kf {
namespace {

using Codecs = std::vector<std::string>;

const Codecs kH264Aac{"h264", "aac"};
const Codecs kVp8Vorbis{"vp8", "vorbis"};
const Codecs kVp9Opus{"vp9", "opus"};
const Codecs kH264Pcm{"h264", "pcm_s16le"};

std::string Refusal(std::string_view name, ExportPreset preset, const Codecs& codecs, bool whole) {
  const Status s = CheckOutputContainer(name, outputFileTypeForPath(name), preset, codecs, whole);
  if (!s) return "";
  EXPECT_EQ(s->domain, kKerflineErrorDomain);
  EXPECT_EQ(s->code, kOutputContainerCode);
  return s->message;
}

TEST(OutputContainer, EachContainerHoldsItsOwnCodecs) {
  EXPECT_TRUE(ContainerCarriesAll(OutputFileType::MPEG4, kH264Aac));
  EXPECT_TRUE(ContainerCarriesAll(OutputFileType::MPEG4, kVp9Opus));
  EXPECT_TRUE(ContainerCarriesAll(OutputFileType::MPEG4, {"hevc", "ac3", "av1", "alac", "mp3"}));
  EXPECT_FALSE(ContainerCarries(OutputFileType::MPEG4, "vp8"));
  EXPECT_FALSE(ContainerCarries(OutputFileType::MPEG4, "vorbis"));
  EXPECT_FALSE(ContainerCarries(OutputFileType::MPEG4, "pcm_s16le"));
  EXPECT_TRUE(ContainerCarriesAll(OutputFileType::QuickTimeMovie, kH264Pcm));
  EXPECT_TRUE(ContainerCarriesAll(OutputFileType::QuickTimeMovie, {"prores", "pcm_s24le"}));
  EXPECT_FALSE(ContainerCarries(OutputFileType::QuickTimeMovie, "vp8"));
  EXPECT_TRUE(ContainerCarriesAll(OutputFileType::Matroska, kVp8Vorbis));
  EXPECT_TRUE(ContainerCarriesAll(OutputFileType::Matroska, kH264Pcm));
  // WebM: VP8, VP9 and AV1 pictures, Vorbis and Opus sound, nothing else.
  EXPECT_TRUE(ContainerCarriesAll(OutputFileType::WebM, {"vp8", "vp9", "av1", "vorbis", "opus"}));
  for (const char* c : {"h264", "hevc", "aac", "mp3", "flac", "pcm_s16le", "mpeg4"})
    EXPECT_FALSE(ContainerCarries(OutputFileType::WebM, c)) << c;
  EXPECT_FALSE(ContainerCarries(OutputFileType::Matroska, "cinepak"));
  EXPECT_TRUE(ContainerHasEditLists(OutputFileType::MPEG4));
  EXPECT_TRUE(ContainerHasEditLists(OutputFileType::QuickTimeMovie));
  EXPECT_FALSE(ContainerHasEditLists(OutputFileType::Matroska));
  EXPECT_FALSE(ContainerHasEditLists(OutputFileType::WebM));
  // The re-encode writes H.264 and AAC whatever the source holds.
  EXPECT_EQ(OutputCodecs(ExportPreset::HighestQuality, kVp8Vorbis), kH264Aac);
  EXPECT_EQ(OutputCodecs(ExportPreset::Passthrough, kVp8Vorbis), kVp8Vorbis);
  EXPECT_EQ(OutputCodecs(ExportPreset::SmartRender, {"hevc", "opus"}), (Codecs{"hevc", "aac"}));
}

TEST(OutputContainer, TheProposedExtensionIsMp4WhereMp4HoldsTheCodecsElseTheSourcesOwn) {
  EXPECT_EQ(FittingExtension(kH264Aac, "a.mkv"), "mp4");
  EXPECT_EQ(FittingExtension(kVp9Opus, "a.webm"), "mp4");
  EXPECT_EQ(FittingExtension({}, "a.mkv"), "mp4");
  EXPECT_EQ(FittingExtension(kVp8Vorbis, "a.webm"), "webm");
  EXPECT_EQ(FittingExtension(kVp8Vorbis, "a.MKV"), "mkv");
  // Neither MP4 nor QuickTime and no container named by the source: Matroska.
  EXPECT_EQ(FittingExtension(kVp8Vorbis, "a.avi"), "mkv");
  EXPECT_EQ(FittingExtension({"theora", "vorbis"}, "a.ogv"), "mkv");
  // QuickTime keeps edit lists (a lossless cut stays exact), so it comes
  // before the source's Matroska.
  EXPECT_EQ(FittingExtension(kH264Pcm, "a.mkv"), "mov");
  EXPECT_EQ(FittingExtension({"ffv1", "flac"}, "a.mkv"), "mkv");
  // Nothing holds it: MP4, and the export says what to do.
  EXPECT_EQ(FittingExtension({"cinepak"}, "a.avi"), "mp4");
}

TEST(OutputContainer, RefusesWhatTheNamedContainerCannotHoldAndNamesTheExtensionsThatWork) {
  EXPECT_EQ(Refusal("/x/a.mp4", ExportPreset::Passthrough, kH264Aac, false), "");
  EXPECT_EQ(Refusal("/x/a.mov", ExportPreset::Passthrough, kH264Pcm, false), "");
  EXPECT_EQ(Refusal("/x/a.mkv", ExportPreset::HighestQuality, kVp8Vorbis, false), "");
  EXPECT_EQ(Refusal("/x/a.webm", ExportPreset::Passthrough, kVp9Opus, true), "");
  EXPECT_EQ(Refusal("/x/a", ExportPreset::Passthrough, kH264Aac, false), "");
  // H.264 into WebM: the re-encode may use any container with H.264.
  EXPECT_EQ(Refusal("/x/x.webm", ExportPreset::HighestQuality, kVp9Opus, false),
            "“x.webm” cannot be written: WebM cannot hold H.264 or AAC. Name it with the extension .mp4, .mov or "
            ".mkv instead.");
  // A lossless cut only where edit lists hide the frames before the cut.
  EXPECT_EQ(Refusal("x.webm", ExportPreset::Passthrough, kH264Aac, false),
            "“x.webm” cannot be written: WebM cannot hold H.264 or AAC. Name it with the extension .mp4 or .mov "
            "instead.");
  EXPECT_EQ(Refusal("x.webm", ExportPreset::Passthrough, kH264Aac, true),
            "“x.webm” cannot be written: WebM cannot hold H.264 or AAC. Name it with the extension .mp4, .mov or "
            ".mkv instead.");
  EXPECT_EQ(Refusal("/x/v.mp4", ExportPreset::Passthrough, kVp8Vorbis, true),
            "“v.mp4” cannot be written: MP4 cannot hold VP8 or Vorbis. Name it with the extension .mkv or .webm "
            "instead.");
  EXPECT_EQ(Refusal("/x/p.mp4", ExportPreset::Passthrough, kH264Pcm, false),
            "“p.mp4” cannot be written: MP4 cannot hold uncompressed (PCM) sound. Name it with the extension .mov "
            "instead.");
  EXPECT_EQ(Refusal("/x/v.mp4", ExportPreset::Passthrough, kVp8Vorbis, false),
            "“v.mp4” cannot be written: MP4 cannot hold VP8 or Vorbis. To export this movie, choose Frame-Accurate "
            "Re-encode to keep this name.");
}

TEST(OutputContainer, ALosslessCutIntoAContainerWithoutEditListsIsRefused) {
  EXPECT_EQ(Refusal("/x/cut.mkv", ExportPreset::Passthrough, kH264Aac, false),
            "“cut.mkv” cannot be written losslessly: Matroska cannot hide the frames before a cut, so they would "
            "play. Name it with the extension .mp4 or .mov, or choose Frame-Accurate Re-encode to keep this name.");
  EXPECT_EQ(Refusal("/x/cut.webm", ExportPreset::Passthrough, kVp8Vorbis, false),
            "“cut.webm” cannot be written losslessly: WebM cannot hide the frames before a cut, so they would "
            "play. To cut this movie, choose Frame-Accurate Re-encode and name it .mp4.");
  EXPECT_EQ(Refusal("/x/cut.mkv", ExportPreset::Passthrough, kVp8Vorbis, false),
            "“cut.mkv” cannot be written losslessly: Matroska cannot hide the frames before a cut, so they would "
            "play. To cut this movie, choose Frame-Accurate Re-encode to keep this name.");
  // The whole movie needs no hidden frames.
  EXPECT_EQ(Refusal("/x/all.mkv", ExportPreset::Passthrough, kH264Aac, true), "");
  EXPECT_EQ(Refusal("/x/all.webm", ExportPreset::Passthrough, kVp8Vorbis, true), "");
  // The smart render needs no edit list: its cuts may go into Matroska, not WebM.
  EXPECT_EQ(Refusal("/x/smart.mkv", ExportPreset::SmartRender, kH264Aac, false), "");
  EXPECT_NE(Refusal("/x/smart.webm", ExportPreset::SmartRender, kH264Aac, false), "");
}

TEST(OutputContainer, WholeMoviesAndByteCopies) {
  EXPECT_TRUE(KeepsWholeMovie({{0, 6000}}, 6000));
  EXPECT_TRUE(KeepsWholeMovie({{0, 5999}}, 6000));  // rounding of the two durations
  EXPECT_TRUE(KeepsWholeMovie({{0, 0}, {0, 6000}, {100, -5}}, 6000));
  EXPECT_FALSE(KeepsWholeMovie({{0, 5998}}, 6000));
  EXPECT_FALSE(KeepsWholeMovie({{1, 5999}}, 6000));
  EXPECT_FALSE(KeepsWholeMovie({{0, 3000}, {3000, 3000}}, 6000));
  EXPECT_FALSE(KeepsWholeMovie({}, 6000));

  EXPECT_TRUE(KeepsContainer("a.mp4", "b.mp4"));
  EXPECT_TRUE(KeepsContainer("a.MKV", "/x/b.mkv"));
  EXPECT_TRUE(KeepsContainer("a.mp4", "b.M4V"));
  EXPECT_TRUE(KeepsContainer("a", "b.mov"));
  EXPECT_TRUE(KeepsContainer("a.avi", "b.avi"));
  EXPECT_TRUE(KeepsContainer("a.mp4", "b.mp4.reference"));  // any other extension names MP4
  EXPECT_FALSE(KeepsContainer("a.mp4", "b.mkv"));
  EXPECT_FALSE(KeepsContainer("a.mkv", "b.webm"));
  EXPECT_FALSE(KeepsContainer("a.avi", "b.mp4"));
  EXPECT_FALSE(KeepsContainer("a.mov", "b"));
  EXPECT_FALSE(KeepsContainer("a.mkv", "b"));
}

}  // namespace
}  // namespace kf
