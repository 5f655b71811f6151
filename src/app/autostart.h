#pragma once

#include <QString>

namespace zephlink {

inline constexpr char kAutostartFile[] = "app.zephlink.Zephlink.desktop";
// Given to the program by the entry: wait for the tray before starting.
inline constexpr char kAutostartSwitch[] = "--autostart";

// The XDG autostart entry that starts Zephlink at login. Its state is
// always read from the file, so a change made elsewhere (a session manager,
// another tool, the user's editor) shows.
class Autostart {
public:
    // configHome: where "autostart/" lives; command: how the entry starts
    // the program (a name found on PATH or an absolute path).
    Autostart(QString configHome, QString command);

    // $XDG_CONFIG_HOME when it is an absolute path, else ~/.config.
    static QString defaultConfigHome();
    // "zephlink" when that name on PATH is this very program, else the
    // program's absolute path.
    static QString commandFor(const QString& programPath);

    QString path() const;
    // An entry that a session would start: present, not Hidden, not
    // disabled for GNOME, and its TryExec program exists.
    bool enabled() const;
    // Writes or removes the entry; false when that failed (the entry is
    // then as it was).
    bool setEnabled(bool on);

    // The entry's text for command.
    static QString entry(const QString& command);

private:
    QString configHome_;
    QString command_;
};

} // namespace zephlink
