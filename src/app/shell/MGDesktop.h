// The desktop services the window asks of the system: the save and folder
// dialogs of "Export As…", showing a file in the file manager, and starting
// another process of the program. A port, so that tests answer the dialogs
// and record the requests; MGQtDesktop is the shipped implementation.
//
// Main thread only. Completions run exactly once on the main thread (they
// may run before the call returns).
#pragma once

#include <QPointer>
#include <QWidget>

#include <functional>
#include <optional>
#include <string>

#include "base/Error.h"
#include "export/controller/ExportController.h"

namespace kf {

class DesktopPort {
 public:
  virtual ~DesktopPort() = default;
  // Asks for the destination of one movie; nullopt when cancelled.
  virtual void runSavePanel(const SavePanelRequest& request,
                            std::function<void(std::optional<std::string>)> completion) = 0;
  // Asks for a folder (creating one allowed); `prompt` titles the accept
  // button. nullopt when cancelled.
  virtual void runFolderPanel(const std::string& startFolder, const std::string& prompt,
                              std::function<void(std::optional<std::string>)> completion) = 0;
  // Shows the file or folder selected in the file manager, or at least its
  // containing folder.
  virtual void revealInFileBrowser(const std::string& path) = 0;
  // Starts another process of this program with `arguments`; the error when
  // it could not be started.
  virtual Status startProgramInstance(const std::vector<std::string>& arguments) = 0;
};

}  // namespace kf

// Qt dialogs; the file manager through its D-Bus interface
// (org.freedesktop.FileManager1 ShowItems), falling back to opening the
// containing folder; QProcess for the second process.
class MGQtDesktop final : public kf::DesktopPort {
 public:
  explicit MGQtDesktop(QWidget* parent) : parent_(parent) {}
  void setParent(QWidget* parent) { parent_ = parent; }

  void runSavePanel(const kf::SavePanelRequest& request,
                    std::function<void(std::optional<std::string>)> completion) override;
  void runFolderPanel(const std::string& startFolder, const std::string& prompt,
                      std::function<void(std::optional<std::string>)> completion) override;
  void revealInFileBrowser(const std::string& path) override;
  kf::Status startProgramInstance(const std::vector<std::string>& arguments) override;

 private:
  QPointer<QWidget> parent_;
};
