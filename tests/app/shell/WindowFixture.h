// The delegate wired to the real window and menu bar, with a scripted
// player, scripted export sessions and scripted desktop dialogs, in virtual
// time. Alerts are the real message boxes, answered by AnswerNextAlert.
#pragma once

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QMessageBox>
#include <QTest>
#include <QTimer>

#include <filesystem>
#include <fstream>
#include <mutex>

#include <unistd.h>

#include "QtTestApp.h"
#include "ScriptedMedia.h"
#include "app/shell/MGAppDelegate.h"

namespace kf::test {

// Answers the next modal alert with the button titled `answer`, recording
// its message.
inline void AnswerNextAlert(const QString& answer, QString* message) {
  QTimer::singleShot(0, [answer, message] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    ASSERT_TRUE(box);
    *message = box->text();
    for (QAbstractButton* b : box->buttons())
      if (b->text() == answer) b->click();
  });
}

// An export session that runs until the test completes, fails or cancels it
// (or, with `immediate`, completes at once). It writes its output file like
// a real session, and removes it when it does not complete.
class HeldSession : public ExportSessionPort {
 public:
  HeldSession(ExportRequest r, bool immediate) : request(std::move(r)), immediate_(immediate) {}
  void exportAsynchronously(std::function<void()> completion) override {
    std::unique_lock<std::mutex> lock(mu_);
    status_ = ExportStatus::Exporting;
    { std::ofstream(request.outputPath) << "edited movie"; }
    completion_ = std::move(completion);
    if (cancelled_) return finish(lock, ExportStatus::Cancelled);
    if (immediate_) return finish(lock, ExportStatus::Completed);
  }
  double progress() const override { return progressValue.load(); }
  ExportStatus status() const override {
    std::lock_guard<std::mutex> lock(mu_);
    return status_;
  }
  std::optional<Error> error() const override {
    std::lock_guard<std::mutex> lock(mu_);
    return error_;
  }
  void cancelExport() override {
    std::unique_lock<std::mutex> lock(mu_);
    cancelled_ = true;
    if (completion_) finish(lock, ExportStatus::Cancelled);
  }
  void complete() {
    std::unique_lock<std::mutex> lock(mu_);
    if (completion_) finish(lock, ExportStatus::Completed);
  }
  void fail(Error e) {
    std::unique_lock<std::mutex> lock(mu_);
    error_ = std::move(e);
    if (completion_) finish(lock, ExportStatus::Failed);
  }

  ExportRequest request;
  std::atomic<double> progressValue{0};

 private:
  void finish(std::unique_lock<std::mutex>& lock, ExportStatus s) {
    status_ = s;
    if (s != ExportStatus::Completed) std::filesystem::remove(request.outputPath);
    auto c = std::move(completion_);
    completion_ = nullptr;
    lock.unlock();
    c();
  }
  const bool immediate_;
  mutable std::mutex mu_;
  ExportStatus status_ = ExportStatus::Waiting;
  std::optional<Error> error_;
  bool cancelled_ = false;
  std::function<void()> completion_;
};

struct HeldSessions : ExportSessionFactory {
  bool immediate = false;
  std::mutex mu;
  std::vector<HeldSession*> made;  // owned by the controller
  std::unique_ptr<ExportSessionPort> makeSession(const ExportRequest& r) override {
    auto s = std::make_unique<HeldSession>(r, immediate);
    std::lock_guard<std::mutex> lock(mu);
    made.push_back(s.get());
    return s;
  }
  HeldSession* last() {
    std::lock_guard<std::mutex> lock(mu);
    return made.empty() ? nullptr : made.back();
  }
};

// The desktop's dialogs answered by the test.
struct ScriptedDesktop : DesktopPort {
  std::optional<std::string> saveAnswer, folderAnswer;
  std::vector<SavePanelRequest> saves;
  std::vector<std::string> folderStarts, revealed;
  std::vector<std::vector<std::string>> started;
  Status startError;
  void runSavePanel(const SavePanelRequest& r, std::function<void(std::optional<std::string>)> c) override {
    saves.push_back(r);
    c(saveAnswer);
  }
  void runFolderPanel(const std::string& start, const std::string& prompt,
                      std::function<void(std::optional<std::string>)> c) override {
    folderStarts.push_back(start + "|" + prompt);
    c(folderAnswer);
  }
  void revealInFileBrowser(const std::string& p) override { revealed.push_back(p); }
  Status startProgramInstance(const std::vector<std::string>& args) override {
    started.push_back(args);
    return startError;
  }
};

class WindowFixture : public ::testing::Test {
 protected:
  WindowFixture() {
    TestApp();
    dir = std::filesystem::temp_directory_path() /
          ("kf_window_" + std::to_string(::getpid()) + "_" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
  }
  ~WindowFixture() override {
    delegate.reset();
    std::filesystem::remove_all(dir);
  }
  // A file of `bytes` bytes in the test's folder; returns its path.
  std::string file(const std::string& name, const std::string& bytes = "movie bytes") {
    const auto p = dir / name;
    std::ofstream(p, std::ios::binary) << bytes;
    return p.string();
  }
  std::string at(const std::string& name) const { return (dir / name).string(); }

  void launch() {
    MGAppDelegate::Services s;
    s.scheduler = &scheduler;
    s.player = &player;
    s.pictureView = new QWidget;
    s.settings = &settings;
    s.desktop = &desktop;
    s.quit = [this] { ++quits; };
    s.exportSessions = [this](const std::shared_ptr<media::MediaAsset>&) {
      return std::shared_ptr<ExportSessionFactory>(&sessions, [](ExportSessionFactory*) {});
    };
    s.prepare = InstantPreparer(scheduler);
    delegate = std::make_unique<MGAppDelegate>(std::move(s));
    delegate->applicationDidFinishLaunching();
    window = delegate->window();
    menu = delegate->menuBar();
    QApplication::setActiveWindow(window);
    EXPECT_TRUE(QTest::qWaitForWindowExposed(window));
  }

  void open(const std::string& path) {
    delegate->openURL(path);
    scheduler.runPending();
    player.currentScripted()->setStatus(media::ItemStatus::ReadyToPlay);
    scheduler.runPending();
  }

  void key(Qt::Key k, Qt::KeyboardModifiers m = Qt::NoModifier) {
    QWidget* target = QApplication::focusWidget() ? QApplication::focusWidget() : window;
    QTest::keyClick(target, k, m);
  }

  // Shows the menu's items as its opening would (validation included).
  void showMenu(QMenu* m) { emit m->aboutToShow(); }

  QAction* item(MenuCommand c) { return menu->item(c); }

  // Opens the item's menu first, as a user choosing it does.
  void choose(MenuCommand c) {
    QAction* a = item(c);
    ASSERT_TRUE(a);
    for (QMenu* m : {menu->fileMenu, menu->editMenu, menu->viewMenu, menu->windowMenu, menu->helpMenu,
                     menu->exportSettingsMenu})
      if (m->actions().contains(a)) showMenu(m);
    ASSERT_TRUE(a->isEnabled()) << a->text().toStdString();
    a->trigger();
  }

  std::string status() const { return window->status->text().toStdString(); }

  std::filesystem::path dir;
  ManualScheduler scheduler;
  ScriptedPlayer player{scheduler};
  MemorySettingsStore settings;
  ScriptedDesktop desktop;
  HeldSessions sessions;
  int quits = 0;
  std::unique_ptr<MGAppDelegate> delegate;
  MGMainWindow* window = nullptr;
  MGMenuBar* menu = nullptr;
};

}  // namespace kf::test
