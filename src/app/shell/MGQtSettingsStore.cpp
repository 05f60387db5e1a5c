#include "app/shell/MGQtSettingsStore.h"

namespace {

QString Key(std::string_view key) { return QString::fromUtf8(key.data(), static_cast<qsizetype>(key.size())); }

QVariant FromScalar(const kf::SettingsScalar& v) {
  return std::visit(
      [](const auto& x) -> QVariant {
        using T = std::decay_t<decltype(x)>;
        if constexpr (std::is_same_v<T, bool>) return QVariant(x);
        else if constexpr (std::is_same_v<T, std::int64_t>) return QVariant(static_cast<qlonglong>(x));
        else if constexpr (std::is_same_v<T, double>) return QVariant(x);
        else return QVariant(QString::fromStdString(x));
      },
      v);
}

std::optional<kf::SettingsScalar> ToScalar(const QVariant& v) {
  switch (v.typeId()) {
    case QMetaType::Bool: return kf::SettingsScalar(v.toBool());
    case QMetaType::Int:
    case QMetaType::LongLong:
    case QMetaType::UInt:
    case QMetaType::ULongLong: return kf::SettingsScalar(static_cast<std::int64_t>(v.toLongLong()));
    case QMetaType::Double:
    case QMetaType::Float: return kf::SettingsScalar(v.toDouble());
    case QMetaType::QString: return kf::SettingsScalar(v.toString().toStdString());
    case QMetaType::QByteArray: return kf::SettingsScalar(v.toByteArray().toStdString());
    default: return std::nullopt;
  }
}

}  // namespace

MGQtSettingsStore::MGQtSettingsStore() : settings_(QStringLiteral("Marrowgate"), QStringLiteral("Kerfline")) {}

MGQtSettingsStore::MGQtSettingsStore(const QString& iniPath) : settings_(iniPath, QSettings::IniFormat) {}

// GCC 12 reports the inactive members of a variant inside an optional as
// maybe uninitialized here (a known false positive of its inliner).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
std::optional<kf::SettingsValue> MGQtSettingsStore::value(std::string_view key) const {
  const QString k = Key(key);
  if (!settings_.contains(k)) return std::nullopt;
  const QVariant v = settings_.value(k);
  if (v.typeId() == QMetaType::QVariantList || v.typeId() == QMetaType::QStringList) {
    kf::SettingsList list;
    for (const QVariant& e : v.toList())
      if (auto s = ToScalar(e)) list.push_back(*s);
    std::optional<kf::SettingsValue> out;
    out.emplace(std::in_place_type<kf::SettingsList>, std::move(list));
    return out;
  }
  if (v.typeId() == QMetaType::QVariantMap) {
    kf::SettingsDictionary dict;
    const QVariantMap map = v.toMap();
    for (auto it = map.begin(); it != map.end(); ++it)
      if (auto s = ToScalar(it.value())) dict.emplace(it.key().toStdString(), *s);
    std::optional<kf::SettingsValue> out;
    out.emplace(std::in_place_type<kf::SettingsDictionary>, std::move(dict));
    return out;
  }
  switch (v.typeId()) {
    case QMetaType::Bool: return kf::SettingsValue(v.toBool());
    case QMetaType::Int:
    case QMetaType::LongLong:
    case QMetaType::UInt:
    case QMetaType::ULongLong: return kf::SettingsValue(static_cast<std::int64_t>(v.toLongLong()));
    case QMetaType::Double:
    case QMetaType::Float: return kf::SettingsValue(v.toDouble());
    case QMetaType::QString: return kf::SettingsValue(v.toString().toStdString());
    case QMetaType::QByteArray: return kf::SettingsValue(v.toByteArray().toStdString());
    default: return std::nullopt;
  }
}

#pragma GCC diagnostic pop

void MGQtSettingsStore::setValue(std::string_view key, kf::SettingsValue value) {
  QVariant v = std::visit(
      [](const auto& x) -> QVariant {
        using T = std::decay_t<decltype(x)>;
        if constexpr (std::is_same_v<T, kf::SettingsList>) {
          QVariantList list;
          for (const auto& e : x) list.push_back(FromScalar(e));
          return list;
        } else if constexpr (std::is_same_v<T, kf::SettingsDictionary>) {
          QVariantMap map;
          for (const auto& [k, e] : x) map.insert(QString::fromStdString(k), FromScalar(e));
          return map;
        } else {
          return FromScalar(kf::SettingsScalar(x));
        }
      },
      value);
  settings_.setValue(Key(key), v);
}

void MGQtSettingsStore::remove(std::string_view key) { settings_.remove(Key(key)); }
