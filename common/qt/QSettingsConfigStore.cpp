#include "QSettingsConfigStore.h"

#include <QByteArray>
#include <QSettings>
#include <QString>
#include <QVariant>

namespace {

QString Key(const std::string& name) {
    return QStringLiteral("Console/") + QString::fromStdString(name);
}

bool Synced(QSettings& settings) {
    settings.sync();
    return settings.status() == QSettings::NoError && settings.isWritable();
}

} // namespace

TQSettingsConfigStore::TQSettingsConfigStore()
    : settings_(std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope,
                                            QStringLiteral("Tarv"), QStringLiteral("Zephran"))) {}

TQSettingsConfigStore::~TQSettingsConfigStore() = default;

TConfigValue TQSettingsConfigStore::Read(const std::string& name) const {
    TConfigValue value;
    const QVariant v = settings_->value(Key(name));
    if (!v.isValid())
        return value;
    switch (v.typeId()) {
    case QMetaType::QByteArray: {
        const QByteArray bytes = v.toByteArray();
        value.Kind = TConfigValueKind::Binary;
        value.Bytes.assign(bytes.begin(), bytes.end());
        break;
    }
    case QMetaType::QString:
        value.Kind = TConfigValueKind::String;
        value.Text = v.toString().toStdString();
        break;
    default:
        value.Kind = TConfigValueKind::Other;
        break;
    }
    return value;
}

bool TQSettingsConfigStore::WriteString(const std::string& name, const std::string& value) {
    settings_->setValue(Key(name), QString::fromStdString(value));
    return Synced(*settings_);
}

bool TQSettingsConfigStore::WriteBinary(const std::string& name,
                                        const std::vector<std::uint8_t>& bytes) {
    settings_->setValue(Key(name), QByteArray(reinterpret_cast<const char*>(bytes.data()),
                                              static_cast<qsizetype>(bytes.size())));
    return Synced(*settings_);
}
