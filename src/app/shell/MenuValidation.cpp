#include "app/shell/MenuValidation.h"

#include <cmath>

#include "edit/EditOps.h"

namespace kf {
namespace {

bool ValidIndex(std::int64_t i, std::size_t count) { return i >= 0 && static_cast<std::size_t>(i) < count; }

double ValueAt(const std::vector<double>& v, std::int64_t i) {
  return ValidIndex(i, v.size()) ? v[static_cast<std::size_t>(i)] : 0.0;
}

// The selected segment can take (or already has) a fade on this side.
bool FadeToggleAvailable(const MenuCommandState& s, bool fadeIn) {
  if (!ValidIndex(s.selected, s.segments.size())) return false;
  const double own = ValueAt(fadeIn ? s.fadeIns : s.fadeOuts, s.selected);
  const double other = ValueAt(fadeIn ? s.fadeOuts : s.fadeIns, s.selected);
  return own > 0 || kerfline::FadeRoom(s.segments[static_cast<std::size_t>(s.selected)], other) >= kerfline::kMinimumFade;
}

bool FadeTicked(const MenuCommandState& s, bool fadeIn) {
  const auto& fades = fadeIn ? s.fadeIns : s.fadeOuts;
  return ValidIndex(s.selected, fades.size()) && fades[static_cast<std::size_t>(s.selected)] != 0;
}

}  // namespace

MenuItemValidation ValidateMenuCommand(MenuCommand command, const MenuCommandState& s) {
  const bool hasMovie = s.movieOpen && !s.segments.empty();
  const bool editable = hasMovie && !s.exporting;
  switch (command) {
    case MenuCommand::ExportDocument: return {hasMovie, std::nullopt};
    case MenuCommand::NextFolderVideo: return {s.movieOpen && !s.exporting && s.nextFolderVideoExists, std::nullopt};
    case MenuCommand::PreviousFolderVideo:
      return {s.movieOpen && !s.exporting && s.previousFolderVideoExists, std::nullopt};
    case MenuCommand::SaveInPlace:
    case MenuCommand::OptimizeForEditing: return {editable, std::nullopt};
    case MenuCommand::ShowLastExport: return {!s.exporting && s.lastExportExists, std::nullopt};
    case MenuCommand::UndoEdit: return {!s.exporting && s.canUndo, std::nullopt};
    case MenuCommand::RedoEdit: return {!s.exporting && s.canRedo, std::nullopt};
    case MenuCommand::Split: return {editable && !s.renaming, std::nullopt};
    case MenuCommand::RemoveSelected: return {!s.exporting && s.segments.size() >= 2 && !s.renaming, std::nullopt};
    case MenuCommand::BeginRename: return {editable && !s.fullScreen, std::nullopt};
    case MenuCommand::ToggleFullScreen: return {hasMovie, std::nullopt};
    case MenuCommand::ToggleFadeIn: return {editable && FadeToggleAvailable(s, true), FadeTicked(s, true)};
    case MenuCommand::ToggleFadeOut: return {editable && FadeToggleAvailable(s, false), FadeTicked(s, false)};
    case MenuCommand::SetExportOutput:
    case MenuCommand::SetExportMode:
    case MenuCommand::SetExportSize: return {!s.exporting, std::nullopt};
    case MenuCommand::AutoExposure:
    case MenuCommand::ExposureBrighter:
    case MenuCommand::ExposureDarker: return {editable, std::nullopt};
    case MenuCommand::ResetExposure: return {editable && std::fabs(s.exposure) > 0.001, std::nullopt};
    case MenuCommand::ToggleMute: return {hasMovie, s.muted};
    default: return {true, std::nullopt};
  }
}

MenuItemValidation ValidateExportModeItem(std::int64_t tag, const MenuCommandState& s) {
  MenuItemValidation v = ValidateMenuCommand(MenuCommand::SetExportMode, s);
  const bool smartFits = s.videoCodec.empty() || s.videoCodec == "h264" || s.videoCodec == "hevc";
  if (tag == 2 && s.movieOpen && !smartFits) v.enabled = false;
  return v;
}

}  // namespace kf
