#include "source/MGLarderRegistry.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "source/MGRangeError.h"

namespace kf {

namespace {

constexpr const char* kEntrySuffix = ".domain";
constexpr std::size_t kMaxEntryBytes = 64 * 1024;

std::string Hex(const std::string& s) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (unsigned char c : s) {
    out.push_back(digits[c >> 4]);
    out.push_back(digits[c & 15]);
  }
  return out;
}

std::string RealPath(const std::string& path) {
  char buf[PATH_MAX];
  if (!::realpath(path.c_str(), buf)) return {};
  return buf;
}

bool PrivateDirectory(const std::string& dir) {
  struct stat st {};
  return ::lstat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::getuid() &&
         (st.st_mode & 077) == 0;
}

std::optional<MGLarderDomain> ReadEntry(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return std::nullopt;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::getuid() ||
      static_cast<std::uint64_t>(st.st_size) > kMaxEntryBytes) {
    ::close(fd);
    return std::nullopt;
  }
  std::string text(static_cast<std::size_t>(st.st_size), '\0');
  ssize_t n = ::read(fd, text.data(), text.size());
  ::close(fd);
  if (n < 0) return std::nullopt;
  text.resize(static_cast<std::size_t>(n));
  MGLarderDomain d;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    std::size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    std::string key = line.substr(0, eq), value = line.substr(eq + 1);
    if (key == "identifier")
      d.identifier = value;
    else if (key == "root")
      d.root = value;
    else if (key == "socket")
      d.socketPath = value;
    else if (key == "service")
      d.services.push_back(value);
  }
  if (d.identifier.empty() || d.root.empty() || d.socketPath.empty()) return std::nullopt;
  return d;
}

bool ValidLine(const std::string& v) {
  return v.find('\n') == std::string::npos && v.find('\r') == std::string::npos;
}

}  // namespace

kf::Result<std::shared_ptr<MGLarderConnection>> MGLarderServiceRef::connect() const {
  return MGLarderConnection::connect(socketPath, serviceName, itemIdentifier);
}

std::string MGLarderRegistryDirectory() {
  if (const char* env = std::getenv("KERFLINE_LARDER_REGISTRY"); env && *env) return env;
  if (const char* run = std::getenv("XDG_RUNTIME_DIR"); run && *run)
    return std::string(run) + "/kerfline-larder";
  return "/tmp/kerfline-larder-" + std::to_string(::getuid());
}

std::string MGLarderDomainEntryPath(const std::string& directory, const std::string& identifier) {
  return directory + "/" + Hex(identifier) + kEntrySuffix;
}

std::string MGLarderSocketPath(const std::string& directory, const std::string& identifier) {
  // Socket paths are short (108 bytes); long identifiers are cut, the entry
  // file names the socket exactly anyway.
  std::string hex = Hex(identifier).substr(0, 32);
  return directory + "/" + hex + ".sock";
}

kf::Status MGPublishLarderDomain(const std::string& directory, const MGLarderDomain& domain) {
  if (::mkdir(directory.c_str(), 0700) != 0 && errno != EEXIST) return MGPosixError(errno);
  if (!PrivateDirectory(directory)) return MGPosixError(EACCES);
  for (const std::string* v : {&domain.identifier, &domain.root, &domain.socketPath}) {
    if (v->empty() || !ValidLine(*v)) return MGPosixError(EINVAL);
  }
  std::ostringstream out;
  out << "identifier=" << domain.identifier << "\nroot=" << domain.root << "\nsocket=" << domain.socketPath
      << "\n";
  for (const auto& s : domain.services) {
    if (ValidLine(s)) out << "service=" << s << "\n";
  }
  std::string text = out.str();
  std::string finalPath = MGLarderDomainEntryPath(directory, domain.identifier);
  std::string tmp = finalPath + ".tmp-" + std::to_string(::getpid());
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return MGPosixError(errno);
  bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) && ::fsync(fd) == 0;
  int err = errno;
  ::close(fd);
  if (!ok || ::rename(tmp.c_str(), finalPath.c_str()) != 0) {
    if (ok) err = errno;
    ::unlink(tmp.c_str());
    return MGPosixError(err);
  }
  return std::nullopt;
}

void MGWithdrawLarderDomain(const std::string& directory, const std::string& identifier) {
  ::unlink(MGLarderDomainEntryPath(directory, identifier).c_str());
}

std::optional<MGLarderDomain> MGLookupLarderDomain(const std::string& directory,
                                                   const std::string& identifier) {
  if (identifier.empty() || !PrivateDirectory(directory)) return std::nullopt;
  auto d = ReadEntry(MGLarderDomainEntryPath(directory, identifier));
  if (!d || d->identifier != identifier) return std::nullopt;
  return d;
}

std::vector<MGLarderDomain> MGListLarderDomains(const std::string& directory) {
  std::vector<MGLarderDomain> out;
  if (!PrivateDirectory(directory)) return out;
  DIR* dir = ::opendir(directory.c_str());
  if (!dir) return out;
  while (dirent* e = ::readdir(dir)) {
    std::string name = e->d_name;
    std::size_t n = std::strlen(kEntrySuffix);
    if (name.size() <= n || name.compare(name.size() - n, n, kEntrySuffix) != 0) continue;
    if (auto d = ReadEntry(directory + "/" + name)) out.push_back(std::move(*d));
  }
  ::closedir(dir);
  return out;
}

std::optional<MGLarderServiceRef> MGLarderServiceWithName(const MGLarderDomain& domain,
                                                          const std::string& name, const std::string& item) {
  for (const auto& s : domain.services) {
    if (s == name) return MGLarderServiceRef{name, item, domain.socketPath};
  }
  return std::nullopt;
}

std::map<std::string, MGLarderServiceRef> MGFileProviderServicesForItem(const std::string& directory,
                                                                        const std::string& path) {
  std::map<std::string, MGLarderServiceRef> out;
  std::string real = RealPath(path);
  if (real.empty()) return out;
  for (const auto& d : MGListLarderDomains(directory)) {
    std::string root = RealPath(d.root);
    if (root.empty()) continue;
    std::string prefix = root == "/" ? "/" : root + "/";
    if (real.size() <= prefix.size() || real.compare(0, prefix.size(), prefix) != 0) continue;
    std::string item = real.substr(prefix.size());
    for (const auto& s : d.services) out.emplace(s, MGLarderServiceRef{s, item, d.socketPath});
    break;
  }
  return out;
}

}  // namespace kf
