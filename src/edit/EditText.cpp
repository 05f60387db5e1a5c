#include "edit/EditText.h"

#include "base/Utf8.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>

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

bool IsValidUtf8(std::string_view bytes) { return kf::IsValidUtf8(bytes); }

std::string TrimWhitespace(std::string_view text) { return std::string(kf::TrimWhitespaceAndNewlines(text)); }

std::string FormatFixed1(double v) {
  char buf[400];  // "%.1f" of the largest double has 310 digits
  const std::to_chars_result r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, 1);
  return std::string(buf, r.ptr);
}

}  // namespace kerfline
