#include "source/MGLarderServer.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/time.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "source/MGFileRangeService.h"
#include "source/MGLarderWire.h"
#include "source/MGRangeError.h"

namespace kf {

namespace {

kf::Error LarderError(std::int64_t code, std::string message) {
  return kf::Error{kLarderErrorDomain, code, std::move(message)};
}

std::string RealPath(const std::string& path) {
  char buf[PATH_MAX];
  if (!::realpath(path.c_str(), buf)) return {};
  return buf;
}

}  // namespace

kf::Result<std::string> MGResolveLarderItem(const std::string& root, const std::string& item) {
  if (item.empty() || item[0] == '/') return LarderError(3, "The item identifier is not a relative path");
  // Refuse ".." outright, before touching the file system.
  std::size_t start = 0;
  while (start <= item.size()) {
    std::size_t slash = item.find('/', start);
    std::string part = item.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
    if (part == "..") return LarderError(1, "The item lies outside the domain");
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
  std::string realRoot = RealPath(root);
  if (realRoot.empty()) return LarderError(2, "The domain's folder is missing");
  std::string real = RealPath(realRoot + "/" + item);
  if (real.empty()) return LarderError(2, "The item does not exist");
  // Symbolic links are resolved by realpath; what counts is where they end.
  std::string prefix = realRoot == "/" ? "/" : realRoot + "/";
  if (real.compare(0, prefix.size(), prefix) != 0) return LarderError(1, "The item lies outside the domain");
  struct stat st {};
  if (::stat(real.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return LarderError(2, "The item is not a file");
  return real;
}

MGLarderServer::MGLarderServer(MGLarderServerOptions options) : options_(std::move(options)) {}

MGLarderServer::~MGLarderServer() {
  stop();
}

kf::Status MGLarderServer::start() {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (options_.socketPath.empty() || options_.socketPath.size() >= sizeof addr.sun_path) {
    return MGPosixError(ENAMETOOLONG);
  }
  std::memcpy(addr.sun_path, options_.socketPath.c_str(), options_.socketPath.size() + 1);
  listenFd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listenFd_ < 0) return MGPosixError(errno);
  ::unlink(options_.socketPath.c_str());
  if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(listenFd_, 16) != 0) {
    int err = errno;
    ::close(listenFd_);
    listenFd_ = -1;
    return MGPosixError(err);
  }
  ::chmod(options_.socketPath.c_str(), 0600);
  acceptThread_ = std::thread([this] { acceptLoop(); });
  return std::nullopt;
}

void MGLarderServer::stop() {
  if (stopping_.exchange(true)) return;
  if (listenFd_ >= 0) {
    ::shutdown(listenFd_, SHUT_RDWR);
  }
  if (acceptThread_.joinable()) acceptThread_.join();
  if (listenFd_ >= 0) {
    ::close(listenFd_);
    ::unlink(options_.socketPath.c_str());
    listenFd_ = -1;
  }
  std::vector<std::unique_ptr<Client>> clients;
  {
    std::lock_guard<std::mutex> lock(mu_);
    clients.swap(clients_);
  }
  for (auto& c : clients) ::shutdown(c->fd, SHUT_RDWR);
  for (auto& c : clients) {
    if (c->started) pthread_join(c->thread, nullptr);
    ::close(c->fd);
  }
}

namespace {

void SetTimeout(int fd, int option, int ms) {
  timeval tv{};
  tv.tv_sec = ms / 1000;
  tv.tv_usec = (ms % 1000) * 1000;
  ::setsockopt(fd, SOL_SOCKET, option, &tv, sizeof tv);
}

}  // namespace

void MGLarderServer::dropConnections() {
  std::lock_guard<std::mutex> lock(mu_);
  for (auto& c : clients_)
    if (!c->done) ::shutdown(c->fd, SHUT_RDWR);
}

std::size_t MGLarderServer::reapEnded() {
  std::lock_guard<std::mutex> lock(mu_);
  return reapEndedLocked();
}

std::size_t MGLarderServer::reapEndedLocked() {
  // A socket is closed only after its thread is gone, so no descriptor is
  // reused under a running thread.
  std::size_t reaped = 0;
  for (auto it = clients_.begin(); it != clients_.end();) {
    if ((*it)->done) {
      if ((*it)->started) pthread_join((*it)->thread, nullptr);
      ::close((*it)->fd);
      it = clients_.erase(it);
      ++reaped;
    } else {
      ++it;
    }
  }
  return reaped;
}

void MGLarderServer::acceptLoop() {
  // A descriptor kept in reserve: when the process runs out, it is given up
  // for a moment to accept and close the waiting connection, so a flood is
  // refused instead of stalling the queue.
  int spare = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  while (!stopping_) {
    int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      const int err = errno;
      if (stopping_) break;
      if (err == EINTR || err == ECONNABORTED) continue;
      if (err == EINVAL || err == EBADF || err == ENOTSOCK) break;  // the socket was shut down
      // Ended connections may hold the descriptors: free them and try again.
      if ((err == EMFILE || err == ENFILE) && reapEnded() > 0) continue;
      if ((err == EMFILE || err == ENFILE) && spare >= 0) {
        ::close(spare);
        const int refused = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (refused >= 0) {
          ++refused_;  // counted before the peer can see the close
          ::close(refused);
        }
        spare = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
      }
      // Out of descriptors, memory or buffers: back off and go on.
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      continue;
    }
    ++connections_;
    std::lock_guard<std::mutex> lock(mu_);
    if (stopping_) {
      ::close(fd);
      break;
    }
    reapEndedLocked();
    if (clients_.size() >= options_.maxConnections) {
      ++refused_;
      ::close(fd);
      continue;
    }
    // Room for a whole reply in the socket, so a reply is handed over in one
    // go instead of in buffer-sized steps (the kernel may cap it).
    int sendBuffer = static_cast<int>(kLarderServerReplyBytes + 64 * 1024);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
    SetTimeout(fd, SO_RCVTIMEO, options_.helloTimeoutMs);
    SetTimeout(fd, SO_SNDTIMEO, options_.writeTimeoutMs);
    auto client = std::make_unique<Client>();
    client->fd = fd;
    Client* raw = client.get();
    raw->server = this;
    const int started = options_.startThread ? options_.startThread(&raw->thread, &MGLarderServer::runClient, raw)
                                             : pthread_create(&raw->thread, nullptr, &MGLarderServer::runClient, raw);
    if (started != 0) {
      // No thread for it: refuse this one connection.
      ++refused_;
      ::close(fd);
      continue;
    }
    raw->started = true;
    clients_.push_back(std::move(client));
  }
  if (spare >= 0) ::close(spare);
}

void* MGLarderServer::runClient(void* client) {
  auto* c = static_cast<Client*>(client);
  c->server->serve(c);
  return nullptr;
}

void MGLarderServer::serve(Client* client) {
  const int fd = client->fd;
  std::shared_ptr<MGFileRangeService> file;
  std::uint64_t requests = 0, bytesSent = 0;
  auto reply = [&](const MGLarderMessage& m) {
    if (options_.latencyMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(options_.latencyMs));
    return MGWriteLarderMessage(fd, m);
  };
  for (;;) {
    auto payload = MGReadLarderFrame(fd, kLarderMaxRequestFrame);
    if (!payload) break;
    auto request = MGDecodeLarderPayload(payload->data(), payload->size(), /*fromService=*/false);
    if (!request) break;  // protocol violation
    if (request->type == MGLarderMessageType::kHello) {
      MGLarderMessage answer;
      answer.type = MGLarderMessageType::kHelloReply;
      answer.id = request->id;
      const auto& names = options_.serviceNames;
      if (file) {
        answer.error = LarderError(4, "The connection is already open");
      } else if (std::find(names.begin(), names.end(), request->serviceName) == names.end()) {
        answer.error = LarderError(5, "Larder offers no such service");
      } else {
        auto path = MGResolveLarderItem(options_.root, request->itemIdentifier);
        if (!path.ok()) {
          answer.error = path.error();
        } else if (!(file = MGFileRangeService::create(*path))) {
          answer.error = LarderError(2, "The item cannot be read");
        }
      }
      answer.accepted = !answer.error;
      if (!reply(answer) || !answer.accepted) break;
      SetTimeout(fd, SO_RCVTIMEO, options_.idleTimeoutMs);
      continue;
    }
    if (!file) break;  // requests before a successful hello
    if (options_.dropAfterRequests > 0 && requests >= options_.dropAfterRequests) break;
    ++requests;
    MGLarderMessage answer;
    answer.id = request->id;
    if (request->type == MGLarderMessageType::kFileSize) {
      answer.type = MGLarderMessageType::kSizeReply;
      answer.size = options_.reportSizeZero ? 0 : file->size();
    } else {
      answer.type = MGLarderMessageType::kReadReply;
      std::uint64_t length = std::min(request->length, kLarderServerReplyBytes);
      if (options_.maxReplyBytes > 0) length = std::min(length, options_.maxReplyBytes);
      // The file service answers synchronously.
      file->readOffset(request->offset, length, [&](MGBytes data, std::optional<kf::Error> error) {
        answer.data = std::move(data);
        answer.error = std::move(error);
      });
      if (answer.data) bytesSent += answer.data->size();
    }
    if (!reply(answer)) break;
    if (options_.dropAfterBytes > 0 && bytesSent >= options_.dropAfterBytes) break;
  }
  // Marked ended before the peer can see the end, so that a client that has
  // seen it never finds its old connection still counted.
  client->done = true;
  ::shutdown(fd, SHUT_RDWR);
}

}  // namespace kf
