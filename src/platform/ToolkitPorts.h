// The windowing toolkit's services as controllers see them: modal alerts,
// error presentation and the Open panel. Plain C++ with no toolkit types, so
// controllers run against scripted doubles in tests; the Qt implementation
// lives with the main window (app/shell).
//
// Threads: main thread only. A modal alert blocks the caller (it runs a
// nested event loop) and returns the chosen button; the Open panel reports
// through its completion, which runs exactly once on the main thread (it may
// run before runOpenPanel returns).
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "base/Error.h"

namespace kf {

struct AlertSpec {
  std::string message;
  std::string informativeText;
  // Button titles, first button first (the default one).
  std::vector<std::string> buttons;
};

class AlertPort {
 public:
  virtual ~AlertPort() = default;
  // Shows a modal alert and returns the index of the chosen button (0 for
  // the first), or -1 when the alert was dismissed without a button.
  virtual int runModalAlert(const AlertSpec& alert) = 0;
  // Shows the error to the user as an alert attached to the main window.
  // Returns at once; the user dismisses it later.
  virtual void showErrorAlert(const Error& error) = 0;
};

class OpenPanelPort {
 public:
  virtual ~OpenPanelPort() = default;
  // Lets the user choose one file among those whose extension is listed
  // (lower case, without the dot; movies in general are always allowed).
  // The completion receives the chosen path, or nullopt when cancelled.
  virtual void runOpenPanel(const std::vector<std::string>& extensions,
                            std::function<void(std::optional<std::string> path)> completion) = 0;
};

}  // namespace kf
