#include <filesystem>

#include "app/shell/WindowProgram.h"

namespace kf {

std::vector<std::string> ModuleCandidates(const std::string& programPath, const std::string& installedDir,
                                          const std::string& fileName) {
  std::vector<std::string> out;
  if (programPath.empty()) return out;
  const std::filesystem::path folder = std::filesystem::path(programPath).parent_path();
  out.push_back((folder / fileName).string());
  if (!installedDir.empty() && installedDir != ".") {
    const std::filesystem::path installed = std::filesystem::path(installedDir).is_absolute()
                                                ? std::filesystem::path(installedDir)
                                                : folder / installedDir;
    out.push_back((installed.lexically_normal() / fileName).string());
  }
  return out;
}

}  // namespace kf
