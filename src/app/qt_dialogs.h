#pragma once

#include "ports.h"

namespace zephlink {

// Modal alerts with Qt Widgets.
class QtDialogs : public Dialogs {
public:
    bool confirm(const QString& message, const QString& information, const QString& accept,
                 const QString& cancel) override;
    std::optional<QString> askAddress(const QString& message, const QString& information,
                                      const QString& text) override;
};

} // namespace zephlink
