// Plays a program that copies: offers a text, plus any TYPE=VALUE formats (a
// password manager's hint), until another program copies or 30 s pass.
#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>
#include <QTimer>

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    const QStringList arguments = QGuiApplication::arguments();
    if (arguments.size() < 2)
        return 2;
    auto* data = new QMimeData;
    data->setText(arguments[1]);
    for (const QString& format : arguments.mid(2))
        data->setData(format.section('=', 0, 0), format.section('=', 1).toUtf8());
    QClipboard* clipboard = QGuiApplication::clipboard();
    clipboard->setMimeData(data);
    QObject::connect(clipboard, &QClipboard::dataChanged, &app, [clipboard] {
        if (!clipboard->ownsClipboard())
            QCoreApplication::quit();
    });
    QTimer::singleShot(30000, &app, &QCoreApplication::quit);
    return QGuiApplication::exec();
}
