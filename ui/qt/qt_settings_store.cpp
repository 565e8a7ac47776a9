#include "ui/qt/qt_settings_store.h"

#include <QFile>
#include <QSettings>
#include <QStringList>
#include <QVariant>
#include <cstdio>

namespace qx::qt {

namespace {

QString KeyPath(const std::string& section, const std::string& key) {
  return QString::fromStdString(section) + QLatin1Char('/') + QString::fromStdString(key);
}

}  // namespace

std::unique_ptr<QSettings> QtSettingsStore::Open(const std::string& app) const {
  if (!ini_file_.isEmpty()) return std::make_unique<QSettings>(ini_file_, QSettings::IniFormat);
  const QString name = QString::fromStdString(app);
  return std::make_unique<QSettings>(name, name);
}

QString QtSettingsStore::FileName(const std::string& app) const {
  return Open(app)->fileName();
}

std::string QtSettingsStore::GetSetting(const std::string& app, const std::string& section,
                                        const std::string& key, const std::string& deflt) {
  const auto settings = Open(app);
  const QVariant value = settings->value(KeyPath(section, key));
  if (!value.isValid()) return deflt;
  // An INI value with commas reads back as a list; keep it as the text it was.
  if (value.typeId() == QMetaType::QStringList) {
    return value.toStringList().join(QLatin1Char(',')).toStdString();
  }
  return value.toString().toStdString();
}

void QtSettingsStore::SaveSetting(const std::string& app, const std::string& section,
                                  const std::string& key, const std::string& value) {
  auto write_value = [&] {
    auto settings = Open(app);
    settings->setValue(KeyPath(section, key), QString::fromStdString(value));
    settings->sync();
    return settings;
  };
  auto settings = write_value();
  if (settings->status() == QSettings::FormatError) {
    // QSettings never rewrites a file it could not parse, so one damaged file
    // would stop every later save. Keep it aside and start a fresh one.
    const QString file = settings->fileName();
    const QString aside = file + QStringLiteral(".unreadable");
    settings.reset();
    QFile::remove(aside);
    if (QFile::rename(file, aside)) {
      std::fprintf(stderr, "qxflash: settings file %s could not be read; kept it as %s\n",
                   file.toLocal8Bit().constData(), aside.toLocal8Bit().constData());
    }
    settings = write_value();
  }
  if (settings->status() != QSettings::NoError) {
    std::fprintf(stderr, "qxflash: could not save setting %s/%s to %s\n", section.c_str(),
                 key.c_str(), settings->fileName().toLocal8Bit().constData());
  }
}

}  // namespace qx::qt
