#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <functional>

namespace zephlink {

class DazarApp;

inline constexpr const char* kDBusService = "app.zephlink.Zephlink";
inline constexpr const char* kDBusPath = "/app/zephlink/Zephlink";
inline constexpr const char* kDBusInterface = "app.zephlink.Zephlink";
inline constexpr int kForwardTimeoutMs = 5000;

// The controller's named actions on the session bus, for scripts and for a
// second start of the program. Actions are queued and the call returns at
// once: some of them open modal dialogs. A queued action acts on the values
// set when it was called. The invitation is write-only: it carries the
// group's key and token.
class DBusService : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "app.zephlink.Zephlink")
    Q_PROPERTY(QString Status READ status)
    Q_PROPERTY(QString Server READ server)
    Q_PROPERTY(bool Running READ running)
    Q_PROPERTY(bool Paired READ paired)
    Q_PROPERTY(QString Device READ device)
    // How many clips the history holds. Never their texts: every program on
    // the session bus could read them, whatever the desktop's clipboard allows.
    Q_PROPERTY(int HistoryCount READ historyCount)

public:
    explicit DBusService(DazarApp* app, QObject* parent = nullptr);

    // Registers the object, then claims the service name. False when another
    // instance already owns the name (or there is no session bus).
    bool registerOnSessionBus();

    QString status() const;
    QString server() const;
    bool running() const;
    bool paired() const;
    QString device() const;
    int historyCount() const;

public slots:
    void SetServer(const QString& address);
    // The trusted, scripted way to join: no dialog.
    void SetInvitation(const QString& link);
    void Create();
    void Join();
    void CopyInvite();
    // For scripts: copies the invitation for address without the dialog.
    void CopyInviteFor(const QString& address);
    void Leave();
    void Reset();
    void ToggleSync();
    void SendClipboard();
    void Show();
    void ShowPopover();
    void Quit();
    // What a second start of the program asks for.
    void Activate();
    // A link from outside: joined only once the user agrees.
    void OpenLink(const QString& link);

private:
    // Runs action on the controller from the event loop, if it still exists.
    void later(std::function<void(DazarApp&)> action);

    QPointer<DazarApp> app_;
};

// For a second start: hands the link (or a plain activation) to the instance
// that owns the service. False when no instance answered.
bool forwardToRunningInstance(const QString& link);

// Waits up to ms milliseconds for an instance to own the service while
// alive() holds. False when there is no session bus or none came.
bool waitForInstance(int ms, const std::function<bool()>& alive);

} // namespace zephlink
