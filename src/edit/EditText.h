// Texts of the edit model: the time text, UTF-8 checks, and the small
// locale-independent number formatting the status texts need.
// Pure functions; any thread.
#pragma once

#include <string>
#include <string_view>

namespace mg {

// Time text "MM:SS.mmm", or "HH:MM:SS.mmm" from one hour on (hours are not
// wrapped). Seconds are rounded to whole milliseconds, halves away from zero.
// Negative, not-a-number and infinite seconds print as "00:00.000"; values too
// large for the integer range print as the largest representable time.
std::string Clock(double seconds);

// The bytes as a string when they are valid UTF-8 (no overlong forms, no
// surrogates, nothing above U+10FFFF), else the empty string.
std::string String(std::string_view bytes);

}  // namespace mg

namespace kerfline {

// True when the bytes are valid UTF-8 (see mg::String).
bool IsValidUtf8(std::string_view bytes);

// The text without leading and trailing white space and line breaks: ASCII
// space, tab, LF, VT, FF, CR, and the Unicode separators U+0085, U+00A0,
// U+1680, U+2000-U+200A, U+2028, U+2029, U+202F, U+205F and U+3000. Bytes that
// are not valid UTF-8 are never removed.
std::string TrimWhitespace(std::string_view text);

// printf "%.1f" in the C locale, whatever the process locale.
std::string FormatFixed1(double v);

}  // namespace kerfline
