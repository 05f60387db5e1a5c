#include "app/rules/RecentlyUsed.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <vector>

namespace kf {
namespace {

constexpr std::string_view kBookmarkNs = "http://www.freedesktop.org/standards/desktop-bookmarks";
constexpr std::string_view kMimeNs = "http://www.freedesktop.org/standards/shared-mime-info";
constexpr const char* kDomain = "Kerfline";

Error Unrecognised() { return Error{kDomain, 1, "The recently used list is not a document Kerfline can edit"}; }

std::string LowerAscii(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

std::string EscapeXml(std::string_view s) {
  std::string out;
  for (char c : s) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&apos;"; break;
      default: out += c;
    }
  }
  return out;
}

std::optional<std::string> UnescapeXml(std::string_view s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '&') {
      out += s[i];
      continue;
    }
    const auto semi = s.find(';', i);
    if (semi == std::string_view::npos) return std::nullopt;
    const std::string_view e = s.substr(i + 1, semi - i - 1);
    if (e == "amp") out += '&';
    else if (e == "lt") out += '<';
    else if (e == "gt") out += '>';
    else if (e == "quot") out += '"';
    else if (e == "apos") out += '\'';
    else if (e.size() > 1 && e[0] == '#') {
      const bool hex = e[1] == 'x' || e[1] == 'X';
      const std::string digits(e.substr(hex ? 2 : 1));
      char* end = nullptr;
      const unsigned long cp = std::strtoul(digits.c_str(), &end, hex ? 16 : 10);
      if (digits.empty() || *end != '\0' || cp > 0x10FFFF) return std::nullopt;
      // UTF-8 of the code point.
      if (cp < 0x80) out += static_cast<char>(cp);
      else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
      } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
      } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
      }
    } else {
      return std::nullopt;
    }
    i = semi;
  }
  return out;
}

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// One attribute of a start tag, its value still escaped.
struct Attribute {
  std::string name;
  std::string value;
};

// A start tag: "<name attr="v" …>" or "…/>".
struct StartTag {
  std::size_t begin = 0, end = 0;  // [begin, end) in the document, end after '>'
  std::string name;
  std::vector<Attribute> attributes;
  bool empty = false;  // "/>"

  const std::string* attribute(std::string_view n) const {
    for (const auto& a : attributes)
      if (a.name == n) return &a.value;
    return nullptr;
  }
  void set(const std::string& n, const std::string& escapedValue) {
    for (auto& a : attributes)
      if (a.name == n) {
        a.value = escapedValue;
        return;
      }
    attributes.push_back({n, escapedValue});
  }
  std::string text() const {
    std::string out = "<" + name;
    for (const auto& a : attributes) out += " " + a.name + "=\"" + a.value + "\"";
    out += empty ? "/>" : ">";
    return out;
  }
};

// Parses the start tag that begins at `at` ('<'). Attribute values are
// kept as written, except that single-quoted ones containing '"' are
// rewritten when the tag is; nullopt when the tag is malformed.
std::optional<StartTag> ParseStartTag(const std::string& doc, std::size_t at) {
  StartTag tag;
  tag.begin = at;
  std::size_t i = at + 1;
  while (i < doc.size() && !IsSpace(doc[i]) && doc[i] != '>' && doc[i] != '/') tag.name += doc[i++];
  if (tag.name.empty()) return std::nullopt;
  while (true) {
    while (i < doc.size() && IsSpace(doc[i])) ++i;
    if (i >= doc.size()) return std::nullopt;
    if (doc[i] == '>') {
      tag.end = i + 1;
      return tag;
    }
    if (doc[i] == '/' && i + 1 < doc.size() && doc[i + 1] == '>') {
      tag.empty = true;
      tag.end = i + 2;
      return tag;
    }
    Attribute a;
    while (i < doc.size() && !IsSpace(doc[i]) && doc[i] != '=' && doc[i] != '>' && doc[i] != '/') a.name += doc[i++];
    while (i < doc.size() && IsSpace(doc[i])) ++i;
    if (a.name.empty() || i >= doc.size() || doc[i] != '=') return std::nullopt;
    ++i;
    while (i < doc.size() && IsSpace(doc[i])) ++i;
    if (i >= doc.size() || (doc[i] != '"' && doc[i] != '\'')) return std::nullopt;
    const char quote = doc[i++];
    const auto close = doc.find(quote, i);
    if (close == std::string::npos) return std::nullopt;
    a.value = doc.substr(i, close - i);
    if (quote == '\'') {
      // Re-quoted with '"' when written back.
      auto raw = UnescapeXml(a.value);
      if (!raw) return std::nullopt;
      a.value = EscapeXml(*raw);
    }
    i = close + 1;
    tag.attributes.push_back(std::move(a));
  }
}

// The next start tag named exactly `name` at or after `from` and before
// `limit`; skips tags whose name merely begins with it.
std::optional<std::size_t> FindStartTag(const std::string& doc, std::string_view name, std::size_t from,
                                        std::size_t limit) {
  const std::string open = "<" + std::string(name);
  for (std::size_t at = doc.find(open, from); at != std::string::npos && at < limit; at = doc.find(open, at + 1)) {
    const std::size_t after = at + open.size();
    if (after < doc.size() && (IsSpace(doc[after]) || doc[after] == '>' || doc[after] == '/')) return at;
  }
  return std::nullopt;
}

// One <bookmark> element.
struct Bookmark {
  StartTag tag;
  std::size_t end = 0;  // after "</bookmark>" (or the empty tag)
};

std::vector<Bookmark> Bookmarks(const std::string& doc, std::size_t from, std::size_t limit, bool& ok) {
  std::vector<Bookmark> out;
  ok = true;
  std::size_t pos = from;
  while (auto at = FindStartTag(doc, "bookmark", pos, limit)) {
    auto tag = ParseStartTag(doc, *at);
    if (!tag) {
      ok = false;
      return out;
    }
    Bookmark b;
    b.tag = *tag;
    if (tag->empty) {
      b.end = tag->end;
    } else {
      const auto close = doc.find("</bookmark>", tag->end);
      if (close == std::string::npos || close > limit) {
        ok = false;
        return out;
      }
      b.end = close + std::strlen("</bookmark>");
    }
    pos = b.end;
    out.push_back(std::move(b));
  }
  return out;
}

// The root element's start tag and the position of "</xbel>".
struct Root {
  StartTag tag;
  std::size_t close = 0;
};

std::optional<Root> FindRoot(const std::string& doc) {
  const auto at = FindStartTag(doc, "xbel", 0, doc.size());
  if (!at) return std::nullopt;
  auto tag = ParseStartTag(doc, *at);
  const auto close = doc.rfind("</xbel>");
  if (!tag || tag->empty || close == std::string::npos || close < tag->end) return std::nullopt;
  return Root{*tag, close};
}

std::string NewDocument() {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
         "<xbel version=\"1.0\"\n"
         "      xmlns:bookmark=\"" + std::string(kBookmarkNs) + "\"\n"
         "      xmlns:mime=\"" + std::string(kMimeNs) + "\"\n"
         ">\n"
         "</xbel>\n";
}

std::string ApplicationElement(const RecentUse& use, long count) {
  return "<bookmark:application name=\"" + EscapeXml(use.application) + "\" exec=\"" + EscapeXml(use.exec) +
         "\" modified=\"" + use.time + "\" count=\"" + std::to_string(count) + "\"/>";
}

std::string NewBookmark(const RecentUse& use, const std::string& added) {
  return "  <bookmark href=\"" + EscapeXml(FileURIFromPath(use.path)) + "\" added=\"" + added + "\" modified=\"" +
         use.time + "\" visited=\"" + use.time +
         "\">\n"
         "    <info>\n"
         "      <metadata owner=\"http://freedesktop.org\">\n"
         "        <mime:mime-type type=\"" + EscapeXml(use.mimeType) + "\"/>\n"
         "        <bookmark:applications>\n"
         "          " + ApplicationElement(use, 1) + "\n"
         "        </bookmark:applications>\n"
         "      </metadata>\n"
         "    </info>\n"
         "  </bookmark>\n";
}

// The bookmark's file path, or nullopt when its href is not a file URI.
std::optional<std::string> BookmarkPath(const Bookmark& b) {
  const std::string* href = b.tag.attribute("href");
  if (!href) return std::nullopt;
  auto uri = UnescapeXml(*href);
  if (!uri) return std::nullopt;
  return PathFromFileURI(*uri);
}

// The application elements of a bookmark's body [from, to).
struct AppEntry {
  StartTag tag;
  std::string name;  // unescaped
};

std::vector<AppEntry> Applications(const std::string& doc, std::size_t from, std::size_t to) {
  std::vector<AppEntry> out;
  std::size_t pos = from;
  while (auto at = FindStartTag(doc, "bookmark:application", pos, to)) {
    auto tag = ParseStartTag(doc, *at);
    if (!tag) break;
    pos = tag->end;
    const std::string* n = tag->attribute("name");
    auto name = n ? UnescapeXml(*n) : std::nullopt;
    out.push_back({*tag, name ? *name : std::string()});
  }
  return out;
}

// The root tag with both namespace declarations (added if missing).
std::string RootWithNamespaces(StartTag tag) {
  if (!tag.attribute("xmlns:bookmark")) tag.set("xmlns:bookmark", std::string(kBookmarkNs));
  if (!tag.attribute("xmlns:mime")) tag.set("xmlns:mime", std::string(kMimeNs));
  return tag.text();
}

}  // namespace

std::string MovieMimeType(std::string_view fileName) {
  const auto dot = fileName.rfind('.');
  const std::string ext = dot == std::string_view::npos ? std::string() : LowerAscii(fileName.substr(dot + 1));
  if (ext == "mp4") return "video/mp4";
  if (ext == "m4v") return "video/x-m4v";
  if (ext == "mkv") return "video/x-matroska";
  if (ext == "mov") return "video/quicktime";
  if (ext == "avi") return "video/x-msvideo";
  if (ext == "webm") return "video/webm";
  if (ext == "ts" || ext == "mts") return "video/mp2t";
  return "application/octet-stream";
}

std::string FileURIFromPath(const std::string& path) {
  static constexpr std::string_view kKept = "-._~!$&'()*+,;=:@/";
  std::string out = "file://";
  for (unsigned char c : path) {
    const bool alnum = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
    if (alnum || kKept.find(static_cast<char>(c)) != std::string_view::npos) {
      out += static_cast<char>(c);
    } else {
      static constexpr char kHex[] = "0123456789ABCDEF";
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

std::optional<std::string> PathFromFileURI(std::string_view uri) {
  constexpr std::string_view kScheme = "file://";
  if (uri.size() < kScheme.size() || LowerAscii(uri.substr(0, kScheme.size())) != kScheme) return std::nullopt;
  uri.remove_prefix(kScheme.size());
  const auto slash = uri.find('/');
  if (slash == std::string_view::npos) return std::nullopt;
  const std::string_view host = uri.substr(0, slash);
  if (!host.empty() && LowerAscii(host) != "localhost") return std::nullopt;
  uri.remove_prefix(slash);
  std::string out;
  auto hexValue = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  for (std::size_t i = 0; i < uri.size(); ++i) {
    if (uri[i] == '?' || uri[i] == '#') return std::nullopt;
    if (uri[i] != '%') {
      out += uri[i];
      continue;
    }
    const int hi = i + 1 < uri.size() ? hexValue(uri[i + 1]) : -1;
    const int lo = i + 2 < uri.size() ? hexValue(uri[i + 2]) : -1;
    if (hi < 0 || lo < 0) return std::nullopt;
    const char c = static_cast<char>(hi * 16 + lo);
    if (c == '\0') return std::nullopt;
    out += c;
    i += 2;
  }
  return out;
}

std::string Iso8601UTC(std::int64_t micros) {
  std::int64_t seconds = micros / 1000000;
  std::int64_t fraction = micros % 1000000;
  if (fraction < 0) {
    fraction += 1000000;
    --seconds;
  }
  const std::time_t t = static_cast<std::time_t>(seconds);
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%06lldZ", tm.tm_year + 1900, tm.tm_mon + 1,
                tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<long long>(fraction));
  return buf;
}

Result<std::string> NoteRecentUse(const std::string& existing, const RecentUse& use) {
  const std::string doc = existing.empty() ? NewDocument() : existing;
  auto root = FindRoot(doc);
  if (!root) return Unrecognised();
  bool ok = true;
  const auto bookmarks = Bookmarks(doc, root->tag.end, root->close, ok);
  if (!ok) return Unrecognised();

  const Bookmark* mine = nullptr;
  for (const auto& b : bookmarks)
    if (BookmarkPath(b) == use.path) mine = &b;

  std::string out = doc.substr(0, root->tag.begin) + RootWithNamespaces(root->tag);
  if (!mine) {
    std::string body = doc.substr(root->tag.end, root->close - root->tag.end);
    if (!body.empty() && body.back() != '\n') body += '\n';
    out += body + NewBookmark(use, use.time) + doc.substr(root->close);
    return out;
  }

  StartTag tag = mine->tag;
  const std::string* addedAttr = tag.attribute("added");
  const std::string added = addedAttr ? *addedAttr : use.time;
  if (tag.empty) {
    // Nothing inside to keep: a whole new element in its place.
    std::string element = NewBookmark(use, added);
    element = element.substr(2, element.size() - 3);  // without the indent and the newline
    out += doc.substr(root->tag.end, mine->tag.begin - root->tag.end) + element +
           doc.substr(mine->end);
    return out;
  }
  tag.set("modified", use.time);
  tag.set("visited", use.time);
  if (!addedAttr) tag.set("added", use.time);

  const std::size_t bodyBegin = mine->tag.end;
  const std::size_t bodyEnd = mine->end - std::strlen("</bookmark>");
  std::string body = doc.substr(bodyBegin, bodyEnd - bodyBegin);
  // This application's entry, counted up; or a new one.
  bool found = false;
  for (const auto& app : Applications(doc, bodyBegin, bodyEnd)) {
    if (app.name != use.application) continue;
    const std::string* count = app.tag.attribute("count");
    const long n = count ? std::strtol(count->c_str(), nullptr, 10) : 0;
    StartTag t = app.tag;
    t.set("exec", EscapeXml(use.exec));
    t.set("modified", use.time);
    t.attributes.erase(std::remove_if(t.attributes.begin(), t.attributes.end(),
                                      [](const Attribute& a) { return a.name == "timestamp"; }),
                       t.attributes.end());
    t.set("count", std::to_string(std::max(0L, n) + 1));
    body.replace(app.tag.begin - bodyBegin, app.tag.end - app.tag.begin, t.text());
    found = true;
    break;
  }
  if (!found) {
    const std::string entry = ApplicationElement(use, 1);
    if (auto at = body.find("</bookmark:applications>"); at != std::string::npos) {
      body.insert(at, "  " + entry + "\n        ");
    } else if (auto meta = body.find("</metadata>"); meta != std::string::npos) {
      body.insert(meta, "  <bookmark:applications>\n          " + entry + "\n        </bookmark:applications>\n      ");
    } else {
      body += "  <info>\n      <metadata owner=\"http://freedesktop.org\">\n        <mime:mime-type type=\"" +
              EscapeXml(use.mimeType) + "\"/>\n        <bookmark:applications>\n          " + entry +
              "\n        </bookmark:applications>\n      </metadata>\n    </info>\n  ";
    }
  }
  out += doc.substr(root->tag.end, mine->tag.begin - root->tag.end) + tag.text() + body + "</bookmark>" +
         doc.substr(mine->end);
  return out;
}

Result<std::string> ForgetApplication(const std::string& existing, const std::string& application) {
  if (existing.empty()) return existing;
  auto root = FindRoot(existing);
  if (!root) return Unrecognised();
  bool ok = true;
  const auto bookmarks = Bookmarks(existing, root->tag.end, root->close, ok);
  if (!ok) return Unrecognised();
  std::string out;
  std::size_t copied = 0;
  for (const auto& b : bookmarks) {
    if (b.tag.empty) continue;
    const std::size_t bodyEnd = b.end - std::strlen("</bookmark>");
    const auto apps = Applications(existing, b.tag.end, bodyEnd);
    const AppEntry* mine = nullptr;
    for (const auto& a : apps)
      if (a.name == application) mine = &a;
    if (!mine) continue;
    out += existing.substr(copied, (apps.size() == 1 ? b.tag.begin : mine->tag.begin) - copied);
    if (apps.size() == 1) {
      // The whole bookmark goes, with the indent before it and its line end.
      while (!out.empty() && (out.back() == ' ' || out.back() == '\t')) out.pop_back();
      copied = b.end;
      if (copied < existing.size() && existing[copied] == '\n') ++copied;
    } else {
      while (!out.empty() && (out.back() == ' ' || out.back() == '\t')) out.pop_back();
      copied = mine->tag.end;
      if (copied < existing.size() && existing[copied] == '\n') ++copied;
    }
  }
  out += existing.substr(copied);
  return out;
}

// ---- The file ------------------------------------------------------------

namespace {

Error FileError(const std::string& what, const std::string& path, int err) {
  return Error{kDomain, err, what + " " + path + ": " + std::strerror(err)};
}

// Reads the whole file; "" when it does not exist.
Result<std::string> ReadIfPresent(const std::string& file) {
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return std::string();
    return FileError("cannot read", file, errno);
  }
  std::string out;
  char buf[65536];
  while (true) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      const int err = errno;
      ::close(fd);
      return FileError("cannot read", file, err);
    }
    if (n == 0) break;
    out.append(buf, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return out;
}

// Writes `text` to a private temporary file beside `file`, flushes it and
// renames it over `file`; on any failure the temporary file is removed and
// `file` is as it was.
Status ReplaceAtomically(const std::string& file, const std::string& text) {
  std::error_code ec;
  const std::filesystem::path target(file);
  std::filesystem::create_directories(target.parent_path(), ec);
  std::string temp = (target.parent_path() / ("." + target.filename().string() + ".XXXXXX")).string();
  const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return FileError("cannot write beside", file, errno);
  auto fail = [&](int err) -> Status {
    ::close(fd);
    ::unlink(temp.c_str());
    return FileError("cannot write", file, err);
  };
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail(errno);
    }
    done += static_cast<std::size_t>(n);
  }
  if (::fsync(fd) != 0) return fail(errno);
  if (::close(fd) != 0) {
    const int err = errno;
    ::unlink(temp.c_str());
    return FileError("cannot write", file, err);
  }
  if (::rename(temp.c_str(), file.c_str()) != 0) {
    const int err = errno;
    ::unlink(temp.c_str());
    return FileError("cannot replace", file, err);
  }
  return std::nullopt;
}

}  // namespace

std::string RecentlyUsedFilePath() {
  if (const char* data = std::getenv("XDG_DATA_HOME"); data && *data == '/') return std::string(data) + "/recently-used.xbel";
  const char* home = std::getenv("HOME");
  return std::string(home && *home ? home : "/tmp") + "/.local/share/recently-used.xbel";
}

Status NoteRecentlyUsedFile(const std::string& file, const std::string& path) {
  auto existing = ReadIfPresent(file);
  if (!existing) return existing.error();
  RecentUse use;
  use.path = path;
  use.mimeType = MovieMimeType(path);
  use.time = Iso8601UTC(std::chrono::duration_cast<std::chrono::microseconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count());
  auto updated = NoteRecentUse(*existing, use);
  if (!updated) return updated.error();
  return ReplaceAtomically(file, *updated);
}

Status ForgetRecentlyUsedFile(const std::string& file) {
  auto existing = ReadIfPresent(file);
  if (!existing) return existing.error();
  if (existing->empty()) return std::nullopt;
  auto updated = ForgetApplication(*existing, kRecentlyUsedApplication);
  if (!updated) return updated.error();
  if (*updated == *existing) return std::nullopt;
  return ReplaceAtomically(file, *updated);
}

}  // namespace kf
