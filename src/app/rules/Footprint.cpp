#include "app/rules/Footprint.h"

#include <sched.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>
#include <thread>

namespace kf {
namespace {

// Fixed-point text, independent of the process locale (%.Nf in "C").
std::string Fixed(double v, int decimals) {
  char buf[64];
  const auto [ptr, ec] = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, decimals);
  if (ec != std::errc()) return "0";
  return std::string(buf, ptr);
}

std::string_view NextLine(std::string_view& text) {
  const std::size_t nl = text.find('\n');
  std::string_view line = text.substr(0, nl);
  text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
  return line;
}

std::string_view NextField(std::string_view& line) {
  std::size_t b = 0;
  while (b < line.size() && (line[b] == ' ' || line[b] == '\t')) ++b;
  std::size_t e = b;
  while (e < line.size() && line[e] != ' ' && line[e] != '\t') ++e;
  std::string_view field = line.substr(b, e - b);
  line.remove_prefix(e);
  return field;
}

std::optional<std::uint64_t> ParseUnsigned(std::string_view s) {
  std::uint64_t v = 0;
  const auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (ec != std::errc() || ptr != s.data() + s.size() || s.empty()) return std::nullopt;
  return v;
}

bool IsSharedObjectName(std::string_view name) {
  if (name.size() >= 3 && name.substr(name.size() - 3) == ".so") return true;
  return name.find(".so.") != std::string_view::npos;
}

std::string ReadWholeFile(const char* path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

unsigned ProcessorCount() {
  cpu_set_t set;
  CPU_ZERO(&set);
  // The processors this process may run on; the machine's count otherwise.
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    const int n = CPU_COUNT(&set);
    if (n > 0) return static_cast<unsigned>(n);
  }
  const unsigned n = std::thread::hardware_concurrency();
  return n > 0 ? n : 1;
}

}  // namespace

std::string DiskText(std::uint64_t bytes) {
  if (bytes < 1048576) return "DISK " + Fixed(static_cast<double>(bytes) / 1024, 0) + " KB";
  return "DISK " + Fixed(static_cast<double>(bytes) / 1048576, 1) + " MB";
}

std::string FootprintText(double ramMegabytes, double cpuPercent, std::uint64_t diskBytes,
                          std::size_t sharedLibraries, std::size_t networkSockets) {
  return "RAM " + Fixed(ramMegabytes, 0) + " MB   ·   CPU " + Fixed(cpuPercent, 0) + "%   ·   " +
         DiskText(diskBytes) + "   ·   LIBS " + std::to_string(sharedLibraries) + "   ·   NET " +
         std::to_string(networkSockets);
}

std::string MGMFootprint::sample() {
  return sample(ReadProcessFigures(diskBytes == 0));
}

std::string MGMFootprint::sample(const ProcessFigures& f) {
  double percent = 0;
  if (previousWall > 0 && f.wallSeconds > previousWall) {
    const double cores = f.processorCount > 1 ? f.processorCount : 1;
    percent = (f.cpuSeconds - previousCpuSeconds) / ((f.wallSeconds - previousWall) * cores) * 100;
    if (percent > 100) percent = 100;
    if (!(percent >= 0)) percent = 0;
  }
  previousCpuSeconds = f.cpuSeconds;
  previousWall = f.wallSeconds;
  if (diskBytes == 0 && f.executableBytes) diskBytes = *f.executableBytes;
  return FootprintText(static_cast<double>(f.residentBytes) / 1048576, percent, diskBytes, f.sharedLibraries,
                       f.networkSockets);
}

std::optional<std::uint64_t> ParseResidentBytes(std::string_view status) {
  while (!status.empty()) {
    std::string_view line = NextLine(status);
    if (line.substr(0, 6) != "VmRSS:") continue;
    line.remove_prefix(6);
    const auto value = ParseUnsigned(NextField(line));
    const std::string_view unit = NextField(line);
    if (!value) return std::nullopt;
    if (unit == "kB") return *value * 1024;
    if (unit == "mB") return *value * 1048576;
    if (unit == "B" || unit.empty()) return *value;
    return std::nullopt;
  }
  return std::nullopt;
}

std::size_t CountSharedLibraries(std::string_view maps) {
  std::unordered_set<std::string_view> seen;
  while (!maps.empty()) {
    std::string_view line = NextLine(maps);
    // address perms offset dev inode pathname; the path may hold spaces.
    for (int i = 0; i < 5; ++i) NextField(line);
    while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
    if (line.empty() || line.front() != '/') continue;
    constexpr std::string_view kDeleted = " (deleted)";
    if (line.size() > kDeleted.size() && line.substr(line.size() - kDeleted.size()) == kDeleted) {
      line.remove_suffix(kDeleted.size());
    }
    const std::size_t slash = line.rfind('/');
    if (IsSharedObjectName(line.substr(slash + 1))) seen.insert(line);
  }
  return seen.size();
}

std::optional<std::uint64_t> SocketInode(std::string_view target) {
  constexpr std::string_view kPrefix = "socket:[";
  if (target.size() <= kPrefix.size() + 1 || target.substr(0, kPrefix.size()) != kPrefix ||
      target.back() != ']') {
    return std::nullopt;
  }
  return ParseUnsigned(target.substr(kPrefix.size(), target.size() - kPrefix.size() - 1));
}

void AddNetworkSocketInodes(std::string_view table, std::unordered_set<std::uint64_t>& inodes) {
  NextLine(table);  // header
  while (!table.empty()) {
    std::string_view line = NextLine(table);
    std::string_view field;
    for (int i = 0; i < 10; ++i) field = NextField(line);
    if (const auto inode = ParseUnsigned(field); inode && *inode != 0) inodes.insert(*inode);
  }
}

std::size_t CountNetworkSockets(const std::vector<DescriptorInfo>& descriptors,
                                const std::unordered_set<std::uint64_t>& networkInodes) {
  return static_cast<std::size_t>(
      std::count_if(descriptors.begin(), descriptors.end(), [&](const DescriptorInfo& d) {
        const auto inode = SocketInode(d.linkTarget);
        if (!inode) return false;
        if (d.family >= 0) return d.family == AF_INET || d.family == AF_INET6 || d.family == AF_PACKET;
        return networkInodes.count(*inode) != 0;
      }));
}

ProcessFigures ReadProcessFigures(bool withExecutableSize) {
  ProcessFigures f;
  f.residentBytes = ParseResidentBytes(ReadWholeFile("/proc/self/status")).value_or(0);

  rusage usage{};
  if (getrusage(RUSAGE_SELF, &usage) == 0) {
    f.cpuSeconds = static_cast<double>(usage.ru_utime.tv_sec) + usage.ru_utime.tv_usec / 1e6 +
                   static_cast<double>(usage.ru_stime.tv_sec) + usage.ru_stime.tv_usec / 1e6;
  }
  f.wallSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
  f.processorCount = ProcessorCount();

  if (withExecutableSize) {
    struct stat st {};
    if (stat("/proc/self/exe", &st) == 0 && st.st_size > 0)
      f.executableBytes = static_cast<std::uint64_t>(st.st_size);
  }

  f.sharedLibraries = CountSharedLibraries(ReadWholeFile("/proc/self/maps"));

  // Sockets are classified by their family, which the descriptor itself
  // tells; a socket without an address (created, not yet bound) is missing
  // from the kernel's network tables, so those only decide when the family
  // cannot be read (the descriptor was closed meanwhile).
  std::vector<DescriptorInfo> descriptors;
  bool familyUnknown = false;
  std::error_code ec;
  for (std::filesystem::directory_iterator it("/proc/self/fd", ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code linkError;
    const std::filesystem::path target = std::filesystem::read_symlink(it->path(), linkError);
    if (linkError) continue;
    DescriptorInfo d;
    d.linkTarget = target.string();
    if (SocketInode(d.linkTarget)) {
      int fd = -1;
      const std::string name = it->path().filename().string();
      std::from_chars(name.data(), name.data() + name.size(), fd);
      int family = -1;
      socklen_t len = sizeof family;
      if (fd >= 0 && getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &family, &len) == 0) d.family = family;
      familyUnknown = familyUnknown || d.family < 0;
    }
    descriptors.push_back(std::move(d));
  }
  std::unordered_set<std::uint64_t> inodes;
  if (familyUnknown) {
    for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6", "/proc/net/udp", "/proc/net/udp6",
                              "/proc/net/raw", "/proc/net/raw6"}) {
      AddNetworkSocketInodes(ReadWholeFile(table), inodes);
    }
  }
  f.networkSockets = CountNetworkSockets(descriptors, inodes);
  return f;
}

}  // namespace kf
