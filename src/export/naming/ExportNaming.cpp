#include "export/naming/ExportNaming.h"

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <random>

#include "base/Utf8.h"

namespace kf {
namespace {

bool IsReplacedInClipName(char c) {
  switch (c) {
    case '/':
    case ':':
    case '\\':
    case '?':
    case '%':
    case '*':
    case '|':
    case '"':
    case '<':
    case '>':
    // NUL would end the name early in every POSIX call.
    case '\0':
      return true;
    default:
      return false;
  }
}

std::string Number2(std::size_t n) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%02zu", n);
  return buf;
}

bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

}  // namespace

std::string safeClipName(std::string_view name, std::string_view fallback) {
  std::string_view trimmed = TrimWhitespaceAndNewlines(name);
  if (trimmed.empty()) trimmed = fallback;
  std::string out(trimmed);
  for (char& c : out) {
    if (IsReplacedInClipName(c)) c = '-';
  }
  while (!out.empty() && (out.back() == ' ' || out.back() == '.')) out.pop_back();
  if (out.empty()) return std::string(fallback);
  return out;
}

std::string clipFileName(std::size_t index, std::string_view name, std::string_view extension) {
  const std::size_t number = index + 1;
  const std::string suffix = "." + std::string(extension);
  std::string_view trimmed = IsValidUtf8(name) ? TrimWhitespaceAndNewlines(name) : std::string_view{};
  if (trimmed.empty()) return "clip-" + Number2(number) + suffix;
  const std::string prefix = Number2(number) + " - ";
  const std::string safe = safeClipName(trimmed, "clip");
  const std::size_t room = kMaxFileNameBytes - prefix.size() - suffix.size();
  return prefix + std::string(Utf8PrefixWithin(safe, room)) + suffix;
}

std::vector<std::string> clipFileNames(const std::vector<std::string>& names, std::size_t count,
                                       std::string_view extension) {
  std::vector<std::string> out;
  out.reserve(count);
  for (std::size_t i = 0; i < count; ++i) out.push_back(clipFileName(i, i < names.size() ? names[i] : "", extension));
  return out;
}

FileNameParts splitFileName(std::string_view fileName) {
  const std::size_t dot = fileName.rfind('.');
  if (dot == std::string_view::npos || dot == 0 || dot + 1 == fileName.size()) {
    return {std::string(fileName), {}};
  }
  return {std::string(fileName.substr(0, dot)), std::string(fileName.substr(dot + 1))};
}

std::string lastPathComponent(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  if (path == "/") return "/";
  const std::size_t slash = path.rfind('/');
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::string temporarySiblingName(std::string_view sourceFileName, std::string_view uuid) {
  FileNameParts parts = splitFileName(sourceFileName);
  if (parts.extension.empty()) parts.extension = "mp4";
  constexpr std::string_view kTag = ".kerfline-tmp.";
  const std::size_t fixed = 2 + uuid.size() + kTag.size();  // leading ".", "." after base
  // A long source name must not push the sibling past the file-name limit:
  // shorten the base first, the extension only when it alone is too long.
  std::string_view ext = parts.extension;
  if (fixed + ext.size() > kMaxFileNameBytes - 1) ext = Utf8PrefixWithin(ext, kMaxFileNameBytes - 1 - fixed);
  const std::string_view base = Utf8PrefixWithin(parts.base, kMaxFileNameBytes - fixed - ext.size());
  std::string out;
  out.reserve(fixed + base.size() + ext.size());
  out += '.';
  out += base;
  out += '.';
  out += uuid;
  out += kTag;
  out += ext;
  return out;
}

std::string temporarySiblingPath(std::string_view sourcePath, std::string_view uuid) {
  while (sourcePath.size() > 1 && sourcePath.back() == '/') sourcePath.remove_suffix(1);
  const std::size_t slash = sourcePath.rfind('/');
  const std::string_view folder =
      slash == std::string_view::npos ? std::string_view{} : sourcePath.substr(0, slash + 1);
  const std::string_view name = slash == std::string_view::npos ? sourcePath : sourcePath.substr(slash + 1);
  return std::string(folder) + temporarySiblingName(name, uuid);
}

std::string newUuidString() {
  // One engine for the process; the mutex guards the engine's state.
  static std::mutex mutex;
  static std::mt19937_64 engine{[] {
    std::random_device rd;
    std::seed_seq seq{rd(), rd(), rd(), rd(), rd(), rd(), rd(), rd()};
    return std::mt19937_64(seq);
  }()};
  std::uint64_t hi, lo;
  {
    std::lock_guard<std::mutex> lock(mutex);
    hi = engine();
    lo = engine();
  }
  hi = (hi & ~0xF000ull) | 0x4000ull;              // version 4
  lo = (lo & ~(0xC0ull << 56)) | (0x80ull << 56);  // RFC 4122 variant
  char buf[37];
  std::snprintf(
      buf, sizeof buf, "%08llX-%04llX-%04llX-%04llX-%012llX", static_cast<unsigned long long>(hi >> 32),
      static_cast<unsigned long long>((hi >> 16) & 0xFFFF), static_cast<unsigned long long>(hi & 0xFFFF),
      static_cast<unsigned long long>(lo >> 48), static_cast<unsigned long long>(lo & 0xFFFFFFFFFFFFull));
  return buf;
}

OutputFileType outputFileTypeForPath(std::string_view path) {
  const FileNameParts parts = splitFileName(lastPathComponent(path));
  if (EqualsIgnoringAsciiCase(parts.extension, "mov")) return OutputFileType::QuickTimeMovie;
  if (EqualsIgnoringAsciiCase(parts.extension, "mkv")) return OutputFileType::Matroska;
  if (EqualsIgnoringAsciiCase(parts.extension, "webm")) return OutputFileType::WebM;
  return OutputFileType::MPEG4;
}

const char* muxerName(OutputFileType type) {
  switch (type) {
    case OutputFileType::QuickTimeMovie: return "mov";
    case OutputFileType::Matroska: return "matroska";
    case OutputFileType::WebM: return "webm";
    case OutputFileType::MPEG4: break;
  }
  return "mp4";
}

std::string proposedExportName(std::string_view sourceFileName, bool byteCopy, std::string_view extension) {
  FileNameParts parts = splitFileName(sourceFileName);
  if (parts.base.empty()) parts.base = "Kerfline";
  if (!byteCopy) return parts.base + "-cut." + std::string(extension);
  if (parts.extension.empty()) parts.extension = "mov";
  return parts.base + "-copy." + parts.extension;
}

}  // namespace kf
