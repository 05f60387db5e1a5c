#include "platform/desktop/LauncherEntry.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QVariantMap>

#include <algorithm>
#include <cmath>

namespace kf::desktop {

LauncherEntry::LauncherEntry(QString desktopFileId) : appUri_(QStringLiteral("application://") + desktopFileId) {}

void LauncherEntry::setProgress(std::optional<double> fraction) {
  const bool visible = fraction.has_value();
  const double f = visible && std::isfinite(*fraction) ? std::clamp(*fraction, 0.0, 1.0) : 0.0;
  const int permille = visible ? static_cast<int>(std::lround(f * 1000)) : -1;
  if (visible == visible_ && permille == permille_) return;
  visible_ = visible;
  permille_ = permille;
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) return;
  QVariantMap properties;
  properties.insert(QStringLiteral("progress-visible"), visible);
  if (visible) properties.insert(QStringLiteral("progress"), permille / 1000.0);
  QDBusMessage signal = QDBusMessage::createSignal(QString::fromLatin1(kLauncherEntryPath),
                                                   QString::fromLatin1(kLauncherEntryInterface), QStringLiteral("Update"));
  signal << appUri_ << properties;
  bus.send(signal);
}

}  // namespace kf::desktop
