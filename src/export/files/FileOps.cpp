#include "export/files/FileOps.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <filesystem>
#include <memory>

#include "export/naming/ExportNaming.h"

namespace kf {
namespace {

constexpr const char* kTempTag = ".kerfline-tmp.";

Error CopyError(int err) {
  return Error{kPosixErrorDomain, err, std::string("Lossless copy failed: ") + std::strerror(err)};
}

Error PosixError(int err) { return Error{kPosixErrorDomain, err, std::strerror(err)}; }

Error PosixError(int err, const std::string& what) {
  return Error{kPosixErrorDomain, err, what + ": " + std::strerror(err)};
}

const char* KindOf(mode_t mode) {
  if (S_ISDIR(mode)) return "a folder";
  if (S_ISFIFO(mode)) return "a named pipe";
  if (S_ISSOCK(mode)) return "a socket";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
  return "not a regular file";
}

Error NotRegular(const std::string& path, mode_t mode) {
  const char* kind = KindOf(mode);
  std::string text = "“" + lastPathComponent(path) + "” is ";
  text += kind;
  if (std::strcmp(kind, "not a regular file") != 0) text += ", not a regular file";
  return Error{kKerflineErrorDomain, kNotRegularFileCode, text};
}

int SyncFolder(const std::string& folder) {
  const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) return errno;
  const int err = ::fsync(dir) == 0 ? 0 : errno;
  ::close(dir);
  return err;
}

// True when `pid` may name a running process (it exists, or it exists and
// belongs to someone else).
bool ProcessAlive(long pid) {
  if (pid <= 0 || pid > INT_MAX) return false;
  return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

// The writer's process id in a temporary sibling's name, or -1 when the
// name is not one of ours.
long WriterOf(const std::string& name) {
  if (name.size() < 2 || name[0] != '.') return -1;
  const auto tag = name.rfind(kTempTag);
  if (tag == std::string::npos) return -1;
  const std::string head = name.substr(0, tag);  // ".base.UUID.pid"
  const auto dot = head.rfind('.');
  if (dot == std::string::npos || dot == 0 || dot + 1 >= head.size() || head.size() - dot - 1 > 10) return -1;
  long pid = 0;
  for (std::size_t i = dot + 1; i < head.size(); ++i) {
    if (head[i] < '0' || head[i] > '9') return -1;
    pid = pid * 10 + (head[i] - '0');
  }
  // The UUID before it: 36 characters.
  const auto uuidDot = head.rfind('.', dot - 1);
  if (uuidDot == std::string::npos || dot - uuidDot - 1 != 36) return -1;
  return pid;
}

bool IsFallbackErrno(int err) {
  return err == EXDEV || err == EINVAL || err == ENOSYS || err == EOPNOTSUPP || err == EBADF || err == ETXTBSY ||
         err == EPERM;
}

}  // namespace

std::string FolderOfPath(const std::string& path) {
  const auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

Status CheckRegularFile(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return PosixError(errno);
  if (!S_ISREG(st.st_mode)) return NotRegular(path, st.st_mode);
  return std::nullopt;
}

CopyOutcome CopyFileBytes(const std::string& source, const std::string& destination,
                          const std::atomic<bool>& cancel, const CopyProgress& progress) {
  CopyOutcome outcome;
  int err = 0;
  // Never open anything but a regular file for reading: a FIFO would block
  // the open, a device would be read forever. O_NONBLOCK keeps a file
  // swapped in after the check from blocking the open.
  if (Status s = CheckRegularFile(source)) {
    outcome.failedFile = FailedFile::Source;
    outcome.error = s->domain == kPosixErrorDomain ? CopyError(static_cast<int>(s->code))
                                                   : Error{s->domain, s->code, "Lossless copy failed: " + s->message};
    return outcome;
  }
  const int in = ::open(source.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (in < 0) {
    outcome.failedFile = FailedFile::Source;
    outcome.error = CopyError(errno);
    return outcome;
  }
  struct stat before {};
  if (::fstat(in, &before) != 0 || !S_ISREG(before.st_mode)) {
    err = errno;
    ::close(in);
    outcome.failedFile = FailedFile::Source;
    outcome.error = err ? CopyError(err) : Error{kKerflineErrorDomain, kNotRegularFileCode,
                                                 "Lossless copy failed: the source is not a regular file"};
    return outcome;
  }
  const int out = ::open(destination.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (out < 0) {
    err = errno;
    ::close(in);
    outcome.failedFile = FailedFile::Output;
    outcome.error = CopyError(err);
    return outcome;
  }
  const std::uint64_t total = before.st_size > 0 ? static_cast<std::uint64_t>(before.st_size) : 0;
  std::unique_ptr<char[]> buffer;  // only for the read/write fallback
  bool kernelCopy = true;
  std::uint64_t copied = 0;
  bool endedEarly = false;
  bool cancelled = cancel.load();
  while (!cancelled && copied < total) {
    const std::size_t chunk = static_cast<std::size_t>(std::min<std::uint64_t>(kCopyChunkBytes, total - copied));
    std::size_t done = 0;
    while (done < chunk && !err && !endedEarly) {
      if (kernelCopy) {
        const ssize_t n = ::copy_file_range(in, nullptr, out, nullptr, chunk - done, 0);
        if (n > 0) {
          done += static_cast<std::size_t>(n);
        } else if (n == 0) {
          endedEarly = true;
        } else if (errno == EINTR) {
          continue;
        } else if (IsFallbackErrno(errno)) {
          kernelCopy = false;  // these file systems refuse it: copy through memory
          buffer.reset(new char[kCopyChunkBytes]);
        } else {
          err = errno;
        }
        continue;
      }
      const ssize_t n = ::read(in, buffer.get(), chunk - done);
      if (n == 0) {
        endedEarly = true;
        break;
      }
      if (n < 0) {
        if (errno == EINTR) continue;
        err = errno;
        outcome.failedFile = FailedFile::Source;
        break;
      }
      ssize_t written = 0;
      while (written < n) {
        const ssize_t w = ::write(out, buffer.get() + written, static_cast<std::size_t>(n - written));
        if (w < 0 && errno == EINTR) continue;
        if (w < 1) {
          err = w < 0 ? errno : EIO;
          outcome.failedFile = FailedFile::Output;
          break;
        }
        written += w;
      }
      done += static_cast<std::size_t>(n);
    }
    if (err || endedEarly) break;
    // The disk starts writing each piece while the next is copied, so the
    // closing fsync waits for the last pieces only (a hint: where the file
    // system ignores it, the fsync writes everything as before).
    ::sync_file_range(out, static_cast<off_t>(copied), static_cast<off_t>(chunk), SYNC_FILE_RANGE_WRITE);
    copied += chunk;
    if (progress) progress(copied, total);
    cancelled = cancel.load();
  }
  cancelled = cancel.load();
  Status changed;
  if (!err && !cancelled) {
    outcome.failedFile = FailedFile::Source;
    struct stat after {};
    if (endedEarly) {
      changed = Error{kKerflineErrorDomain, kSourceChangedCode,
                      "Lossless copy failed: the source movie ended after " + std::to_string(copied) + " of " +
                          std::to_string(total) + " bytes"};
    } else if (::fstat(in, &after) != 0) {
      err = errno;
    } else if (after.st_size != before.st_size || after.st_mtim.tv_sec != before.st_mtim.tv_sec ||
               after.st_mtim.tv_nsec != before.st_mtim.tv_nsec) {
      changed = Error{kKerflineErrorDomain, kSourceChangedCode,
                      "Lossless copy failed: the source movie changed while it was copied"};
    }
  }
  if (!err && !changed && !cancelled && ::fsync(out) != 0) {
    err = errno;
    outcome.failedFile = FailedFile::Output;
  }
  ::close(in);
  const bool failed = err || changed;
  if (failed || cancelled) ::unlink(destination.c_str());
  if (::close(out) != 0 && !failed && !cancelled) {
    err = errno;
    outcome.failedFile = FailedFile::Output;
    ::unlink(destination.c_str());
  }
  outcome.cancelled = cancelled;
  if (err)
    outcome.error = CopyError(err);
  else if (changed)
    outcome.error = changed;
  return outcome;
}

std::string TemporarySiblingFor(const std::string& path) {
  return temporarySiblingPath(path, newUuidString() + "." + std::to_string(::getpid()));
}

int RemoveStaleTemporaries(const std::string& folder) {
  DIR* dir = ::opendir(folder.c_str());
  if (!dir) return 0;
  int removed = 0;
  const std::string prefix = folder.empty() || folder.back() == '/' ? folder : folder + "/";
  while (const dirent* e = ::readdir(dir)) {
    const std::string name = e->d_name;
    const long pid = WriterOf(name);
    if (pid < 0 || ProcessAlive(pid)) continue;
    struct stat st {};
    const std::string path = prefix + name;
    if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    if (::unlink(path.c_str()) == 0) ++removed;
  }
  ::closedir(dir);
  return removed;
}

int RemoveStaleTemporariesBeside(const std::string& path) {
  const std::string folder = FolderOfPath(path);
  const std::string target = FolderOfPath(ResolveLinks(path));
  return RemoveStaleTemporaries(folder) + (target != folder ? RemoveStaleTemporaries(target) : 0);
}

std::string ResolveLinks(const std::string& path) {
  std::string p = path;
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st {};
    if (::lstat(p.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return p;
    std::string target(PATH_MAX, '\0');
    const ssize_t n = ::readlink(p.c_str(), target.data(), target.size());
    if (n <= 0 || static_cast<std::size_t>(n) >= target.size()) return path;
    target.resize(static_cast<std::size_t>(n));
    p = target[0] == '/' ? target : FolderOfPath(p) + "/" + target;
  }
  return path;
}

Result<StagedOutput> StageOutput(const std::string& destination) {
  StagedOutput out;
  out.finalPath = ResolveLinks(destination);
  struct stat st {};
  if (::stat(out.finalPath.c_str(), &st) == 0) {
    if (!S_ISREG(st.st_mode)) return NotRegular(destination, st.st_mode);
  } else if (errno != ENOENT) {
    return PosixError(errno, "Cannot write “" + lastPathComponent(destination) + "”");
  }
  const std::string folder = FolderOfPath(out.finalPath);
  RemoveStaleTemporaries(folder);
  out.tempPath = TemporarySiblingFor(out.finalPath);
  const int fd = ::open(out.tempPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return PosixError(errno, "Cannot write in the folder “" + lastPathComponent(folder) + "”");
  ::close(fd);
  return out;
}

Status CommitOutput(const StagedOutput& output) {
  Status result;
  const int fd = ::open(output.tempPath.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  struct stat st {};
  if (fd < 0) {
    result = PosixError(errno);
  } else if (::fsync(fd) != 0) {
    result = PosixError(errno);
  } else if (::stat(output.finalPath.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
    result = NotRegular(output.finalPath, st.st_mode);
  } else if (::rename(output.tempPath.c_str(), output.finalPath.c_str()) != 0) {
    result = PosixError(errno);
  }
  if (fd >= 0) ::close(fd);
  if (result) {
    ::unlink(output.tempPath.c_str());
    return result;
  }
  // The rename is durable once the folder is on disk; a failing folder sync
  // leaves the new file in place, so it is not a failure of the export.
  SyncFolder(FolderOfPath(output.finalPath));
  return std::nullopt;
}

Status ReplaceFile(const std::string& linkOrTarget, const std::string& replacement) {
  const std::string target = ResolveLinks(linkOrTarget);
  struct stat original {};
  if (::stat(target.c_str(), &original) != 0) return PosixError(errno);
  if (!S_ISREG(original.st_mode)) return NotRegular(linkOrTarget, original.st_mode);
  const int fd = ::open(replacement.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
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
  SyncFolder(FolderOfPath(target));
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
