#include "autostart.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>
#include <QStringList>
#include <algorithm>

namespace zephlink {

namespace {

// A desktop-entry string value: backslashes and control characters escaped.
QString escapeValue(QString value) {
    value.replace(QLatin1Char('\\'), QStringLiteral("\\\\"));
    value.replace(QLatin1Char('\n'), QStringLiteral("\\n"));
    value.replace(QLatin1Char('\t'), QStringLiteral("\\t"));
    value.replace(QLatin1Char('\r'), QStringLiteral("\\r"));
    return value;
}

QString unescapeValue(const QString& value) {
    QString out;
    for (qsizetype i = 0; i < value.size(); ++i) {
        if (value[i] != QLatin1Char('\\') || i + 1 == value.size()) {
            out += value[i];
            continue;
        }
        const QChar next = value[++i];
        out += next == QLatin1Char('n')   ? QChar(QLatin1Char('\n'))
               : next == QLatin1Char('t') ? QChar(QLatin1Char('\t'))
               : next == QLatin1Char('r') ? QChar(QLatin1Char('\r'))
               : next == QLatin1Char('s') ? QChar(QLatin1Char(' '))
                                          : next;
    }
    return out;
}

// One Exec argument: quoted when it holds a reserved character, and every
// '%' doubled so that it is not taken for a field code.
QString execArgument(const QString& argument) {
    static const QString reserved = QStringLiteral(" \t\n\"'\\><~|&;$*?#()`");
    QString quoted = argument;
    if (argument.isEmpty() || std::any_of(argument.begin(), argument.end(),
                                          [](QChar c) { return reserved.contains(c); })) {
        quoted.clear();
        for (const QChar c : argument) {
            if (QStringLiteral("\"`$\\").contains(c))
                quoted += QLatin1Char('\\');
            quoted += c;
        }
        quoted = QLatin1Char('"') + quoted + QLatin1Char('"');
    }
    quoted.replace(QLatin1Char('%'), QStringLiteral("%%"));
    return quoted;
}

bool executable(const QString& program) {
    if (program.contains(QLatin1Char('/'))) {
        const QFileInfo info(program);
        return info.isFile() && info.isExecutable();
    }
    return !QStandardPaths::findExecutable(program).isEmpty();
}

} // namespace

Autostart::Autostart(QString configHome, QString command)
    : configHome_(std::move(configHome)), command_(std::move(command)) {}

QString Autostart::defaultConfigHome() {
    const QString configured = qEnvironmentVariable("XDG_CONFIG_HOME");
    // Relative paths are invalid here and ignored.
    if (QDir::isAbsolutePath(configured))
        return configured;
    return QDir::homePath() + QStringLiteral("/.config");
}

QString Autostart::commandFor(const QString& programPath) {
    const QString name = QFileInfo(programPath).fileName();
    const QString onPath = QStandardPaths::findExecutable(name);
    if (!onPath.isEmpty() &&
        QFileInfo(onPath).canonicalFilePath() == QFileInfo(programPath).canonicalFilePath())
        return name;
    return QFileInfo(programPath).absoluteFilePath();
}

QString Autostart::path() const {
    return configHome_ + QStringLiteral("/autostart/") + QString::fromLatin1(kAutostartFile);
}

QString Autostart::entry(const QString& command) {
    // GNOME waits X-GNOME-Autostart-Delay seconds, KDE starts phase 2 after
    // the panel; elsewhere --autostart makes the program wait for the tray.
    return QStringLiteral("[Desktop Entry]\n"
                          "Type=Application\n"
                          "Name=Zephlink\n"
                          "Comment=Share copied text between your own devices\n"
                          "Exec=%1 %2\n"
                          "TryExec=%3\n"
                          "Icon=app.zephlink.Zephlink\n"
                          "Terminal=false\n"
                          "X-GNOME-Autostart-enabled=true\n"
                          "X-GNOME-Autostart-Delay=3\n"
                          "X-KDE-autostart-phase=2\n")
        .arg(escapeValue(execArgument(command)), QString::fromLatin1(kAutostartSwitch),
             escapeValue(command));
}

bool Autostart::enabled() const {
    QFile file(path());
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return false;
    bool inEntry = false;
    bool sawEntry = false;
    bool on = true;
    while (!file.atEnd()) {
        const QString line = QString::fromUtf8(file.readLine()).trimmed();
        if (line.startsWith(QLatin1Char('['))) {
            inEntry = line == QStringLiteral("[Desktop Entry]");
            sawEntry = sawEntry || inEntry;
            continue;
        }
        const qsizetype equals = line.indexOf(QLatin1Char('='));
        if (!inEntry || equals < 0)
            continue;
        const QString key = line.left(equals).trimmed();
        const QString value = unescapeValue(line.mid(equals + 1).trimmed());
        if ((key == QStringLiteral("Hidden") && value == QStringLiteral("true")) ||
            (key == QStringLiteral("X-GNOME-Autostart-enabled") &&
             value == QStringLiteral("false")) ||
            (key == QStringLiteral("TryExec") && !executable(value)))
            on = false;
    }
    return sawEntry && on;
}

bool Autostart::setEnabled(bool on) {
    const QString file = path();
    if (!on) {
        if (QFile::remove(file))
            return true;
        const QFileInfo gone(file);
        return !gone.exists() && !gone.isSymLink();
    }
    if (!QDir().mkpath(QFileInfo(file).path()))
        return false;
    QSaveFile out(file);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Text))
        return false;
    const QByteArray text = entry(command_).toUtf8();
    return out.write(text) == text.size() && out.commit();
}

} // namespace zephlink
