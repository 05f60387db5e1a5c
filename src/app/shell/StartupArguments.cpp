#include "app/shell/StartupArguments.h"

#include "playback/session/MovieURL.h"

namespace kf {

std::optional<std::string> StartupURLFromArguments(const std::vector<std::string>& args,
                                                   const std::string& workingFolder,
                                                   const std::function<bool(const std::string&)>& exists) {
  for (const std::string& a : args) {
    if (a.empty() || a.front() == '-') continue;
    if (a.rfind("kerfline://larder", 0) == 0) {
      if (auto url = ParseMovieURL(a)) return url->text;
      continue;
    }
    if (a.rfind("file:", 0) == 0) {
      auto url = ParseMovieURL(a);
      if (url && exists(url->text)) return url->text;
      continue;
    }
    const std::string absolute = a.front() == '/' ? a : workingFolder + "/" + a;
    const std::string path = StandardizePath(absolute);
    if (exists(path)) return path;
  }
  return std::nullopt;
}

}  // namespace kf
