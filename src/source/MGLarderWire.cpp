#include "source/MGLarderWire.h"

#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "source/MGRangeError.h"

namespace kf {

namespace {

class Writer {
 public:
  void u8(std::uint8_t v) { b.push_back(v); }
  void u16(std::uint16_t v) {
    b.push_back(static_cast<std::uint8_t>(v >> 8));
    b.push_back(static_cast<std::uint8_t>(v));
  }
  void u32(std::uint32_t v) {
    for (int i = 3; i >= 0; --i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  }
  void u64(std::uint64_t v) {
    for (int i = 7; i >= 0; --i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  }
  void str16(const std::string& s) {
    std::size_t n = std::min(s.size(), kLarderMaxName);
    u16(static_cast<std::uint16_t>(n));
    b.insert(b.end(), s.begin(), s.begin() + static_cast<std::ptrdiff_t>(n));
  }
  void str32(const std::string& s) {
    std::size_t n = std::min(s.size(), kLarderMaxMessage);
    u32(static_cast<std::uint32_t>(n));
    b.insert(b.end(), s.begin(), s.begin() + static_cast<std::ptrdiff_t>(n));
  }
  void error(const kf::Error& e) {
    str16(e.domain);
    u64(static_cast<std::uint64_t>(e.code));
    str32(e.message);
  }
  std::vector<std::uint8_t> b;
};

// Reads a payload; every read checks the bytes left, so a hostile length can
// only make a read fail, never overrun or allocate beyond the frame.
class Reader {
 public:
  Reader(const std::uint8_t* p, std::size_t n) : p_(p), n_(n) {}
  bool u8(std::uint8_t& v) {
    if (n_ - at_ < 1) return false;
    v = p_[at_++];
    return true;
  }
  bool u16(std::uint16_t& v) {
    if (n_ - at_ < 2) return false;
    v = static_cast<std::uint16_t>((p_[at_] << 8) | p_[at_ + 1]);
    at_ += 2;
    return true;
  }
  bool u32(std::uint32_t& v) {
    std::uint64_t w;
    if (!uN(4, w)) return false;
    v = static_cast<std::uint32_t>(w);
    return true;
  }
  bool u64(std::uint64_t& v) { return uN(8, v); }
  bool bytes(std::size_t count, std::string& out) {
    if (n_ - at_ < count) return false;
    out.assign(reinterpret_cast<const char*>(p_ + at_), count);
    at_ += count;
    return true;
  }
  bool str16(std::string& out) {
    std::uint16_t n;
    return u16(n) && n <= kLarderMaxName && bytes(n, out);
  }
  bool str32(std::string& out) {
    std::uint32_t n;
    return u32(n) && n <= kLarderMaxMessage && bytes(n, out);
  }
  bool error(kf::Error& e) {
    std::uint64_t code;
    if (!str16(e.domain) || !u64(code) || !str32(e.message)) return false;
    e.code = static_cast<std::int64_t>(code);
    return true;
  }
  bool data(MGBytes& out) {
    std::uint32_t n;
    if (!u32(n) || n > kLarderMaxReadReplyBytes || n_ - at_ < n) return false;
    out = MGMakeBytes(std::vector<std::uint8_t>(p_ + at_, p_ + at_ + n));
    at_ += n;
    return true;
  }
  bool atEnd() const { return at_ == n_; }

 private:
  bool uN(int width, std::uint64_t& v) {
    if (n_ - at_ < static_cast<std::size_t>(width)) return false;
    v = 0;
    for (int i = 0; i < width; ++i) v = (v << 8) | p_[at_ + i];
    at_ += width;
    return true;
  }
  const std::uint8_t* p_;
  std::size_t n_;
  std::size_t at_ = 0;
};

}  // namespace

namespace {

// The frame of `m` in two parts around its read data (if any), so that the
// data can be sent from where it lies.
void EncodeParts(const MGLarderMessage& m, std::vector<std::uint8_t>& head, std::vector<std::uint8_t>& tail,
                 std::size_t& dataBytes) {
  Writer w;
  Writer t;
  dataBytes = 0;
  w.u32(0);  // length, filled in below
  w.u8(static_cast<std::uint8_t>(m.type));
  w.u64(m.id);
  switch (m.type) {
    case MGLarderMessageType::kHello:
      w.str16(m.serviceName);
      w.str16(m.itemIdentifier);
      break;
    case MGLarderMessageType::kFileSize:
      break;
    case MGLarderMessageType::kRead:
      w.u64(m.offset);
      w.u64(m.length);
      break;
    case MGLarderMessageType::kHelloReply:
      w.u8(m.accepted ? 1 : 0);
      if (!m.accepted) w.error(m.error.value_or(kf::Error{}));
      break;
    case MGLarderMessageType::kSizeReply:
      w.u64(m.size);
      w.u8(m.error ? 1 : 0);
      if (m.error) w.error(*m.error);
      break;
    case MGLarderMessageType::kReadReply: {
      std::uint8_t flags = (m.data ? 1 : 0) | (m.error ? 2 : 0);
      w.u8(flags);
      if (m.data) {
        dataBytes = std::min<std::size_t>(m.data->size(), kLarderMaxReadReplyBytes);
        w.u32(static_cast<std::uint32_t>(dataBytes));
      }
      if (m.error) t.error(*m.error);
      break;
    }
  }
  std::uint32_t len = static_cast<std::uint32_t>(w.b.size() - 4 + dataBytes + t.b.size());
  for (int i = 0; i < 4; ++i) w.b[i] = static_cast<std::uint8_t>(len >> (8 * (3 - i)));
  head = std::move(w.b);
  tail = std::move(t.b);
}

bool SendAll(int fd, iovec* iov, int count) {
  while (count > 0) {
    msghdr msg{};
    msg.msg_iov = iov;
    msg.msg_iovlen = static_cast<std::size_t>(count);
    ssize_t n = ::sendmsg(fd, &msg, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    std::size_t left = static_cast<std::size_t>(n);
    while (count > 0 && left >= iov->iov_len) {
      left -= iov->iov_len;
      ++iov;
      --count;
    }
    if (count > 0) {
      iov->iov_base = static_cast<std::uint8_t*>(iov->iov_base) + left;
      iov->iov_len -= left;
    }
  }
  return true;
}

}  // namespace

std::vector<std::uint8_t> MGEncodeLarderFrame(const MGLarderMessage& m) {
  std::vector<std::uint8_t> head, tail;
  std::size_t dataBytes;
  EncodeParts(m, head, tail, dataBytes);
  if (dataBytes)
    head.insert(head.end(), m.data->begin(), m.data->begin() + static_cast<std::ptrdiff_t>(dataBytes));
  head.insert(head.end(), tail.begin(), tail.end());
  return head;
}

bool MGWriteLarderMessage(int fd, const MGLarderMessage& m) {
  std::vector<std::uint8_t> head, tail;
  std::size_t dataBytes;
  EncodeParts(m, head, tail, dataBytes);
  iovec iov[3];
  int count = 0;
  iov[count++] = {head.data(), head.size()};
  if (dataBytes) iov[count++] = {const_cast<std::uint8_t*>(m.data->data()), dataBytes};
  if (!tail.empty()) iov[count++] = {tail.data(), tail.size()};
  return SendAll(fd, iov, count);
}

std::optional<MGLarderMessage> MGDecodeLarderPayload(const std::uint8_t* payload, std::size_t length,
                                                     bool fromService) {
  Reader r(payload, length);
  MGLarderMessage m;
  std::uint8_t type = 0;
  if (!r.u8(type) || !r.u64(m.id)) return std::nullopt;
  m.type = static_cast<MGLarderMessageType>(type);
  bool ok = false;
  if (!fromService) {
    switch (m.type) {
      case MGLarderMessageType::kHello:
        ok = r.str16(m.serviceName) && r.str16(m.itemIdentifier);
        break;
      case MGLarderMessageType::kFileSize:
        ok = true;
        break;
      case MGLarderMessageType::kRead:
        ok = r.u64(m.offset) && r.u64(m.length);
        break;
      default:
        ok = false;
    }
  } else {
    switch (m.type) {
      case MGLarderMessageType::kHelloReply: {
        std::uint8_t accepted = 0;
        ok = r.u8(accepted) && accepted <= 1;
        m.accepted = accepted == 1;
        if (ok && !m.accepted) {
          kf::Error e;
          ok = r.error(e);
          m.error = e;
        }
        break;
      }
      case MGLarderMessageType::kSizeReply: {
        std::uint8_t hasError = 0;
        ok = r.u64(m.size) && r.u8(hasError) && hasError <= 1;
        if (ok && hasError) {
          kf::Error e;
          ok = r.error(e);
          m.error = e;
        }
        // No file holds 2^63 bytes or more (file offsets are signed 64-bit):
        // such a size is the service's failure, not a size.
        if (ok && !m.error && m.size > static_cast<std::uint64_t>(INT64_MAX)) {
          m.error = MGRangeError(kRangeServiceFailed, "The range service reported an impossible movie size");
          m.size = 0;
        }
        break;
      }
      case MGLarderMessageType::kReadReply: {
        std::uint8_t flags = 0;
        ok = r.u8(flags) && flags <= 3;
        if (ok && (flags & 1)) ok = r.data(m.data);
        if (ok && (flags & 2)) {
          kf::Error e;
          ok = r.error(e);
          m.error = e;
        }
        break;
      }
      default:
        ok = false;
    }
  }
  if (!ok || !r.atEnd()) return std::nullopt;
  return m;
}

bool MGWriteLarderFrame(int fd, const std::vector<std::uint8_t>& frame) {
  std::size_t done = 0;
  while (done < frame.size()) {
    ssize_t n = ::send(fd, frame.data() + done, frame.size() - done, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

namespace {
bool ReadFully(int fd, std::uint8_t* p, std::size_t n) {
  std::size_t done = 0;
  while (done < n) {
    ssize_t r = ::recv(fd, p + done, n - done, 0);
    if (r < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (r == 0) return false;
    done += static_cast<std::size_t>(r);
  }
  return true;
}
}  // namespace

std::optional<std::vector<std::uint8_t>> MGReadLarderFrame(int fd, std::uint32_t maxPayload) {
  std::uint8_t header[4];
  if (!ReadFully(fd, header, 4)) return std::nullopt;
  std::uint32_t len = (std::uint32_t{header[0]} << 24) | (std::uint32_t{header[1]} << 16) |
                      (std::uint32_t{header[2]} << 8) | header[3];
  if (len == 0 || len > maxPayload) return std::nullopt;
  std::vector<std::uint8_t> payload(len);
  if (!ReadFully(fd, payload.data(), len)) return std::nullopt;
  return payload;
}

}  // namespace kf
