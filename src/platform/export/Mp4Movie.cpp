#include "platform/export/Mp4Movie.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstring>
#include <limits>
#include <optional>

namespace kf::mp4 {
namespace {

constexpr const char* kDomain = "MP4";

Error Fail(const std::string& message) { return Error{kDomain, 1, message}; }
Error Posix(int err, const std::string& what) {
  return Error{"NSPOSIXErrorDomain", err, what + ": " + std::strerror(err)};
}

struct Box {
  std::string type;
  std::vector<std::uint8_t> payload;  // leaf boxes only
  std::vector<Box> children;
  bool container = false;
};

bool IsContainer(const std::string& type) {
  return type == "moov" || type == "trak" || type == "mdia" || type == "minf" || type == "stbl" ||
         type == "edts";
}

std::uint32_t Get32(const std::uint8_t* p) {
  return (std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) | (std::uint32_t(p[2]) << 8) | p[3];
}
std::uint64_t Get64(const std::uint8_t* p) { return (std::uint64_t(Get32(p)) << 32) | Get32(p + 4); }
void Put32(std::uint8_t* p, std::uint32_t v) {
  p[0] = std::uint8_t(v >> 24);
  p[1] = std::uint8_t(v >> 16);
  p[2] = std::uint8_t(v >> 8);
  p[3] = std::uint8_t(v);
}
void Put64(std::uint8_t* p, std::uint64_t v) {
  Put32(p, std::uint32_t(v >> 32));
  Put32(p + 4, std::uint32_t(v));
}
void Append32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  std::uint8_t b[4];
  Put32(b, v);
  out.insert(out.end(), b, b + 4);
}
void Append64(std::vector<std::uint8_t>& out, std::uint64_t v) {
  std::uint8_t b[8];
  Put64(b, v);
  out.insert(out.end(), b, b + 8);
}

// Parses the boxes in [p, p + n). False on a malformed size.
bool ParseBoxes(const std::uint8_t* p, std::size_t n, std::vector<Box>& out) {
  std::size_t pos = 0;
  while (pos < n) {
    if (n - pos < 8) return false;
    std::uint64_t size = Get32(p + pos);
    std::size_t header = 8;
    Box box;
    box.type.assign(reinterpret_cast<const char*>(p + pos + 4), 4);
    if (size == 1) {
      if (n - pos < 16) return false;
      size = Get64(p + pos + 8);
      header = 16;
    } else if (size == 0) {
      size = n - pos;
    }
    if (size < header || size > n - pos) return false;
    const std::uint8_t* body = p + pos + header;
    const std::size_t bodySize = static_cast<std::size_t>(size) - header;
    if (IsContainer(box.type)) {
      box.container = true;
      if (!ParseBoxes(body, bodySize, box.children)) return false;
    } else {
      box.payload.assign(body, body + bodySize);
    }
    out.push_back(std::move(box));
    pos += static_cast<std::size_t>(size);
  }
  return true;
}

void Serialize(const Box& box, std::vector<std::uint8_t>& out) {
  std::vector<std::uint8_t> body;
  if (box.container) {
    for (const Box& c : box.children) Serialize(c, body);
  } else {
    body = box.payload;
  }
  if (body.size() + 8 <= std::numeric_limits<std::uint32_t>::max()) {
    Append32(out, static_cast<std::uint32_t>(body.size() + 8));
    out.insert(out.end(), box.type.begin(), box.type.end());
  } else {
    Append32(out, 1);
    out.insert(out.end(), box.type.begin(), box.type.end());
    Append64(out, body.size() + 16);
  }
  out.insert(out.end(), body.begin(), body.end());
}

Box* Child(Box& b, const char* type) {
  for (Box& c : b.children)
    if (c.type == type) return &c;
  return nullptr;
}
const Box* Child(const Box& b, const char* type) {
  for (const Box& c : b.children)
    if (c.type == type) return &c;
  return nullptr;
}
const Box* Path(const Box& b, std::initializer_list<const char*> types) {
  const Box* cur = &b;
  for (const char* t : types) {
    cur = Child(*cur, t);
    if (!cur) return nullptr;
  }
  return cur;
}

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }
  int release() {
    int f = fd_;
    fd_ = -1;
    return f;
  }

 private:
  int fd_;
};

bool PreadAll(int fd, std::uint8_t* buf, std::size_t n, off_t offset) {
  while (n > 0) {
    ssize_t r = ::pread(fd, buf, n, offset);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    buf += r;
    n -= static_cast<std::size_t>(r);
    offset += r;
  }
  return true;
}

struct MoovLocation {
  off_t offset = 0;
  std::uint64_t size = 0;
};

// Where the top-level boxes lie: the movie header, and the data that the
// chunk offsets point into (everything but the leading "ftyp" and the
// header, and the padding after a header at the end).
struct Layout {
  MoovLocation moov;
  std::uint64_t front = 0;                  // end of the leading "ftyp" (0 without one)
  std::uint64_t dataStart = 0, dataEnd = 0;  // the data region
  bool headerFirst = false;                 // the header lies right at `front`
};

// Walks the top-level boxes: the header either right after "ftyp" or after
// all the data (followed by nothing but padding).
Result<Layout> ReadLayout(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return Posix(errno, "stat");
  const std::uint64_t fileSize = static_cast<std::uint64_t>(st.st_size);
  std::uint64_t pos = 0;
  std::optional<MoovLocation> moov;
  Layout layout;
  std::uint64_t lastData = 0;  // end of the last box that is neither header nor padding
  std::size_t index = 0;
  while (pos + 8 <= fileSize) {
    std::uint8_t h[16];
    if (!PreadAll(fd, h, 8, static_cast<off_t>(pos))) return Fail("cannot read box header");
    std::uint64_t size = Get32(h);
    const std::string type(reinterpret_cast<char*>(h + 4), 4);
    if (size == 1) {
      if (!PreadAll(fd, h + 8, 8, static_cast<off_t>(pos + 8))) return Fail("cannot read box header");
      size = Get64(h + 8);
    } else if (size == 0) {
      size = fileSize - pos;
    }
    if (size < 8 || size > fileSize - pos) return Fail("malformed top-level box");
    if (type == "moov") {
      if (moov) return Fail("two movie headers");
      moov = MoovLocation{static_cast<off_t>(pos), size};
    } else if (index == 0 && type == "ftyp") {
      layout.front = pos + size;
    } else if (type != "free" && type != "skip") {
      lastData = pos + size;
    }
    pos += size;
    ++index;
  }
  if (!moov) return Fail("no movie header");
  layout.moov = *moov;
  const std::uint64_t moovStart = static_cast<std::uint64_t>(moov->offset);
  if (moovStart == layout.front) {
    layout.headerFirst = true;
    layout.dataStart = moovStart + moov->size;
    layout.dataEnd = fileSize;
  } else if (lastData <= moovStart) {
    layout.dataStart = layout.front;
    layout.dataEnd = moovStart;
  } else {
    return Fail("the movie header lies between sample data");
  }
  return layout;
}

// Reads the "moov" box; `where` receives the file's layout.
Result<Box> ReadMoov(int fd, Layout* where = nullptr) {
  auto found = ReadLayout(fd);
  if (!found) return found.error();
  const MoovLocation loc = found->moov;
  if (where) *where = *found;
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(loc.size));
  if (!PreadAll(fd, bytes.data(), bytes.size(), loc.offset)) return Fail("cannot read the movie header");
  std::vector<Box> boxes;
  if (!ParseBoxes(bytes.data(), bytes.size(), boxes) || boxes.size() != 1) return Fail("malformed movie header");
  return std::move(boxes[0]);
}

// Every chunk-offset table ("stco", "co64") of the header.
void ChunkOffsetBoxes(Box& box, std::vector<Box*>& out) {
  for (Box& c : box.children) {
    if (c.container) ChunkOffsetBoxes(c, out);
    else if (c.type == "stco" || c.type == "co64") out.push_back(&c);
  }
}

// The header serialized for position `at`, its chunk offsets moved so that
// the data that started at `dataStart` starts right after it. A table whose
// offsets no longer fit 32 bits becomes "co64" (which makes the header, and
// so the move, larger: repeated until nothing changes).
Result<std::vector<std::uint8_t>> PlaceHeader(Box moov, std::uint64_t at, std::uint64_t dataStart) {
  std::vector<Box*> tables;
  ChunkOffsetBoxes(moov, tables);
  struct Table {
    bool wide = false;
    std::vector<std::uint64_t> offsets;
  };
  std::vector<Table> parsed;
  for (Box* b : tables) {
    const auto& p = b->payload;
    Table t;
    t.wide = b->type == "co64";
    if (p.size() < 8) return Fail("malformed chunk offsets");
    const std::uint32_t n = Get32(&p[4]);
    const std::size_t entry = t.wide ? 8 : 4;
    if (p.size() < 8 + std::size_t(n) * entry) return Fail("malformed chunk offsets");
    for (std::uint32_t i = 0; i < n; ++i)
      t.offsets.push_back(t.wide ? Get64(&p[8 + i * 8]) : Get32(&p[8 + i * 4]));
    parsed.push_back(std::move(t));
  }
  for (int round = 0; round < 3; ++round) {
    // The header's size depends only on which tables are wide.
    for (std::size_t i = 0; i < tables.size(); ++i) {
      Box& b = *tables[i];
      b.type = parsed[i].wide ? "co64" : "stco";
      b.payload.assign(8, 0);
      Put32(&b.payload[4], static_cast<std::uint32_t>(parsed[i].offsets.size()));
      b.payload.resize(8 + parsed[i].offsets.size() * (parsed[i].wide ? 8 : 4));
    }
    std::vector<std::uint8_t> sized;
    Serialize(moov, sized);
    const std::uint64_t newStart = at + sized.size();
    bool widened = false;
    for (std::size_t i = 0; i < tables.size(); ++i) {
      Table& t = parsed[i];
      for (std::uint64_t o : t.offsets) {
        if (o < dataStart) return Fail("a chunk lies outside the sample data");
        if (!t.wide && o - dataStart + newStart > std::numeric_limits<std::uint32_t>::max()) {
          t.wide = true;
          widened = true;
          break;
        }
      }
    }
    if (widened) continue;
    for (std::size_t i = 0; i < tables.size(); ++i) {
      const Table& t = parsed[i];
      std::uint8_t* e = &tables[i]->payload[8];
      for (std::uint64_t o : t.offsets) {
        const std::uint64_t moved = o - dataStart + newStart;
        if (t.wide) {
          Put64(e, moved);
          e += 8;
        } else {
          Put32(e, static_cast<std::uint32_t>(moved));
          e += 4;
        }
      }
    }
    std::vector<std::uint8_t> out;
    Serialize(moov, out);
    return out;
  }
  return Fail("chunk offsets do not settle");
}

// Moves [from, from + length) to `to` inside the file, overlapping or not.
Status MoveBytes(int fd, std::uint64_t from, std::uint64_t to, std::uint64_t length) {
  if (from == to || length == 0) return std::nullopt;
  constexpr std::uint64_t kChunk = 4u << 20;
  std::vector<std::uint8_t> buf(static_cast<std::size_t>(std::min(kChunk, length)));
  std::uint64_t done = 0;
  while (done < length) {
    const std::uint64_t n = std::min<std::uint64_t>(buf.size(), length - done);
    // Moving towards the end: copy the last part first, so nothing is
    // overwritten before it has been read.
    const std::uint64_t at = to > from ? length - done - n : done;
    if (!PreadAll(fd, buf.data(), static_cast<std::size_t>(n), static_cast<off_t>(from + at)))
      return Fail("cannot read the sample data");
    std::size_t written = 0;
    while (written < n) {
      const ssize_t w = ::pwrite(fd, buf.data() + written, static_cast<std::size_t>(n) - written,
                                 static_cast<off_t>(to + at + written));
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) return Posix(w < 0 ? errno : EIO, "write");
      written += static_cast<std::size_t>(w);
    }
    done += n;
  }
  return std::nullopt;
}

// Writes `moov` right after the leading "ftyp", the data after it, and
// drops whatever followed the old header; syncs and closes the file.
Status WriteHeaderFirst(Fd& fd, const Layout& layout, const Box& moov) {
  auto placed = PlaceHeader(moov, layout.front, layout.dataStart);
  if (!placed) return placed.error();
  const std::vector<std::uint8_t>& bytes = *placed;
  const std::uint64_t length = layout.dataEnd - layout.dataStart;
  const std::uint64_t newData = layout.front + bytes.size();
  if (Status s = MoveBytes(fd.get(), layout.dataStart, newData, length)) return s;
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t w = ::pwrite(fd.get(), bytes.data() + done, bytes.size() - done,
                               static_cast<off_t>(layout.front + done));
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return Posix(w < 0 ? errno : EIO, "write");
    done += static_cast<std::size_t>(w);
  }
  if (::ftruncate(fd.get(), static_cast<off_t>(newData + length)) != 0) return Posix(errno, "truncate");
  if (::fsync(fd.get()) != 0) return Posix(errno, "fsync");
  const int raw = fd.release();
  if (::close(raw) != 0) return Posix(errno, "close");
  return std::nullopt;
}

// Offsets of the timescale and duration fields in mvhd and mdhd payloads,
// and of the duration in tkhd, by box version.
struct HeaderFields {
  std::size_t timescale = 0, duration = 0;
  bool wide = false;
};
HeaderFields MvhdFields(const std::vector<std::uint8_t>& p) {
  if (!p.empty() && p[0] == 1) return {20, 24, true};
  return {12, 16, false};
}
std::size_t TkhdDuration(const std::vector<std::uint8_t>& p, bool& wide) {
  wide = !p.empty() && p[0] == 1;
  return wide ? 28 : 20;
}

Result<std::vector<std::int64_t>> CompositionTimes(const Box& stbl) {
  const Box* stts = Child(stbl, "stts");
  if (!stts || stts->payload.size() < 8) return Fail("track without sample times");
  const auto& p = stts->payload;
  const std::uint32_t n = Get32(&p[4]);
  if (p.size() < 8 + std::size_t(n) * 8) return Fail("malformed sample times");
  std::vector<std::int64_t> times;
  std::int64_t t = 0;
  for (std::uint32_t i = 0; i < n; ++i) {
    const std::uint32_t count = Get32(&p[8 + i * 8]);
    const std::int64_t delta = Get32(&p[12 + i * 8]);
    if (times.size() + count > (1u << 28)) return Fail("too many samples");
    for (std::uint32_t k = 0; k < count; ++k) {
      times.push_back(t);
      t += delta;
    }
  }
  if (const Box* ctts = Child(stbl, "ctts")) {
    const auto& c = ctts->payload;
    if (c.size() < 8) return Fail("malformed composition offsets");
    const bool signedOffsets = c[0] == 1;
    const std::uint32_t m = Get32(&c[4]);
    if (c.size() < 8 + std::size_t(m) * 8) return Fail("malformed composition offsets");
    std::size_t sample = 0;
    for (std::uint32_t i = 0; i < m; ++i) {
      const std::uint32_t count = Get32(&c[8 + i * 8]);
      const std::uint32_t raw = Get32(&c[12 + i * 8]);
      const std::int64_t off = signedOffsets ? std::int64_t(std::int32_t(raw)) : std::int64_t(raw);
      for (std::uint32_t k = 0; k < count && sample < times.size(); ++k) times[sample++] += off;
    }
  }
  return times;
}

}  // namespace

Result<MovieTiming> ReadMovieTiming(const std::string& path) {
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return Posix(errno, path);
  auto moov = ReadMoov(fd.get());
  if (!moov) return moov.error();
  MovieTiming timing;
  const Box* mvhd = Child(*moov, "mvhd");
  if (!mvhd || mvhd->payload.size() < 32) return Fail("no movie header fields");
  timing.movieTimescale = Get32(&mvhd->payload[MvhdFields(mvhd->payload).timescale]);
  for (const Box& trak : moov->children) {
    if (trak.type != "trak") continue;
    TrackTiming t;
    const Box* tkhd = Child(trak, "tkhd");
    const Box* mdhd = Path(trak, {"mdia", "mdhd"});
    const Box* hdlr = Path(trak, {"mdia", "hdlr"});
    const Box* stbl = Path(trak, {"mdia", "minf", "stbl"});
    if (!tkhd || !mdhd || !stbl || tkhd->payload.size() < 20 || mdhd->payload.size() < 24)
      return Fail("incomplete track header");
    t.trackId = Get32(&tkhd->payload[tkhd->payload[0] == 1 ? 20 : 12]);
    t.timescale = Get32(&mdhd->payload[MvhdFields(mdhd->payload).timescale]);
    if (hdlr && hdlr->payload.size() >= 12) t.handler.assign(reinterpret_cast<const char*>(&hdlr->payload[8]), 4);
    auto times = CompositionTimes(*stbl);
    if (!times) return times.error();
    t.compositionTimes = std::move(*times);
    timing.tracks.push_back(std::move(t));
  }
  return timing;
}

Status WriteEditLists(const std::string& path, const std::vector<std::vector<EditEntry>>& edits,
                      std::uint32_t movieTimescale, std::int64_t movieDuration) {
  Fd fd(::open(path.c_str(), O_RDWR | O_CLOEXEC));
  if (fd.get() < 0) return Posix(errno, path);
  Layout layout;
  auto moovResult = ReadMoov(fd.get(), &layout);
  if (!moovResult) return moovResult.error();
  Box& moov = *moovResult;

  Box* mvhd = Child(moov, "mvhd");
  if (!mvhd || mvhd->payload.size() < 32) return Fail("no movie header fields");
  const HeaderFields mf = MvhdFields(mvhd->payload);
  Put32(&mvhd->payload[mf.timescale], movieTimescale);
  if (mf.wide)
    Put64(&mvhd->payload[mf.duration], static_cast<std::uint64_t>(movieDuration));
  else
    Put32(&mvhd->payload[mf.duration], static_cast<std::uint32_t>(movieDuration));

  std::size_t trackIndex = 0;
  for (Box& trak : moov.children) {
    if (trak.type != "trak") continue;
    if (trackIndex >= edits.size()) return Fail("edit lists do not match the tracks");
    const std::vector<EditEntry>& list = edits[trackIndex++];
    Box* tkhd = Child(trak, "tkhd");
    if (!tkhd || tkhd->payload.size() < 32) return Fail("incomplete track header");
    bool wide = false;
    const std::size_t d = TkhdDuration(tkhd->payload, wide);
    if (wide)
      Put64(&tkhd->payload[d], static_cast<std::uint64_t>(movieDuration));
    else
      Put32(&tkhd->payload[d], static_cast<std::uint32_t>(movieDuration));

    // Drop the muxer's edit list and put ours right after the track header.
    std::vector<Box> kept;
    for (Box& c : trak.children)
      if (c.type != "edts") kept.push_back(std::move(c));
    trak.children = std::move(kept);
    if (list.empty()) continue;
    bool v1 = false;
    for (const EditEntry& e : list)
      v1 = v1 || e.duration > std::numeric_limits<std::uint32_t>::max() ||
           e.mediaTime > std::numeric_limits<std::int32_t>::max() ||
           e.mediaTime < std::numeric_limits<std::int32_t>::min();
    Box elst;
    elst.type = "elst";
    Append32(elst.payload, v1 ? 0x01000000u : 0u);
    Append32(elst.payload, static_cast<std::uint32_t>(list.size()));
    for (const EditEntry& e : list) {
      if (v1) {
        Append64(elst.payload, static_cast<std::uint64_t>(e.duration));
        Append64(elst.payload, static_cast<std::uint64_t>(e.mediaTime));
      } else {
        Append32(elst.payload, static_cast<std::uint32_t>(e.duration));
        Append32(elst.payload, static_cast<std::uint32_t>(static_cast<std::int32_t>(e.mediaTime)));
      }
      Append32(elst.payload, 0x00010000u);  // rate 1.0
    }
    Box edts;
    edts.type = "edts";
    edts.container = true;
    edts.children.push_back(std::move(elst));
    std::size_t at = 0;
    while (at < trak.children.size() && trak.children[at].type != "tkhd") ++at;
    trak.children.insert(trak.children.begin() + static_cast<std::ptrdiff_t>(std::min(at + 1, trak.children.size())),
                         std::move(edts));
  }
  if (trackIndex != edits.size()) return Fail("edit lists do not match the tracks");

  return WriteHeaderFirst(fd, layout, moov);
}

Status PutMovieHeaderFirst(const std::string& path) {
  Fd fd(::open(path.c_str(), O_RDWR | O_CLOEXEC));
  if (fd.get() < 0) return Posix(errno, path);
  Layout layout;
  auto moov = ReadMoov(fd.get(), &layout);
  if (!moov) return moov.error();
  if (layout.headerFirst) return std::nullopt;
  return WriteHeaderFirst(fd, layout, *moov);
}

Result<std::vector<std::uint8_t>> MovieHeaderAt(const std::vector<std::uint8_t>& moovBox, std::uint64_t at,
                                                std::uint64_t dataStart) {
  std::vector<Box> boxes;
  if (!ParseBoxes(moovBox.data(), moovBox.size(), boxes) || boxes.size() != 1 || boxes[0].type != "moov")
    return Fail("malformed movie header");
  return PlaceHeader(std::move(boxes[0]), at, dataStart);
}

Result<std::vector<std::string>> TopLevelBoxes(const std::string& path) {
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return Posix(errno, path);
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return Posix(errno, "stat");
  const std::uint64_t fileSize = static_cast<std::uint64_t>(st.st_size);
  std::vector<std::string> types;
  std::uint64_t pos = 0;
  while (pos + 8 <= fileSize) {
    std::uint8_t h[16];
    if (!PreadAll(fd.get(), h, 8, static_cast<off_t>(pos))) return Fail("cannot read box header");
    std::uint64_t size = Get32(h);
    types.emplace_back(reinterpret_cast<char*>(h + 4), 4);
    if (size == 1) {
      if (!PreadAll(fd.get(), h + 8, 8, static_cast<off_t>(pos + 8))) return Fail("cannot read box header");
      size = Get64(h + 8);
    } else if (size == 0) {
      size = fileSize - pos;
    }
    if (size < 8 || size > fileSize - pos) return Fail("malformed top-level box");
    pos += size;
  }
  if (pos != fileSize) return Fail("trailing bytes after the last box");
  return types;
}

Result<std::vector<std::vector<EditEntry>>> ReadEditLists(const std::string& path) {
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return Posix(errno, path);
  auto moov = ReadMoov(fd.get());
  if (!moov) return moov.error();
  std::vector<std::vector<EditEntry>> all;
  for (const Box& trak : moov->children) {
    if (trak.type != "trak") continue;
    std::vector<EditEntry> list;
    if (const Box* elst = Path(trak, {"edts", "elst"}); elst && elst->payload.size() >= 8) {
      const auto& p = elst->payload;
      const bool v1 = p[0] == 1;
      const std::uint32_t n = Get32(&p[4]);
      const std::size_t entry = v1 ? 20 : 12;
      if (p.size() < 8 + n * entry) return Fail("malformed edit list");
      for (std::uint32_t i = 0; i < n; ++i) {
        const std::uint8_t* e = &p[8 + i * entry];
        if (v1)
          list.push_back({std::int64_t(Get64(e)), std::int64_t(Get64(e + 8))});
        else
          list.push_back({std::int64_t(Get32(e)), std::int64_t(std::int32_t(Get32(e + 4)))});
      }
    }
    all.push_back(std::move(list));
  }
  return all;
}

}  // namespace kf::mp4
