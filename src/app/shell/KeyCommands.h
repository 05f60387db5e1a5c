// The keyboard layer of the window: which plain key does what.
//
// Keys reach the controller before the menus and the focused control (the
// window installs an application-wide filter). A key is either consumed by
// one of the commands below or goes through. The table is pure: a key press
// is a character (the platform key constants for special keys, below) and
// four modifier flags; the window maps toolkit events to it (Ctrl is the
// command key on Linux, Alt the option key, the Meta/Super key control).
//
// Threads: main thread only. The target must outlive the controller.
#pragma once

#include <cstdint>

namespace kf {

// Character values of special keys.
namespace keys {
inline constexpr char32_t kUp = 0xF700;
inline constexpr char32_t kDown = 0xF701;
inline constexpr char32_t kLeft = 0xF702;
inline constexpr char32_t kRight = 0xF703;
inline constexpr char32_t kF2 = 0xF705;
inline constexpr char32_t kF10 = 0xF70D;
inline constexpr char32_t kF11 = 0xF70E;
inline constexpr char32_t kHome = 0xF729;
inline constexpr char32_t kEnd = 0xF72B;
inline constexpr char32_t kEscape = 27;
inline constexpr char32_t kSpace = 32;
inline constexpr char32_t kDelete = 127;
}  // namespace keys

struct KeyPress {
  // The first character of the key ignoring modifiers (a letter keeps its
  // case only through `shift`); 0 when the key has no character.
  char32_t character = 0;
  bool command = false;
  bool option = false;
  bool control = false;
  bool shift = false;
};

enum class KeyAction {
  PassThrough,
  NextFolderVideo,
  PreviousFolderVideo,
  Redo,
  KeyboardTimelineMenu,
  TogglePlayback,
  Split,
  RemoveSelected,
  ToggleZoom,
  ToggleMute,
  Escape,
  FrameBack,
  FrameForward,
  ToggleFullScreen,
  ExposureDarker,
  ExposureBrighter,
  VolumeUp,
  VolumeDown,
  JumpBack,
  JumpForward,
  BeginRename,
  SeekHome,
  SeekEnd,
};

// The first matching row of the key table.
KeyAction KeyActionForPress(const KeyPress& key);

// What the key commands act on (the application delegate).
class KeyCommandTarget {
 public:
  virtual ~KeyCommandTarget() = default;
  virtual void stepFolderVideo(int direction) = 0;
  virtual void redoEdit() = 0;
  virtual void showKeyboardTimelineMenu() = 0;
  virtual void togglePlayback() = 0;
  virtual void split() = 0;
  virtual void removeSelected() = 0;
  virtual void toggleZoomSize() = 0;
  virtual void toggleMute() = 0;
  virtual void toggleFullScreen() = 0;
  virtual void exposureDarker() = 0;
  virtual void exposureBrighter() = 0;
  virtual void adjustVolumeBy(double delta) = 0;
  // Left/Right (frames false) and comma/period (frames true).
  virtual void jump(int direction, bool frames) = 0;
  virtual void beginRename() = 0;
  virtual void seekHome() = 0;
  virtual void seekEnd() = 0;
  // Escape, in order: cancel the timeline's drag; else disarm an armed
  // junction ("Ready"); else leave full screen. Each returns whether it
  // applied.
  virtual bool cancelTimelineInteraction() = 0;
  virtual bool cancelArmedJunction() = 0;
  virtual bool isFullScreen() const = 0;
  virtual void exitFullScreen() = 0;
};

class KeyCommandController {
 public:
  explicit KeyCommandController(KeyCommandTarget& target) : target_(target) {}

  // Returns true when the key was consumed (also when its command found
  // nothing to do). While the rename field has focus every key goes through
  // to it.
  bool handleKeyEvent(const KeyPress& key, bool renameFieldFocused);

  // Runs one action as handleKeyEvent would.
  void perform(KeyAction action);

 private:
  KeyCommandTarget& target_;
};

}  // namespace kf
