#include "qt_settings.h"

namespace zephlink {

QtSettings::QtSettings() : settings_(QStringLiteral("Zephlink"), QStringLiteral("Zephlink")) {}

std::optional<QString> QtSettings::string(const QString& key) const {
    const QVariant value = settings_.value(key);
    if (!value.isValid() || value.toString().isEmpty())
        return std::nullopt;
    return value.toString();
}

bool QtSettings::boolean(const QString& key) const {
    return settings_.value(key, false).toBool();
}

void QtSettings::setString(const QString& key, const QString& value) {
    settings_.setValue(key, value);
    settings_.sync();
}

void QtSettings::setBoolean(const QString& key, bool value) {
    settings_.setValue(key, value);
    settings_.sync();
}

} // namespace zephlink
