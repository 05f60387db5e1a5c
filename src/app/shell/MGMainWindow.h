// The program's one window: the view tree with its fixed sizes, insets,
// colours and fonts, and the layout of the editor strip when it is shown or
// hidden, when the window is resized and in full screen.
//
// The window owns its views and knows nothing of the edit or the player: the
// application delegate sets texts and wires the controls' signals and the
// hooks below. Geometry comes from ComputeWindowLayout (WindowLayout.h).
//
// Main thread only.
#pragma once

#include <QFrame>
#include <QLabel>
#include <QMenuBar>
#include <QProgressBar>
#include <QSlider>
#include <QWidget>

#include <functional>

#include "app/shell/MGShellWidgets.h"
#include "app/shell/WindowLayout.h"
#include "app/views/MGDroppingView.h"
#include "app/views/MGSolidView.h"
#include "app/views/MGVideoOverlayView.h"
#include "timeline/view/MGTimelineView.h"

// Colours of the window.
QColor MGWindowBackground();   // (22, 21, 16)
QColor MGBandFill();           // (30, 28, 22)
QColor MGClockColor();         // (154, 148, 138)
QColor MGMediaInfoColor();     // (110, 105, 96)

class MGMainWindow : public QWidget {
 public:
  // `pictureView` shows the player's picture; the window takes it over.
  explicit MGMainWindow(QWidget* pictureView);

  // The view tree, in drawing order (later siblings above earlier ones).
  MGDroppingView* root = nullptr;
  QWidget* playerView = nullptr;
  MGVideoOverlayView* overlay = nullptr;
  MGTimelineView* timeline = nullptr;
  MGSolidView* transport = nullptr;
  MGSolidView* footer = nullptr;
  QLabel* footprintLabel = nullptr;
  QProgressBar* progressBar = nullptr;

  // Transport controls.
  QWidget* leftGroup = nullptr;
  QWidget* rightGroup = nullptr;
  MGTransportButton* stepBackwardButton = nullptr;
  MGTransportButton* seekBackFiveButton = nullptr;
  MGTransportButton* playButton = nullptr;
  MGTransportButton* seekForwardFiveButton = nullptr;
  MGTransportButton* stepForwardButton = nullptr;
  QWidget* exposureGroup = nullptr;
  QFrame* exposureDivider = nullptr;
  MGTransportButton* exposureDarkerButton = nullptr;
  MGTransportButton* exposureButton = nullptr;
  MGTransportButton* exposureBrighterButton = nullptr;
  MGTransportButton* splitButton = nullptr;
  MGTransportButton* removeButton = nullptr;
  MGTransportButton* zoomButton = nullptr;
  MGTransportButton* muteButton = nullptr;
  QSlider* volumeSlider = nullptr;  // 0 .. kVolumeSteps

  // Footer labels.
  QLabel* clock = nullptr;
  QLabel* mediaInfo = nullptr;
  MGElidedLabel* status = nullptr;

  static constexpr int kVolumeSteps = 1000;
  static constexpr int kInitialWidth = 980;
  static constexpr int kInitialHeight = 700;

  // Shows or hides the editor strip (timeline, transport, footer).
  void setEditorVisible(bool visible);
  bool editorVisible() const { return editorVisible_; }
  // In full screen the transport hides after a while without pointer
  // movement; this shows or hides it (no effect outside full screen).
  void setTransportAutoHidden(bool hidden);
  bool transportAutoHidden() const { return transportAutoHidden_; }
  bool inFullScreen() const { return isFullScreen(); }
  // Puts the menu bar at the top of the window, above the content (the
  // window grows by its height); hidden in full screen.
  void setMenuBar(QMenuBar* bar);
  QMenuBar* menuBar() const { return menuBar_; }
  // The content area below the menu bar, in window coordinates.
  QRect contentRect() const;
  // Re-applies the geometry for the current size and mode.
  void layoutViews();
  // Re-places the footer's labels after their texts changed.
  void layoutFooter();
  const kf::WindowLayout& currentLayout() const { return layout_; }

  // Hooks set by the application delegate.
  std::function<bool()> shouldClose;             // false refuses the close
  std::function<void()> willClose;
  std::function<void(bool fullScreen)> fullScreenChanged;

 protected:
  void resizeEvent(QResizeEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  void buildTransport();
  void buildFooter();

  QMenuBar* menuBar_ = nullptr;
  bool editorVisible_ = false;
  bool transportAutoHidden_ = false;
  bool wasFullScreen_ = false;
  kf::WindowLayout layout_;
};
