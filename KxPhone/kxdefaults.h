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

/// The values the settings pages offer for the bandwidths (kbit/s), frame sizes
/// ("WxH"), jitter delays and echo lengths (ms), in the order shown.
const QStringList& bandwidths();
const QStringList& frameSizes();
const QStringList& jitterDelays();
const QStringList& echoLengths();

/// Whether `value` is one `key` can hold: of the key's type (a bool written as
/// true/false, an integer as digits), and for the keys with a range or a list, within it.
/// Keys not in `table()` are always valid.
bool isValid(const QString& key, const QVariant& value);

/// Puts back the default of every key (of those starting with one of `prefixes`, all when
/// empty) whose stored value is not valid (a file edited by hand), leaving the rest as they
/// are, and syncs.  Returns the keys corrected.  A port range whose upper port is not
/// above the lower one gets the upper port the network page would give it.
QStringList correctInvalid(QSettings& settings, const QStringList& prefixes = {});

/// The registration's time to live asked of a gatekeeper (`gatekeeper/ttl`, seconds):
/// the stored value when it is a number within the range, else the default.
constexpr int MinTimeToLive = 10;
constexpr int MaxTimeToLive = 86400;
constexpr int DefaultTimeToLive = 300;
int gatekeeperTimeToLive(const QSettings& settings);

} // namespace kxdefaults
