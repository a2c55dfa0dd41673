#include "KxPhone/platform/autostart.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

namespace kxautostart {

QString entryPath()
{
    QString base = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (base.isEmpty() || !QDir::isAbsolutePath(base))
        base = QDir::homePath() + "/.config";
    return base + "/autostart/Kestrovia.desktop";
}

QString entryText(const QString& program)
{
    // The Exec key's quoting: the path in double quotes, with the characters that are
    // special inside them escaped by a backslash, and every backslash doubled once more
    // for the string value around it.
    QString quoted;
    for (const QChar c : program) {
        if (c == '"' || c == '`' || c == '$' || c == '\\')
            quoted += '\\';
        quoted += c;
    }
    quoted.replace("\\", "\\\\");
    quoted.replace("%", "%%"); // a field code otherwise
    return "[Desktop Entry]\n"
           "Type=Application\n"
           "Name=Kestrovia\n"
           "Comment=H.323 video calls\n"
           "Exec=\"" +
           quoted +
           "\"\n"
           "Icon=kestrovia\n"
           "Terminal=false\n"
           "Categories=Network;Telephony;VideoConference;\n"
           "X-GNOME-Autostart-enabled=true\n";
}

QString apply(bool on, const QString& program)
{
    const QString path = entryPath();
    if (!on) {
        if (QFile::exists(path) && !QFile::remove(path))
            return QFile(path).errorString();
        return {};
    }
    if (!QDir().mkpath(QFileInfo(path).path()))
        return QFileInfo(path).path();
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text))
        return file.errorString();
    file.write(entryText(program).toUtf8());
    if (!file.commit())
        return file.errorString();
    return {};
}

QString follow(bool on, const QString& program)
{
    QFile entry(entryPath());
    if (!on && !entry.exists())
        return {};
    if (on && entry.open(QIODevice::ReadOnly) &&
        entry.read(64 * 1024) == entryText(program).toUtf8())
        return {};
    return apply(on, program);
}

} // namespace kxautostart
