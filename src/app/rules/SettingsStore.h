// Persistent settings as a small interface of our own, so that the rules
// that read and write settings stay free of the toolkit. The Qt adapter
// (QSettings) implements it in the platform layer; tests use
// MemorySettingsStore.
//
// Values are a closed set of kinds: bool, integer, double, string, a list of
// scalars, or a dictionary from string to scalar. A list may hold elements of
// mixed kinds (a stored list written by another program, or damaged), so the
// readers below decide what to keep.
//
// Keys in use: "recentFiles" (list of path strings), "videoFrames"
// (dictionary path/identity -> frame text), "playheads" (dictionary
// identity -> seconds), "volume" (double), "muted" (bool), "exportMode" and
// "exportSize" (integers), "exportSeparate" (bool).
//
// Thread: the store is used from the main thread only; implementations need
// not be thread-safe. Writes are best effort: a store that cannot persist
// keeps the value for the rest of the session.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace kf {

using SettingsScalar = std::variant<bool, std::int64_t, double, std::string>;
using SettingsList = std::vector<SettingsScalar>;
using SettingsDictionary = std::map<std::string, SettingsScalar, std::less<>>;
using SettingsValue = std::variant<bool, std::int64_t, double, std::string, SettingsList, SettingsDictionary>;

inline constexpr const char* kRecentFilesKey = "recentFiles";
inline constexpr const char* kVideoFramesKey = "videoFrames";
inline constexpr const char* kPlayheadsKey = "playheads";
inline constexpr const char* kVolumeKey = "volume";
inline constexpr const char* kMutedKey = "muted";
inline constexpr const char* kExportModeKey = "exportMode";
inline constexpr const char* kExportSizeKey = "exportSize";
inline constexpr const char* kExportSeparateKey = "exportSeparate";

class SettingsStore {
 public:
  virtual ~SettingsStore() = default;

  // The stored value, or nullopt when the key is absent.
  virtual std::optional<SettingsValue> value(std::string_view key) const = 0;
  virtual void setValue(std::string_view key, SettingsValue value) = 0;
  virtual void remove(std::string_view key) = 0;

  bool contains(std::string_view key) const { return value(key).has_value(); }

  // Typed reads. Each accepts the kinds a settings file may give back for
  // the type (an INI-backed store returns text for everything): a bool from
  // a bool, a number (non-zero is true) or the text "true"/"false"/"1"/"0"/
  // "yes"/"no" (any case); a number from either number kind or a text that
  // is wholly a finite decimal number; nullopt for anything else or absent.
  std::optional<bool> boolValue(std::string_view key) const;
  std::optional<std::int64_t> integerValue(std::string_view key) const;
  std::optional<double> doubleValue(std::string_view key) const;
  // The list under key (nullopt when absent or not a list); elements as stored.
  std::optional<SettingsList> listValue(std::string_view key) const;
  // The dictionary under key (nullopt when absent or not a dictionary).
  std::optional<SettingsDictionary> dictionaryValue(std::string_view key) const;
};

// Conversions of one stored scalar, with the rules of the typed reads above.
std::optional<bool> ScalarAsBool(const SettingsScalar& v);
std::optional<double> ScalarAsDouble(const SettingsScalar& v);
std::optional<std::int64_t> ScalarAsInteger(const SettingsScalar& v);
// Only a string element is a string (numbers are not turned into text).
const std::string* ScalarAsString(const SettingsScalar& v);

// A store that keeps everything in memory. For tests, and as the fallback
// when no persistent store is available.
class MemorySettingsStore final : public SettingsStore {
 public:
  std::optional<SettingsValue> value(std::string_view key) const override;
  void setValue(std::string_view key, SettingsValue value) override;
  void remove(std::string_view key) override;

 private:
  std::map<std::string, SettingsValue, std::less<>> values_;
};

}  // namespace kf
