#include "platform/desktop/OpenRequests.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusReply>

namespace kf::desktop {

bool OfferToRunningInstance(const std::string& address, int timeoutMs) {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected() || !bus.interface()) return false;
  const QString service = QString::fromLatin1(kOpenRequestService);
  const QDBusReply<bool> registered = bus.interface()->isServiceRegistered(service);
  if (!registered.isValid() || !registered.value()) return false;
  QDBusMessage call = QDBusMessage::createMethodCall(service, QString::fromLatin1(kOpenRequestPath),
                                                     QString::fromLatin1(kOpenRequestInterface), QStringLiteral("Offer"));
  call << QByteArray(address.data(), static_cast<qsizetype>(address.size()));
  const QDBusReply<bool> reply = bus.call(call, QDBus::Block, timeoutMs);
  return reply.isValid() && reply.value();
}

OpenRequestService::OpenRequestService(std::function<bool(const std::string&)> accept, QObject* parent)
    : QObject(parent), accept_(std::move(accept)) {}

OpenRequestService::~OpenRequestService() {
  if (!started_) return;
  QDBusConnection bus = QDBusConnection::sessionBus();
  bus.unregisterObject(QString::fromLatin1(kOpenRequestPath));
  if (bus.interface()) bus.interface()->unregisterService(QString::fromLatin1(kOpenRequestService));
}

bool OpenRequestService::start() {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected() || !bus.interface()) return false;
  if (!bus.registerObject(QString::fromLatin1(kOpenRequestPath), this, QDBusConnection::ExportAllSlots)) return false;
  const auto reply = bus.interface()->registerService(QString::fromLatin1(kOpenRequestService),
                                                      QDBusConnectionInterface::QueueService,
                                                      QDBusConnectionInterface::DontAllowReplacement);
  started_ = reply.isValid();
  if (!started_) bus.unregisterObject(QString::fromLatin1(kOpenRequestPath));
  return started_;
}

bool OpenRequestService::ownsName() const {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!started_ || !bus.interface()) return false;
  const QDBusReply<QString> owner = bus.interface()->serviceOwner(QString::fromLatin1(kOpenRequestService));
  return owner.isValid() && owner.value() == bus.baseService();
}

bool OpenRequestService::Offer(const QByteArray& address) {
  if (address.isEmpty() || !accept_) return false;
  return accept_(address.toStdString());
}

}  // namespace kf::desktop
