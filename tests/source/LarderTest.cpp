// Larder's side of the program in one process: the registry, the item
// rules, the connection against an in-process service, and the URL helpers.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <condition_variable>
#include <cstring>
#include <thread>

#include "LoaderProbe.h"
#include "Mp4Fixture.h"
#include "TempDir.h"
#include "source/MGLarderConnection.h"
#include "source/MGLarderRegistry.h"
#include "source/MGLarderServer.h"
#include "source/MGLarderWire.h"
#include "source/MGRangeError.h"
#include "source/MGURL.h"

namespace kf {
namespace {

using test::Buf;

TEST(LarderItems, IdentifiersResolveOnlyInsideTheRoot) {
  test::TempDir dir;
  dir.write("root/a/movie.mp4", Buf(10, 1));
  dir.write("outside.mp4", Buf(10, 2));
  ASSERT_EQ(symlink((dir / "outside.mp4").c_str(), (dir / "root/link-out.mp4").c_str()), 0);
  ASSERT_EQ(symlink((dir / "root/a/movie.mp4").c_str(), (dir / "root/link-in.mp4").c_str()), 0);
  std::string root = dir / "root";
  auto ok = MGResolveLarderItem(root, "a/movie.mp4");
  ASSERT_TRUE(ok.ok());
  EXPECT_EQ(*ok, std::filesystem::canonical(dir / "root/a/movie.mp4").string());
  EXPECT_TRUE(MGResolveLarderItem(root, "link-in.mp4").ok());
  EXPECT_TRUE(MGResolveLarderItem(root, "./a//movie.mp4").ok());
  for (const char* bad : {"../outside.mp4", "a/../../outside.mp4", "link-out.mp4"}) {
    auto r = MGResolveLarderItem(root, bad);
    ASSERT_FALSE(r.ok()) << bad;
    EXPECT_EQ(r.error().domain, "com.marrowgate.larder");
    EXPECT_EQ(r.error().code, 1) << bad;
  }
  EXPECT_EQ(MGResolveLarderItem(root, "a/../a/movie.mp4").error().code, 1);  // ".." refused outright
  EXPECT_EQ(MGResolveLarderItem(root, dir / "outside.mp4").error().code, 3);
  EXPECT_EQ(MGResolveLarderItem(root, "").error().code, 3);
  EXPECT_EQ(MGResolveLarderItem(root, "missing.mp4").error().code, 2);
  EXPECT_EQ(MGResolveLarderItem(root, "a").error().code, 2);
}

TEST(LarderRegistry, PublishLookUpWithdraw) {
  test::TempDir dir;
  std::string reg = dir / "registry";
  dir.write("root/x.mp4", Buf(4, 0));
  MGLarderDomain d{
      "com.example/odd id", "Larder", dir / "root", dir / "s.sock", {"com.marrowgate.larder.range"}};
  ASSERT_FALSE(MGPublishLarderDomain(reg, d));
  struct stat st {};
  ASSERT_EQ(stat(reg.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  auto found = MGLookupLarderDomain(reg, "com.example/odd id");
  ASSERT_TRUE(found);
  EXPECT_EQ(found->root, d.root);
  EXPECT_EQ(found->socketPath, d.socketPath);
  EXPECT_EQ(found->services, d.services);
  EXPECT_FALSE(MGLookupLarderDomain(reg, "other"));
  // Services of a file inside the root (through a symbolic link too), and none outside.
  ASSERT_EQ(symlink((dir / "root/x.mp4").c_str(), (dir / "alias.mp4").c_str()), 0);
  for (const std::string& p : {dir / "root/x.mp4", dir / "alias.mp4"}) {
    auto services = MGFileProviderServicesForItem(reg, p);
    ASSERT_EQ(services.size(), 1u) << p;
    EXPECT_EQ(services.begin()->second.itemIdentifier, "x.mp4");
    EXPECT_EQ(services.begin()->second.serviceName, "com.marrowgate.larder.range");
  }
  EXPECT_TRUE(MGFileProviderServicesForItem(reg, dir / "root").empty());
  EXPECT_TRUE(MGFileProviderServicesForItem(reg, dir / "elsewhere.mp4").empty());
  EXPECT_FALSE(MGLarderServiceWithName(*found, "com.marrowgate.larder.byte-range", "x.mp4"));
  // No temporary file is left behind, and withdrawing removes the entry.
  int files = 0;
  for (auto& e : std::filesystem::directory_iterator(reg)) files += e.is_regular_file();
  EXPECT_EQ(files, 1);
  MGWithdrawLarderDomain(reg, d.identifier);
  EXPECT_FALSE(MGLookupLarderDomain(reg, d.identifier));
}

TEST(LarderRegistry, AFolderOthersCanEnterIsIgnored) {
  test::TempDir dir;
  std::string reg = dir / "registry";
  MGLarderDomain d{"dom", "Larder", dir.path(), dir / "s.sock", {"com.marrowgate.larder.range"}};
  ASSERT_FALSE(MGPublishLarderDomain(reg, d));
  chmod(reg.c_str(), 0755);
  EXPECT_FALSE(MGLookupLarderDomain(reg, "dom"));
  EXPECT_TRUE(MGPublishLarderDomain(reg, d).has_value());  // refuses to publish there too
}

TEST(URLs, HandoffLinksFileURLsAndQueryItems) {
  auto p = MGParseURL("kerfline://larder/Trip%20One.mov?domain=D&item=I%2F1#frag");
  ASSERT_TRUE(p);
  EXPECT_EQ(p->scheme, "kerfline");
  EXPECT_EQ(p->host, "larder");
  EXPECT_EQ(MGLastPathComponent(p->path), "Trip One.mov");
  auto q = MGQueryItems(p->query);
  EXPECT_EQ(q["domain"], "D");
  EXPECT_EQ(q["item"], "I/1");
  auto twice = MGQueryItems("domain=A&novalue&domain=B&item=");
  EXPECT_EQ(twice["domain"], "B");
  EXPECT_EQ(twice.count("novalue"), 0u);
  EXPECT_EQ(twice["item"], "");
  EXPECT_EQ(MGLastPathComponent(""), "");
  EXPECT_EQ(MGLastPathComponent("/"), "");
  EXPECT_EQ(MGPathExtension("a.b.MOV"), "MOV");
  EXPECT_EQ(MGPathExtension("noext"), "");
  std::string path = "/tmp/a b/ü?#.mp4";
  EXPECT_EQ(MGPathFromFileURL(MGFileURLFromPath(path)), path);
  EXPECT_EQ(MGPathFromFileURL("file://localhost/x.mp4"), "/x.mp4");
  EXPECT_FALSE(MGPathFromFileURL("file://host/x.mp4"));
  EXPECT_FALSE(MGPathFromFileURL("https://example.com/x.mp4"));
  EXPECT_FALSE(MGParseURL("no scheme here"));
}

// An in-process service over a folder.
struct Service {
  explicit Service(test::TempDir& dir, MGLarderServerOptions o = {}) {
    o.root = dir / "root";
    o.socketPath = dir / "svc.sock";
    server = std::make_unique<MGLarderServer>(o);
    EXPECT_FALSE(server->start());
    socketPath = o.socketPath;
  }
  std::unique_ptr<MGLarderServer> server;
  std::string socketPath;
};

struct Replies {
  std::mutex mu;  // guards everything below
  std::condition_variable cv;
  std::map<int, std::pair<MGBytes, std::optional<kf::Error>>> got;
  void add(int i, MGBytes d, std::optional<kf::Error> e) {
    std::lock_guard<std::mutex> lock(mu);
    EXPECT_EQ(got.count(i), 0u) << "second reply for " << i;
    got[i] = {std::move(d), std::move(e)};
    cv.notify_all();
  }
  bool waitFor(std::size_t n) {
    std::unique_lock<std::mutex> lock(mu);
    return cv.wait_for(lock, std::chrono::seconds(10), [&] { return got.size() >= n; });
  }
};

TEST(LarderConnection, ManyRequestsInFlightFromSeveralThreads) {
  test::TempDir dir;
  Buf bytes = test::Mdat(300000, 5);
  dir.write("root/m.mp4", bytes);
  Service svc(dir);
  auto c = MGLarderConnection::connect(svc.socketPath, kLarderByteRangeServiceName, "m.mp4");
  ASSERT_TRUE(c.ok()) << c.error().message;
  auto conn = *c;
  conn->resume();
  std::uint64_t size = 0;
  std::mutex mu;
  std::condition_variable cv;
  conn->fileSizeWithReply([&](std::uint64_t s, std::optional<kf::Error> e) {
    std::lock_guard<std::mutex> lock(mu);
    EXPECT_FALSE(e);
    size = s;
    cv.notify_all();
  });
  {
    std::unique_lock<std::mutex> lock(mu);
    ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(10), [&] { return size != 0; }));
  }
  EXPECT_EQ(size, bytes.size());
  Replies replies;
  auto issue = [&](int from, int to) {
    for (int i = from; i < to; ++i) {
      conn->readOffset(i * 1000ull, 5000, [&replies, i](MGBytes d, std::optional<kf::Error> e) {
        replies.add(i, std::move(d), std::move(e));
      });
    }
  };
  std::thread a(issue, 0, 150), b(issue, 150, 300);
  a.join();
  b.join();
  ASSERT_TRUE(replies.waitFor(300));
  for (auto& [i, r] : replies.got) {
    ASSERT_TRUE(r.first) << i;
    std::size_t n = std::min<std::size_t>(5000, bytes.size() - i * 1000);
    EXPECT_EQ(*r.first, Buf(bytes.begin() + i * 1000, bytes.begin() + i * 1000 + n)) << i;
  }
  Replies past;
  conn->readOffset(bytes.size(), 10, [&](MGBytes d, std::optional<kf::Error> e) { past.add(0, d, e); });
  ASSERT_TRUE(past.waitFor(1));
  ASSERT_TRUE(past.got[0].first);
  EXPECT_TRUE(past.got[0].first->empty());
}

TEST(LarderConnection, RefusalsComeBackAsTheServicesErrors) {
  test::TempDir dir;
  dir.write("root/m.mp4", Buf(10, 0));
  dir.write("secret.mp4", Buf(10, 0));
  Service svc(dir);
  auto out = MGLarderConnection::connect(svc.socketPath, kLarderRangeServiceName, "../secret.mp4");
  ASSERT_FALSE(out.ok());
  EXPECT_EQ(out.error().domain, "com.marrowgate.larder");
  EXPECT_EQ(out.error().code, 1);
  auto name = MGLarderConnection::connect(svc.socketPath, "com.example.other", "m.mp4");
  ASSERT_FALSE(name.ok());
  EXPECT_EQ(name.error().code, 5);
  auto missing = MGLarderConnection::connect(dir / "nobody.sock", kLarderRangeServiceName, "m.mp4");
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().domain, "NSPOSIXErrorDomain");
}

TEST(LarderConnection, ADropFailsPendingAndLaterRequestsAndRunsEachHandlerOnce) {
  test::TempDir dir;
  dir.write("root/m.mp4", Buf(100000, 1));
  MGLarderServerOptions o;
  o.dropAfterRequests = 3;
  o.latencyMs = 5;
  Service svc(dir, o);
  auto conn = *MGLarderConnection::connect(svc.socketPath, kLarderRangeServiceName, "m.mp4");
  std::atomic<int> interrupted{0}, invalidated{0};
  std::atomic<int> pendingWhenInterrupted{-1};
  Replies replies;
  conn->setInterruptionHandler([&] {
    std::lock_guard<std::mutex> lock(replies.mu);
    pendingWhenInterrupted = static_cast<int>(replies.got.size());
    ++interrupted;
  });
  conn->setInvalidationHandler([&] { ++invalidated; });
  conn->resume();
  for (int i = 0; i < 10; ++i) {
    conn->readOffset(i * 100, 100,
                     [&replies, i](MGBytes d, std::optional<kf::Error> e) { replies.add(i, d, e); });
  }
  ASSERT_TRUE(replies.waitFor(10));
  int served = 0;
  for (auto& [i, r] : replies.got) {
    if (r.second) {
      EXPECT_EQ(*r.second, MGRangeError(6));
    } else {
      ++served;
    }
  }
  EXPECT_EQ(served, 3);
  EXPECT_EQ(pendingWhenInterrupted, 3);  // the handler ran before the pending replies failed
  Replies late;
  conn->fileSizeWithReply([&](std::uint64_t, std::optional<kf::Error> e) { late.add(0, nullptr, e); });
  ASSERT_TRUE(late.waitFor(1));
  EXPECT_EQ(late.got[0].second, MGRangeError(6));
  conn->invalidate();
  conn.reset();
  EXPECT_EQ(interrupted, 1);
  EXPECT_EQ(invalidated, 1);
}

// A hostile peer: accepts the hello, then answers with a frame that claims
// far more than the limit, or with a reply to an id never asked.
void HostilePeer(const std::string& socketPath, std::vector<std::uint8_t> garbage, std::atomic<bool>& ready) {
  int ls = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strcpy(addr.sun_path, socketPath.c_str());
  bind(ls, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  listen(ls, 1);
  ready = true;
  int fd = accept(ls, nullptr, nullptr);
  MGReadLarderFrame(fd, kLarderMaxRequestFrame);
  MGLarderMessage ok;
  ok.type = MGLarderMessageType::kHelloReply;
  ok.accepted = true;
  MGWriteLarderFrame(fd, MGEncodeLarderFrame(ok));
  MGReadLarderFrame(fd, kLarderMaxRequestFrame);  // the client's read
  MGWriteLarderFrame(fd, garbage);
  char c;
  while (read(fd, &c, 1) > 0) {
  }
  close(fd);
  close(ls);
}

TEST(LarderConnection, AHostilePeerOnlyDropsTheConnection) {
  MGLarderMessage stray;
  stray.type = MGLarderMessageType::kReadReply;
  stray.id = 999;
  stray.data = MGMakeBytes({1});
  std::vector<std::vector<std::uint8_t>> attacks{
      {0xff, 0xff, 0xff, 0xff, 0x83},  // a 4 GiB frame
      MGEncodeLarderFrame(stray),      // a reply nobody asked for
      {0, 0, 0, 3, 0x83, 0, 0},        // a frame too short for its header
  };
  for (auto& garbage : attacks) {
    test::TempDir dir;
    std::atomic<bool> ready{false};
    std::thread peer(HostilePeer, dir / "h.sock", garbage, std::ref(ready));
    while (!ready) std::this_thread::yield();
    auto c = MGLarderConnection::connect(dir / "h.sock", kLarderRangeServiceName, "x");
    ASSERT_TRUE(c.ok());
    auto conn = *c;
    std::atomic<int> interrupted{0};
    conn->setInterruptionHandler([&] { ++interrupted; });
    conn->resume();
    Replies r;
    conn->readOffset(0, 10, [&](MGBytes d, std::optional<kf::Error> e) { r.add(0, d, e); });
    ASSERT_TRUE(r.waitFor(1));
    EXPECT_EQ(r.got[0].second, MGRangeError(6));
    EXPECT_FALSE(r.got[0].first);
    conn.reset();
    peer.join();
    EXPECT_EQ(interrupted, 1);
  }
}

TEST(LarderServer, ShortRepliesAndSizeZero) {
  test::TempDir dir;
  Buf bytes = test::Mdat(5000);
  dir.write("root/m.mp4", bytes);
  MGLarderServerOptions o;
  o.maxReplyBytes = 777;
  o.reportSizeZero = true;
  Service svc(dir, o);
  auto conn = *MGLarderConnection::connect(svc.socketPath, kLarderRangeServiceName, "m.mp4");
  conn->resume();
  Replies r;
  conn->readOffset(10, 4000, [&](MGBytes d, std::optional<kf::Error> e) { r.add(0, d, e); });
  conn->fileSizeWithReply([&](std::uint64_t s, std::optional<kf::Error> e) {
    r.add(1, MGMakeBytes(Buf(static_cast<std::size_t>(s), 0)), e);
  });
  ASSERT_TRUE(r.waitFor(2));
  EXPECT_EQ(*r.got[0].first, Buf(bytes.begin() + 10, bytes.begin() + 787));
  EXPECT_TRUE(r.got[1].first->empty());
}

TEST(LarderServer, AConnectionThatGetsNoThreadIsRefusedAndTheServiceGoesOn) {
  test::TempDir dir;
  Buf bytes = test::Mdat(5000, 3);
  dir.write("root/m.mp4", bytes);
  MGLarderServerOptions o;
  std::atomic<int> starts{0};
  // The second and third connections find the process out of threads.
  o.startThread = [&starts](pthread_t* thread, void* (*run)(void*), void* arg) {
    const int n = ++starts;
    return n == 2 || n == 3 ? EAGAIN : pthread_create(thread, nullptr, run, arg);
  };
  Service svc(dir, o);
  auto first = MGLarderConnection::connect(svc.socketPath, kLarderRangeServiceName, "m.mp4", 5);
  ASSERT_TRUE(first.ok()) << first.error().message;
  for (int i = 0; i < 2; ++i) {
    auto refused = MGLarderConnection::connect(svc.socketPath, kLarderRangeServiceName, "m.mp4", 5);
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error(), MGRangeError(kLarderDisconnected));
  }
  EXPECT_EQ(svc.server->refusedCount(), 2u);
  auto later = MGLarderConnection::connect(svc.socketPath, kLarderRangeServiceName, "m.mp4", 5);
  ASSERT_TRUE(later.ok()) << later.error().message;
  EXPECT_EQ(starts, 4);
  EXPECT_EQ(svc.server->connectionCount(), 4u);
  // The connections made before and after are both served.
  Replies r;
  int i = 0;
  for (auto& conn : {*first, *later}) {
    conn->resume();
    conn->readOffset(100 + i, 1000, [&r, i](MGBytes d, std::optional<kf::Error> e) { r.add(i, d, e); });
    ++i;
  }
  ASSERT_TRUE(r.waitFor(2));
  for (int k = 0; k < 2; ++k) {
    ASSERT_TRUE(r.got[k].first) << k;
    EXPECT_EQ(*r.got[k].first, Buf(bytes.begin() + 100 + k, bytes.begin() + 1100 + k)) << k;
  }
  EXPECT_EQ(svc.server->refusedCount(), 2u);
}

}  // namespace
}  // namespace kf
