#pragma once

#include "ports.h"

#include <QSettings>

namespace zephlink {

// The user defaults in QSettings (organisation and application "Zephlink").
class QtSettings : public Settings {
public:
    QtSettings();
    std::optional<QString> string(const QString& key) const override;
    bool boolean(const QString& key) const override;
    void setString(const QString& key, const QString& value) override;
    void setBoolean(const QString& key, bool value) override;

private:
    mutable QSettings settings_;
};

} // namespace zephlink
