#include "app/rules/MovieMemory.h"

#include <charconv>
#include <cmath>

#include "app/rules/WindowFit.h"

namespace kf {
namespace {

void AppendNumber(std::string& out, double v) {
  char buf[32];
  const auto [ptr, ec] = std::to_chars(buf, buf + sizeof buf, v);
  if (ec == std::errc()) out.append(buf, ptr);
}

void SkipSpaces(std::string_view& s) {
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
}

bool Expect(std::string_view& s, char c) {
  SkipSpaces(s);
  if (s.empty() || s.front() != c) return false;
  s.remove_prefix(1);
  return true;
}

bool Number(std::string_view& s, double& v) {
  SkipSpaces(s);
  const auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (ec != std::errc() || !std::isfinite(v)) return false;
  s.remove_prefix(static_cast<std::size_t>(ptr - s.data()));
  return true;
}

std::optional<SettingsScalar> Lookup(const SettingsStore& store, const char* key, std::string_view first,
                                     std::string_view second, bool (*usable)(const SettingsScalar&)) {
  const std::optional<SettingsDictionary> dict = store.dictionaryValue(key);
  if (!dict) return std::nullopt;
  for (std::string_view k : {first, second}) {
    const auto it = dict->find(k);
    if (it != dict->end() && usable(it->second)) return it->second;
  }
  return std::nullopt;
}

}  // namespace

std::string FrameToString(const Rect& frame) {
  std::string out = "{{";
  AppendNumber(out, frame.x);
  out += ", ";
  AppendNumber(out, frame.y);
  out += "}, {";
  AppendNumber(out, frame.width);
  out += ", ";
  AppendNumber(out, frame.height);
  out += "}}";
  return out;
}

std::optional<Rect> FrameFromString(std::string_view s) {
  Rect r;
  if (!Expect(s, '{') || !Expect(s, '{') || !Number(s, r.x) || !Expect(s, ',') || !Number(s, r.y) ||
      !Expect(s, '}') || !Expect(s, ',') || !Expect(s, '{') || !Number(s, r.width) || !Expect(s, ',') ||
      !Number(s, r.height) || !Expect(s, '}') || !Expect(s, '}')) {
    return std::nullopt;
  }
  SkipSpaces(s);
  if (!s.empty()) return std::nullopt;
  return r;
}

void StoreVideoFrame(SettingsStore& store, const std::string& identityKey, const Rect& frame) {
  SettingsDictionary dict = store.dictionaryValue(kVideoFramesKey).value_or(SettingsDictionary{});
  dict.insert_or_assign(identityKey, FrameToString(frame));
  store.setValue(kVideoFramesKey, std::move(dict));
}

std::optional<Rect> RestorableVideoFrame(const SettingsStore& store, std::string_view identityKey,
                                         std::string_view path) {
  const auto text = Lookup(store, kVideoFramesKey, identityKey, path, [](const SettingsScalar& v) {
    const std::string* s = ScalarAsString(v);
    return s != nullptr && !s->empty();
  });
  if (!text) return std::nullopt;
  const std::optional<Rect> frame = FrameFromString(*ScalarAsString(*text));
  if (!frame || !IsRestorableFrame(*frame)) return std::nullopt;
  return frame;
}

void StorePlayhead(SettingsStore& store, const std::string& identityKey, double seconds) {
  if (!std::isfinite(seconds)) return;
  SettingsDictionary dict = store.dictionaryValue(kPlayheadsKey).value_or(SettingsDictionary{});
  dict.insert_or_assign(identityKey, seconds);
  store.setValue(kPlayheadsKey, std::move(dict));
}

std::optional<double> RememberedPlayhead(const SettingsStore& store, std::string_view identityKey,
                                         std::string_view path, double duration) {
  const auto stored = Lookup(store, kPlayheadsKey, identityKey, path,
                             [](const SettingsScalar& v) { return ScalarAsDouble(v).has_value(); });
  if (!stored) return std::nullopt;
  const double p = *ScalarAsDouble(*stored);
  if (!(p > 0) || !(p < duration)) return std::nullopt;
  return p;
}

}  // namespace kf
