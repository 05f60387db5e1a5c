// The footprint readout in the window's top-right corner: the program's own
// resident memory, its CPU share since the previous sample, the size of its
// executable, the number of shared libraries mapped into it and the number of
// network sockets it holds.
//
//   "RAM %.0f MB   ·   CPU %.0f%%   ·   DISK …   ·   LIBS %zu   ·   NET %zu"
//
// The figures come from Linux's /proc files; every parser takes the files'
// text so that it can be tested without a live process, and
// ReadProcessFigures reads the live files. Main thread (the footprint timer),
// though nothing here has thread affinity.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace kf {

// One reading of the process. Figures that could not be read are 0 (the
// readout then shows 0) or, for the executable's size, nullopt (retried at
// the next sample).
struct ProcessFigures {
  std::uint64_t residentBytes = 0;
  double cpuSeconds = 0;   // user + system time of the whole process
  double wallSeconds = 0;  // a monotonic clock; only differences matter
  unsigned processorCount = 1;
  std::optional<std::uint64_t> executableBytes;
  std::size_t sharedLibraries = 0;
  std::size_t networkSockets = 0;
};

// The sampling record held by the application; all zero at construction.
struct MGMFootprint {
  double previousCpuSeconds = 0;
  double previousWall = 0;      // 0 before the first sample
  std::uint64_t diskBytes = 0;  // 0 until the executable's size is known

  // Reads the live figures (the executable's size only while unknown),
  // updates the record and returns the readout text.
  std::string sample();

  // The same from given figures: CPU share of the whole machine since the
  // previous sample (0 on the first sample or when the clock did not
  // advance; clamped to 0 .. 100), then the record moves on.
  std::string sample(const ProcessFigures& figures);
};

// "DISK %.0f KB" with bytes / 1024 below 1 MiB, else "DISK %.1f MB" with
// bytes / 1048576.
std::string DiskText(std::uint64_t bytes);

// The whole readout text. Numbers are formatted without regard to the
// process locale.
std::string FootprintText(double ramMegabytes, double cpuPercent, std::uint64_t diskBytes,
                          std::size_t sharedLibraries, std::size_t networkSockets);

// --- Parsers of /proc text -------------------------------------------------

// Resident set size from /proc/self/status ("VmRSS:  1234 kB"), in bytes.
std::optional<std::uint64_t> ParseResidentBytes(std::string_view procStatus);

// Distinct shared objects mapped, from /proc/self/maps: distinct paths whose
// file name ends in ".so" or contains ".so." (libc.so.6, ld-linux-x86-64.so.2,
// plugin.so). A " (deleted)" mark is ignored; pseudo-mappings such as
// [vdso] do not count.
std::size_t CountSharedLibraries(std::string_view procMaps);

// Inode of a descriptor's link target "socket:[12345]"; nullopt for other
// targets.
std::optional<std::uint64_t> SocketInode(std::string_view linkTarget);

// Adds the socket inodes listed in one of /proc/net/{tcp,tcp6,udp,udp6,raw,
// raw6} (the tenth field of each line after the header) to `inodes`.
void AddNetworkSocketInodes(std::string_view procNetTable, std::unordered_set<std::uint64_t>& inodes);

// One open descriptor of the process: its /proc/self/fd link target and, for
// a socket, its address family (AF_INET, AF_UNIX, ...; -1 when unknown).
struct DescriptorInfo {
  std::string linkTarget;
  int family = -1;
};

// How many descriptors are network sockets: sockets of the Internet families
// (IPv4, IPv6) or packet sockets. When a socket's family is unknown, its
// inode decides: network when the kernel's network tables (`networkInodes`)
// list it. Unix-domain sockets (display server, session bus, audio server)
// and netlink sockets are local channels and never count. A duplicated
// descriptor counts once per descriptor.
std::size_t CountNetworkSockets(const std::vector<DescriptorInfo>& descriptors,
                                const std::unordered_set<std::uint64_t>& networkInodes);

// Reads the live figures of this process from /proc, getrusage and, when
// `withExecutableSize`, the executable file (/proc/self/exe).
ProcessFigures ReadProcessFigures(bool withExecutableSize);

}  // namespace kf
