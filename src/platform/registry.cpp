#include "platform/registry.h"

#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>

#include "core/errors.h"

namespace {
constexpr char16_t kFailedToSetData[] = u"Failed to set data for '%1'";

QString GroupOf(const QString& key) {
  QString group = key;
  group.replace(u'\\', u'/');
  return group;
}
}  // namespace

TRegistry::TRegistry() = default;
TRegistry::~TRegistry() = default;

QString TRegistry::StorePath() {
  return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
         QStringLiteral("/zentra/registry.ini");
}

bool TRegistry::OpenKey(const QString& key, bool canCreate) {
  const QString path = StorePath();
  if (!QFileInfo::exists(path)) {
    if (!canCreate || !QDir().mkpath(QFileInfo(path).absolutePath())) return false;
  }
  settings_ = std::make_unique<QSettings>(path, QSettings::IniFormat);
  key_ = GroupOf(key);
  return settings_->status() == QSettings::NoError;
}

void TRegistry::CloseKey() {
  if (settings_) settings_->sync();
  settings_.reset();
  key_.clear();
}

void TRegistry::WriteInteger(const QString& name, std::int32_t value) {
  if (settings_) {
    // Stored as the unsigned DWORD it is, so -1 reads back as 0xFFFFFFFF.
    settings_->setValue(key_ + u'/' + name,
                        static_cast<qulonglong>(static_cast<std::uint32_t>(value)));
    settings_->sync();
    if (settings_->status() == QSettings::NoError) return;
  }
  throw Exception(QString::fromUtf16(kFailedToSetData).arg(name));
}

std::uint32_t TRegistry::ReadCardinal(const QString& name, std::uint32_t fallback) const {
  QSettings store(StorePath(), QSettings::IniFormat);
  bool ok = false;
  const QString group = key_.isEmpty() ? QString() : key_ + u'/';
  const qulonglong value = store.value(group + name).toULongLong(&ok);
  return ok ? static_cast<std::uint32_t>(value) : fallback;
}
