// The movie named on the command line: the first argument, after the
// program name, that is not empty, does not begin with "-" and names an
// existing file or folder (relative paths against the working folder), or
// that is a Larder handoff link ("kerfline://larder…"). Later arguments and
// arguments naming nothing are ignored without a message. Pure apart from
// the existence test given by the caller.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace kf {

std::optional<std::string> StartupURLFromArguments(const std::vector<std::string>& argumentsAfterProgram,
                                                   const std::string& workingFolder,
                                                   const std::function<bool(const std::string& path)>& exists);

}  // namespace kf
