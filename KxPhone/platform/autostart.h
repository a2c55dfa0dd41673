#pragma once
// Starting the program when the user logs on: the desktop's autostart entry (XDG).

#include <QString>

namespace kxautostart {

/// Where the start-at-log-on entry lives: $XDG_CONFIG_HOME/autostart/Kestrovia.desktop
/// ($HOME/.config when XDG_CONFIG_HOME is not set).
QString entryPath();
/// The entry's text for the program at `program` (an absolute path).
QString entryText(const QString& program);
/// Writes the entry for `program` (on) or removes it (off); an empty text when it worked,
/// otherwise why not.
QString apply(bool on, const QString& program);
/// Brings the entry in line with `on` when it is not (missing, left behind, or naming
/// another program); an empty text when it is in line or was brought so.
QString follow(bool on, const QString& program);

} // namespace kxautostart
