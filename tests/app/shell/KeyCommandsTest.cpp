// The key table and the Escape order.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/shell/KeyCommands.h"

namespace kf {
namespace {

KeyPress Key(char32_t c, bool command = false, bool option = false, bool control = false, bool shift = false) {
  return KeyPress{c, command, option, control, shift};
}

TEST(KeyTable, FirstMatchingRowWins) {
  EXPECT_EQ(KeyActionForPress(Key(keys::kDown, true, true)), KeyAction::NextFolderVideo);
  EXPECT_EQ(KeyActionForPress(Key(keys::kUp, true, true)), KeyAction::PreviousFolderVideo);
  // Command-Down alone goes to the menus; Shift-Down lowers the volume.
  EXPECT_EQ(KeyActionForPress(Key(keys::kDown, true)), KeyAction::PassThrough);
  EXPECT_EQ(KeyActionForPress(Key(keys::kDown, false, false, false, true)), KeyAction::VolumeDown);
  EXPECT_EQ(KeyActionForPress(Key(keys::kDown, true, true, false, true)), KeyAction::PassThrough);
  EXPECT_EQ(KeyActionForPress(Key(U'y', true)), KeyAction::Redo);
  EXPECT_EQ(KeyActionForPress(Key(U'y', true, true, true, true)), KeyAction::Redo);
  EXPECT_EQ(KeyActionForPress(Key(keys::kF10, false, false, false, true)), KeyAction::KeyboardTimelineMenu);
  EXPECT_EQ(KeyActionForPress(Key(keys::kF10)), KeyAction::PassThrough);
  EXPECT_EQ(KeyActionForPress(Key(U'o', true)), KeyAction::PassThrough);
  EXPECT_EQ(KeyActionForPress(Key(U's', true)), KeyAction::PassThrough) << "command keys belong to the menus";
  EXPECT_EQ(KeyActionForPress(Key(keys::kSpace, false, true, true, true)), KeyAction::TogglePlayback);
  EXPECT_EQ(KeyActionForPress(Key(keys::kSpace, true)), KeyAction::PassThrough);
}

TEST(KeyTable, PlainKeys) {
  const std::vector<std::pair<char32_t, KeyAction>> rows = {
      {U's', KeyAction::Split},           {U'S', KeyAction::Split},
      {keys::kDelete, KeyAction::RemoveSelected}, {U'z', KeyAction::ToggleZoom},
      {U'M', KeyAction::ToggleMute},      {keys::kEscape, KeyAction::Escape},
      {U',', KeyAction::FrameBack},       {U'.', KeyAction::FrameForward},
      {U'f', KeyAction::ToggleFullScreen}, {keys::kF11, KeyAction::ToggleFullScreen},
      {U'[', KeyAction::ExposureDarker},  {U']', KeyAction::ExposureBrighter},
      {keys::kUp, KeyAction::VolumeUp},   {keys::kLeft, KeyAction::JumpBack},
      {keys::kRight, KeyAction::JumpForward}, {keys::kF2, KeyAction::BeginRename},
      {keys::kHome, KeyAction::SeekHome}, {keys::kEnd, KeyAction::SeekEnd},
      {U'q', KeyAction::PassThrough},     {0, KeyAction::PassThrough},
  };
  for (const auto& [c, action] : rows) EXPECT_EQ(KeyActionForPress(Key(c)), action) << int(c);
}

class RecordingTarget : public KeyCommandTarget {
 public:
  std::vector<std::string> calls;
  bool dragActive = false, armed = false, fullScreen = false;
  void stepFolderVideo(int d) override { calls.push_back("folder" + std::to_string(d)); }
  void redoEdit() override { calls.push_back("redo"); }
  void showKeyboardTimelineMenu() override { calls.push_back("menu"); }
  void togglePlayback() override { calls.push_back("play"); }
  void split() override { calls.push_back("split"); }
  void removeSelected() override { calls.push_back("remove"); }
  void toggleZoomSize() override { calls.push_back("zoom"); }
  void toggleMute() override { calls.push_back("mute"); }
  void toggleFullScreen() override { calls.push_back("fullscreen"); }
  void exposureDarker() override { calls.push_back("darker"); }
  void exposureBrighter() override { calls.push_back("brighter"); }
  void adjustVolumeBy(double d) override { calls.push_back(d > 0 ? "vol+" : "vol-"); }
  void jump(int d, bool frames) override { calls.push_back(std::string(frames ? "frame" : "jump") + std::to_string(d)); }
  void beginRename() override { calls.push_back("rename"); }
  void seekHome() override { calls.push_back("home"); }
  void seekEnd() override { calls.push_back("end"); }
  bool cancelTimelineInteraction() override {
    calls.push_back("cancel-drag");
    const bool was = dragActive;
    dragActive = false;
    return was;
  }
  bool cancelArmedJunction() override {
    calls.push_back("disarm");
    const bool was = armed;
    armed = false;
    return was;
  }
  bool isFullScreen() const override { return fullScreen; }
  void exitFullScreen() override {
    calls.push_back("exit-fullscreen");
    fullScreen = false;
  }
};

TEST(KeyController, EscapeEndsOneThingAtATime) {
  RecordingTarget t;
  KeyCommandController keys(t);
  t.dragActive = t.armed = t.fullScreen = true;
  EXPECT_TRUE(keys.handleKeyEvent(Key(keys::kEscape), false));
  EXPECT_EQ(t.calls, (std::vector<std::string>{"cancel-drag"}));
  t.calls.clear();
  keys.handleKeyEvent(Key(keys::kEscape), false);
  EXPECT_EQ(t.calls, (std::vector<std::string>{"cancel-drag", "disarm"}));
  t.calls.clear();
  keys.handleKeyEvent(Key(keys::kEscape), false);
  EXPECT_EQ(t.calls, (std::vector<std::string>{"cancel-drag", "disarm", "exit-fullscreen"}));
  t.calls.clear();
  EXPECT_TRUE(keys.handleKeyEvent(Key(keys::kEscape), false)) << "consumed even with nothing to end";
}

TEST(KeyController, RenameFieldGetsEveryKey) {
  RecordingTarget t;
  KeyCommandController keys(t);
  EXPECT_FALSE(keys.handleKeyEvent(Key(U's'), true));
  EXPECT_FALSE(keys.handleKeyEvent(Key(keys::kSpace), true));
  EXPECT_TRUE(t.calls.empty());
  EXPECT_TRUE(keys.handleKeyEvent(Key(U's'), false));
  EXPECT_FALSE(keys.handleKeyEvent(Key(U'o', true), false));
  EXPECT_TRUE(keys.handleKeyEvent(Key(U','), false));
  EXPECT_TRUE(keys.handleKeyEvent(Key(keys::kRight), false));
  EXPECT_TRUE(keys.handleKeyEvent(Key(keys::kUp), false));
  EXPECT_EQ(t.calls, (std::vector<std::string>{"split", "frame-1", "jump1", "vol+"}));
}

}  // namespace
}  // namespace kf
