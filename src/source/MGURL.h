// The little URL handling the opening flow needs: file URLs, handoff links
// ("kerfline://larder/name?domain=…&item=…") and the private asset URLs.
#pragma once

#include <map>
#include <optional>
#include <string>

namespace kf {

struct MGURLParts {
  std::string scheme;  // as written (compared case-sensitively by callers)
  std::string host;
  std::string path;   // percent-decoded
  std::string query;  // raw, without '?'
};

// Splits scheme://host/path?query#fragment. Nothing when there is no scheme.
std::optional<MGURLParts> MGParseURL(const std::string& url);
// Query items read in order; items without a value ('=') are skipped; a name
// that occurs twice keeps its last value. Names and values percent-decoded.
std::map<std::string, std::string> MGQueryItems(const std::string& query);
std::string MGPercentDecode(const std::string& s);
// Encodes everything but unreserved characters and '/'.
std::string MGPercentEncodePath(const std::string& s);
// The last component of a decoded path ("" for "/" or "").
std::string MGLastPathComponent(const std::string& path);
// The extension of a file name, without the dot ("" when none).
std::string MGPathExtension(const std::string& name);
// "file://" + the encoded absolute path.
std::string MGFileURLFromPath(const std::string& path);
// The path of a file URL (host empty or "localhost"); nothing otherwise.
std::optional<std::string> MGPathFromFileURL(const std::string& url);

}  // namespace kf
