#include "app/rules/SettingsStore.h"

#include <charconv>
#include <cmath>

namespace kf {
namespace {

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

std::optional<double> ParseDecimal(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  if (s.empty()) return std::nullopt;
  double d = 0;
  const auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), d);
  if (ec != std::errc() || ptr != s.data() + s.size() || !std::isfinite(d)) return std::nullopt;
  return d;
}

std::optional<SettingsScalar> AsScalar(const SettingsValue& v) {
  return std::visit(
      [](const auto& x) -> std::optional<SettingsScalar> {
        using T = std::decay_t<decltype(x)>;
        if constexpr (std::is_same_v<T, SettingsList> || std::is_same_v<T, SettingsDictionary>) {
          return std::nullopt;
        } else {
          return SettingsScalar{x};
        }
      },
      v);
}

}  // namespace

std::optional<bool> ScalarAsBool(const SettingsScalar& v) {
  if (const bool* b = std::get_if<bool>(&v)) return *b;
  if (const auto* i = std::get_if<std::int64_t>(&v)) return *i != 0;
  if (const double* d = std::get_if<double>(&v))
    return std::isnan(*d) ? std::nullopt : std::optional<bool>(*d != 0);
  const std::string text = Lower(std::get<std::string>(v));
  if (text == "true" || text == "yes" || text == "1") return true;
  if (text == "false" || text == "no" || text == "0") return false;
  return std::nullopt;
}

std::optional<double> ScalarAsDouble(const SettingsScalar& v) {
  if (const bool* b = std::get_if<bool>(&v)) return *b ? 1.0 : 0.0;
  if (const auto* i = std::get_if<std::int64_t>(&v)) return static_cast<double>(*i);
  if (const double* d = std::get_if<double>(&v))
    return std::isfinite(*d) ? std::optional<double>(*d) : std::nullopt;
  return ParseDecimal(std::get<std::string>(v));
}

std::optional<std::int64_t> ScalarAsInteger(const SettingsScalar& v) {
  if (const auto* i = std::get_if<std::int64_t>(&v)) return *i;
  const std::optional<double> d = ScalarAsDouble(v);
  // Whole numbers only, and only those an int64 can hold.
  if (!d || std::trunc(*d) != *d || std::fabs(*d) >= 9.2e18) return std::nullopt;
  return static_cast<std::int64_t>(*d);
}

const std::string* ScalarAsString(const SettingsScalar& v) {
  return std::get_if<std::string>(&v);
}

std::optional<bool> SettingsStore::boolValue(std::string_view key) const {
  const auto v = value(key);
  if (!v) return std::nullopt;
  const auto s = AsScalar(*v);
  return s ? ScalarAsBool(*s) : std::nullopt;
}

std::optional<std::int64_t> SettingsStore::integerValue(std::string_view key) const {
  const auto v = value(key);
  if (!v) return std::nullopt;
  const auto s = AsScalar(*v);
  return s ? ScalarAsInteger(*s) : std::nullopt;
}

std::optional<double> SettingsStore::doubleValue(std::string_view key) const {
  const auto v = value(key);
  if (!v) return std::nullopt;
  const auto s = AsScalar(*v);
  return s ? ScalarAsDouble(*s) : std::nullopt;
}

std::optional<SettingsList> SettingsStore::listValue(std::string_view key) const {
  auto v = value(key);
  if (!v) return std::nullopt;
  if (auto* list = std::get_if<SettingsList>(&*v)) return std::move(*list);
  return std::nullopt;
}

std::optional<SettingsDictionary> SettingsStore::dictionaryValue(std::string_view key) const {
  auto v = value(key);
  if (!v) return std::nullopt;
  if (auto* dict = std::get_if<SettingsDictionary>(&*v)) return std::move(*dict);
  return std::nullopt;
}

std::optional<SettingsValue> MemorySettingsStore::value(std::string_view key) const {
  const auto it = values_.find(key);
  if (it == values_.end()) return std::nullopt;
  return it->second;
}

void MemorySettingsStore::setValue(std::string_view key, SettingsValue value) {
  values_.insert_or_assign(std::string(key), std::move(value));
}

void MemorySettingsStore::remove(std::string_view key) {
  const auto it = values_.find(key);
  if (it != values_.end()) values_.erase(it);
}

}  // namespace kf
