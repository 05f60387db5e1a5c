#include "source/MGFileRangeService.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "source/MGRangeError.h"

namespace kf {

std::shared_ptr<MGFileRangeService> MGFileRangeService::create(const std::string& path) {
  // Non-blocking, so that opening a FIFO does not hang; only regular files
  // are served.
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return nullptr;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return nullptr;
  }
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  std::uint64_t size = st.st_size > 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
  if (size == 0) {
    // Some files (pipes excluded, special files) report no size: use the end.
    off_t end = ::lseek(fd, 0, SEEK_END);
    size = end > 0 ? static_cast<std::uint64_t>(end) : 0;
  }
  return std::shared_ptr<MGFileRangeService>(new MGFileRangeService(fd, size));
}

MGFileRangeService::~MGFileRangeService() {
  ::close(fd_);
}

void MGFileRangeService::fileSizeWithReply(SizeReply reply) {
  reply(size_, std::nullopt);
}

void MGFileRangeService::readOffset(std::uint64_t offset, std::uint64_t length, ReadReply reply) {
  constexpr std::uint64_t kMaxOffset = static_cast<std::uint64_t>(INT64_MAX);
  if (offset > kMaxOffset) {
    reply(MGMakeBytes({}), std::nullopt);  // beyond any file's end
    return;
  }
  std::uint64_t want = std::min(length, kMaxReplyBytes);
  // Never allocate for bytes the file cannot hold.
  if (offset >= size_) {
    want = std::min<std::uint64_t>(want, 64 * 1024);  // the file may have grown a little
  } else {
    want = std::min(want, std::max<std::uint64_t>(size_ - offset, 64 * 1024));
  }
  std::vector<std::uint8_t> data(static_cast<std::size_t>(want));
  std::size_t got = 0;
  while (got < data.size()) {
    ssize_t n = ::pread(fd_, data.data() + got, data.size() - got, static_cast<off_t>(offset + got));
    if (n < 0) {
      if (errno == EINTR) continue;
      int err = errno;
      if (got > 0) break;  // deliver what was read; the next read meets the error
      reply(nullptr, MGPosixError(err));
      return;
    }
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  data.resize(got);
  reply(MGMakeBytes(std::move(data)), std::nullopt);
}

}  // namespace kf
