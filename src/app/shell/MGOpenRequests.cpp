#include "app/shell/MGOpenRequests.h"

#include "app/shell/MGAppDelegate.h"

bool MGAcceptOpenRequest(MGAppDelegate& delegate, const std::string& address) {
  if (address.empty() || delegate.session().sourceURL()) return false;
  delegate.applicationOpenURLs({address});
  if (MGMainWindow* window = delegate.window()) {
    window->show();
    window->raise();
    window->activateWindow();
  }
  return true;
}
