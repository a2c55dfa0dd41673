#include "KxPhone/kxdefaults.h"

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

} // namespace kxdefaults
