// The player's picture in a Qt widget, drawn with libmpv's render API.
//
// Where OpenGL is available the picture is drawn by libmpv into a native
// child window (a QWindow in a window container, with the view's own OpenGL
// context), presented by itself without recomposing the rest of the window;
// it takes no input, so clicks and pointer moves reach this view. libmpv's
// render context exists from construction on, so a movie opened before the
// window is first shown keeps its picture. Where it is not (the "offscreen" platform,
// machines without GL, or KERFLINE_SOFTWARE_VIDEO set), libmpv's software
// renderer draws "bgr0" pixels into a QImage (Format_RGB32) that the widget
// paints. Either way the picture is fitted into the widget with black bars.
//
// Ownership: the view keeps the player alive (shared_ptr) and frees its
// render context before letting go, as libmpv requires. The player must have
// been made with MpvOptions::vo = "libmpv", and only one view may attach to
// a player.
// Threads: main (GUI) thread only. libmpv's update notice arrives on its own
// thread and is queued to the widget; a notice for a destroyed view is
// dropped by Qt.
#pragma once

#include <QImage>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <memory>

#include "platform/mpv/MpvPlayer.h"

struct mpv_render_context;

namespace kf::mpv {

class MpvVideoView : public QWidget {
  Q_OBJECT
 public:
  // The first OpenGL context, begun at once on a thread of its own: call it
  // as soon as the application object exists and hand it to the view, so
  // the driver loads and starts while the rest of the program does. `done`
  // runs on the main thread once the thread has ended (the driver loaded,
  // the context made or not). Null where the OpenGL path is not taken
  // (`done` is not run then). Main thread.
  class OpenGLStart;
  static std::shared_ptr<OpenGLStart> startOpenGL(std::function<void()> done = nullptr);

  // `forceSoftware` picks the software renderer even where OpenGL works.
  // `openGL` (from startOpenGL()) is the context begun earlier; without it
  // the view begins its own.
  explicit MpvVideoView(std::shared_ptr<MpvPlayer> player, QWidget* parent = nullptr, bool forceSoftware = false,
                        std::shared_ptr<OpenGLStart> openGL = nullptr);
  ~MpvVideoView() override;

  // Whether the picture is drawn with OpenGL. Waits for the OpenGL context
  // (made on a thread of its own from construction on) if it is not there
  // yet, as does the player's first load.
  bool usesOpenGL() const;
  // Whether this machine and platform can use the OpenGL path.
  static bool openGLAvailable();

  // The software path's last rendered picture (widget size × device pixel
  // ratio); null on the OpenGL path (read the screen there: a widget grab
  // does not see the native child window).
  QImage softwareImage() const { return image_; }
  // Renders the current picture now on the software path (e.g. after a
  // seek in a test, without waiting for the update notice).
  void renderNow();

  // Black drawn over the picture in the view's own pass (0 .. 1; the fade
  // preview), so that no widget has to lie over the video. Repaints only
  // when the value changes.
  void setDarkening(double amount);
  double darkening() const { return darkening_; }

  // New pictures drawn since the view was made (frames presented).
  std::uint64_t framesPresented() const { return framesPresented_; }
  // Runs `then` once, on the main thread, after the first picture has been
  // presented (at once, queued, if one already has). Replaces an earlier
  // request not yet run.
  void afterFirstPicture(std::function<void()> then);

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  class GlSurface;
  static void onUpdate(void* context);
  void softwareUpdate();
  void resolveOutput();
  void startSoftware();
  void countPresented();

  std::shared_ptr<MpvPlayer> player_;
  ::mpv_render_context* sw_ = nullptr;  // software path
  GlSurface* gl_ = nullptr;            // OpenGL path (native child window)
  QWidget* glContainer_ = nullptr;     // its place among the widgets
  bool outputResolved_ = false;        // the renderer is decided
  QImage image_;
  double darkening_ = 0;
  std::uint64_t framesPresented_ = 0;
  std::function<void()> afterFirstPicture_;
};

}  // namespace kf::mpv
