#include "export/plan/ExportPlan.h"

#include <gtest/gtest.h>

namespace kf {
namespace {

EditState Edit(std::vector<TimeSpan> segs, std::vector<double> fi = {}, std::vector<double> fo = {},
               double exposure = 0) {
  EditState e;
  e.segments = std::move(segs);
  e.fadeIns = std::move(fi);
  e.fadeOuts = std::move(fo);
  e.exposure = exposure;
  return e;
}

TEST(ExportPlanTest, FadeFactorFollowsStoredFadesAndJunctionRule) {
  const std::vector<TimeSpan> segs{{10, 12}, {20, 22}};
  const std::vector<double> fi{1, 0}, fo{0, 1};
  EXPECT_DOUBLE_EQ(FadeFactor(segs, fi, fo, 0.0), 0.0);
  EXPECT_DOUBLE_EQ(FadeFactor(segs, fi, fo, 0.5), 0.5);
  EXPECT_DOUBLE_EQ(FadeFactor(segs, fi, fo, 2.0), 1.0);  // first segment holds it, no fade-out
  EXPECT_DOUBLE_EQ(FadeFactor(segs, fi, fo, 3.5), 0.5);
  EXPECT_DOUBLE_EQ(FadeFactor(segs, fi, fo, 4.0), 0.0);
  EXPECT_DOUBLE_EQ(FadeFactor(segs, fi, fo, 9.0), 1.0);  // past every segment
  // A fade vector shorter than the segments: the missing ones have no fade.
  EXPECT_DOUBLE_EQ(FadeFactor(segs, {1}, {}, 2.5), 1.0);
  // Fade-in longer than the segment: factor at the end is len / fadeIn.
  EXPECT_NEAR(FadeFactor({{0, 0.8}}, {1}, {1}, 0.8), 0.0, 1e-12);
  EXPECT_NEAR(FadeFactor({{0, 0.8}}, {1}, {}, 0.8), 0.8, 1e-12);
}

TEST(ExportPlanTest, AudioRampsShortenFadeOutAndRoundTo600) {
  // 0.8 s with a 1 s fade-in and a fade-out: fade-in lasts 0.8 s, no fade-out.
  auto ramps = AudioFadeRamps({{5, 5.8}}, {1}, {1});
  ASSERT_EQ(ramps.size(), 2u);
  EXPECT_EQ(ramps[0], (VolumeRamp{0, 0, 0, 0}));
  EXPECT_EQ(ramps[1], (VolumeRamp{0, 0.8, 0, 1}));
  EXPECT_DOUBLE_EQ(VolumeAt(ramps, 0.4), 0.5);
  EXPECT_DOUBLE_EQ(VolumeAt(ramps, 0.8), 1.0);

  // Two segments: [0,2] fade-in 1; [.., 2 s] fade-out 1.
  ramps = AudioFadeRamps({{1, 3}, {10, 12}}, {1, 0}, {0, 1});
  EXPECT_DOUBLE_EQ(VolumeAt(ramps, 0.0), 0.0);
  EXPECT_DOUBLE_EQ(VolumeAt(ramps, 0.25), 0.25);
  EXPECT_DOUBLE_EQ(VolumeAt(ramps, 1.5), 1.0);
  EXPECT_DOUBLE_EQ(VolumeAt(ramps, 2.5), 1.0);
  EXPECT_DOUBLE_EQ(VolumeAt(ramps, 3.5), 0.5);
  EXPECT_DOUBLE_EQ(VolumeAt(ramps, 4.0), 0.0);

  // Lengths and positions are on the 1/600 grid.
  ramps = AudioFadeRamps({{0, 1.0001}, {2, 3}}, {0.50004, 0}, {0, 0});
  ASSERT_GE(ramps.size(), 3u);
  EXPECT_DOUBLE_EQ(ramps[1].duration, 0.5);
  EXPECT_DOUBLE_EQ(ramps.back().start, 1.0);
}

TEST(ExportPlanTest, RenderSizesAndPictureFit) {
  EXPECT_EQ(RenderSizeFor(1, false), (RenderSize{1920, 1080}));
  EXPECT_EQ(RenderSizeFor(2, false), (RenderSize{1280, 720}));
  EXPECT_EQ(RenderSizeFor(3, false), (RenderSize{854, 480}));
  EXPECT_FALSE(RenderSizeFor(0, false));
  EXPECT_FALSE(RenderSizeFor(4, false));
  EXPECT_FALSE(RenderSizeFor(1, true));  // optimizing ignores the size

  PictureFit fit = FitPicture(1920, 800, {1280, 720});
  EXPECT_DOUBLE_EQ(fit.scale, 2.0 / 3.0);
  EXPECT_EQ(fit.width, 1280);
  EXPECT_EQ(fit.height, 533);
  EXPECT_EQ(fit.x, 0);
  EXPECT_EQ(fit.y, 94);  // (720 - 533) / 2 = 93.5, on an even row
  // Pillarbox and scaling up.
  fit = FitPicture(480, 640, {1920, 1080});
  EXPECT_EQ(fit.height, 1080);
  EXPECT_EQ(fit.width, 810);
  EXPECT_EQ(fit.y, 0);
  EXPECT_EQ(fit.x, 556);
}

TEST(ExportPlanTest, PresetUntouchedAndByteCopyRules) {
  EXPECT_FALSE(HasEffects(Edit({{0, 5}}, {0}, {0}, 0.0005)));
  EXPECT_TRUE(HasEffects(Edit({{0, 5}}, {0}, {0}, 0.002)));
  EXPECT_TRUE(HasEffects(Edit({{0, 5}}, {0, 0.5}, {0})));
  EXPECT_EQ(EffectivePreset(0, 0, false), ExportPreset::Passthrough);
  EXPECT_EQ(EffectivePreset(1, 0, false), ExportPreset::HighestQuality);
  EXPECT_EQ(EffectivePreset(0, 2, false), ExportPreset::HighestQuality);
  EXPECT_EQ(EffectivePreset(5, 0, false), ExportPreset::HighestQuality);
  EXPECT_EQ(EffectivePreset(0, 0, true), ExportPreset::HighestQuality);
  // Smart render copies, so it cannot scale or apply effects.
  EXPECT_EQ(EffectivePreset(kExportModeSmart, 0, false), ExportPreset::SmartRender);
  EXPECT_EQ(EffectivePreset(kExportModeSmart, kExportSize720p, false), ExportPreset::HighestQuality);
  EXPECT_EQ(EffectivePreset(kExportModeSmart, 0, true), ExportPreset::HighestQuality);
  EXPECT_STREQ(PresetName(ExportPreset::SmartRender), "smart-render");

  EXPECT_TRUE(IsUntouched(Edit({{0, 10}}), 10.0000005));
  EXPECT_FALSE(IsUntouched(Edit({{0, 9.9}}), 10));
  EXPECT_FALSE(IsUntouched(Edit({{0, 5}, {5, 10}}), 10));
  EXPECT_FALSE(IsUntouched(Edit({{0, 10}}, {1}), 10));
  EXPECT_FALSE(IsUntouched(Edit({{0, 10}}, {}, {}, 0.01), 10));
  EXPECT_TRUE(IsUntouched(Edit({{0, 10}}, {}, {}, 0.001), 10));

  EXPECT_TRUE(UsesByteCopy(false, false, true, 0, 0));
  EXPECT_FALSE(UsesByteCopy(true, false, true, 0, 0));
  EXPECT_FALSE(UsesByteCopy(false, true, true, 0, 0));
  EXPECT_FALSE(UsesByteCopy(false, false, false, 0, 0));
  EXPECT_FALSE(UsesByteCopy(false, false, true, 1, 0));
  EXPECT_FALSE(UsesByteCopy(false, false, true, 0, 3));
}

TEST(ExportPlanTest, CompositionPlanDecidesPassesAndRounds) {
  CompositionRequest r;
  r.segments = {{2.0001, 5}, {10, 14}};
  r.preset = ExportPreset::Passthrough;
  r.fadesIn = {1};
  CompositionPlan plan = PlanComposition(r);
  EXPECT_EQ(plan.ranges, (std::vector<SourceRange>{{1200, 1800}, {6000, 2400}}));
  EXPECT_EQ(plan.totalDuration, 4200);
  EXPECT_FALSE(plan.videoComposition);  // a stream copy cannot apply passes
  EXPECT_FALSE(plan.audioMix);

  r.preset = ExportPreset::HighestQuality;
  plan = PlanComposition(r);
  EXPECT_TRUE(plan.videoComposition);
  EXPECT_TRUE(plan.audioMix);
  EXPECT_FALSE(plan.renderSize);

  // Exposure alone below the threshold: nothing to render.
  r.fadesIn.clear();
  r.exposure = 0.0005;
  plan = PlanComposition(r);
  EXPECT_FALSE(plan.videoComposition);
  EXPECT_FALSE(plan.audioMix);
  r.exposure = 0.002;
  EXPECT_TRUE(PlanComposition(r).videoComposition);

  // 1080p while optimizing: no render size, no picture pass.
  r.exposure = 0;
  r.exportSize = kExportSize1080p;
  r.optimize = true;
  plan = PlanComposition(r);
  EXPECT_FALSE(plan.renderSize);
  EXPECT_FALSE(plan.videoComposition);
  r.optimize = false;
  plan = PlanComposition(r);
  EXPECT_EQ(plan.renderSize, (RenderSize{1920, 1080}));
  EXPECT_TRUE(plan.videoComposition);
  // The caller did not ask for the passes.
  r.wantVideoComposition = false;
  EXPECT_FALSE(PlanComposition(r).videoComposition);
}

TEST(ExportPlanTest, ProgressTexts) {
  EXPECT_EQ(SessionProgressText(0.0005, 10, 60), "Exporting 0%");
  EXPECT_EQ(SessionProgressText(0.5, 10, 60), "Exporting 50% — 00:30.000 processed, about 00:10.000 left");
  EXPECT_EQ(SessionProgressText(0.95, 10, 60), "Exporting 95%");  // under a second left
  EXPECT_EQ(CopyProgressText(0, 0, 3), "Copying 0 / 0 MB — 0%");
  EXPECT_EQ(CopyProgressText(1048576, 4 * 1048576, 2), "Copying 1 / 4 MB — 25%, about 00:06.000 left");
  EXPECT_EQ(ClipProgressText(0, 0, 3, 1), "Exporting clips 0% — 0 of 3 complete");
  EXPECT_EQ(ClipProgressText(0.5, 1, 2, 4), "Exporting clips 50% — 1 of 2, about 00:04.000 left");
  EXPECT_EQ(PercentBadge(0.426), "43%");
}

}  // namespace
}  // namespace kf
