#pragma once

#include <QString>
#include <QVariant>
#include <QVector>

class QSettings;

/// The settings keys of the program with their defaults, in the order they are written.
namespace kxdefaults {

struct Entry
{
    QString key;
    QVariant value; ///< a bool, int or QString: the key's type and default
};

/// Every key, in table order.
const QVector<Entry>& table();

/// Writes each key of `table()` that `settings` does not contain, in table order, and
/// syncs. An existing value is never replaced, whatever its type. Returns the keys written.
QStringList writeMissing(QSettings& settings);

} // namespace kxdefaults
