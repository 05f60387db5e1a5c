#include "source/MGLarderConnection.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>
#include <variant>

#include "source/MGLarderWire.h"
#include "source/MGRangeError.h"

namespace kf {

struct MGLarderConnection::Impl {
  explicit Impl(int f) : fd(f) {}
  ~Impl() {
    if (fd >= 0) ::close(fd);
  }

  using Reply = std::variant<SizeReply, ReadReply>;

  const int fd;
  std::mutex writeMu;  // serialises frames on the socket

  std::mutex mu;  // guards everything below
  std::map<std::uint64_t, Reply> pending;
  std::uint64_t nextId = 1;
  bool ended = false;
  bool locallyInvalidated = false;
  std::function<void()> interruptionHandler;
  std::function<void()> invalidationHandler;
  std::thread reader;
  bool readerStarted = false;

  static void Fail(Reply& reply) {
    kf::Error e = MGRangeError(kLarderDisconnected);
    if (auto* s = std::get_if<SizeReply>(&reply)) {
      (*s)(0, e);
    } else {
      std::get<ReadReply>(reply)(nullptr, e);
    }
  }

  // Ends the connection once; handlers and failed replies run outside the lock.
  void end(bool local) {
    std::map<std::uint64_t, Reply> failed;
    std::function<void()> interrupted, invalidated;
    {
      std::lock_guard<std::mutex> lock(mu);
      if (ended) return;
      ended = true;
      failed.swap(pending);
      if (!local) interrupted = std::move(interruptionHandler);
      invalidated = std::move(invalidationHandler);
      interruptionHandler = nullptr;
      invalidationHandler = nullptr;
    }
    ::shutdown(fd, SHUT_RDWR);
    if (interrupted) interrupted();
    for (auto& [id, reply] : failed) Fail(reply);
    if (invalidated) invalidated();
  }

  void readLoop() {
    for (;;) {
      auto payload = MGReadLarderFrame(fd, kLarderMaxReplyFrame);
      if (!payload) break;
      auto message = MGDecodeLarderPayload(payload->data(), payload->size(), /*fromService=*/true);
      if (!message) break;  // protocol violation: drop
      Reply reply;
      {
        std::lock_guard<std::mutex> lock(mu);
        auto it = pending.find(message->id);
        if (it == pending.end()) break;  // unknown id: drop (outside the lock)
        bool wantsSize = std::holds_alternative<SizeReply>(it->second);
        if (wantsSize != (message->type == MGLarderMessageType::kSizeReply) ||
            (!wantsSize && message->type != MGLarderMessageType::kReadReply)) {
          break;
        }
        reply = std::move(it->second);
        pending.erase(it);
      }
      if (auto* s = std::get_if<SizeReply>(&reply)) {
        (*s)(message->size, message->error);
      } else {
        std::get<ReadReply>(reply)(message->data, message->error);
      }
    }
    bool local;
    {
      std::lock_guard<std::mutex> lock(mu);
      local = locallyInvalidated;
    }
    end(local);
  }

  void send(MGLarderMessage message, Reply reply) {
    std::vector<std::uint8_t> frame;
    {
      std::lock_guard<std::mutex> lock(mu);
      if (!ended) {
        message.id = nextId++;
        pending.emplace(message.id, std::move(reply));
        frame = MGEncodeLarderFrame(message);
      }
    }
    if (frame.empty()) {
      Fail(reply);
      return;
    }
    bool written;
    {
      std::lock_guard<std::mutex> lock(writeMu);
      written = MGWriteLarderFrame(fd, frame);
    }
    // A failed write means the socket is gone; the reader sees the drop and
    // fails the pending reply, so nothing more to do here.
    if (!written) ::shutdown(fd, SHUT_RDWR);
  }
};

kf::Result<std::shared_ptr<MGLarderConnection>> MGLarderConnection::connect(const std::string& socketPath,
                                                                            const std::string& serviceName,
                                                                            const std::string& itemIdentifier,
                                                                            double timeoutSeconds) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (socketPath.empty() || socketPath.size() >= sizeof addr.sun_path) return MGPosixError(ENAMETOOLONG);
  std::memcpy(addr.sun_path, socketPath.c_str(), socketPath.size() + 1);
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return MGPosixError(errno);
  auto impl = std::make_shared<Impl>(fd);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return MGPosixError(errno);

  MGLarderMessage hello;
  hello.type = MGLarderMessageType::kHello;
  hello.serviceName = serviceName;
  hello.itemIdentifier = itemIdentifier;
  if (!MGWriteLarderFrame(fd, MGEncodeLarderFrame(hello))) return MGRangeError(kLarderDisconnected);
  pollfd p{fd, POLLIN, 0};
  int ready;
  do {
    ready = ::poll(&p, 1, static_cast<int>(timeoutSeconds * 1000));
  } while (ready < 0 && errno == EINTR);
  if (ready <= 0) return MGRangeError(kLarderUnavailable);
  // The hello reply is small; a peer that sends a frame and then stalls is
  // bounded by the receive timeout.
  timeval tv{static_cast<time_t>(timeoutSeconds), 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  auto payload = MGReadLarderFrame(fd, kLarderMaxRequestFrame + kLarderMaxMessage);
  timeval none{0, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &none, sizeof none);
  if (!payload) return MGRangeError(kLarderDisconnected);
  auto reply = MGDecodeLarderPayload(payload->data(), payload->size(), /*fromService=*/true);
  if (!reply || reply->type != MGLarderMessageType::kHelloReply) return MGRangeError(kLarderDisconnected);
  if (!reply->accepted) return *reply->error;
  return std::shared_ptr<MGLarderConnection>(new MGLarderConnection(std::move(impl)));
}

MGLarderConnection::~MGLarderConnection() {
  invalidate();
  std::thread reader;
  {
    std::lock_guard<std::mutex> lock(impl_->mu);
    reader = std::move(impl_->reader);
  }
  if (reader.joinable()) {
    if (reader.get_id() == std::this_thread::get_id()) {
      reader.detach();  // the thread holds the shared state and ends by itself
    } else {
      reader.join();
    }
  }
}

void MGLarderConnection::setInterruptionHandler(std::function<void()> handler) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->interruptionHandler = std::move(handler);
}

void MGLarderConnection::setInvalidationHandler(std::function<void()> handler) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->invalidationHandler = std::move(handler);
}

void MGLarderConnection::resume() {
  std::lock_guard<std::mutex> lock(impl_->mu);
  if (impl_->readerStarted || impl_->ended) return;
  impl_->readerStarted = true;
  std::shared_ptr<Impl> impl = impl_;
  impl_->reader = std::thread([impl] { impl->readLoop(); });
}

void MGLarderConnection::invalidate() {
  bool started;
  {
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->locallyInvalidated = true;
    started = impl_->readerStarted;
  }
  if (started) {
    // The reader wakes up on the shutdown and ends the connection.
    ::shutdown(impl_->fd, SHUT_RDWR);
  } else {
    impl_->end(/*local=*/true);
  }
}

bool MGLarderConnection::isEnded() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->ended;
}

void MGLarderConnection::fileSizeWithReply(SizeReply reply) {
  MGLarderMessage m;
  m.type = MGLarderMessageType::kFileSize;
  impl_->send(std::move(m), Impl::Reply(std::move(reply)));
}

void MGLarderConnection::readOffset(std::uint64_t offset, std::uint64_t length, ReadReply reply) {
  MGLarderMessage m;
  m.type = MGLarderMessageType::kRead;
  m.offset = offset;
  m.length = length;
  impl_->send(std::move(m), Impl::Reply(std::move(reply)));
}

}  // namespace kf
