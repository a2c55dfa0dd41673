#include "KxPhone/kxdefaults.h"

#include <algorithm>

#include <QSettings>

namespace kxdefaults {

const QVector<Entry>& table()
{
    static const QVector<Entry> entries = {
        {"name", QString("Kestrovia")},
        {"language", QString("vn")},
        {"address", QString("")},
        {"autoAnswer", true},
        {"autoStart", true},
        {"autoUpdate", false},
        {"call/autohide", false},
        {"call/location", 1},
        {"call/pip", 0},
        {"call/layout", 1},
        {"audio/input", QString("Default audio")},
        {"audio/output", QString("Default audio")},
        {"audio/echo", true},
        {"audio/echoDuration", 256},
        {"audio/silence", false},
        {"audio/jitter", 250},
        {"video/device", QString("no-device")},
        {"video/width", 0},
        {"video/height", 0},
        {"video/rate", 0},
        {"video/format", QString("YUV420P")},
        {"codecs/g722", true},
        {"codecs/g711a", true},
        {"codecs/g711u", true},
        {"codecs/width", 1280},
        {"codecs/height", 720},
        {"codecs/fecc", true},
        {"codecs/h239", true},
        {"net/transmit", 1024},
        {"net/receive", 1024},
        {"net/nat", 0},
        // A long-standing public STUN server that answers on the standard port.
        {"net/stun", QString("stun.sipgate.net:3478")},
        {"net/publicIP", QString("0.0.0.0")},
        {"net/mediaPortsUdp", 3230},
        {"net/mediaPortsUdpMax", 3300},
        {"net/mediaPortsTcp", 3230},
        {"net/mediaPortsTcpMax", 3250},
        {"state/x", 100},
        {"state/y", 100},
        {"state/width", 1280},
        {"state/height", 720},
        {"state/maximized", false},
        {"trace/enable", false},
        {"trace/level", 4},
    };
    return entries;
}

QStringList writeMissing(QSettings& settings)
{
    QStringList written;
    for (const Entry& entry : table()) {
        if (settings.contains(entry.key))
            continue;
        settings.setValue(entry.key, entry.value);
        written << entry.key;
    }
    settings.sync();
    return written;
}

const QStringList& bandwidths()
{
    static const QStringList values = {"128",  "192",  "256",  "384",  "512",  "640",
                                       "768",  "896",  "1024", "1280", "1536", "1792",
                                       "2048", "2560", "3072", "3584", "4096"};
    return values;
}

const QStringList& frameSizes()
{
    static const QStringList values = {"1920x1080", "1760x990", "1600x900", "1440x810", "1280x720",
                                       "1120x630",  "960x540",  "800x450",  "640x360",  "480x270",
                                       "320x180",   "704x576",  "352x288"};
    return values;
}

const QStringList& jitterDelays()
{
    static const QStringList values = {"50",  "100", "150", "200", "250",
                                       "300", "400", "500", "750", "1000"};
    return values;
}

const QStringList& echoLengths()
{
    static const QStringList values = {"128", "256", "512", "1024"};
    return values;
}

namespace {

bool readInt(const QVariant& value, int& number)
{
    bool ok = false;
    number = value.toString().trimmed().toInt(&ok);
    return ok;
}

bool inRange(const QVariant& value, int low, int high)
{
    int number = 0;
    return readInt(value, number) && number >= low && number <= high;
}

bool inList(const QVariant& value, const QStringList& list)
{
    return list.contains(value.toString().trimmed());
}

} // namespace

bool isValid(const QString& key, const QVariant& value)
{
    const auto entry =
        std::find_if(table().begin(), table().end(), [&](const Entry& e) { return e.key == key; });
    if (entry == table().end())
        return true;
    switch (entry->value.type()) {
    case QVariant::Bool: {
        const QString text = value.toString().trimmed().toLower();
        return text == "true" || text == "false";
    }
    case QVariant::Int: {
        int number = 0;
        if (!readInt(value, number))
            return false;
        break;
    }
    default:
        break;
    }
    if (key == "language")
        return value.toString() == "en" || value.toString() == "vn";
    if (key == "net/transmit" || key == "net/receive")
        return inList(value, bandwidths());
    if (key == "net/nat")
        return inRange(value, 0, 2);
    if (key.startsWith("net/mediaPorts"))
        return inRange(value, 1000, 65400);
    if (key == "audio/jitter")
        return inList(value, jitterDelays());
    if (key == "audio/echoDuration")
        return inList(value, echoLengths());
    if (key == "codecs/width" || key == "codecs/height")
        return inRange(value, 16, 7680);
    if (key == "video/width" || key == "video/height")
        return inRange(value, 0, 7680);
    if (key == "video/rate")
        return inRange(value, 0, 240);
    if (key == "call/pip" || key == "call/layout")
        return inRange(value, 0, 3);
    if (key == "state/width" || key == "state/height")
        return inRange(value, 1, 100000);
    return true;
}

QStringList correctInvalid(QSettings& settings, const QStringList& prefixes)
{
    auto wanted = [&](const QString& key) {
        return prefixes.isEmpty() ||
               std::any_of(prefixes.begin(), prefixes.end(),
                           [&](const QString& p) { return key.startsWith(p); });
    };
    QStringList corrected;
    for (const Entry& entry : table()) {
        if (!wanted(entry.key) || !settings.contains(entry.key) ||
            isValid(entry.key, settings.value(entry.key)))
            continue;
        settings.setValue(entry.key, entry.value);
        corrected << entry.key;
    }
    // A range whose upper port is not above its lower one: the lower port is kept, as the
    // network page does.
    for (const auto& [base, span] : {std::pair{QString("net/mediaPortsUdp"), 20},
                                     std::pair{QString("net/mediaPortsTcp"), 10}}) {
        const QString top = base + "Max";
        if (!wanted(top))
            continue;
        const int low = settings.value(base).toInt();
        if (settings.value(top).toInt() > low)
            continue;
        settings.setValue(top, low + span);
        if (!corrected.contains(top))
            corrected << top;
    }
    settings.sync();
    return corrected;
}

int gatekeeperTimeToLive(const QSettings& settings)
{
    bool ok = false;
    const int ttl = settings.value("gatekeeper/ttl", DefaultTimeToLive).toInt(&ok);
    return ok && ttl >= MinTimeToLive && ttl <= MaxTimeToLive ? ttl : DefaultTimeToLive;
}

} // namespace kxdefaults
