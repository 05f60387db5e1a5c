#include "export/naming/ExportNaming.h"

#include <gtest/gtest.h>

#include <regex>
#include <set>

namespace kf {
namespace {

TEST(SafeClipName, ReplacesEachForbiddenCharacterByOneDash) {
  EXPECT_EQ(safeClipName("a//b", "clip"), "a--b");
  EXPECT_EQ(safeClipName("a/b: c?", "clip"), "a-b- c-");
  EXPECT_EQ(safeClipName("1/2:3\\4?5%6*7|8\"9<0>", "clip"), "1-2-3-4-5-6-7-8-9-0-");
  EXPECT_EQ(safeClipName(std::string("a\0b", 3), "clip"), "a-b");
}

TEST(SafeClipName, TrimsAndFallsBack) {
  EXPECT_EQ(safeClipName("  Intro \n", "clip"), "Intro");
  EXPECT_EQ(safeClipName("   ", "clip"), "clip");
  EXPECT_EQ(safeClipName("", "fb"), "fb");
  // Non-ASCII white space is trimmed too (no-break space, ideographic space).
  EXPECT_EQ(safeClipName("\xC2\xA0Take\xE3\x80\x80", "clip"), "Take");
  // Only the ends are trimmed.
  EXPECT_EQ(safeClipName(" a b ", "clip"), "a b");
}

TEST(SafeClipName, StripsTrailingSpacesAndFullStops) {
  EXPECT_EQ(safeClipName("... ", "clip"), "clip");
  EXPECT_EQ(safeClipName("end. . .", "clip"), "end");
  EXPECT_EQ(safeClipName(".hidden", "clip"), ".hidden");
  EXPECT_EQ(safeClipName("..", "clip"), "clip");
  // The dash that replaces a trailing "?" stays.
  EXPECT_EQ(safeClipName("why?", "clip"), "why-");
}

TEST(ClipFileName, NumbersNamesAndDefaults) {
  const std::vector<std::string> names = {"Intro", "", "a/b: c?"};
  EXPECT_EQ(clipFileNames(names, 3),
            (std::vector<std::string>{"01 - Intro.mp4", "clip-02.mp4", "03 - a-b- c-.mp4"}));
  EXPECT_EQ(clipFileName(0, "... "), "01 - clip.mp4");
  EXPECT_EQ(clipFileName(0, "   "), "clip-01.mp4");
  EXPECT_EQ(clipFileName(98, ""), "clip-99.mp4");
  EXPECT_EQ(clipFileName(99, ""), "clip-100.mp4");
  EXPECT_EQ(clipFileName(99, "x"), "100 - x.mp4");
  // Missing names count as empty; equal names differ by their numbers.
  EXPECT_EQ(clipFileNames({"Same", "Same"}, 3),
            (std::vector<std::string>{"01 - Same.mp4", "02 - Same.mp4", "clip-03.mp4"}));
  // Clips whose codecs MP4 cannot hold take the extension that fits them.
  EXPECT_EQ(clipFileNames({"Intro", ""}, 2, "webm"), (std::vector<std::string>{"01 - Intro.webm", "clip-02.webm"}));
}

TEST(ClipFileName, InvalidUtf8CountsAsNoName) {
  EXPECT_EQ(clipFileName(4, "bad\xFF"), "clip-05.mp4");
}

TEST(ClipFileName, LongNamesStayWithinTheFileNameLimit) {
  std::string longName;
  for (int i = 0; i < 200; ++i) longName += "\xC3\xA9";  // 400 bytes of "é"
  const std::string file = clipFileName(0, longName);
  EXPECT_LE(file.size(), kMaxFileNameBytes);
  EXPECT_EQ(file.substr(0, 5), "01 - ");
  EXPECT_EQ(file.substr(file.size() - 4), ".mp4");
  // Cut on a character boundary: the middle is whole "é" pairs.
  const std::string middle = file.substr(5, file.size() - 9);
  EXPECT_EQ(middle.size() % 2, 0u);
  EXPECT_EQ(middle, longName.substr(0, middle.size()));
  // A longer extension leaves less room for the name, never more than the limit.
  const std::string webm = clipFileName(0, longName, "webm");
  EXPECT_LE(webm.size(), kMaxFileNameBytes);
  EXPECT_GE(webm.size(), kMaxFileNameBytes - 1);
  EXPECT_EQ(webm.substr(webm.size() - 5), ".webm");
}

TEST(SplitFileName, BaseAndExtension) {
  EXPECT_EQ(splitFileName("clip.MOV").base, "clip");
  EXPECT_EQ(splitFileName("clip.MOV").extension, "MOV");
  EXPECT_EQ(splitFileName("a.tar.gz").base, "a.tar");
  EXPECT_EQ(splitFileName("a.tar.gz").extension, "gz");
  EXPECT_EQ(splitFileName("noext").extension, "");
  EXPECT_EQ(splitFileName(".profile").base, ".profile");
  EXPECT_EQ(splitFileName(".profile").extension, "");
  EXPECT_EQ(splitFileName("movie.").base, "movie.");
  EXPECT_EQ(splitFileName("movie.").extension, "");
}

TEST(TemporarySibling, NameFollowsTheSourceAndStaysInItsFolder) {
  const std::string uuid = "1B4E28BA-2FA1-41D2-883F-0016D3CCA427";
  EXPECT_EQ(temporarySiblingPath("/m/clip.MOV", uuid), "/m/.clip." + uuid + ".kerfline-tmp.MOV");
  EXPECT_EQ(temporarySiblingPath("/m/raw", uuid), "/m/.raw." + uuid + ".kerfline-tmp.mp4");
  EXPECT_EQ(temporarySiblingPath("/m/a b.mkv", uuid), "/m/.a b." + uuid + ".kerfline-tmp.mkv");
  EXPECT_EQ(temporarySiblingPath("rel.mp4", uuid), ".rel." + uuid + ".kerfline-tmp.mp4");
  // The sibling of a QuickTime source is written as QuickTime, whatever the case.
  EXPECT_EQ(outputFileTypeForPath(temporarySiblingPath("/m/clip.MOV", uuid)), OutputFileType::QuickTimeMovie);
  EXPECT_EQ(outputFileTypeForPath(temporarySiblingPath("/m/raw", uuid)), OutputFileType::MPEG4);
  EXPECT_EQ(outputFileTypeForPath(temporarySiblingPath("/m/x.mkv", uuid)), OutputFileType::Matroska);
}

TEST(TemporarySibling, LongSourceNamesAreShortenedToFit) {
  const std::string uuid = newUuidString();
  const std::string base(250, 'b');
  const std::string name = temporarySiblingName(base + ".mov", uuid);
  EXPECT_EQ(name.size(), kMaxFileNameBytes);
  EXPECT_EQ(name.substr(name.size() - 17), ".kerfline-tmp.mov");
  EXPECT_NE(name.find(uuid), std::string::npos);
  const std::string hugeExt(300, 'e');
  EXPECT_LE(temporarySiblingName("a." + hugeExt, uuid).size(), kMaxFileNameBytes);
}

TEST(Uuid, CanonicalUpperCaseVersion4AndFresh) {
  const std::regex form("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}");
  std::set<std::string> seen;
  for (int i = 0; i < 200; ++i) {
    const std::string u = newUuidString();
    ASSERT_EQ(u.size(), 36u);
    EXPECT_TRUE(std::regex_match(u, form)) << u;
    seen.insert(u);
  }
  EXPECT_EQ(seen.size(), 200u);
}

TEST(OutputFileType, TheExtensionNamesTheContainer) {
  EXPECT_EQ(outputFileTypeForPath("/x/a.mov"), OutputFileType::QuickTimeMovie);
  EXPECT_EQ(outputFileTypeForPath("/x/a.MoV"), OutputFileType::QuickTimeMovie);
  EXPECT_EQ(outputFileTypeForPath("/x/a.mp4"), OutputFileType::MPEG4);
  EXPECT_EQ(outputFileTypeForPath("/x/a"), OutputFileType::MPEG4);
  EXPECT_EQ(outputFileTypeForPath("/x/a.movie"), OutputFileType::MPEG4);
  EXPECT_EQ(outputFileTypeForPath("/x.mov/a"), OutputFileType::MPEG4);
  EXPECT_EQ(outputFileTypeForPath("/x/a.mkv"), OutputFileType::Matroska);
  EXPECT_EQ(outputFileTypeForPath("/x/a.MKV"), OutputFileType::Matroska);
  EXPECT_EQ(outputFileTypeForPath("/x/a.WebM"), OutputFileType::WebM);
  EXPECT_EQ(outputFileTypeForPath("/x/a.m4v"), OutputFileType::MPEG4);
  EXPECT_EQ(outputFileTypeForPath("/x/a.avi"), OutputFileType::MPEG4);
  EXPECT_EQ(outputFileTypeForPath("/x.mkv/a"), OutputFileType::MPEG4);
  EXPECT_STREQ(muxerName(OutputFileType::QuickTimeMovie), "mov");
  EXPECT_STREQ(muxerName(OutputFileType::MPEG4), "mp4");
  EXPECT_STREQ(muxerName(OutputFileType::Matroska), "matroska");
  EXPECT_STREQ(muxerName(OutputFileType::WebM), "webm");
}

TEST(ProposedExportName, CutOrCopy) {
  EXPECT_EQ(proposedExportName("holiday.mkv", false), "holiday-cut.mp4");
  EXPECT_EQ(proposedExportName("holiday.mkv", true), "holiday-copy.mkv");
  EXPECT_EQ(proposedExportName("holiday", true), "holiday-copy.mov");
  EXPECT_EQ(proposedExportName("", false), "Kerfline-cut.mp4");
  // The cut's extension is the one that fits its codecs; a copy keeps the source's.
  EXPECT_EQ(proposedExportName("holiday.webm", false, "webm"), "holiday-cut.webm");
  EXPECT_EQ(proposedExportName("holiday.webm", true, "mp4"), "holiday-copy.webm");
}

}  // namespace
}  // namespace kf
