#include "platform/export/NalUnits.h"

#include <algorithm>

namespace kf::exportimpl {
namespace {

// Reads unsigned Exp-Golomb numbers from the start of a unit's payload
// (emulation-prevention bytes removed first).
class BitReader {
 public:
  explicit BitReader(Bytes rbsp) : data_(std::move(rbsp)) {}
  std::optional<std::uint32_t> bits(int n) {
    std::uint32_t v = 0;
    for (int i = 0; i < n; ++i) {
      if (pos_ >= data_.size() * 8) return std::nullopt;
      v = (v << 1) | ((data_[pos_ / 8] >> (7 - pos_ % 8)) & 1);
      ++pos_;
    }
    return v;
  }
  std::optional<std::uint32_t> ue() {
    int zeros = 0;
    while (true) {
      auto b = bits(1);
      if (!b) return std::nullopt;
      if (*b) break;
      if (++zeros > 31) return std::nullopt;
    }
    auto rest = bits(zeros);
    if (!rest) return std::nullopt;
    return ((1u << zeros) - 1) + *rest;
  }

 private:
  Bytes data_;
  std::size_t pos_ = 0;
};

}  // namespace

Bytes UnitPayload(const Bytes& unit, std::size_t headerBytes) {
  Bytes out;
  int zeros = 0;
  for (std::size_t i = headerBytes; i < unit.size(); ++i) {
    if (zeros >= 2 && unit[i] == 3) {
      zeros = 0;
      continue;
    }
    zeros = unit[i] == 0 ? zeros + 1 : 0;
    out.push_back(unit[i]);
  }
  return out;
}

Bytes UnitFromPayload(const Bytes& header, const Bytes& rbsp) {
  Bytes out = header;
  out.reserve(header.size() + rbsp.size() + rbsp.size() / 64 + 1);
  int zeros = 0;
  for (std::uint8_t b : rbsp) {
    if (zeros >= 2 && b <= 3) {
      out.push_back(3);
      zeros = 0;
    }
    zeros = b == 0 ? zeros + 1 : 0;
    out.push_back(b);
  }
  if (!rbsp.empty() && rbsp.back() == 0) out.push_back(3);
  return out;
}

int NalLengthSize(const AVCodecParameters* par) {
  const std::uint8_t* x = par->extradata;
  if (par->codec_id == AV_CODEC_ID_H264 && par->extradata_size >= 7 && x[0] == 1) return (x[4] & 3) + 1;
  if (par->codec_id == AV_CODEC_ID_HEVC && par->extradata_size >= 23 && x[0] == 1) return (x[21] & 3) + 1;
  return 0;
}

void MarkBrokenLink(std::uint8_t* data, int size, int lengthSize) {
  constexpr int kBlaWithLeading = 16;
  int at = 0;
  while (size - at > lengthSize) {
    std::uint32_t n = 0;
    for (int i = 0; i < lengthSize; ++i) n = (n << 8) | data[at + i];
    at += lengthSize;
    if (n > static_cast<std::uint32_t>(size - at)) return;
    std::uint8_t* unit = data + at;
    if (n >= 3 && ((unit[0] >> 1) & 0x3F) == kHevcCra) {
      unit[0] = static_cast<std::uint8_t>((unit[0] & 0x81) | (kBlaWithLeading << 1));
      // Byte 2 starts the slice header: first_slice_segment_in_pic_flag,
      // then the flag. A first slice keeps its top bit, so the byte stays
      // clear of start-code patterns; others are left as they are.
      if ((unit[2] & 0x80) != 0) unit[2] = static_cast<std::uint8_t>(unit[2] & ~0x40);
    }
    at += static_cast<int>(n);
  }
}

std::vector<Bytes> SplitAnnexB(const std::uint8_t* data, int size) {
  std::vector<Bytes> units;
  const int n = std::max(size, 0);
  int i = 0;
  auto startCodeAt = [&](int p) { return p + 2 < n && data[p] == 0 && data[p + 1] == 0 && data[p + 2] == 1; };
  while (i < n && !startCodeAt(i)) ++i;
  while (i < n) {
    i += 3;
    int end = i;
    while (end < n && !startCodeAt(end)) ++end;
    int last = end;
    // Trailing zeros belong to the next start code (four-byte form).
    while (last > i && data[last - 1] == 0 && end < n) --last;
    if (last > i) units.emplace_back(data + i, data + last);
    i = end;
  }
  return units;
}

std::optional<std::vector<Bytes>> SplitLengthPrefixed(const std::uint8_t* data, int size, int lengthSize) {
  std::vector<Bytes> units;
  int at = 0;
  while (at < size) {
    if (size - at < lengthSize) return std::nullopt;
    std::uint32_t n = 0;
    for (int i = 0; i < lengthSize; ++i) n = (n << 8) | data[at + i];
    at += lengthSize;
    if (n > static_cast<std::uint32_t>(size - at)) return std::nullopt;
    units.emplace_back(data + at, data + at + n);
    at += static_cast<int>(n);
  }
  return units;
}

Bytes JoinLengthPrefixed(const std::vector<Bytes>& units, int lengthSize) {
  Bytes out;
  for (const Bytes& u : units) {
    for (int i = lengthSize - 1; i >= 0; --i) out.push_back(static_cast<std::uint8_t>(u.size() >> (8 * i)));
    out.insert(out.end(), u.begin(), u.end());
  }
  return out;
}

int UnitType(const Bytes& unit, bool hevc) {
  if (unit.empty()) return -1;
  return hevc ? (unit[0] >> 1) & 0x3F : unit[0] & 0x1F;
}

std::optional<std::vector<Bytes>> RecordUnits(const AVCodecParameters* par) {
  const std::uint8_t* x = par->extradata;
  const int size = par->extradata_size;
  std::vector<Bytes> units;
  auto take = [&](int& at) -> bool {
    if (size - at < 2) return false;
    const int n = (x[at] << 8) | x[at + 1];
    at += 2;
    if (size - at < n) return false;
    units.emplace_back(x + at, x + at + n);
    at += n;
    return true;
  };
  if (par->codec_id == AV_CODEC_ID_H264) {
    if (size < 7 || x[0] != 1) return std::nullopt;
    int at = 5;
    const int sps = x[at++] & 0x1F;
    for (int i = 0; i < sps; ++i)
      if (!take(at)) return std::nullopt;
    if (at >= size) return std::nullopt;
    const int pps = x[at++];
    for (int i = 0; i < pps; ++i)
      if (!take(at)) return std::nullopt;
    return units;
  }
  if (par->codec_id == AV_CODEC_ID_HEVC) {
    if (size < 23 || x[0] != 1) return std::nullopt;
    int at = 22;
    const int arrays = x[at++];
    for (int a = 0; a < arrays; ++a) {
      if (size - at < 3) return std::nullopt;
      at += 1;  // completeness and unit type
      const int count = (x[at] << 8) | x[at + 1];
      at += 2;
      for (int i = 0; i < count; ++i)
        if (!take(at)) return std::nullopt;
    }
    return units;
  }
  return std::nullopt;
}

std::optional<int> FreeAvcParameterSetId(const std::vector<Bytes>& units) {
  std::vector<bool> used(32, false);
  for (const Bytes& u : units) {
    const int type = UnitType(u, false);
    if (type != kAvcSps && type != kAvcPps) continue;
    BitReader r(UnitPayload(u, 1));
    if (type == kAvcSps && !r.bits(24)) return std::nullopt;
    auto id = r.ue();
    if (!id) return std::nullopt;
    if (*id < 32) used[*id] = true;
  }
  for (int i = 0; i < 32; ++i)
    if (!used[static_cast<std::size_t>(i)]) return i;
  return std::nullopt;
}

std::optional<Bytes> AddToAvcC(const std::uint8_t* avcc, int size, const std::vector<Bytes>& extra) {
  if (size < 7 || avcc[0] != 1) return std::nullopt;
  std::vector<Bytes> sps, pps;
  int at = 5;
  auto take = [&](std::vector<Bytes>& into) -> bool {
    if (size - at < 2) return false;
    const int n = (avcc[at] << 8) | avcc[at + 1];
    at += 2;
    if (size - at < n) return false;
    into.emplace_back(avcc + at, avcc + at + n);
    at += n;
    return true;
  };
  const int spsCount = avcc[at++] & 0x1F;
  for (int i = 0; i < spsCount; ++i)
    if (!take(sps)) return std::nullopt;
  if (at >= size) return std::nullopt;
  const int ppsCount = avcc[at++];
  for (int i = 0; i < ppsCount; ++i)
    if (!take(pps)) return std::nullopt;
  const Bytes trailing(avcc + at, avcc + size);  // chroma and bit-depth fields of the high profiles
  for (const Bytes& u : extra) {
    if (UnitType(u, false) == kAvcSps) sps.push_back(u);
    if (UnitType(u, false) == kAvcPps) pps.push_back(u);
  }
  if (sps.size() > 31 || pps.size() > 255) return std::nullopt;
  Bytes out(avcc, avcc + 5);
  auto put = [&](const std::vector<Bytes>& list) {
    for (const Bytes& u : list) {
      if (u.size() > 0xFFFF) return false;
      out.push_back(static_cast<std::uint8_t>(u.size() >> 8));
      out.push_back(static_cast<std::uint8_t>(u.size()));
      out.insert(out.end(), u.begin(), u.end());
    }
    return true;
  };
  out.push_back(static_cast<std::uint8_t>(0xE0 | sps.size()));
  if (!put(sps)) return std::nullopt;
  out.push_back(static_cast<std::uint8_t>(pps.size()));
  if (!put(pps)) return std::nullopt;
  out.insert(out.end(), trailing.begin(), trailing.end());
  return out;
}

}  // namespace kf::exportimpl
