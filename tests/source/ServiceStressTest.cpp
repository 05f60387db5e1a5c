// The reference range service under hostile load: more connections than it
// has descriptors, and many clients that ask for big reads and never take the
// replies. It must go on serving, with bounded memory.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <future>
#include <thread>

#include "ServiceProcess.h"
#include "TempDir.h"
#include "source/MGLarderConnection.h"
#include "source/MGLarderRegistry.h"
#include "source/MGLarderServer.h"
#include "source/MGLarderWire.h"

namespace kf {
namespace {

int RawConnect(const std::string& path, bool blocking = false) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | (blocking ? 0 : SOCK_NONBLOCK), 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

long ResidentKiB(pid_t pid, const char* field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind(field, 0) == 0) return std::strtol(line.c_str() + std::strlen(field), nullptr, 10);
  return -1;
}

// One ordinary client: hello, size, a read.
void ExpectServed(const std::string& socketPath, std::uint64_t size) {
  auto connection = MGLarderConnection::connect(socketPath, kLarderRangeServiceName, "films/big.mp4", 10);
  ASSERT_TRUE(connection.ok()) << (connection.ok() ? "" : connection.error().message);
  (*connection)->resume();
  std::promise<std::uint64_t> gotSize;
  (*connection)->fileSizeWithReply([&](std::uint64_t s, std::optional<Error>) { gotSize.set_value(s); });
  auto sizeFuture = gotSize.get_future();
  ASSERT_EQ(sizeFuture.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  EXPECT_EQ(sizeFuture.get(), size);
  std::promise<std::size_t> gotBytes;
  (*connection)->readOffset(4096, 1000, [&](MGBytes data, std::optional<Error>) {
    gotBytes.set_value(data ? data->size() : 0);
  });
  auto bytesFuture = gotBytes.get_future();
  ASSERT_EQ(bytesFuture.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  EXPECT_EQ(bytesFuture.get(), 1000u);
  (*connection)->invalidate();
}

struct ServiceStress : ::testing::Test {
  test::TempDir dir;
  std::string registry = dir / "registry";
  std::string root = dir / "root";
  std::uint64_t size = 32u << 20;
  void SetUp() override {
    dir.write("root/films/big.mp4", {1, 2, 3});
    ::truncate((root + "/films/big.mp4").c_str(), static_cast<off_t>(size));
  }
  test::ServiceProcess start(std::vector<std::string> extra) {
    std::vector<std::string> args{"--identifier", "D", "--root", root, "--registry", registry};
    args.insert(args.end(), extra.begin(), extra.end());
    return test::ServiceProcess(args);
  }
};

TEST_F(ServiceStress, MoreConnectionsThanDescriptorsThenANormalClientIsServed) {
  auto service = start({"--max-connections", "1000"});
  ASSERT_TRUE(service.ok());
  const rlimit few{32, 32};
  ASSERT_EQ(::prlimit(service.pid(), RLIMIT_NOFILE, &few, nullptr), 0);
  auto domain = MGLookupLarderDomain(registry, "D");
  ASSERT_TRUE(domain);
  // 200 connections that stay open: far more than it has descriptors.
  std::vector<int> flood;
  for (int i = 0; i < 200; ++i) {
    const int fd = RawConnect(domain->socketPath);
    if (fd >= 0) flood.push_back(fd);
    if (i % 20 == 19) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_GT(flood.size(), 32u);
  for (int fd : flood) ::close(fd);
  // It is still there and serves.
  ExpectServed(domain->socketPath, size);
  EXPECT_EQ(service.stop(), 0);
  EXPECT_FALSE(MGLookupLarderDomain(registry, "D"));
  struct stat st {};
  EXPECT_NE(::stat(domain->socketPath.c_str(), &st), 0);  // socket removed
}

TEST_F(ServiceStress, ClientsThatNeverReadHoldBoundedMemory) {
  // Bound: 128 MiB for 100 clients that each ask for 64 reads of 8 MiB and
  // read nothing (one 512 KiB reply each at most, plus the service itself).
  constexpr long kBoundKiB = 128 * 1024;
  auto service = start({"--max-connections", "200"});
  ASSERT_TRUE(service.ok());
  auto domain = MGLookupLarderDomain(registry, "D");
  ASSERT_TRUE(domain);
  std::vector<int> clients;
  for (int i = 0; i < 100; ++i) {
    const int fd = RawConnect(domain->socketPath, /*blocking=*/true);
    ASSERT_GE(fd, 0);
    // Requests go out only while the socket takes them: the service stops
    // reading a connection whose reply is not taken.
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    MGLarderMessage hello;
    hello.type = MGLarderMessageType::kHello;
    hello.serviceName = kLarderRangeServiceName;
    hello.itemIdentifier = "films/big.mp4";
    ASSERT_TRUE(MGWriteLarderMessage(fd, hello));
    for (std::uint64_t r = 0; r < 64; ++r) {
      MGLarderMessage read;
      read.type = MGLarderMessageType::kRead;
      read.id = r + 1;
      read.offset = (r * (8u << 20)) % size;
      read.length = 8u << 20;
      if (!MGWriteLarderMessage(fd, read)) break;
    }
    clients.push_back(fd);
  }
  // Give it time to fill what it can; a slow machine only lowers the peak.
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  const long peak = ResidentKiB(service.pid(), "VmHWM:");
  std::printf("[stress] 100 non-reading clients: peak resident %ld KiB (bound %ld KiB)\n", peak, kBoundKiB);
  EXPECT_GT(peak, 0);
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  // A sanitizer's shadow memory is no part of the service's own.
  std::printf("[stress] built with a sanitizer: the bound is not checked\n");
#else
  EXPECT_LT(peak, kBoundKiB);
#endif
  for (int fd : clients) ::close(fd);
  ExpectServed(domain->socketPath, size);
}

// True when the service closes `fd` within `seconds`.
bool ClosedByService(int fd, int seconds) {
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  timeval tv{seconds, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  char byte;
  return ::recv(fd, &byte, 1, 0) == 0;
}

TEST_F(ServiceStress, SilentConnectionsTimeOutAndConnectionsAreCapped) {
  auto service = start({"--max-connections", "2", "--hello-timeout-ms", "200"});
  ASSERT_TRUE(service.ok());
  auto domain = MGLookupLarderDomain(registry, "D");
  ASSERT_TRUE(domain);
  // Never says hello: closed after the hello timeout.
  const int silent = RawConnect(domain->socketPath, true);
  ASSERT_GE(silent, 0);
  EXPECT_TRUE(ClosedByService(silent, 20));
  ::close(silent);
  // Two served connections; a third is closed at once.
  auto a = MGLarderConnection::connect(domain->socketPath, kLarderRangeServiceName, "films/big.mp4", 10);
  auto b = MGLarderConnection::connect(domain->socketPath, kLarderRangeServiceName, "films/big.mp4", 10);
  ASSERT_TRUE(a.ok());
  ASSERT_TRUE(b.ok());
  const int third = RawConnect(domain->socketPath, true);
  ASSERT_GE(third, 0);
  EXPECT_TRUE(ClosedByService(third, 20));
  ::close(third);
  (*a)->invalidate();
  (*b)->invalidate();
}

}  // namespace
}  // namespace kf
