// Synthetic MP4 box trees for the source tests: small, exact, and built in
// memory, so each test states the layout it needs.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace kf::test {

using Buf = std::vector<std::uint8_t>;

inline void PutU32(Buf& b, std::uint32_t v) {
  for (int i = 3; i >= 0; --i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
inline void PutU64(Buf& b, std::uint64_t v) {
  for (int i = 7; i >= 0; --i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
inline Buf Cat(std::initializer_list<Buf> parts) {
  Buf out;
  for (const Buf& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}
// A box with a 32-bit size (or a 64-bit one when `large`).
inline Buf Box(const std::string& type, const Buf& payload, bool large = false) {
  Buf b;
  if (large) {
    PutU32(b, 1);
    b.insert(b.end(), type.begin(), type.end());
    PutU64(b, payload.size() + 16);
  } else {
    PutU32(b, static_cast<std::uint32_t>(payload.size() + 8));
    b.insert(b.end(), type.begin(), type.end());
  }
  b.insert(b.end(), payload.begin(), payload.end());
  return b;
}
// A visual sample entry: 78 bytes of fields, then a configuration child.
inline Buf SampleEntry(const std::string& type) {
  Buf fields(78, 0);
  return Box(type, Cat({fields, Box("hvcC", Buf(23, 0x11))}));
}
// A handler box naming the track's kind ("vide", "soun", ...).
inline Buf Hdlr(const std::string& handler) {
  Buf p(8, 0);  // version, flags, pre-defined
  p.insert(p.end(), handler.begin(), handler.end());
  p.resize(p.size() + 12, 0);  // reserved, then an empty name
  return Box("hdlr", p);
}
inline Buf Stsd(std::initializer_list<Buf> entries) {
  Buf payload;
  PutU32(payload, 0);
  PutU32(payload, static_cast<std::uint32_t>(entries.size()));
  for (const Buf& e : entries) payload.insert(payload.end(), e.begin(), e.end());
  return Box("stsd", payload);
}
inline Buf Track(const Buf& stsd) {
  return Box("trak",
             Cat({Box("tkhd", Buf(84, 0)),
                  Box("mdia", Cat({Box("mdhd", Buf(24, 0)),
                                   Box("minf", Box("stbl", Cat({stsd, Box("stts", Buf(8, 0))})))}))}));
}
inline Buf Ftyp() {
  return Box("ftyp", Buf{'i', 's', 'o', 'm', 0, 0, 2, 0, 'i', 's', 'o', 'm'});
}
inline Buf Mdat(std::size_t n, std::uint32_t seed = 1) {
  Buf payload(n);
  std::mt19937 rng(seed);
  for (auto& c : payload) c = static_cast<std::uint8_t>(rng());
  return Box("mdat", payload);
}

// Offsets of every occurrence of a four-character code.
inline std::vector<std::uint64_t> Find(const Buf& file, const std::string& code) {
  std::vector<std::uint64_t> at;
  for (std::size_t i = 0; i + 4 <= file.size(); ++i)
    if (std::equal(code.begin(), code.end(), file.begin() + static_cast<std::ptrdiff_t>(i))) at.push_back(i);
  return at;
}

}  // namespace kf::test
