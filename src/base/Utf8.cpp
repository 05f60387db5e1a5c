#include "base/Utf8.h"

#include <cstdint>

namespace kf {
namespace {

// Decodes one code point at s[i]. Returns its byte length, or 0 when the
// sequence is malformed.
std::size_t DecodeOne(std::string_view s, std::size_t i, char32_t& cp) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  if (b0 < 0x80) {
    cp = b0;
    return 1;
  }
  std::size_t len;
  char32_t min;
  if ((b0 & 0xE0) == 0xC0) {
    len = 2, cp = b0 & 0x1F, min = 0x80;
  } else if ((b0 & 0xF0) == 0xE0) {
    len = 3, cp = b0 & 0x0F, min = 0x800;
  } else if ((b0 & 0xF8) == 0xF0) {
    len = 4, cp = b0 & 0x07, min = 0x10000;
  } else {
    return 0;
  }
  if (i + len > s.size()) return 0;
  for (std::size_t k = 1; k < len; ++k) {
    const auto b = static_cast<unsigned char>(s[i + k]);
    if ((b & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return len;
}

bool IsSpaceOrNewline(char32_t c) {
  if (c >= 0x09 && c <= 0x0D) return true;
  switch (c) {
    case 0x20:
    case 0x85:
    case 0xA0:
    case 0x1680:
    case 0x2028:
    case 0x2029:
    case 0x202F:
    case 0x205F:
    case 0x3000:
      return true;
    default:
      return c >= 0x2000 && c <= 0x200A;
  }
}

}  // namespace

bool IsValidUtf8(std::string_view s) {
  char32_t cp;
  for (std::size_t i = 0; i < s.size();) {
    const std::size_t n = DecodeOne(s, i, cp);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

std::size_t Utf16Length(std::string_view s) {
  std::size_t units = 0;
  char32_t cp;
  for (std::size_t i = 0; i < s.size();) {
    const std::size_t n = DecodeOne(s, i, cp);
    if (n == 0) {
      ++units, ++i;
      continue;
    }
    units += cp >= 0x10000 ? 2 : 1;
    i += n;
  }
  return units;
}

std::string_view TrimWhitespaceAndNewlines(std::string_view s) {
  // Leading side: decode forward.
  std::size_t begin = 0;
  char32_t cp;
  while (begin < s.size()) {
    const std::size_t n = DecodeOne(s, begin, cp);
    if (n == 0 || !IsSpaceOrNewline(cp)) break;
    begin += n;
  }
  // Trailing side: step back to the start of each sequence.
  std::size_t end = s.size();
  while (end > begin) {
    std::size_t start = end - 1;
    while (start > begin && (static_cast<unsigned char>(s[start]) & 0xC0) == 0x80 && end - start < 4) --start;
    const std::size_t n = DecodeOne(s, start, cp);
    if (n == 0 || start + n != end || !IsSpaceOrNewline(cp)) break;
    end = start;
  }
  return s.substr(begin, end - begin);
}

std::string_view Utf8PrefixWithin(std::string_view s, std::size_t maxBytes) {
  if (s.size() <= maxBytes) return s;
  std::size_t end = maxBytes;
  // Never cut inside a sequence: back up over continuation bytes.
  while (end > 0 && (static_cast<unsigned char>(s[end]) & 0xC0) == 0x80) --end;
  return s.substr(0, end);
}

}  // namespace kf
