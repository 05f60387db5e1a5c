#include "app/shell/MGTestScript.h"

#include <QApplication>
#include <QKeyEvent>
#include <QMenu>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <sstream>

#include "app/shell/MGAppDelegate.h"
#include "app/shell/MGShellWidgets.h"

namespace {

std::optional<kf::KeyPress> KeyNamed(const std::string& name) {
  kf::KeyPress k;
  if (name == "space") k.character = kf::keys::kSpace;
  else if (name == "left") k.character = kf::keys::kLeft;
  else if (name == "right") k.character = kf::keys::kRight;
  else if (name == "comma") k.character = U',';
  else if (name == "period") k.character = U'.';
  else if (name == "escape") k.character = kf::keys::kEscape;
  else if (name == "delete") k.character = kf::keys::kDelete;
  else if (name == "home") k.character = kf::keys::kHome;
  else if (name == "end") k.character = kf::keys::kEnd;
  else if (name == "f2") k.character = kf::keys::kF2;
  else if (name == "up") k.character = kf::keys::kUp;
  else if (name == "down") k.character = kf::keys::kDown;
  else if (name.size() == 1) k.character = static_cast<char32_t>(static_cast<unsigned char>(name[0]));
  else return std::nullopt;
  return k;
}

void RunStep(MGAppDelegate& d, const std::string& command) {
  const auto colon = command.find(':');
  const std::string verb = command.substr(0, colon);
  const std::string arg = colon == std::string::npos ? std::string() : command.substr(colon + 1);
  if (verb == "fadein") d.edit().toggleFadeIn();
  else if (verb == "fadeout") d.edit().toggleFadeOut();
  else if (verb == "undo") d.edit().undoEdit();
  else if (verb == "redo") d.edit().redoEdit();
  else if (verb == "select") {
    d.edit().setSelected(std::atoll(arg.c_str()));
    d.edit().syncSegments();
  } else if (verb == "seek") d.transport().seek(std::atof(arg.c_str()));
  else if (verb == "quitwhenopen") {
    // Waits for the open movie (its decoder known and, after its first
    // picture, the window's icon set), prints "opened PATH" and the segment
    // count on standard output and quits; "opened -" when none opens in time.
    auto* poll = new QTimer(qApp);
    auto started = std::make_shared<int>(0);
    const int limitTicks = arg.empty() ? 300 : std::atoi(arg.c_str()) * 10;
    QObject::connect(poll, &QTimer::timeout, qApp, [&d, poll, started, limitTicks] {
      const auto& url = d.session().sourceURL();
      const QString decoder = d.window() ? d.window()->mediaInfo->toolTip() : QString();
      const bool iconSet = d.window() && !d.window()->windowIcon().isNull();
      if ((!url || decoder.isEmpty() || !iconSet) && ++*started < limitTicks) return;
      poll->stop();
      poll->deleteLater();
      std::printf("opened %s\nsegments %zu\nstatus %s\ndecoder %s\nicon %d\n", url ? url->text.c_str() : "-",
                  d.edit().segments().size(), d.window() ? d.window()->status->text().toStdString().c_str() : "",
                  decoder.toStdString().c_str(),
                  d.window() ? d.window()->windowIcon().actualSize(QSize(256, 256)).width() : 0);
      std::fflush(stdout);
      if (d.window()) d.window()->hide();
      qApp->exit(0);
    });
    poll->start(100);
  } else if (verb == "menu") {
    // Opens the menu of the bar titled `arg`, or the submenu titled `arg`
    // of the menu that is open.
    if (MGMenuBar* bar = d.menuBar()) {
      if (auto* open = qobject_cast<QMenu*>(QApplication::activePopupWidget())) {
        for (QAction* a : open->actions())
          if (a->menu() && a->text().remove('&') == QString::fromStdString(arg)) {
            open->setActiveAction(a);
            QKeyEvent right(QEvent::KeyPress, Qt::Key_Right, Qt::NoModifier);
            QApplication::sendEvent(open, &right);
          }
      } else {
        for (QAction* a : bar->bar->actions())
          if (a->text().remove('&') == QString::fromStdString(arg)) bar->bar->setActiveAction(a);
      }
    }
  } else if (verb == "closemenus") {
    while (QWidget* popup = QApplication::activePopupWidget()) popup->close();
  } else if (verb == "setting") {
    // "output=N", "mode=N" or "size=N": the export settings item's action.
    const auto eq = arg.find('=');
    const std::int64_t tag = eq == std::string::npos ? 0 : std::atoll(arg.c_str() + eq + 1);
    const std::string group = arg.substr(0, eq);
    if (group == "output") d.setExportOutput(tag);
    else if (group == "mode") d.setExportMode(tag);
    else if (group == "size") d.setExportSize(tag);
  } else if (verb == "exportto") {
    d.exportToPath(arg);
  } else if (verb == "quit") {
    if (d.window()) d.window()->hide();
    qApp->exit(0);
  } else if (auto key = KeyNamed(verb)) {
    d.handleKeyPress(*key);
  }
}

}  // namespace

void MGRunTestScript(MGAppDelegate& delegate, const std::string& script) {
  std::stringstream in(script);
  std::string step;
  MGAppDelegate* d = &delegate;
  while (std::getline(in, step, ';')) {
    const auto colon = step.find(':');
    if (colon == std::string::npos) continue;
    const double at = std::atof(step.substr(0, colon).c_str());
    const std::string command = step.substr(colon + 1);
    const int ms = static_cast<int>(at * 1000);
    QTimer::singleShot(ms, qApp, [d, command] { RunStep(*d, command); });
  }
}
