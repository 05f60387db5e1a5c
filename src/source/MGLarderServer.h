// The service side of Larder's range service: serves the files under one
// root folder, as one file-provider domain, over a Unix domain socket.
//
// Used by the reference service program (tools/range-service) and by tests.
// Item identifiers are paths relative to the root; an item that resolves
// outside the root (absolute paths, "..", symbolic links leading out) or is
// not a regular file is refused in the hello exchange.
//
// Threads: one accept thread and one thread per connection. Requests of one
// connection are answered in order. start()/stop() from the owning thread;
// stop() closes every connection and waits for the threads.
//
// Resources: the number of connections is capped (further ones are closed at
// once); a connection that says nothing, or does not take its replies, for
// too long is closed; a reply carries at most 512 KiB (fewer bytes than asked
// are allowed), and a connection reads its next request only once its reply
// is handed to the socket, so a client that does not read holds at most one
// reply. Running out of descriptors (EMFILE) or of threads refuses the
// connection at hand and the service goes on.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <pthread.h>

#include <thread>
#include <vector>

#include "base/Error.h"

namespace kf {

inline constexpr const char* kLarderByteRangeServiceName = "com.marrowgate.larder.byte-range";
inline constexpr const char* kLarderRangeServiceName = "com.marrowgate.larder.range";
inline constexpr const char* kLarderErrorDomain = "com.marrowgate.larder";

struct MGLarderServerOptions {
  std::string root;        // the domain's folder
  std::string socketPath;  // where to listen; its folder should be private (0700)
  std::vector<std::string> serviceNames{kLarderByteRangeServiceName, kLarderRangeServiceName};
  // Faults for tests.
  std::uint64_t maxReplyBytes = 0;      // > 0: answer reads with at most this many bytes
  int latencyMs = 0;                    // delay before each reply
  bool reportSizeZero = false;          // answer the size request with 0
  std::uint64_t dropAfterBytes = 0;     // > 0: close a connection once it has sent this many data bytes
  std::uint64_t dropAfterRequests = 0;  // > 0: close a connection instead of answering request N + 1
  // Limits.
  std::size_t maxConnections = 64;  // connections served at once
  int helloTimeoutMs = 5000;        // a new connection must say hello within this
  int idleTimeoutMs = 600000;       // then send a request at least this often
  int writeTimeoutMs = 30000;       // and take each reply within this
  // Starts a connection's thread, with pthread_create's contract (0, or the
  // error number when no thread was made). Empty: pthread_create. Tests make
  // it fail to see a connection refused while the service goes on.
  std::function<int(pthread_t*, void* (*)(void*), void*)> startThread;
};

// Largest number of data bytes the service puts in one read reply.
inline constexpr std::uint64_t kLarderServerReplyBytes = 512 * 1024;

// Resolves `item` under `root`: the real path of the file, or the refusal
// (domain "com.marrowgate.larder", code 1 outside the root, 2 missing or not
// a regular file, 3 an empty or absolute identifier).
kf::Result<std::string> MGResolveLarderItem(const std::string& root, const std::string& item);

class MGLarderServer {
 public:
  explicit MGLarderServer(MGLarderServerOptions options);
  ~MGLarderServer();
  MGLarderServer(const MGLarderServer&) = delete;
  MGLarderServer& operator=(const MGLarderServer&) = delete;

  // Binds and listens (replacing a stale socket file), then accepts on a
  // thread. Fails when the socket cannot be made.
  kf::Status start();
  void stop();
  // Ends every open connection now, as a crashing service would; the
  // service goes on accepting new ones.
  void dropConnections();
  std::uint64_t connectionCount() const { return connections_.load(); }
  // Connections closed at once: over the cap, out of descriptors or threads.
  std::uint64_t refusedCount() const { return refused_.load(); }

 private:
  struct Client {
    int fd = -1;
    std::atomic<bool> done{false};
    // A plain POSIX thread: its creation reports failure as a value, which
    // refuses this one connection.
    pthread_t thread{};
    bool started = false;
    MGLarderServer* server = nullptr;
  };
  void acceptLoop();
  // Joins and closes the connections that have ended; how many there were.
  std::size_t reapEnded();
  std::size_t reapEndedLocked();  // with mu_ held
  void serve(Client* client);
  static void* runClient(void* client);

  const MGLarderServerOptions options_;
  int listenFd_ = -1;
  std::atomic<bool> stopping_{false};
  std::atomic<std::uint64_t> connections_{0};
  std::atomic<std::uint64_t> refused_{0};
  std::thread acceptThread_;
  std::mutex mu_;  // guards clients_
  std::vector<std::unique_ptr<Client>> clients_;
};

}  // namespace kf
