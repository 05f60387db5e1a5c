#include "app/rules/Footprint.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <clocale>

namespace kf {
namespace {

ProcessFigures Figures(double cpu, double wall, unsigned cores = 8) {
  ProcessFigures f;
  f.residentBytes = 52428800;
  f.cpuSeconds = cpu;
  f.wallSeconds = wall;
  f.processorCount = cores;
  f.executableBytes = 1048576;
  f.sharedLibraries = 87;
  f.networkSockets = 2;
  return f;
}

TEST(FootprintText, FormatsEveryField) {
  EXPECT_EQ(FootprintText(50, 25, 1048576, 87, 2),
            "RAM 50 MB   ·   CPU 25%   ·   DISK 1.0 MB   ·   LIBS 87   ·   NET 2");
  EXPECT_EQ(FootprintText(0, 0, 0, 0, 0), "RAM 0 MB   ·   CPU 0%   ·   DISK 0 KB   ·   LIBS 0   ·   NET 0");
}

TEST(FootprintText, DiskThresholdAtOneMebibyte) {
  EXPECT_EQ(DiskText(1048575), "DISK 1024 KB");
  EXPECT_EQ(DiskText(1048576), "DISK 1.0 MB");
  EXPECT_EQ(DiskText(1536), "DISK 2 KB");  // 1.5 rounds to even, as printf does
  EXPECT_EQ(DiskText(5 * 1048576 + 104858), "DISK 5.1 MB");
}

TEST(FootprintText, IgnoresTheProcessLocale) {
  const char* previous = std::setlocale(LC_NUMERIC, nullptr);
  const std::string saved = previous ? previous : "C";
  if (!std::setlocale(LC_NUMERIC, "de_DE.UTF-8")) GTEST_SKIP() << "no German locale installed";
  EXPECT_EQ(DiskText(1572864), "DISK 1.5 MB");
  std::setlocale(LC_NUMERIC, saved.c_str());
}

TEST(FootprintSample, FirstSampleShowsNoCpuThenShareOfTheMachine) {
  MGMFootprint fp;
  EXPECT_EQ(fp.sample(Figures(10, 1000)),
            "RAM 50 MB   ·   CPU 0%   ·   DISK 1.0 MB   ·   LIBS 87   ·   NET 2");
  // Two busy threads for one second on eight cores: 25 %.
  EXPECT_EQ(fp.sample(Figures(12, 1001)),
            "RAM 50 MB   ·   CPU 25%   ·   DISK 1.0 MB   ·   LIBS 87   ·   NET 2");
  EXPECT_DOUBLE_EQ(fp.previousCpuSeconds, 12);
  EXPECT_DOUBLE_EQ(fp.previousWall, 1001);
}

TEST(FootprintSample, ClampsAndGuardsTheClock) {
  MGMFootprint fp;
  fp.sample(Figures(10, 1000, 1));
  EXPECT_NE(fp.sample(Figures(15, 1001, 1)).find("CPU 100%"), std::string::npos);  // burst clamps
  EXPECT_NE(fp.sample(Figures(0, 1002, 1)).find("CPU 0%"), std::string::npos);     // failed query: 0 s
  EXPECT_NE(fp.sample(Figures(0.5, 1002, 1)).find("CPU 0%"), std::string::npos);   // clock did not move
  EXPECT_NE(fp.sample(Figures(0.5, 1001, 1)).find("CPU 0%"), std::string::npos);   // clock went back
  // Zero processors count as one.
  EXPECT_NE(fp.sample(Figures(0.75, 1002, 0)).find("CPU 25%"), std::string::npos);
}

TEST(FootprintSample, ExecutableSizeIsKeptOnceKnown) {
  MGMFootprint fp;
  ProcessFigures f = Figures(0, 1);
  f.executableBytes.reset();
  EXPECT_NE(fp.sample(f).find("DISK 0 KB"), std::string::npos);  // unknown yet: retried
  f.executableBytes = 2048;
  EXPECT_NE(fp.sample(f).find("DISK 2 KB"), std::string::npos);
  f.executableBytes = 4096;
  EXPECT_NE(fp.sample(f).find("DISK 2 KB"), std::string::npos);
  EXPECT_EQ(fp.diskBytes, 2048u);
}

TEST(ProcParsers, ResidentSizeFromStatus) {
  const char* status =
      "Name:\tkerfline\nVmPeak:\t  900000 kB\nVmRSS:\t   51200 kB\nRssAnon:\t 1 kB\nThreads:\t12\n";
  EXPECT_EQ(ParseResidentBytes(status), 52428800u);
  EXPECT_EQ(ParseResidentBytes("Name:\tx\n"), std::nullopt);
  EXPECT_EQ(ParseResidentBytes("VmRSS:\t abc kB\n"), std::nullopt);
  EXPECT_EQ(ParseResidentBytes(""), std::nullopt);
}

TEST(ProcParsers, DistinctSharedLibrariesFromMaps) {
  const char* maps =
      "55d0c0a00000-55d0c0a20000 r--p 00000000 08:01 131 /usr/bin/kerfline\n"
      "7f0000000000-7f0000020000 r--p 00000000 08:01 200 /usr/lib/x86_64-linux-gnu/libc.so.6\n"
      "7f0000020000-7f0000190000 r-xp 00020000 08:01 200 /usr/lib/x86_64-linux-gnu/libc.so.6\n"
      "7f0000200000-7f0000210000 r--p 00000000 08:01 201 /usr/lib/x86_64-linux-gnu/libQt6Core.so.6.4.2\n"
      "7f0000300000-7f0000310000 r--p 00000000 08:01 202 /opt/My Plugins/libfx.so\n"
      "7f0000400000-7f0000410000 r--p 00000000 08:01 203 /tmp/libgone.so (deleted)\n"
      "7f0000500000-7f0000510000 r--p 00000000 08:01 204 /usr/lib/locale/locale-archive\n"
      "7f0000600000-7f0000610000 r--p 00000000 08:01 205 /data/movie.some.mp4\n"
      "7f0000700000-7f0000710000 rw-p 00000000 00:00 0 \n"
      "7ffd00000000-7ffd00021000 rw-p 00000000 00:00 0                          [stack]\n"
      "7ffd00100000-7ffd00102000 r-xp 00000000 00:00 0                          [vdso]\n"
      "7f0000800000-7f0000810000 r--p 00000000 08:01 206 /lib64/ld-linux-x86-64.so.2";
  EXPECT_EQ(CountSharedLibraries(maps), 5u);
  EXPECT_EQ(CountSharedLibraries(""), 0u);
}

TEST(ProcParsers, NetworkSocketsAreThoseInTheNetworkTables) {
  EXPECT_EQ(SocketInode("socket:[12345]"), 12345u);
  EXPECT_EQ(SocketInode("socket:[]"), std::nullopt);
  EXPECT_EQ(SocketInode("socket:[12a]"), std::nullopt);
  EXPECT_EQ(SocketInode("pipe:[12345]"), std::nullopt);
  EXPECT_EQ(SocketInode("/dev/null"), std::nullopt);

  const char* tcp =
      "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n"
      "   0: 0100007F:0277 00000000:0000 0A 00000000:00000000 00:00000000 00000000     0        0 111 1 "
      "0000000000000000 100 0 0 10 0\n"
      "   1: 0100007F:9C40 0100007F:0277 01 00000000:00000000 00:00000000 00000000  1000        0 222 1 "
      "0000000000000000 20 4 30 10 -1\n"
      "   2: 0100007F:9C41 0100007F:0277 06 00000000:00000000 03:00000A3B 00000000     0        0 0 3 "
      "0000000000000000\n";
  const char* udp6 =
      "  sl  local_address                         remote_address                        st tx_queue "
      "rx_queue "
      "tr tm->when retrnsmt   uid  timeout inode ref pointer drops\n"
      "  5: 00000000000000000000000000000000:14E9 00000000000000000000000000000000:0000 07 00000000:00000000 "
      "00:00000000 00000000   107        0 333 2 0000000000000000 0\n";
  std::unordered_set<std::uint64_t> inodes;
  AddNetworkSocketInodes(tcp, inodes);
  AddNetworkSocketInodes(udp6, inodes);
  AddNetworkSocketInodes("", inodes);
  EXPECT_EQ(inodes, (std::unordered_set<std::uint64_t>{111, 222, 333}));  // a time-wait entry has inode 0

  // Families decide when known; the tables only for unknown families.
  const std::vector<DescriptorInfo> fds = {
      {"/dev/pts/0", -1},         {"socket:[444]", AF_UNIX},   {"socket:[222]", -1},
      {"pipe:[9]", -1},           {"socket:[111]", -1},        {"socket:[111]", -1},
      {"socket:[555]", AF_INET6}, {"socket:[666]", AF_INET},   {"socket:[777]", AF_NETLINK},
      {"socket:[888]", -1},       {"anon_inode:[eventfd]", -1}};
  // 222, 111 twice (a duplicated descriptor), 555 and 666; 888 is in no table.
  EXPECT_EQ(CountNetworkSockets(fds, inodes), 5u);
  EXPECT_EQ(CountNetworkSockets(fds, {}), 2u);
  // A Unix-domain socket never counts, even if an inode number collided.
  EXPECT_EQ(CountNetworkSockets({{"socket:[111]", AF_UNIX}}, inodes), 0u);
}

TEST(LiveFigures, ReadsThisProcess) {
  const ProcessFigures before = ReadProcessFigures(true);
  EXPECT_GT(before.residentBytes, 1024u * 1024u);
  ASSERT_TRUE(before.executableBytes);
  EXPECT_GT(*before.executableBytes, 10000u);
  EXPECT_GE(before.processorCount, 1u);
  EXPECT_GT(before.sharedLibraries, 1u);  // at least libc and the loader
  EXPECT_GT(before.wallSeconds, 0);
  EXPECT_FALSE(ReadProcessFigures(false).executableBytes.has_value());

  // A UDP socket is a network socket, bound or not; a Unix-domain pair is not.
  const int udp = ::socket(AF_INET, SOCK_DGRAM, 0);
  ASSERT_GE(udp, 0);
  int pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
  const ProcessFigures unbound = ReadProcessFigures(false);
  sockaddr_in any{};
  any.sin_family = AF_INET;
  any.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(udp, reinterpret_cast<sockaddr*>(&any), sizeof any), 0);
  const ProcessFigures bound = ReadProcessFigures(false);
  ::close(udp);
  ::close(pair[0]);
  ::close(pair[1]);
  EXPECT_EQ(unbound.networkSockets, before.networkSockets + 1);
  EXPECT_EQ(bound.networkSockets, before.networkSockets + 1);
  EXPECT_EQ(ReadProcessFigures(false).networkSockets, before.networkSockets);

  MGMFootprint fp;
  const std::string text = fp.sample();
  EXPECT_EQ(text.rfind("RAM ", 0), 0u) << text;
  EXPECT_NE(text.find("   ·   LIBS "), std::string::npos) << text;
  EXPECT_GT(fp.diskBytes, 0u);
}

}  // namespace
}  // namespace kf
