// The validation table row by row, in the window states a user meets: no
// movie, one segment, after a split, during an export, short clips and
// fades, small exposures, full screen, a deleted last export.
#include "app/shell/MenuValidation.h"

#include <gtest/gtest.h>

namespace kf {
namespace {

using C = MenuCommand;

bool Enabled(C c, const MenuCommandState& s) { return ValidateMenuCommand(c, s).enabled; }

MenuCommandState OneSegment() {
  MenuCommandState s;
  s.movieOpen = true;
  s.segments = {{0, 20}};
  s.fadeIns = {0};
  s.fadeOuts = {0};
  s.selected = 0;
  s.lastExportExists = true;
  s.nextFolderVideoExists = true;
  s.previousFolderVideoExists = true;
  return s;
}

MenuCommandState AfterSplit() {
  MenuCommandState s = OneSegment();
  s.segments = {{0, 4}, {4, 20}};
  s.fadeIns = {0, 0};
  s.fadeOuts = {0, 0};
  s.selected = 1;
  s.canUndo = true;
  return s;
}

TEST(MenuValidationTest, NoMovieLeavesOnlyOpeningAndAbout) {
  MenuCommandState s;
  for (C c : {C::OpenDocument, C::OpenRecent, C::ClearRecent, C::OpenFolderVideo, C::ShowAbout, C::Quit})
    EXPECT_TRUE(Enabled(c, s)) << static_cast<int>(c);
  for (C c : {C::ExportDocument, C::SaveInPlace, C::OptimizeForEditing, C::Split, C::RemoveSelected, C::BeginRename,
              C::ToggleMute, C::ToggleFullScreen, C::NextFolderVideo, C::PreviousFolderVideo, C::UndoEdit,
              C::RedoEdit, C::ShowLastExport, C::ToggleFadeIn, C::ToggleFadeOut, C::AutoExposure,
              C::ExposureBrighter, C::ExposureDarker, C::ResetExposure})
    EXPECT_FALSE(Enabled(c, s)) << static_cast<int>(c);
  // An asset without segments is not "has movie".
  s.movieOpen = true;
  EXPECT_FALSE(Enabled(C::ExportDocument, s));
  EXPECT_FALSE(Enabled(C::ToggleFullScreen, s));
  EXPECT_FALSE(Enabled(C::Split, s));
  // The folder steps only need an open movie and a target.
  s.nextFolderVideoExists = true;
  EXPECT_TRUE(Enabled(C::NextFolderVideo, s));
  EXPECT_FALSE(Enabled(C::PreviousFolderVideo, s));
}

TEST(MenuValidationTest, OneSegmentThenASplit) {
  MenuCommandState s = OneSegment();
  EXPECT_FALSE(Enabled(C::RemoveSelected, s));
  EXPECT_TRUE(Enabled(C::Split, s));
  EXPECT_TRUE(Enabled(C::ExportDocument, s));
  EXPECT_TRUE(Enabled(C::SaveInPlace, s));
  EXPECT_TRUE(Enabled(C::BeginRename, s));
  EXPECT_TRUE(Enabled(C::ToggleMute, s));
  EXPECT_FALSE(Enabled(C::UndoEdit, s));
  s = AfterSplit();
  EXPECT_TRUE(Enabled(C::RemoveSelected, s));
  EXPECT_TRUE(Enabled(C::UndoEdit, s));
  EXPECT_FALSE(Enabled(C::RedoEdit, s));
  s.canRedo = true;
  EXPECT_TRUE(Enabled(C::RedoEdit, s));
  // A rename in progress holds off split and remove.
  s.renaming = true;
  EXPECT_FALSE(Enabled(C::Split, s));
  EXPECT_FALSE(Enabled(C::RemoveSelected, s));
  EXPECT_TRUE(Enabled(C::BeginRename, s));
}

TEST(MenuValidationTest, DuringAnExportOnlyExportAsStaysEnabled) {
  MenuCommandState s = AfterSplit();
  s.canRedo = true;
  s.exposure = 0.5;
  s.exporting = true;
  EXPECT_TRUE(Enabled(C::ExportDocument, s)) << "the item then cancels";
  EXPECT_TRUE(Enabled(C::ToggleMute, s));
  EXPECT_TRUE(Enabled(C::ToggleFullScreen, s));
  for (C c : {C::UndoEdit, C::RedoEdit, C::SetExportOutput, C::SetExportMode, C::SetExportSize, C::NextFolderVideo,
              C::PreviousFolderVideo, C::SaveInPlace, C::OptimizeForEditing, C::ShowLastExport, C::Split,
              C::RemoveSelected, C::BeginRename, C::ToggleFadeIn, C::ToggleFadeOut, C::AutoExposure,
              C::ExposureBrighter, C::ExposureDarker, C::ResetExposure})
    EXPECT_FALSE(Enabled(c, s)) << static_cast<int>(c);
  s.exporting = false;
  for (C c : {C::SetExportOutput, C::SetExportMode, C::SetExportSize, C::ShowLastExport, C::ResetExposure})
    EXPECT_TRUE(Enabled(c, s)) << static_cast<int>(c);
}

TEST(MenuValidationTest, SmartRenderOnlyForPicturesItCanMatch) {
  MenuCommandState s = AfterSplit();
  for (const char* codec : {"", "h264", "hevc"}) {
    s.videoCodec = codec;
    for (std::int64_t tag : {0, 1, 2}) EXPECT_TRUE(ValidateExportModeItem(tag, s).enabled) << codec << " " << tag;
  }
  s.videoCodec = "vp9";
  EXPECT_TRUE(ValidateExportModeItem(0, s).enabled);
  EXPECT_TRUE(ValidateExportModeItem(1, s).enabled);
  EXPECT_FALSE(ValidateExportModeItem(2, s).enabled);
  s.exporting = true;
  EXPECT_FALSE(ValidateExportModeItem(0, s).enabled);
}

TEST(MenuValidationTest, FadeItemsFollowTheClipsRoom) {
  MenuCommandState s = OneSegment();
  s.segments = {{2, 2.03}};
  auto in = ValidateMenuCommand(C::ToggleFadeIn, s);
  EXPECT_FALSE(in.enabled) << "0.03 s leaves no room for a fade";
  EXPECT_EQ(in.checked, false);
  EXPECT_FALSE(Enabled(C::ToggleFadeOut, s));

  s.segments = {{2, 3}};
  s.fadeOuts = {1};
  in = ValidateMenuCommand(C::ToggleFadeIn, s);
  const auto out = ValidateMenuCommand(C::ToggleFadeOut, s);
  EXPECT_FALSE(in.enabled) << "a 1 s fade out fills the 1 s clip";
  EXPECT_EQ(in.checked, false);
  EXPECT_TRUE(out.enabled);
  EXPECT_EQ(out.checked, true);

  // A fade already present can always be removed; its tick shows even while
  // the item is disabled.
  s.fadeIns = {0.5};
  EXPECT_TRUE(Enabled(C::ToggleFadeIn, s));
  s.exporting = true;
  in = ValidateMenuCommand(C::ToggleFadeIn, s);
  EXPECT_FALSE(in.enabled);
  EXPECT_EQ(in.checked, true);

  // No valid selection: disabled and unticked.
  s.exporting = false;
  s.selected = 1;
  EXPECT_FALSE(Enabled(C::ToggleFadeOut, s));
  EXPECT_EQ(ValidateMenuCommand(C::ToggleFadeOut, s).checked, false);
  s.selected = -1;
  EXPECT_FALSE(Enabled(C::ToggleFadeIn, s));
}

TEST(MenuValidationTest, ExposureResetNeedsAVisibleChange) {
  MenuCommandState s = OneSegment();
  s.exposure = 0.0005;
  EXPECT_FALSE(Enabled(C::ResetExposure, s));
  s.exposure = -0.0005;
  EXPECT_FALSE(Enabled(C::ResetExposure, s));
  s.exposure = 0.002;
  EXPECT_TRUE(Enabled(C::ResetExposure, s));
  s.exposure = -0.002;
  EXPECT_TRUE(Enabled(C::ResetExposure, s));
  for (C c : {C::AutoExposure, C::ExposureBrighter, C::ExposureDarker}) EXPECT_TRUE(Enabled(c, s));
}

TEST(MenuValidationTest, FullScreenMuteAndLastExport) {
  MenuCommandState s = OneSegment();
  s.fullScreen = true;
  EXPECT_FALSE(Enabled(C::BeginRename, s));
  EXPECT_TRUE(Enabled(C::ToggleFullScreen, s));
  EXPECT_EQ(ValidateMenuCommand(C::ToggleMute, s).checked, false);
  s.muted = true;
  EXPECT_EQ(ValidateMenuCommand(C::ToggleMute, s).checked, true);
  s.lastExportExists = false;  // deleted since
  EXPECT_FALSE(Enabled(C::ShowLastExport, s));
  s.nextFolderVideoExists = false;
  EXPECT_FALSE(Enabled(C::NextFolderVideo, s));
  EXPECT_TRUE(Enabled(C::PreviousFolderVideo, s));
}

}  // namespace
}  // namespace kf
