#include "source/MGURL.h"

#include <cctype>

namespace kf {

namespace {
int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}
}  // namespace

std::string MGPercentDecode(const std::string& s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '%' && i + 2 < s.size() + 0 && HexValue(s[i + 1]) >= 0 && HexValue(s[i + 2]) >= 0) {
      out.push_back(static_cast<char>(HexValue(s[i + 1]) * 16 + HexValue(s[i + 2])));
      i += 2;
    } else {
      out.push_back(s[i]);
    }
  }
  return out;
}

std::string MGPercentEncodePath(const std::string& s) {
  static const char* digits = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : s) {
    if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~' || c == '/') {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back('%');
      out.push_back(digits[c >> 4]);
      out.push_back(digits[c & 15]);
    }
  }
  return out;
}

std::optional<MGURLParts> MGParseURL(const std::string& url) {
  std::size_t colon = url.find(':');
  if (colon == std::string::npos || colon == 0) return std::nullopt;
  for (std::size_t i = 0; i < colon; ++i) {
    char c = url[i];
    if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '-' || c == '.'))
      return std::nullopt;
  }
  MGURLParts p;
  p.scheme = url.substr(0, colon);
  std::string rest = url.substr(colon + 1);
  if (std::size_t hash = rest.find('#'); hash != std::string::npos) rest.resize(hash);
  if (std::size_t q = rest.find('?'); q != std::string::npos) {
    p.query = rest.substr(q + 1);
    rest.resize(q);
  }
  if (rest.rfind("//", 0) == 0) {
    std::size_t slash = rest.find('/', 2);
    p.host = rest.substr(2, slash == std::string::npos ? std::string::npos : slash - 2);
    rest = slash == std::string::npos ? "" : rest.substr(slash);
  }
  p.path = MGPercentDecode(rest);
  return p;
}

std::map<std::string, std::string> MGQueryItems(const std::string& query) {
  std::map<std::string, std::string> items;
  std::size_t start = 0;
  while (start <= query.size()) {
    std::size_t amp = query.find('&', start);
    std::string item = query.substr(start, amp == std::string::npos ? std::string::npos : amp - start);
    std::size_t eq = item.find('=');
    if (eq != std::string::npos)
      items[MGPercentDecode(item.substr(0, eq))] = MGPercentDecode(item.substr(eq + 1));
    if (amp == std::string::npos) break;
    start = amp + 1;
  }
  return items;
}

std::string MGLastPathComponent(const std::string& path) {
  std::string p = path;
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  std::size_t slash = p.rfind('/');
  std::string last = slash == std::string::npos ? p : p.substr(slash + 1);
  return last == "/" ? "" : last;
}

std::string MGPathExtension(const std::string& name) {
  std::size_t dot = name.rfind('.');
  if (dot == std::string::npos || dot == 0 || name.find('/', dot) != std::string::npos) return {};
  return name.substr(dot + 1);
}

std::string MGFileURLFromPath(const std::string& path) {
  return "file://" + MGPercentEncodePath(path);
}

std::optional<std::string> MGPathFromFileURL(const std::string& url) {
  auto p = MGParseURL(url);
  if (!p || p->scheme != "file" || (!p->host.empty() && p->host != "localhost") || p->path.empty()) {
    return std::nullopt;
  }
  return p->path;
}

}  // namespace kf
