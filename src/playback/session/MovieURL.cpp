#include "playback/session/MovieURL.h"

#include <sys/stat.h>

#include <charconv>
#include <cmath>
#include <vector>

namespace kf {
namespace {

// Seconds between the Unix epoch and 1 January 2001 UTC.
constexpr double kReferenceDateOffset = 978307200.0;

std::string FormatFixed(double v, int precision) {
  if (!std::isfinite(v)) v = 0;
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, precision);
  if (r.ec != std::errc()) return "0";
  return std::string(buf, r.ptr);
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::optional<std::string> PercentDecode(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '%') {
      out.push_back(s[i]);
      continue;
    }
    if (i + 2 >= s.size()) return std::nullopt;
    const int hi = HexValue(s[i + 1]), lo = HexValue(s[i + 2]);
    if (hi < 0 || lo < 0) return std::nullopt;
    out.push_back(static_cast<char>(hi * 16 + lo));
    i += 2;
  }
  return out;
}

bool StartsWith(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && s.substr(0, prefix.size()) == prefix;
}

bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
  if (s.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    char c = s[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != prefix[i]) return false;
  }
  return true;
}

}  // namespace

std::string StandardizePath(std::string_view absolutePath) {
  std::vector<std::string_view> parts;
  std::size_t i = 0;
  while (i < absolutePath.size()) {
    std::size_t j = absolutePath.find('/', i);
    if (j == std::string_view::npos) j = absolutePath.size();
    std::string_view part = absolutePath.substr(i, j - i);
    if (part.empty() || part == ".") {
      // repeated slash or current folder
    } else if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else {
      parts.push_back(part);
    }
    i = j + 1;
  }
  std::string out;
  for (auto p : parts) {
    out.push_back('/');
    out.append(p);
  }
  return out.empty() ? "/" : out;
}

std::optional<MovieURL> ParseMovieURL(std::string_view address) {
  if (address.empty() || address.find('\0') != std::string_view::npos) return std::nullopt;
  if (address.front() == '/') return MovieURL{MovieURL::Kind::File, StandardizePath(address)};
  if (StartsWithNoCase(address, "file:")) {
    std::string_view rest = address.substr(5);
    if (StartsWith(rest, "//")) {
      rest.remove_prefix(2);
      const std::size_t slash = rest.find('/');
      if (slash == std::string_view::npos) return std::nullopt;
      const std::string_view host = rest.substr(0, slash);
      if (!host.empty() && host != "localhost") return std::nullopt;
      rest.remove_prefix(slash);
    }
    // A query or fragment is not part of the path.
    const std::size_t end = rest.find_first_of("?#");
    if (end != std::string_view::npos) rest = rest.substr(0, end);
    auto decoded = PercentDecode(rest);
    if (!decoded || decoded->empty() || decoded->front() != '/' || decoded->find('\0') != std::string::npos)
      return std::nullopt;
    return MovieURL{MovieURL::Kind::File, StandardizePath(*decoded)};
  }
  if (StartsWith(address, "kerfline://larder")) {
    const std::string_view after = address.substr(std::string_view("kerfline://larder").size());
    if (after.empty() || after.front() == '/' || after.front() == '?' || after.front() == '#')
      return MovieURL{MovieURL::Kind::Handoff, std::string(address)};
  }
  return std::nullopt;
}

std::string MovieURL::path() const {
  if (isFile()) return text;
  std::string_view rest = std::string_view(text).substr(std::string_view("kerfline://larder").size());
  const std::size_t end = rest.find_first_of("?#");
  if (end != std::string_view::npos) rest = rest.substr(0, end);
  return PercentDecode(rest).value_or(std::string(rest));
}

std::string MovieURL::lastPathComponent() const {
  std::string p = path();
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  const std::size_t slash = p.rfind('/');
  if (slash == std::string::npos) return p;
  if (p == "/") return isFile() ? "/" : "";
  return p.substr(slash + 1);
}

std::optional<FileAttributes> FileAttributesAtPath(const std::string& path) {
  struct stat st {};
  if (path.empty() || ::stat(path.c_str(), &st) != 0) return std::nullopt;
  FileAttributes a;
  a.size = static_cast<std::uint64_t>(st.st_size);
  a.modificationTime = static_cast<double>(st.st_mtim.tv_sec) - kReferenceDateOffset +
                       static_cast<double>(st.st_mtim.tv_nsec) / 1e9;
  return a;
}

std::string IdentityKeyText(const std::string& path, const std::optional<FileAttributes>& attributes) {
  const std::uint64_t size = attributes ? attributes->size : 0;
  const double mtime = attributes ? attributes->modificationTime : 0;
  return path + "|" + std::to_string(size) + "|" + FormatFixed(mtime, 6);
}

std::string MediaInfoText(double displayWidth, double displayHeight, std::uint64_t fileBytes) {
  return FormatFixed(displayWidth, 0) + "\u00D7" + FormatFixed(displayHeight, 0) + " \u00B7 " +
         FormatFixed(static_cast<double>(fileBytes) / 1048576.0, 1) + " MB";
}

}  // namespace kf
