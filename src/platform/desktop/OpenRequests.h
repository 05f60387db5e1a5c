// Open requests from the desktop reach the program that already runs: a new
// `kerfline MOVIE` process first offers MOVIE to a running instance over
// the session D-Bus, and ends if that instance takes it; otherwise it opens
// the movie itself.
//
// Bus name "com.marrowgate.Kerfline", object "/com/marrowgate/Kerfline",
// interface "com.marrowgate.Kerfline.OpenRequests", method
// Offer(ay address) -> (b accepted). The address travels as bytes (an
// absolute path, a file URL or a kerfline:// link), so that any file name
// (spaces, non-ASCII, even bytes that are not UTF-8) arrives unchanged.
//
// Every instance that serves requests queues for the name; the first owns
// it, and when it ends the next in the queue takes over. An instance decides
// for itself whether it takes an offer (the window takes one only while no
// movie is open; see MGAcceptOpenRequest).
//
// Threads: main thread (Qt's event loop answers offers). Without a session
// bus nothing is offered and nothing is served.
#pragma once

#include <QObject>
#include <QString>

#include <functional>
#include <string>

namespace kf::desktop {

inline constexpr const char* kOpenRequestService = "com.marrowgate.Kerfline";
inline constexpr const char* kOpenRequestPath = "/com/marrowgate/Kerfline";
inline constexpr const char* kOpenRequestInterface = "com.marrowgate.Kerfline.OpenRequests";

// Offers `address` to the instance that owns the bus name, waiting at most
// `timeoutMs` for its answer. True only when it accepted; false without a
// bus, without a running instance, when it refused, or on no answer.
bool OfferToRunningInstance(const std::string& address, int timeoutMs = 3000);

class OpenRequestService final : public QObject {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "com.marrowgate.Kerfline.OpenRequests")

 public:
  // `accept` decides (and, when it says yes, starts the open).
  explicit OpenRequestService(std::function<bool(const std::string& address)> accept, QObject* parent = nullptr);
  ~OpenRequestService() override;

  // Exports the object and queues for the bus name. False without a bus.
  bool start();
  // True while this process owns the bus name.
  bool ownsName() const;

 public Q_SLOTS:
  bool Offer(const QByteArray& address);

 private:
  std::function<bool(const std::string&)> accept_;
  bool started_ = false;
};

}  // namespace kf::desktop
