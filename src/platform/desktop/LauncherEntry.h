// Export progress on the desktop's launcher (dock, task bar): the
// "com.canonical.Unity.LauncherEntry" D-Bus signal that KDE Plasma, the
// Ubuntu and Dash-to-Dock docks and others listen to. A desktop that offers
// no such launcher simply hears nothing.
//
//   Update(s app_uri = "application://com.marrowgate.Kerfline.desktop",
//          a{sv} properties = {"progress": d 0…1, "progress-visible": b})
//
// A signal goes out only when what the launcher shows changes (the progress
// in whole per mille, or its visibility), so a 0.1 s progress timer costs
// the bus little. Main thread. Without a session bus nothing is sent.
#pragma once

#include <QString>

#include <optional>

namespace kf::desktop {

inline constexpr const char* kLauncherEntryInterface = "com.canonical.Unity.LauncherEntry";
inline constexpr const char* kLauncherEntryPath = "/com/marrowgate/Kerfline/LauncherEntry";

class LauncherEntry {
 public:
  explicit LauncherEntry(QString desktopFileId = QStringLiteral("com.marrowgate.Kerfline.desktop"));

  // Shows `fraction` (clamped to 0…1) as the launcher's progress; nullopt
  // hides the progress.
  void setProgress(std::optional<double> fraction);

 private:
  QString appUri_;
  bool visible_ = false;
  int permille_ = -1;
};

}  // namespace kf::desktop
