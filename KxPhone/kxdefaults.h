#pragma once

#include <limits>

#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVector>

class QSettings;

/// The settings keys of the program: each key's name, type, default and the values it may
/// hold, in one place that every reader and writer goes through.
namespace kxdefaults {

/// A key of type T (bool, int, or text as `const char*`).  `low`/`high` bound a number,
/// `choices` lists the values a number or a text may take; `seeded` keys are written with
/// their default at the first start.
template <typename T> struct Key
{
    const char* name;
    T fallback;
    int low = std::numeric_limits<int>::min();
    int high = std::numeric_limits<int>::max();
    const QStringList& (*choices)() = nullptr;
    bool seeded = true;
};
using Flag = Key<bool>;
using Number = Key<int>;
using Text = Key<const char*>;

/// The stored value; the default when the key is missing or its value is not one it can
/// hold (isValid).
bool read(const QSettings& settings, const Flag& key);
int read(const QSettings& settings, const Number& key);
QString read(const QSettings& settings, const Text& key);
void write(QSettings& settings, const Flag& key, bool value);
void write(QSettings& settings, const Number& key, int value);
void write(QSettings& settings, const Text& key, const QString& value);

/// The values the settings pages offer for the bandwidths (kbit/s), frame sizes
/// ("WxH"), jitter delays and echo lengths (ms), in the order shown; the languages.
const QStringList& bandwidths();
const QStringList& frameSizes();
const QStringList& jitterDelays();
const QStringList& echoLengths();
const QStringList& languages();

struct Entry
{
    QString key;
    QVariant value; ///< a bool, int or QString: the key's type and default
};

/// Every key written at the first start with its default, in the order written.
const QVector<Entry>& table();

/// Writes each key of `table()` that `settings` does not contain, in table order, and
/// syncs. An existing value is never replaced, whatever its type. Returns the keys written.
QStringList writeMissing(QSettings& settings);

/// Whether `value` is one `key` can hold: of the key's type (a bool written as
/// true/false, an integer as digits), and for the keys with a range or a list, within it.
/// Names that are none of the keys below are always valid.
bool isValid(const QString& key, const QVariant& value);

/// Puts back the default of every key (of those starting with one of `prefixes`, all when
/// empty) whose stored value is not valid (a file edited by hand), leaving the rest as they
/// are, and syncs.  Returns the keys corrected.  A port range whose upper port is not
/// above the lower one gets the upper port the network page would give it.
QStringList correctInvalid(QSettings& settings, const QStringList& prefixes = {});

// The keys.  A text key's value is kept as stored; the pages trim what the user typed.
inline constexpr Text Name{"name", "Kestrovia"};
inline constexpr Text Language{.name = "language", .fallback = "vn", .choices = languages};
inline constexpr Text Address{"address", ""};
inline constexpr Flag AutoAnswer{"autoAnswer", true};
inline constexpr Flag AutoStart{"autoStart", true};
inline constexpr Flag AutoUpdate{"autoUpdate", false};
inline constexpr Flag CallAutoHide{"call/autohide", false};
inline constexpr Number CallLocation{"call/location", 1, 0, 1}; ///< 0 top, 1 bottom
inline constexpr Number CallPip{"call/pip", 0, 0, 4};           ///< 0 off, 1..4 a corner
inline constexpr Number CallLayout{"call/layout", 1, 0, 3};
inline constexpr Text AudioInput{"audio/input", "Default audio"};
inline constexpr Text AudioOutput{"audio/output", "Default audio"};
inline constexpr Flag AudioEcho{"audio/echo", true};
inline constexpr Number AudioEchoDuration{
    .name = "audio/echoDuration", .fallback = 256, .choices = echoLengths};
inline constexpr Flag AudioSilence{"audio/silence", false};
inline constexpr Number AudioJitter{
    .name = "audio/jitter", .fallback = 250, .choices = jitterDelays};
inline constexpr Text VideoDevice{"video/device", "no-device"};
inline constexpr Number VideoWidth{"video/width", 0, 0, 7680};
inline constexpr Number VideoHeight{"video/height", 0, 0, 7680};
inline constexpr Number VideoRate{"video/rate", 0, 0, 240};
inline constexpr Text VideoFormat{"video/format", "YUV420P"};
inline constexpr Flag CodecG722{"codecs/g722", true};
inline constexpr Flag CodecG711A{"codecs/g711a", true};
inline constexpr Flag CodecG711U{"codecs/g711u", true};
inline constexpr Number CodecWidth{"codecs/width", 1280, 16, 7680};
inline constexpr Number CodecHeight{"codecs/height", 720, 16, 7680};
inline constexpr Flag CodecFecc{"codecs/fecc", true};
inline constexpr Flag CodecH239{"codecs/h239", true};
inline constexpr Number NetTransmit{
    .name = "net/transmit", .fallback = 1024, .choices = bandwidths}; ///< kbit/s
inline constexpr Number NetReceive{.name = "net/receive", .fallback = 1024, .choices = bandwidths};
inline constexpr Number NetNat{"net/nat", 0, 0, 2}; ///< 0 none, 1 STUN, 2 a fixed address
// A long-standing public STUN server that answers on the standard port.
inline constexpr Text NetStun{"net/stun", "stun.sipgate.net:3478"};
inline constexpr Text NetPublicIp{"net/publicIP", "0.0.0.0"};
inline constexpr Number NetUdpLow{"net/mediaPortsUdp", 3230, 1000, 65400};
inline constexpr Number NetUdpHigh{"net/mediaPortsUdpMax", 3300, 1000, 65400};
inline constexpr Number NetTcpLow{"net/mediaPortsTcp", 3230, 1000, 65400};
inline constexpr Number NetTcpHigh{"net/mediaPortsTcpMax", 3250, 1000, 65400};
inline constexpr Number StateX{"state/x", 100};
inline constexpr Number StateY{"state/y", 100};
inline constexpr Number StateWidth{"state/width", 1280, 1, 100000};
inline constexpr Number StateHeight{"state/height", 720, 1, 100000};
inline constexpr Flag StateMaximized{"state/maximized", false};
inline constexpr Flag TraceEnable{"trace/enable", false};
inline constexpr Number TraceLevel{"trace/level", 4};
// Written only once the user sets them.
inline constexpr Number GatekeeperMode{.name = "gatekeeper/mode",
                                       .fallback = 0,
                                       .low = 0,
                                       .high = 2,
                                       .seeded = false}; ///< 0 none, 1 found, 2 named
inline constexpr Text GatekeeperHost{.name = "gatekeeper/host", .fallback = "", .seeded = false};
inline constexpr Text GatekeeperAlias{.name = "gatekeeper/alias", .fallback = "", .seeded = false};
inline constexpr Text GatekeeperE164{.name = "gatekeeper/e164", .fallback = "", .seeded = false};
inline constexpr Text GatekeeperPassword{
    .name = "gatekeeper/password", .fallback = "", .seeded = false};
/// Where gatekeeper discovery is sent instead of the multicast group (tests, one LAN).
inline constexpr Text GatekeeperDiscovery{
    .name = "gatekeeper/discovery", .fallback = "", .seeded = false};
/// The registration's time to live asked of a gatekeeper, seconds.
constexpr int MinTimeToLive = 10;
constexpr int MaxTimeToLive = 86400;
constexpr int DefaultTimeToLive = 300;
inline constexpr Number GatekeeperTtl{.name = "gatekeeper/ttl",
                                      .fallback = DefaultTimeToLive,
                                      .low = MinTimeToLive,
                                      .high = MaxTimeToLive,
                                      .seeded = false};
/// Calls cross a NAT with the gatekeeper's help where it offers it (H.460.18/.19).
inline constexpr Flag GatekeeperTraversal{
    .name = "gatekeeper/traversal", .fallback = true, .seeded = false};
/// Media encryption: 0 never, 1 when the far end can, 2 required (no call otherwise).
inline constexpr Number NetEncryption{
    .name = "net/encryption", .fallback = 1, .low = 0, .high = 2, .seeded = false};
/// The key the desktop handed out for sharing the screen again without asking.
inline constexpr Text ScreenShareToken{
    .name = "video/screenShareToken", .fallback = "", .seeded = false};

} // namespace kxdefaults
