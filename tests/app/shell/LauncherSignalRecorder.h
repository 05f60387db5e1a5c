// Records the launcher-entry signals seen on the session bus (tests).
#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QVariantMap>

#include <vector>

#include "platform/desktop/LauncherEntry.h"

class LauncherSignalRecorder : public QObject {
  Q_OBJECT

 public:
  struct Update {
    QString appUri;
    QVariantMap properties;
  };
  bool listen() {
    return QDBusConnection::sessionBus().connect(QString(), QString(), kf::desktop::kLauncherEntryInterface,
                                                 QStringLiteral("Update"), this,
                                                 SLOT(onUpdate(QString, QVariantMap)));
  }
  std::vector<Update> updates;

 public Q_SLOTS:
  void onUpdate(const QString& appUri, const QVariantMap& properties) { updates.push_back({appUri, properties}); }
};
