// The manager's network configuration: the endpoints and routes made at start, the
// port ranges, the NAT method and the gatekeeper, and what the Network page shows of them.

#include "KxPhone/kxmanager.h"

#include <iostream>

#include <QCoreApplication>
#include <QObject>
#include <QPointer>
#include <QRegularExpression>
#include <QSettings>
#include <QTimer>

#include "KxPhone/kxdefaults.h"
#include "KxPhone/kxh323endpoint.h"
#include "KxPhone/kxpcssendpoint.h"
#include "voip/base/trace.h"
#include "voip/nat/fixedmethod.h"
#include "voip/nat/stunmethod.h"

namespace {

constexpr int DefaultPortBase = 3230;
constexpr int HighestPort = 65400;
constexpr int LowestPort = 1000;
/// Audio, video, content and camera control each take an RTP and an RTCP port.
constexpr int SmallestUdpRange = 8;
constexpr int NatOff = 0;
constexpr int NatStun = 1;
constexpr int NatFixed = 2;

} // namespace

// --- configuration ---

void KxManager::configureNetwork()
{
    addNatMethod(std::make_unique<voip::nat::StunMethod>());
    addNatMethod(std::make_unique<voip::nat::FixedMethod>());
    applyPorts();
    h323EndPoint_ = static_cast<KxH323EndPoint*>(attachEndPoint(
        std::make_unique<KxH323EndPoint>(*this, context_.listenAddress, context_.listenPort)));
    pcssEndPoint_ =
        static_cast<KxPCSSEndPoint*>(attachEndPoint(std::make_unique<KxPCSSEndPoint>(*this)));
    if (!context_.soundDriver.empty() && !pcssEndPoint_->setSoundDriver(context_.soundDriver))
        std::cerr << "Unknown sound driver " << context_.soundDriver << std::endl;
    const std::string name = kxdefaults::read(*settings_, kxdefaults::Name).toStdString();
    if (!name.empty()) {
        setDefaultUserName(name, true);
        setDefaultDisplayName(name, true);
    }
    addRoute("h323:.* = pc:");
    addRoute("pc:.*   = h323:<da>");
    applyEncryption();
    applyNat();
    applyGatekeeper();
}

void KxManager::applyGatekeeper()
{
    const int mode = kxdefaults::read(*settings_, kxdefaults::GatekeeperMode);
    const QString host = kxdefaults::read(*settings_, kxdefaults::GatekeeperHost).trimmed();
    QString alias = kxdefaults::read(*settings_, kxdefaults::GatekeeperAlias).trimmed();
    if (alias.isEmpty())
        alias = kxdefaults::read(*settings_, kxdefaults::Name).trimmed();
    QString e164 = kxdefaults::read(*settings_, kxdefaults::GatekeeperE164).trimmed();
    if (e164.contains(QRegularExpression("[^0-9#*,]")))
        e164.clear();
    if (gatekeeper_) {
        h323EndPoint_->setGatekeeper(nullptr);
        retireGatekeeper();
    }
    if ((mode != 1 && mode != 2) || (mode == 2 && host.isEmpty())) {
        std::cout << "Gatekeeper: none" << std::endl;
        return;
    }
    voip::h323::RasConfig config;
    config.gatekeeper = mode == 1 ? std::string("auto") : host.toStdString();
    const QString discovery =
        kxdefaults::read(*settings_, kxdefaults::GatekeeperDiscovery).trimmed();
    if (!discovery.isEmpty())
        config.discoveryAddress = discovery.toStdString();
    config.alias = alias.left(128).toStdString();
    config.e164 = e164.left(128).toStdString();
    config.password =
        kxdefaults::read(*settings_, kxdefaults::GatekeeperPassword).left(128).toStdString();
    config.timeToLive =
        std::chrono::seconds(kxdefaults::read(*settings_, kxdefaults::GatekeeperTtl));
    config.traversal = kxdefaults::read(*settings_, kxdefaults::GatekeeperTraversal);
    const bool anyInterface = context_.listenAddress.empty() || context_.listenAddress == "*";
    config.bindAddress = anyInterface ? "0.0.0.0" : context_.listenAddress;
    config.callSignalAddress =
        voip::h225::IpAddressPort::parse(anyInterface ? "0.0.0.0" : context_.listenAddress,
                                         h323EndPoint_->listenerPort())
            .value_or(voip::h225::IpAddressPort{});
    auto client = h323EndPoint_->newGatekeeperClient(config);
    std::cout << "Gatekeeper: " << config.gatekeeper << " as " << config.alias
              << (config.password.empty() ? "" : " with a password") << std::endl;
    gatekeeperAlias_ = QString::fromStdString(config.alias.empty() ? config.e164 : config.alias);
    // Starting looks the gatekeeper's name up, after the last one has let us go.  Calls use
    // the client once it has us registered.
    inBackground([client] {
        if (!client->start())
            std::cerr << "Gatekeeper: " << client->lastReason() << std::endl;
    });
    h323EndPoint_->setGatekeeper(client);
    gatekeeper_ = client;
}

void KxManager::retireGatekeeper()
{
    // Unregistering waits for the gatekeeper's answer: the next client starts after it.
    inBackground([old = std::move(gatekeeper_)] { old->close(); });
    gatekeeper_.reset();
}

void KxManager::inBackground(std::function<void()> work)
{
    if (!background_)
        background_.emplace(1);
    asio::post(*background_, std::move(work));
}

namespace {

/// Why the gatekeeper refused us, in words for the reasons a user can act on; the
/// reason's name for the others.
QString rejectionText(const QString& reason)
{
    static const std::map<QString, const char*> texts = {
        {"securityDenial", "gk-why-security"},      {"securityError", "gk-why-security"},
        {"duplicateAlias", "gk-why-duplicate"},     {"invalidAlias", "gk-why-alias"},
        {"invalidTerminalAliases", "gk-why-alias"}, {"resourceUnavailable", "gk-why-full"},
        {"terminalExcluded", "gk-why-excluded"},
    };
    const auto found = texts.find(reason);
    if (found != texts.end())
        return QCoreApplication::translate("KxManager", found->second);
    if (reason.endsWith("does not resolve"))
        return QCoreApplication::translate("KxManager", "gk-why-resolve");
    return reason;
}

} // namespace

QString KxManager::gatekeeperStatus() const
{
    if (!gatekeeper_)
        return {};
    const auto state = gatekeeper_->state();
    const QString reason = QString::fromStdString(gatekeeper_->lastReason());
    switch (state) {
    case voip::h323::RasState::Registered:
        return QCoreApplication::translate("KxManager", "gk-registered").arg(gatekeeperAlias_);
    case voip::h323::RasState::Registering:
        return QCoreApplication::translate("KxManager", "gk-registering");
    case voip::h323::RasState::Rejected:
        return QCoreApplication::translate("KxManager", "gk-rejected").arg(rejectionText(reason));
    case voip::h323::RasState::Unreachable:
        // One state while it is tried again, with when the next try comes.
        if (const auto next = gatekeeper_->nextAttempt()) {
            const auto seconds =
                std::chrono::ceil<std::chrono::seconds>(*next - std::chrono::steady_clock::now());
            return QCoreApplication::translate("KxManager", "gk-unreachable-retry")
                .arg(std::max<qint64>(1, seconds.count()));
        }
        return QCoreApplication::translate("KxManager", "gk-unreachable");
    case voip::h323::RasState::Unregistered:
        return QCoreApplication::translate("KxManager", "gk-unregistered");
    }
    return {};
}

QString KxManager::traversalStatus() const
{
    // Said of a registration that stands: before it, or refused, there is nothing to say.
    if (!gatekeeper_ || gatekeeper_->state() != voip::h323::RasState::Registered)
        return {};
    // Named as the gatekeeper names itself; by the address it was found at otherwise.
    QString name = QString::fromStdString(gatekeeper_->gatekeeperIdentifier());
    if (name.isEmpty())
        name = kxdefaults::read(*settings_, kxdefaults::GatekeeperHost).trimmed();
    if (name.isEmpty())
        name = QCoreApplication::translate("KxManager", "gk-traversal-unnamed");
    switch (gatekeeper_->traversal()) {
    case voip::h323::TraversalState::On:
        return QCoreApplication::translate("KxManager", "gk-traversal-on").arg(name);
    case voip::h323::TraversalState::NotOffered:
        return QCoreApplication::translate("KxManager", "gk-traversal-not-offered").arg(name);
    case voip::h323::TraversalState::Off:
        return QCoreApplication::translate("KxManager", "gk-traversal-off").arg(name);
    case voip::h323::TraversalState::Pending:
        break;
    }
    return {};
}

void KxManager::applyPorts()
{
    // Read as stored, not through the table: a value out of range is reported here.
    auto readPort = [this](const kxdefaults::Number& key, bool& ok) {
        return settings_->value(key.name).toInt(&ok);
    };
    bool ok = false;
    int udpBase = readPort(kxdefaults::NetUdpLow, ok);
    if (!ok || udpBase < LowestPort || udpBase > HighestPort) {
        VOIP_TRACE(1, "KxManager\tUDP port base "
                          << settings_->value(kxdefaults::NetUdpLow.name).toString().toStdString()
                          << " out of range, using " << DefaultPortBase);
        udpBase = DefaultPortBase;
    }
    int udpMax = readPort(kxdefaults::NetUdpHigh, ok);
    if (!ok || udpMax > HighestPort || udpMax - udpBase + 1 < SmallestUdpRange) {
        VOIP_TRACE(1, "KxManager\tUDP port range to " << udpMax << " too small or out of range");
        udpMax = std::min(udpBase + 20, 65535);
    }
    int tcpBase = readPort(kxdefaults::NetTcpLow, ok);
    if (!ok || tcpBase < LowestPort || tcpBase > HighestPort) {
        VOIP_TRACE(1, "KxManager\tTCP port base out of range, using " << DefaultPortBase);
        tcpBase = DefaultPortBase;
    }
    int tcpMax = readPort(kxdefaults::NetTcpHigh, ok);
    if (!ok || tcpMax <= tcpBase || tcpMax > HighestPort) {
        VOIP_TRACE(1, "KxManager\tTCP port range to " << tcpMax << " out of range");
        tcpMax = tcpBase + 10;
    }
    setTcpPortRange(static_cast<std::uint16_t>(tcpBase), static_cast<std::uint16_t>(tcpMax));
    setUdpPortRange(static_cast<std::uint16_t>(udpBase), static_cast<std::uint16_t>(udpMax));
    setRtpPortRange(static_cast<std::uint16_t>(udpBase), static_cast<std::uint16_t>(udpMax));
    std::cout << "Set UDP/RTP ports: " << udpBase << " - " << udpMax << std::endl;
    std::cout << "Set TCP ports: " << tcpBase << " - " << tcpMax << std::endl;
}

void KxManager::applyNat()
{
    bool ok = false;
    int mode = settings_->value(kxdefaults::NetNat.name).toInt(&ok);
    if (!ok || mode < NatOff || mode > NatFixed) {
        VOIP_TRACE(1, "KxManager\tUnknown NAT method "
                          << settings_->value(kxdefaults::NetNat.name).toString().toStdString()
                          << ", none used");
        mode = NatOff;
    }
    auto* stun = natMethod("STUN");
    auto* fixed = natMethod("Fixed");
    auto switchOff = [this](voip::nat::NatMethod* method, const char* name) {
        if (!method)
            return;
        method->activate(false);
        setNatServer(name, "127.0.0.1", false);
    };
    const std::string stunServer =
        kxdefaults::read(*settings_, kxdefaults::NetStun).toLatin1().toStdString();
    if (mode == NatFixed) {
        if (fixed)
            fixed->activate(true);
        asio::error_code error;
        auto address = asio::ip::make_address(
            kxdefaults::read(*settings_, kxdefaults::NetPublicIp).toLatin1().toStdString(), error);
        const std::string text = error ? "0.0.0.0" : address.to_string();
        setNatServer("Fixed", text, true, 0);
        switchOff(stun, "STUN");
    } else if (mode == NatStun) {
        switchOff(fixed, "Fixed");
        if (stun)
            stun->activate(true);
        if (setNatServer("STUN", stunServer, true, 0))
            startNatProbe();
        setNatBindingRefresh(std::chrono::minutes(2));
    } else {
        switchOff(stun, "STUN");
        switchOff(fixed, "Fixed");
    }
    // The public address is the fixed one, or what the probe finds later: asking the STUN
    // server here would hold up the GUI thread.
    std::cout << "NAT mode: " << mode << " STUN: " << stunServer
              << " Public IP: " << (mode == NatFixed ? publicAddress().toStdString() : "")
              << std::endl;
}

void KxManager::startNatProbe()
{
    probeStun(nullptr, {});
}

void KxManager::probeStun(QObject* receiver, std::function<void(const StunAnswer&)> done)
{
    auto* stun = natMethod("STUN");
    if (!stun)
        return;
    QPointer<QObject> target(receiver);
    const bool answerWanted = receiver && done;
    inBackground([stun, target, done = std::move(done), answerWanted] {
        StunAnswer answer;
        answer.server = QString::fromStdString(stun->server());
        const auto type = stun->natType(std::chrono::milliseconds(0));
        answer.natType = QString::fromLatin1(voip::nat::toString(type));
        if (const auto address = stun->externalAddress(voip::nat::NatMethod::AnyAge);
            address && !address->is_unspecified())
            answer.address = QString::fromStdString(address->to_string());
        VOIP_TRACE(2, "KxManager\tNAT type " << voip::nat::toString(type) << " public address "
                                             << answer.address.toStdString());
        // Through the application object, which outlives every window: the receiver is
        // checked on its own thread, where it would be deleted.
        if (answerWanted && QCoreApplication::instance())
            QMetaObject::invokeMethod(
                QCoreApplication::instance(),
                [target, done, answer] {
                    if (target)
                        done(answer);
                },
                Qt::QueuedConnection);
    });
}

QString KxManager::publicAddress()
{
    const int mode = kxdefaults::read(*settings_, kxdefaults::NetNat);
    auto* method = natMethod(mode == NatStun ? "STUN" : "Fixed");
    if (!method)
        return {};
    const auto address = method->externalAddress(
        mode == NatStun ? std::chrono::milliseconds(0) : std::chrono::milliseconds(60000));
    if (!address || address->is_unspecified())
        return {};
    return QString::fromStdString(address->to_string());
}

