// Plays a program that copies: offers a text, plus any TYPE=VALUE formats
// (a password manager offers its hint beside the text), until another
// program takes the clipboard or 30 seconds pass.
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
    for (qsizetype i = 2; i < arguments.size(); ++i) {
        const auto at = arguments[i].indexOf(QLatin1Char('='));
        if (at > 0)
            data->setData(arguments[i].left(at), arguments[i].mid(at + 1).toUtf8());
    }
    QClipboard* clipboard = QGuiApplication::clipboard();
    clipboard->setMimeData(data);
    QObject::connect(clipboard, &QClipboard::dataChanged, &app, [clipboard] {
        if (!clipboard->ownsClipboard())
            QCoreApplication::quit();
    });
    QTimer::singleShot(30000, &app, &QCoreApplication::quit);
    return QGuiApplication::exec();
}
