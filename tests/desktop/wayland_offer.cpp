// Plays a password manager on a Wayland desktop with data-control: offers a
// text plus TYPE=VALUE formats together (wl-copy offers one type per call)
// until another program copies or 30 s pass.
#include "data_control_pasteboard.h"
#include "wayland_session.h"

#include <QCoreApplication>
#include <QTimer>

using namespace zephlink;

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    const auto globals = compositorGlobals(nullptr, kCompositorProbeMs);
    const ClipboardAccess access =
        globals ? chooseClipboard(*globals, false) : ClipboardAccess::None;
    if (arguments.size() < 2 ||
        (access != ClipboardAccess::DataControlExt && access != ClipboardAccess::DataControlWlr))
        return 2;
    DataControlPasteboard pasteboard(access == ClipboardAccess::DataControlExt
                                         ? DataControlPasteboard::Protocol::Ext
                                         : DataControlPasteboard::Protocol::Wlr);
    QList<QPair<QString, QByteArray>> extra;
    for (const QString& format : arguments.mid(2))
        extra.append({format.section('=', 0, 0), format.section('=', 1).toUtf8()});
    QTimer ready; // the device exists once the compositor answered
    QObject::connect(&ready, &QTimer::timeout, &app, [&] {
        if (pasteboard.ready()) {
            ready.stop();
            pasteboard.write(arguments[1], extra);
        }
    });
    ready.start(20);
    pasteboard.setChangeListener([] { QCoreApplication::quit(); });
    QTimer::singleShot(30000, &app, &QCoreApplication::quit);
    return QCoreApplication::exec();
}
