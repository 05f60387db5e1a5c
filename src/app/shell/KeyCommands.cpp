#include "app/shell/KeyCommands.h"

namespace kf {

KeyAction KeyActionForPress(const KeyPress& k) {
  const char32_t c = k.character;
  if (c == 0) return KeyAction::PassThrough;
  if ((c == keys::kUp || c == keys::kDown) && k.option && k.command && !k.shift && !k.control)
    return c == keys::kDown ? KeyAction::NextFolderVideo : KeyAction::PreviousFolderVideo;
  if ((c == U'y' || c == U'Y') && k.command) return KeyAction::Redo;
  if (c == keys::kF10 && k.shift) return KeyAction::KeyboardTimelineMenu;
  if (k.command) return KeyAction::PassThrough;
  switch (c) {
    case keys::kSpace: return KeyAction::TogglePlayback;
    case U's': case U'S': return KeyAction::Split;
    case keys::kDelete: return KeyAction::RemoveSelected;
    case U'z': case U'Z': return KeyAction::ToggleZoom;
    case U'm': case U'M': return KeyAction::ToggleMute;
    case keys::kEscape: return KeyAction::Escape;
    case U',': return KeyAction::FrameBack;
    case U'.': return KeyAction::FrameForward;
    case U'f': case U'F': case keys::kF11: return KeyAction::ToggleFullScreen;
    case U'[': return KeyAction::ExposureDarker;
    case U']': return KeyAction::ExposureBrighter;
    case keys::kUp: return KeyAction::VolumeUp;
    case keys::kDown: return KeyAction::VolumeDown;
    case keys::kLeft: return KeyAction::JumpBack;
    case keys::kRight: return KeyAction::JumpForward;
    case keys::kF2: return KeyAction::BeginRename;
    case keys::kHome: return KeyAction::SeekHome;
    case keys::kEnd: return KeyAction::SeekEnd;
    default: return KeyAction::PassThrough;
  }
}

bool KeyCommandController::handleKeyEvent(const KeyPress& key, bool renameFieldFocused) {
  if (renameFieldFocused) return false;
  const KeyAction action = KeyActionForPress(key);
  if (action == KeyAction::PassThrough) return false;
  perform(action);
  return true;
}

void KeyCommandController::perform(KeyAction action) {
  KeyCommandTarget& t = target_;
  switch (action) {
    case KeyAction::PassThrough: break;
    case KeyAction::NextFolderVideo: t.stepFolderVideo(+1); break;
    case KeyAction::PreviousFolderVideo: t.stepFolderVideo(-1); break;
    case KeyAction::Redo: t.redoEdit(); break;
    case KeyAction::KeyboardTimelineMenu: t.showKeyboardTimelineMenu(); break;
    case KeyAction::TogglePlayback: t.togglePlayback(); break;
    case KeyAction::Split: t.split(); break;
    case KeyAction::RemoveSelected: t.removeSelected(); break;
    case KeyAction::ToggleZoom: t.toggleZoomSize(); break;
    case KeyAction::ToggleMute: t.toggleMute(); break;
    case KeyAction::Escape:
      if (t.cancelTimelineInteraction()) break;
      if (t.cancelArmedJunction()) break;
      if (t.isFullScreen()) t.exitFullScreen();
      break;
    case KeyAction::FrameBack: t.jump(-1, true); break;
    case KeyAction::FrameForward: t.jump(+1, true); break;
    case KeyAction::ToggleFullScreen: t.toggleFullScreen(); break;
    case KeyAction::ExposureDarker: t.exposureDarker(); break;
    case KeyAction::ExposureBrighter: t.exposureBrighter(); break;
    case KeyAction::VolumeUp: t.adjustVolumeBy(0.05); break;
    case KeyAction::VolumeDown: t.adjustVolumeBy(-0.05); break;
    case KeyAction::JumpBack: t.jump(-1, false); break;
    case KeyAction::JumpForward: t.jump(+1, false); break;
    case KeyAction::BeginRename: t.beginRename(); break;
    case KeyAction::SeekHome: t.seekHome(); break;
    case KeyAction::SeekEnd: t.seekEnd(); break;
  }
}

}  // namespace kf
