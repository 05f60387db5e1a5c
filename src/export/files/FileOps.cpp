#include "export/files/FileOps.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>

namespace kf {
namespace {

Error CopyError(int err) {
  return Error{kPosixErrorDomain, err, std::string("Lossless copy failed: ") + std::strerror(err)};
}

Error PosixError(int err) { return Error{kPosixErrorDomain, err, std::strerror(err)}; }

std::string FolderOf(const std::string& path) {
  const auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

}  // namespace

CopyOutcome CopyFileBytes(const std::string& source, const std::string& destination,
                          const std::atomic<bool>& cancel, const CopyProgress& progress) {
  CopyOutcome outcome;
  int err = 0;
  const int in = ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) {
    outcome.error = CopyError(errno);
    return outcome;
  }
  const int out = ::open(destination.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (out < 0) {
    err = errno;
    ::close(in);
    outcome.error = CopyError(err);
    return outcome;
  }
  struct stat st {};
  const std::uint64_t total = ::fstat(in, &st) == 0 && st.st_size > 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
  std::unique_ptr<char[]> buffer(new char[kCopyChunkBytes]());
  std::uint64_t copied = 0;
  bool cancelled = cancel.load();
  while (!cancelled) {
    const ssize_t n = ::read(in, buffer.get(), kCopyChunkBytes);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      err = errno;
      break;
    }
    ssize_t written = 0;
    while (written < n) {
      const ssize_t w = ::write(out, buffer.get() + written, static_cast<std::size_t>(n - written));
      if (w < 0 && errno == EINTR) continue;
      if (w < 1) {
        err = w < 0 ? errno : EIO;
        break;
      }
      written += w;
    }
    if (err) break;
    copied += static_cast<std::uint64_t>(n);
    if (progress) progress(copied, total);
    cancelled = cancel.load();
  }
  cancelled = cancel.load();
  if (!err && !cancelled && ::fsync(out) != 0) err = errno;
  ::close(in);
  if (err || cancelled) ::unlink(destination.c_str());
  if (::close(out) != 0 && !err && !cancelled) {
    err = errno;
    ::unlink(destination.c_str());
  }
  outcome.cancelled = cancelled;
  if (err) outcome.error = CopyError(err);
  return outcome;
}

Status ReplaceFile(const std::string& target, const std::string& replacement) {
  struct stat original {};
  if (::stat(target.c_str(), &original) != 0) return PosixError(errno);
  const int fd = ::open(replacement.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return PosixError(errno);
  // Ownership may only be kept by a privileged user; the mode always can.
  if (::fchown(fd, original.st_uid, original.st_gid) != 0) {
  }
  if (::fchmod(fd, original.st_mode & 07777) != 0 || ::fsync(fd) != 0) {
    const int err = errno;
    ::close(fd);
    return PosixError(err);
  }
  ::close(fd);
  if (::rename(replacement.c_str(), target.c_str()) != 0) return PosixError(errno);
  const int dir = ::open(FolderOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    // The rename is durable once the folder is on disk; a failing folder
    // sync leaves the new file in place, so it is not an error of the swap.
    ::fsync(dir);
    ::close(dir);
  }
  return std::nullopt;
}

void RemoveFileIfPresent(const std::string& path) {
  if (!path.empty()) ::unlink(path.c_str());
}

bool SameFile(const std::string& a, const std::string& b) {
  struct stat sa {}, sb {};
  if (::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0)
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
  std::error_code ec;
  const auto na = std::filesystem::absolute(a, ec).lexically_normal();
  const auto nb = std::filesystem::absolute(b, ec).lexically_normal();
  return na == nb;
}

}  // namespace kf
