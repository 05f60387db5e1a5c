// kerfline-range-service: serves one folder as a Larder file-provider domain
// over a Unix domain socket, under both range service names. The reference
// service the program's Larder support is tested and measured against.
//
// Usage:
//   kerfline-range-service --identifier ID --root DIR [options]
// Options:
//   --registry DIR           registry folder (default: $KERFLINE_LARDER_REGISTRY,
//                            $XDG_RUNTIME_DIR/kerfline-larder, /tmp/kerfline-larder-UID)
//   --service NAME           offer only this service name (repeatable)
//   --reply-bytes N          answer reads with at most N bytes
//   --latency-ms N           wait N ms before each reply
//   --size-zero              report the file size as 0
//   --drop-after-bytes N     close a connection once it has sent N data bytes
//   --drop-after-requests N  close a connection instead of answering request N + 1
//   --max-connections N      serve at most N connections at once (default 64)
//   --hello-timeout-ms N     close a connection that has not said hello within N ms
//   --idle-timeout-ms N      close a connection that sends no request for N ms
//   --write-timeout-ms N     close a connection that does not take a reply within N ms
//
// Prints "ready <socket path>" on standard output once the domain is
// announced; withdraws it, removes the socket and exits on SIGINT, SIGTERM,
// SIGHUP or SIGQUIT.
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "source/MGLarderRegistry.h"
#include "source/MGLarderServer.h"

namespace {

[[noreturn]] void Usage(const char* why) {
  std::fprintf(stderr, "kerfline-range-service: %s\n", why);
  std::fprintf(
      stderr,
      "usage: kerfline-range-service --identifier ID --root DIR [--registry DIR] [--service NAME]...\n"
      "       [--reply-bytes N] [--latency-ms N] [--size-zero] [--drop-after-bytes N]\n"
      "       [--drop-after-requests N] [--max-connections N] [--hello-timeout-ms N]\n"
      "       [--idle-timeout-ms N] [--write-timeout-ms N]\n");
  std::exit(2);
}

std::uint64_t Number(const char* s) {
  char* end = nullptr;
  errno = 0;
  unsigned long long v = std::strtoull(s, &end, 10);
  if (errno || !end || *end || *s == '-') Usage("expected a non-negative number");
  return v;
}

}  // namespace

int main(int argc, char** argv) {
  kf::MGLarderServerOptions options;
  std::string identifier, registry;
  std::vector<std::string> services;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto next = [&]() -> const char* {
      if (i + 1 >= argc) Usage(("missing value for " + a).c_str());
      return argv[++i];
    };
    if (a == "--identifier")
      identifier = next();
    else if (a == "--root")
      options.root = next();
    else if (a == "--registry")
      registry = next();
    else if (a == "--service")
      services.push_back(next());
    else if (a == "--reply-bytes")
      options.maxReplyBytes = Number(next());
    else if (a == "--latency-ms")
      options.latencyMs = static_cast<int>(Number(next()));
    else if (a == "--size-zero")
      options.reportSizeZero = true;
    else if (a == "--drop-after-bytes")
      options.dropAfterBytes = Number(next());
    else if (a == "--drop-after-requests")
      options.dropAfterRequests = Number(next());
    else if (a == "--max-connections")
      options.maxConnections = static_cast<std::size_t>(std::max<std::uint64_t>(1, Number(next())));
    else if (a == "--hello-timeout-ms")
      options.helloTimeoutMs = static_cast<int>(std::min<std::uint64_t>(Number(next()), INT_MAX));
    else if (a == "--idle-timeout-ms")
      options.idleTimeoutMs = static_cast<int>(std::min<std::uint64_t>(Number(next()), INT_MAX));
    else if (a == "--write-timeout-ms")
      options.writeTimeoutMs = static_cast<int>(std::min<std::uint64_t>(Number(next()), INT_MAX));
    else
      Usage(("unknown option " + a).c_str());
  }
  if (identifier.empty() || options.root.empty()) Usage("--identifier and --root are required");
  char real[PATH_MAX];
  if (!::realpath(options.root.c_str(), real)) Usage("the root folder does not exist");
  options.root = real;
  if (!services.empty()) options.serviceNames = services;
  if (registry.empty()) registry = kf::MGLarderRegistryDirectory();

  // Block the stop signals before any thread starts, then wait for them.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGHUP);
  sigaddset(&stopSignals, SIGQUIT);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  kf::MGLarderDomain domain;
  domain.identifier = identifier;
  domain.root = options.root;
  domain.services = options.serviceNames;
  domain.socketPath = kf::MGLarderSocketPath(registry, identifier);
  // Publishing first creates the private folder the socket goes into.
  if (auto err = kf::MGPublishLarderDomain(registry, domain)) {
    std::fprintf(stderr, "kerfline-range-service: cannot announce the domain: %s\n", err->message.c_str());
    return 1;
  }
  kf::MGWithdrawLarderDomain(registry, identifier);
  options.socketPath = domain.socketPath;
  kf::MGLarderServer server(options);
  if (auto err = server.start()) {
    std::fprintf(stderr, "kerfline-range-service: cannot listen on %s: %s\n", options.socketPath.c_str(),
                 err->message.c_str());
    return 1;
  }
  if (auto err = kf::MGPublishLarderDomain(registry, domain)) {
    std::fprintf(stderr, "kerfline-range-service: cannot announce the domain: %s\n", err->message.c_str());
    return 1;
  }
  std::printf("ready %s\n", options.socketPath.c_str());
  std::fflush(stdout);

  int sig = 0;
  sigwait(&stopSignals, &sig);
  kf::MGWithdrawLarderDomain(registry, identifier);
  server.stop();
  return 0;
}
