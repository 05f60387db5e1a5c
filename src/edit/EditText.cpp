#include "edit/EditText.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>

namespace {

// Decodes one UTF-8 sequence at p (n bytes available). Returns its length and
// stores the code point, or returns 0 when the bytes there are not valid.
std::size_t DecodeUtf8(const unsigned char* p, std::size_t n, char32_t& cp) {
  if (n == 0) return 0;
  const unsigned char b0 = p[0];
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
  if (n < len) return 0;
  for (std::size_t k = 1; k < len; ++k) {
    if ((p[k] & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (p[k] & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return len;
}

bool IsSpace(char32_t c) {
  switch (c) {
    case 0x20:
    case 0x09:
    case 0x0A:
    case 0x0B:
    case 0x0C:
    case 0x0D:
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

namespace mg {

std::string Clock(double seconds) {
  double ms = 0;
  if (std::isfinite(seconds) && seconds > 0) ms = std::round(seconds * 1000);
  // A double at or above 2^63 does not fit a long; such times show the cap.
  long total = ms >= 9223372036854775808.0 ? std::numeric_limits<long>::max() : static_cast<long>(ms);
  const long h = total / 3600000;
  const long m = total % 3600000 / 60000;
  const long s = total % 60000 / 1000;
  const long f = total % 1000;
  char buf[64];
  if (total >= 3600000) {
    std::snprintf(buf, sizeof buf, "%02ld:%02ld:%02ld.%03ld", h, m, s, f);
  } else {
    std::snprintf(buf, sizeof buf, "%02ld:%02ld.%03ld", m, s, f);
  }
  return buf;
}

std::string String(std::string_view bytes) {
  if (!kerfline::IsValidUtf8(bytes)) return {};
  return std::string(bytes);
}

}  // namespace mg

namespace kerfline {

bool IsValidUtf8(std::string_view bytes) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  std::size_t n = bytes.size();
  while (n > 0) {
    // Plain ASCII runs are the common case for clip names.
    if (*p < 0x80) {
      ++p, --n;
      continue;
    }
    char32_t cp;
    const std::size_t len = DecodeUtf8(p, n, cp);
    if (len == 0) return false;
    p += len, n -= len;
  }
  return true;
}

std::string TrimWhitespace(std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end) {
    char32_t cp;
    const std::size_t len = DecodeUtf8(p + begin, end - begin, cp);
    if (len == 0 || !IsSpace(cp)) break;
    begin += len;
  }
  while (end > begin) {
    // Find the start of the last sequence: at most three continuation bytes back.
    std::size_t start = end - 1;
    while (start > begin && end - start < 4 && (p[start] & 0xC0) == 0x80) --start;
    char32_t cp;
    const std::size_t len = DecodeUtf8(p + start, end - start, cp);
    if (len != end - start || !IsSpace(cp)) break;
    end = start;
  }
  return std::string(text.substr(begin, end - begin));
}

std::string FormatFixed1(double v) {
  char buf[400];  // "%.1f" of the largest double has 310 digits
  const std::to_chars_result r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, 1);
  return std::string(buf, r.ptr);
}

}  // namespace kerfline
