#include "KxPhone/kxdefaults.h"

#include <algorithm>
#include <tuple>
#include <type_traits>
#include <variant>
#include <vector>

#include <QSettings>

namespace kxdefaults {

namespace {

using AnyKey = std::variant<const Flag*, const Number*, const Text*>;

/// Every key; those seeded in the order the first start writes them.
const std::vector<AnyKey>& keys()
{
    static const std::vector<AnyKey> all = {
        &Name,
        &Language,
        &Address,
        &AutoAnswer,
        &AutoStart,
        &AutoUpdate,
        &CallAutoHide,
        &CallLocation,
        &CallPip,
        &CallLayout,
        &AudioInput,
        &AudioOutput,
        &AudioEcho,
        &AudioEchoDuration,
        &AudioSilence,
        &AudioJitter,
        &VideoDevice,
        &VideoWidth,
        &VideoHeight,
        &VideoRate,
        &VideoFormat,
        &CodecG722,
        &CodecG711A,
        &CodecG711U,
        &CodecWidth,
        &CodecHeight,
        &CodecFecc,
        &CodecH239,
        &NetTransmit,
        &NetReceive,
        &NetNat,
        &NetStun,
        &NetPublicIp,
        &NetUdpLow,
        &NetUdpHigh,
        &NetTcpLow,
        &NetTcpHigh,
        &StateX,
        &StateY,
        &StateWidth,
        &StateHeight,
        &StateMaximized,
        &TraceEnable,
        &TraceLevel,
        &GatekeeperMode,
        &GatekeeperHost,
        &GatekeeperAlias,
        &GatekeeperE164,
        &GatekeeperPassword,
        &GatekeeperDiscovery,
        &GatekeeperTtl,
        &GatekeeperTraversal,
        &NetEncryption,
        &ScreenShareToken,
    };
    return all;
}

const char* nameOf(const AnyKey& key)
{
    return std::visit([](const auto* k) { return k->name; }, key);
}

bool readInt(const QVariant& value, int& number)
{
    bool ok = false;
    number = value.toString().trimmed().toInt(&ok);
    return ok;
}

/// A text as stored; a hand-written value with commas, which the file reads as a list,
/// is put back together.
QString textOf(const QVariant& value)
{
    if (value.type() == QVariant::StringList)
        return value.toStringList().join(", ");
    return value.toString();
}

bool valid(const Flag&, const QVariant& value)
{
    const QString text = value.toString().trimmed().toLower();
    return text == "true" || text == "false";
}

bool valid(const Number& key, const QVariant& value)
{
    int number = 0;
    if (!readInt(value, number))
        return false;
    if (key.choices)
        return key.choices().contains(value.toString().trimmed());
    return number >= key.low && number <= key.high;
}

bool valid(const Text& key, const QVariant& value)
{
    return !key.choices || key.choices().contains(textOf(value));
}

QVariant defaultOf(const AnyKey& key)
{
    return std::visit(
        [](const auto* k) -> QVariant {
            if constexpr (std::is_same_v<std::decay_t<decltype(*k)>, Text>)
                return QString(k->fallback);
            else
                return k->fallback;
        },
        key);
}

} // namespace

bool read(const QSettings& settings, const Flag& key)
{
    const QVariant value = settings.value(key.name);
    if (!value.isValid() || !valid(key, value))
        return key.fallback;
    return value.toString().trimmed().toLower() == "true";
}

int read(const QSettings& settings, const Number& key)
{
    const QVariant value = settings.value(key.name);
    int number = 0;
    if (!value.isValid() || !valid(key, value) || !readInt(value, number))
        return key.fallback;
    return number;
}

QString read(const QSettings& settings, const Text& key)
{
    const QVariant value = settings.value(key.name);
    if (!value.isValid() || !valid(key, value))
        return key.fallback;
    return textOf(value);
}

void write(QSettings& settings, const Flag& key, bool value)
{
    settings.setValue(key.name, value);
}

void write(QSettings& settings, const Number& key, int value)
{
    settings.setValue(key.name, value);
}

void write(QSettings& settings, const Text& key, const QString& value)
{
    settings.setValue(key.name, value);
}

const QVector<Entry>& table()
{
    static const QVector<Entry> entries = [] {
        QVector<Entry> seeded;
        for (const AnyKey& key : keys())
            if (std::visit([](const auto* k) { return k->seeded; }, key))
                seeded.push_back({nameOf(key), defaultOf(key)});
        return seeded;
    }();
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

const QStringList& languages()
{
    static const QStringList values = {"en", "vn"};
    return values;
}

bool isValid(const QString& name, const QVariant& value)
{
    const auto& all = keys();
    const auto key =
        std::find_if(all.begin(), all.end(), [&](const AnyKey& k) { return name == nameOf(k); });
    if (key == all.end())
        return true;
    return std::visit([&](const auto* k) { return valid(*k, value); }, *key);
}

QStringList correctInvalid(QSettings& settings, const QStringList& prefixes)
{
    auto wanted = [&](const QString& key) {
        return prefixes.isEmpty() ||
               std::any_of(prefixes.begin(), prefixes.end(),
                           [&](const QString& p) { return key.startsWith(p); });
    };
    QStringList corrected;
    for (const AnyKey& key : keys()) {
        const QString name = nameOf(key);
        if (!wanted(name) || !settings.contains(name) || isValid(name, settings.value(name)))
            continue;
        settings.setValue(name, defaultOf(key));
        corrected << name;
    }
    // A range whose upper port is not above its lower one: the lower port is kept, as the
    // network page does.
    for (const auto& [base, top, span] :
         {std::tuple{NetUdpLow, NetUdpHigh, 20}, std::tuple{NetTcpLow, NetTcpHigh, 10}}) {
        if (!wanted(top.name))
            continue;
        const int low = settings.value(base.name).toInt();
        if (settings.value(top.name).toInt() > low)
            continue;
        settings.setValue(top.name, low + span);
        if (!corrected.contains(top.name))
            corrected << top.name;
    }
    settings.sync();
    return corrected;
}

} // namespace kxdefaults
