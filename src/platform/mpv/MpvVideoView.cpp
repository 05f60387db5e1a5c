#include "platform/mpv/MpvVideoView.h"

#include <mpv/client.h>
#include <mpv/render.h>
#include <mpv/render_gl.h>

#include <QCoreApplication>
#include <QGuiApplication>
#include <QMetaObject>
#include <QOffscreenSurface>
#include <QOpenGLContext>
#include <QOpenGLPaintDevice>
#include <QPainter>
#include <QThread>
#include <QVBoxLayout>
#include <QWindow>
#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <functional>
#include <memory>
#include <thread>
#include <utility>

namespace kf::mpv {

// Making the first OpenGL context loads and starts the driver, the longest
// step of a launch: it runs on a thread of its own from the moment the
// application object exists, while the rest of the program starts, the
// window is built and the movie probed, and is waited for only when the
// picture is first needed (see GlSurface::resolve()).
// (Asking Qt whether contexts may be made on other threads would itself
// load the driver; should it fail there, resolve() tries again on the main
// thread.)
class MpvVideoView::OpenGLStart {
 public:
  explicit OpenGLStart(std::function<void()> done = nullptr) {
    QThread* gui = QThread::currentThread();
    maker_ = std::thread([this, gui, format = QSurfaceFormat::defaultFormat(), done = std::move(done)] {
      auto context = std::make_unique<QOpenGLContext>();
      context->setFormat(format);
      if (context->create()) {
        context->moveToThread(gui);
        made_ = std::move(context);
      }
      if (done) QMetaObject::invokeMethod(qApp, done, Qt::QueuedConnection);
    });
  }
  ~OpenGLStart() {
    if (maker_.joinable()) maker_.join();
  }
  OpenGLStart(const OpenGLStart&) = delete;
  OpenGLStart& operator=(const OpenGLStart&) = delete;
  // Waits for the thread; the context it made, or null. Main thread; once.
  std::unique_ptr<QOpenGLContext> take() {
    if (maker_.joinable()) maker_.join();
    return std::move(made_);
  }

 private:
  std::thread maker_;
  std::unique_ptr<QOpenGLContext> made_;  // written by maker_ before it ends
};

// The OpenGL path: libmpv draws into a native child window of its own, which
// is presented by itself: a new picture does not make the toolkit compose
// the rest of the window again, and repaints of other widgets do not touch
// the video. It takes no input: clicks reach the view below it.
//
// The render context is made at once, with the view's own OpenGL context
// current on an offscreen surface: libmpv starts its video output only when
// a render context exists, so a movie opened before the window is first
// exposed would otherwise lose its picture. A new picture is drawn as soon as
// libmpv announces it, without waiting for a paint event.
class MpvVideoView::GlSurface : public QWindow {
 public:
  GlSurface(mpv_handle* mpv, MpvVideoView* view, std::shared_ptr<OpenGLStart> start)
      : mpv_(mpv), view_(view), start_(start ? std::move(start) : std::make_shared<OpenGLStart>()) {
    setSurfaceType(QSurface::OpenGLSurface);
    setFormat(QSurfaceFormat::defaultFormat());
    setFlags(flags() | Qt::WindowTransparentForInput | Qt::WindowDoesNotAcceptFocus);
  }
  ~GlSurface() override {
    if (ctx_) {
      context_->makeCurrent(&offscreen_);
      mpv_render_context_set_update_callback(ctx_, nullptr, nullptr);
      mpv_render_context_free(ctx_);
      context_->doneCurrent();
    }
  }
  // Waits for the context and makes libmpv's render context with it current
  // on an offscreen surface; false when OpenGL does not work after all.
  // Main thread; once.
  bool resolve() {
    if (resolved_) return ctx_ != nullptr;
    resolved_ = true;
    context_ = start_->take();
    start_.reset();
    if (!context_) {
      context_ = std::make_unique<QOpenGLContext>();
      context_->setFormat(format());
      if (!context_->create()) {
        context_.reset();
        return false;
      }
    }
    offscreen_.setFormat(context_->format());
    offscreen_.create();
    if (!context_->makeCurrent(&offscreen_)) return false;
    mpv_opengl_init_params init{&GlSurface::procAddress, nullptr};
    int advanced = 0;
    mpv_render_param params[] = {
        {MPV_RENDER_PARAM_API_TYPE, const_cast<char*>(MPV_RENDER_API_TYPE_OPENGL)},
        {MPV_RENDER_PARAM_OPENGL_INIT_PARAMS, &init},
        {MPV_RENDER_PARAM_ADVANCED_CONTROL, &advanced},
        {MPV_RENDER_PARAM_INVALID, nullptr},
    };
    if (mpv_render_context_create(&ctx_, mpv_, params) < 0) ctx_ = nullptr;
    context_->doneCurrent();
    if (!ctx_) return false;
    mpv_render_context_set_update_callback(ctx_, &GlSurface::onUpdate, this);
    if (isExposed()) draw(false);
    return true;
  }
  void redraw() { draw(false); }

 protected:
  void exposeEvent(QExposeEvent*) override {
    if (isExposed()) draw(false);
  }
  void resizeEvent(QResizeEvent*) override {
    if (isExposed()) draw(false);
  }

 private:
  // A new picture (libmpv's notice), or the current one again (exposed,
  // resized, darkened). Not yet shown, the picture is still taken from
  // libmpv (it waits for that), drawn offscreen.
  void draw(bool notified) {
    if (!ctx_) return;
    const bool fresh = notified && (mpv_render_context_update(ctx_) & MPV_RENDER_UPDATE_FRAME);
    if (notified && !fresh) return;
    const bool onScreen = handle() && isExposed();
    if (!context_->makeCurrent(onScreen ? static_cast<QSurface*>(this) : &offscreen_)) return;
    const qreal dpr = devicePixelRatio();
    const QSize size(std::max(1, int(width() * dpr)), std::max(1, int(height() * dpr)));
    mpv_opengl_fbo fbo{static_cast<int>(context_->defaultFramebufferObject()), size.width(), size.height(),
                       0};
    int flip = 1;
    mpv_render_param params[] = {
        {MPV_RENDER_PARAM_OPENGL_FBO, &fbo},
        {MPV_RENDER_PARAM_FLIP_Y, &flip},
        {MPV_RENDER_PARAM_INVALID, nullptr},
    };
    mpv_render_context_render(ctx_, params);
    if (onScreen) {
      // The fade, in the same pass: a translucent black layer over the picture.
      if (view_->darkening_ > 0) {
        QOpenGLPaintDevice device(size);
        QPainter p(&device);
        p.fillRect(QRect(QPoint(0, 0), size), QColor::fromRgbF(0, 0, 0, view_->darkening_));
      }
      context_->swapBuffers(this);
      mpv_render_context_report_swap(ctx_);
      // A picture drawn offscreen counts when it first reaches the screen.
      if (fresh || unshown_) view_->countPresented();
      unshown_ = false;
    } else if (fresh) {
      unshown_ = true;
    }
    context_->doneCurrent();
  }
  static void* procAddress(void*, const char* name) {
    QOpenGLContext* c = QOpenGLContext::currentContext();
    return c ? reinterpret_cast<void*>(c->getProcAddress(name)) : nullptr;
  }
  // libmpv's thread: one queued draw at a time.
  static void onUpdate(void* data) {
    auto* self = static_cast<GlSurface*>(data);
    if (self->queued_.exchange(true)) return;
    QMetaObject::invokeMethod(
        self,
        [self] {
          self->queued_ = false;
          self->draw(true);
        },
        Qt::QueuedConnection);
  }

  mpv_handle* mpv_;
  MpvVideoView* view_;
  std::shared_ptr<OpenGLStart> start_;  // until resolved
  bool resolved_ = false;
  std::unique_ptr<QOpenGLContext> context_;
  QOffscreenSurface offscreen_;
  mpv_render_context* ctx_ = nullptr;
  std::atomic<bool> queued_{false};
  bool unshown_ = false;  // a new picture drawn while not on screen
};

namespace {
// Whether the platform may offer OpenGL for the picture at all.
bool OpenGLPlatform() {
  if (std::getenv("KERFLINE_SOFTWARE_VIDEO")) return false;
  return QGuiApplication::platformName() != QLatin1String("offscreen");
}
}  // namespace

std::shared_ptr<MpvVideoView::OpenGLStart> MpvVideoView::startOpenGL(std::function<void()> done) {
  if (!OpenGLPlatform()) return nullptr;
  return std::make_shared<OpenGLStart>(std::move(done));
}

bool MpvVideoView::openGLAvailable() {
  if (!OpenGLPlatform()) return false;
  QOpenGLContext probe;
  return probe.create();
}

MpvVideoView::MpvVideoView(std::shared_ptr<MpvPlayer> player, QWidget* parent, bool forceSoftware,
                           std::shared_ptr<OpenGLStart> openGL)
    : QWidget(parent), player_(std::move(player)) {
  setAttribute(Qt::WA_OpaquePaintEvent);
  // libmpv hands a frame over this long before it is due and the render
  // call then waits for its time on the main thread; handed over when due,
  // the render returns at once and the window stays responsive.
  mpv_set_property_string(player_->handle(), "video-timing-offset", "0");
  if (!forceSoftware && OpenGLPlatform()) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    gl_ = new GlSurface(player_->handle(), this, std::move(openGL));
    glContainer_ = QWidget::createWindowContainer(gl_, this);
    glContainer_->setFocusPolicy(Qt::NoFocus);
    glContainer_->setAttribute(Qt::WA_TransparentForMouseEvents);
    layout->addWidget(glContainer_);
    // libmpv starts its video output only with a render context: the
    // player's first load waits for it.
    player_->setVideoOutputGate([this] { resolveOutput(); });
    return;
  }
  startSoftware();
}

void MpvVideoView::resolveOutput() {
  if (outputResolved_) return;
  outputResolved_ = true;
  if (gl_ && !gl_->resolve()) {
    // No working OpenGL after all: the software renderer draws instead.
    delete glContainer_;
    glContainer_ = nullptr;
    gl_ = nullptr;
    startSoftware();
  }
  // The OpenGL renderer shows the exposure preview in its own pass.
  player_->setExposureByShader(gl_ != nullptr);
}

bool MpvVideoView::usesOpenGL() const {
  const_cast<MpvVideoView*>(this)->resolveOutput();
  return gl_ != nullptr;
}

void MpvVideoView::startSoftware() {
  outputResolved_ = true;
  mpv_render_param params[] = {
      {MPV_RENDER_PARAM_API_TYPE, const_cast<char*>(MPV_RENDER_API_TYPE_SW)},
      {MPV_RENDER_PARAM_INVALID, nullptr},
  };
  if (mpv_render_context_create(&sw_, player_->handle(), params) < 0) {
    sw_ = nullptr;
    return;
  }
  mpv_render_context_set_update_callback(sw_, &MpvVideoView::onUpdate, this);
}

MpvVideoView::~MpvVideoView() {
  player_->setVideoOutputGate(nullptr);
  if (sw_) {
    mpv_render_context_set_update_callback(sw_, nullptr, nullptr);
    mpv_render_context_free(sw_);
  }
  // The GL surface frees its context with its container, before player_
  // goes.
  delete glContainer_;
  glContainer_ = nullptr;
  gl_ = nullptr;
}

void MpvVideoView::onUpdate(void* context) {
  QMetaObject::invokeMethod(static_cast<MpvVideoView*>(context), &MpvVideoView::softwareUpdate,
                            Qt::QueuedConnection);
}

void MpvVideoView::softwareUpdate() {
  if (!sw_) return;
  if (mpv_render_context_update(sw_) & MPV_RENDER_UPDATE_FRAME) {
    countPresented();
    renderNow();
  }
}

void MpvVideoView::countPresented() {
  ++framesPresented_;
  if (afterFirstPicture_)
    QMetaObject::invokeMethod(this, std::exchange(afterFirstPicture_, nullptr), Qt::QueuedConnection);
}

void MpvVideoView::afterFirstPicture(std::function<void()> then) {
  if (framesPresented_ > 0)
    QMetaObject::invokeMethod(this, std::move(then), Qt::QueuedConnection);
  else
    afterFirstPicture_ = std::move(then);
}

void MpvVideoView::setDarkening(double amount) {
  if (!(amount > 0)) amount = 0;
  if (amount > 1) amount = 1;
  if (amount == darkening_) return;
  darkening_ = amount;
  if (gl_)
    gl_->redraw();
  else
    update();
}

void MpvVideoView::renderNow() {
  if (!sw_) return;
  const qreal dpr = devicePixelRatioF();
  const QSize size(std::max(1, int(width() * dpr)), std::max(1, int(height() * dpr)));
  if (image_.size() != size) {
    image_ = QImage(size, QImage::Format_RGB32);
    image_.setDevicePixelRatio(dpr);
  }
  int sz[2] = {size.width(), size.height()};
  size_t stride = static_cast<size_t>(image_.bytesPerLine());
  mpv_render_param params[] = {
      {MPV_RENDER_PARAM_SW_SIZE, sz},        {MPV_RENDER_PARAM_SW_FORMAT, const_cast<char*>("bgr0")},
      {MPV_RENDER_PARAM_SW_STRIDE, &stride}, {MPV_RENDER_PARAM_SW_POINTER, image_.bits()},
      {MPV_RENDER_PARAM_INVALID, nullptr},
  };
  if (mpv_render_context_render(sw_, params) < 0) image_.fill(Qt::black);
  update();
}

void MpvVideoView::paintEvent(QPaintEvent*) {
  if (gl_) return;
  QPainter p(this);
  if (image_.isNull()) {
    p.fillRect(rect(), Qt::black);
    return;
  }
  p.drawImage(rect(), image_);
  if (darkening_ > 0) p.fillRect(rect(), QColor::fromRgbF(0, 0, 0, darkening_));
}

void MpvVideoView::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  if (sw_) renderNow();
}

}  // namespace kf::mpv
