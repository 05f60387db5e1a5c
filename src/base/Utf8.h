// Small UTF-8 helpers shared by the pure rules (names, menu titles).
//
// Strings are UTF-8 byte strings throughout the core. These helpers never
// throw and never allocate more than their result.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kf {

// True when the bytes are well-formed UTF-8 (no overlong forms, no
// surrogates, nothing above U+10FFFF).
bool IsValidUtf8(std::string_view s);

// Number of UTF-16 code units the text would take (what the toolkit's
// string lengths count). Invalid bytes count one unit each.
std::size_t Utf16Length(std::string_view s);

// Removes white space and line breaks from both ends: ASCII tab, line feed,
// vertical tab, form feed, carriage return, U+0085 and the Unicode space,
// line and paragraph separators (Zs, Zl, Zp).
std::string_view TrimWhitespaceAndNewlines(std::string_view s);

// The longest prefix of s that is at most maxBytes long and does not end in
// the middle of a UTF-8 sequence.
std::string_view Utf8PrefixWithin(std::string_view s, std::size_t maxBytes);

}  // namespace kf
