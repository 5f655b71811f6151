// Plays a password manager on a Wayland desktop with data-control: offers a
// text plus TYPE=VALUE formats together (wl-copy offers one type per call)
// until another program copies or 30 seconds pass.
#include "data_control_pasteboard.h"
#include "wayland_session.h"

#include <QCoreApplication>
#include <QTimer>

using namespace zephlink;

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    const auto globals = compositorGlobals(nullptr, kCompositorProbeMs);
    if (arguments.size() < 2 || !globals)
        return 2;
    const ClipboardAccess access = chooseClipboard(*globals, false);
    if (access != ClipboardAccess::DataControlExt && access != ClipboardAccess::DataControlWlr)
        return 2;
    DataControlPasteboard pasteboard(access == ClipboardAccess::DataControlExt
                                         ? DataControlPasteboard::Protocol::Ext
                                         : DataControlPasteboard::Protocol::Wlr);
    QList<QPair<QString, QByteArray>> extra;
    for (qsizetype i = 2; i < arguments.size(); ++i) {
        const auto at = arguments[i].indexOf(QLatin1Char('='));
        if (at > 0)
            extra.append({arguments[i].left(at), arguments[i].mid(at + 1).toUtf8()});
    }
    // The device exists once the compositor answered; a test helper may wait for it.
    QTimer ready;
    QObject::connect(&ready, &QTimer::timeout, &app, [&] {
        if (!pasteboard.ready())
            return;
        ready.stop();
        pasteboard.write(arguments[1], extra);
    });
    ready.start(20);
    pasteboard.setChangeListener([] { QCoreApplication::quit(); });
    QTimer::singleShot(30000, &app, &QCoreApplication::quit);
    return QCoreApplication::exec();
}
