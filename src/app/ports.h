#pragma once

// The small interfaces through which the controller meets the desktop. Real
// implementations wrap Qt; tests give fakes.
#include "local_session.h"
#include "records.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>

namespace zephlink {

// The start of an invitation link: such text never leaves as a clip.
inline const QString kInvitationPrefix = QStringLiteral("zephlink://pair?");

// The system clipboard.
class Pasteboard {
public:
    virtual ~Pasteboard() = default;
    // Moves on every change made by another program and on every own write.
    virtual long changeCount() const = 0;
    // The MIME formats currently offered.
    virtual QStringList types() const = 0;
    // The data offered for one format; empty when absent.
    virtual QByteArray data(const QString& type) const = 0;
    // The plain-text string, absent when the clipboard holds no text.
    virtual std::optional<QString> string() const = 0;
    // Replaces the contents with text and, for each given type, its data,
    // as one write.
    virtual void write(const QString& text, const QList<QPair<QString, QByteArray>>& extra) = 0;
    // Runs listener on the main thread whenever another program changes the
    // clipboard, so that a copy can leave before the next timer tick.
    virtual void setChangeListener(std::function<void()> listener) = 0;
    // False when the desktop lets this program see copies only while one of
    // its windows has focus, so nothing is captured in the background.
    virtual bool background() const { return true; }
};

// What the program last wrote to the clipboard. Clipboard managers take
// over such a write so that it survives us; that is still our own write,
// and sending it back would echo between devices.
class OwnWrite {
public:
    void remember(const QString& text) { text_ = text; }
    // True when a change of owner carries the text we wrote; any change
    // forgets it.
    bool takenOver(const std::optional<QString>& text) {
        const bool ours = text_ && text == text_;
        text_.reset();
        return ours;
    }

private:
    std::optional<QString> text_;
};

// The user defaults: "device", "localPaused", "flowWelcomed".
class Settings {
public:
    virtual ~Settings() = default;
    virtual std::optional<QString> string(const QString& key) const = 0;
    virtual bool boolean(const QString& key) const = 0; // false when absent
    virtual void setString(const QString& key, const QString& value) = 0;
    virtual void setBoolean(const QString& key, bool value) = 0;
};

// The windows and the tray item. The views own their own behaviour (the
// panel's placement, Escape, outside clicks); the controller decides when
// each is shown.
class Views {
public:
    virtual ~Views() = default;
    // Creates the welcome window, the panel and the tray item. onTray runs
    // when the tray item is activated.
    virtual void setup(bool designPreview, std::function<void()> onTray) = 0;
    virtual void showWelcome() = 0; // centred, raised and focused
    virtual void hideWelcome() = 0;
    virtual bool welcomeVisible() const = 0;
    virtual void showPanel() = 0; // raised and focused
    virtual void hidePanel() = 0;
    virtual bool panelVisible() const = 0;
    // Places and sizes the panel under the tray item for the model's state.
    virtual void resizePanel() = 0;
};

// Modal alerts.
class Dialogs {
public:
    virtual ~Dialogs() = default;
    // Two buttons; true when the first (consent) was chosen.
    virtual bool confirm(const QString& message, const QString& information, const QString& accept,
                         const QString& cancel) = 0;
    // As confirm, with an editable address field pre-filled with text; the
    // field's final text is returned when the first button was chosen.
    virtual std::optional<QString> askAddress(const QString& message, const QString& information,
                                              const QString& text) = 0;
};

// The nearby-host discovery client as the controller sees it.
using DiscoveryCallback =
    std::function<void(std::optional<LocalSession> session, std::optional<std::string> server)>;

class Discovery {
public:
    virtual ~Discovery() = default;
    virtual void start() = 0;
    virtual void stop() = 0;
    // Other hosts announced over mDNS while running, reached or not.
    virtual std::set<std::string> announcedHosts() const { return {}; }
};

// Makes the discovery client for this device; the callback must be delivered
// on the main thread.
using DiscoveryFactory = std::function<std::unique_ptr<Discovery>(
    const std::string& device, const std::string& name, DiscoveryCallback callback)>;

// The clip-server requests the controller makes. Each blocks its calling
// thread and is called off the main thread.
struct ClipServer {
    std::function<void(const Group&, const Envelope&)> post;
    std::function<Batch(const Group&, std::int64_t cursor)> poll;
    std::function<void(const Group&)> readFromStart;
    std::function<void(const Group&)> revoke;
    std::function<Group(const std::string& server)> create;
};

// The keychain item holding the current relay group: stores it, or deletes
// it when given none.
using SecretSaver = std::function<void(const std::optional<Group>&)>;

} // namespace zephlink
