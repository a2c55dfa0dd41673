// Call signalling of an H.323 connection: Q.931 messages with their H.225.0 User-user
// information over the TCP signalling channel (H.225.0 7, H.323 8.1).

#include "voip/h323/connection.h"
#include "voip/h323/connectionstate.h"

#include <future>
#include <thread>
#include <random>

#include "voip/base/text.h"
#include "voip/base/trace.h"
#include "voip/call.h"
#include "voip/h225/address.h"
#include "voip/h225/message.h"
#include "voip/h323/tpktchannel.h"
#include "voip/manager.h"

namespace voip::h323 {

namespace {

// Q.850 causes this file sends.
constexpr unsigned CauseResponseToStatusEnquiry = 30;
constexpr unsigned CauseInvalidMessage = 95;
constexpr unsigned CauseMandatoryElementMissing = 96;

// Q.931 4.5.7 call states reported in a Status message.
constexpr std::uint8_t StateOutgoingCallProceeding = 3;
constexpr std::uint8_t StateCallDelivered = 4;
constexpr std::uint8_t StateIncomingCallProceeding = 9;
constexpr std::uint8_t StateActive = 10;

std::uint16_t randomCallReference()
{
    static thread_local std::mt19937 generator{std::random_device{}()};
    return static_cast<std::uint16_t>(std::uniform_int_distribution<int>(1, 0x7fff)(generator));
}

h225::IpAddressPort toIpAddressPort(const asio::ip::tcp::endpoint& endpoint)
{
    h225::IpAddressPort result;
    auto address = endpoint.address();
    if (address.is_v6() && address.to_v6().is_v4_mapped())
        address = asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6());
    if (address.is_v4()) {
        const auto bytes = address.to_v4().to_bytes();
        std::copy(bytes.begin(), bytes.end(), result.address.begin());
    } else {
        const auto bytes = address.to_v6().to_bytes();
        std::copy(bytes.begin(), bytes.end(), result.address.begin());
        result.ipv6 = true;
    }
    result.port = endpoint.port();
    return result;
}

std::optional<asio::ip::tcp::endpoint> toEndpoint(const asn::Value& transportAddress)
{
    auto address = h225::transportAddressOf(transportAddress);
    if (!address || address->port == 0)
        return std::nullopt;
    asio::error_code error;
    auto ip = asio::ip::make_address(address->addressText(), error);
    if (error)
        return std::nullopt;
    return asio::ip::tcp::endpoint(ip, address->port);
}

/// The Display element's name.  Stacks pad it with NULs or send UTF-8 or Latin-1 where
/// Q.931 says IA5: every octet is read, and what cannot be shown is cleaned.
std::string displayOf(const q931::Message& message)
{
    if (const auto* display = message.find(q931::ie::Display))
        return displayableText(std::string_view(
            reinterpret_cast<const char*>(display->contents.data()), display->contents.size()));
    return {};
}

} // namespace

Connection::Connection(const std::shared_ptr<Call>& call, EndPoint& endpoint, std::string address,
                       StringOptions options, bool incoming)
    : voip::Connection(call, endpoint, std::move(address), std::move(options))
    , endpoint_(endpoint)
    , incoming_(incoming)
    , io_(endpoint.ioContext())
    , timers_(endpoint.timers())
    , fastStartWanted_(endpoint.fastStart())
    , tunnellingWanted_(endpoint.h245Tunnelling())
    , h245InSetupWanted_(endpoint.h245InSetup())
    , fastStartNumbering_(endpoint.fastStartNumbering())
    , userInputMode_(endpoint.userInputMode())
    , identity_(endpoint.productIdentity())
    , receiveBandwidth_(endpoint.initialBandwidth(Direction::Receive))
    , transmitBandwidth_(endpoint.initialBandwidth(Direction::Transmit))
    , signalTimer_(io_)
    , h245TransportTimer_(io_)
    , infoReportTimer_(io_)
    , presentationTimer_(io_)
    , bandwidthTimer_(io_)
{
    ++endpoint_.connections_;
    if (!incoming_) {
        callReference_ = randomCallReference();
        callIdentifier_ = h225::newGuid();
        conferenceId_ = h225::newGuid();
    }
    link_ = std::make_unique<Link>(*this);
    masterSlave_ = std::make_unique<MasterSlave>(
        *link_, timers_.masterSlave,
        [] {
            static thread_local std::mt19937 generator{std::random_device{}()};
            return std::uniform_int_distribution<std::uint32_t>(0, 0xFFFFFF)(generator);
        },
        [this](bool) { checkReadyForChannels(); });
    capabilities_ = std::make_unique<CapabilityExchange>(
        *link_, timers_.capabilityExchange, [this] { checkReadyForChannels(); },
        [this](bool changed) { capabilitiesReceived(changed); });
    roundTrip_ =
        std::make_unique<RoundTrip>(*link_, timers_.roundTripDelay, timers_.roundTripInterval);
}

Connection::~Connection()
{
    --endpoint_.connections_;
}

std::shared_ptr<Connection> Connection::self()
{
    return std::static_pointer_cast<Connection>(shared_from_this());
}

void Connection::onNetwork(std::function<void()> work)
{
    asio::post(io_, [keep = self(), work = std::move(work)] { work(); });
}

void Connection::failCall(EndReason reason, unsigned cause)
{
    if (auto owner = call())
        owner->clear(reason, cause);
}

// --- outgoing ---

bool Connection::setUpConnection()
{
    const auto gatekeeper = endpoint_.registeredGatekeeper();
    if (gatekeeper && isGatekeeperAlias(address())) {
        const std::string alias(withoutScheme(address()));
        setRemoteParty("", alias);
        onNetwork([this, gatekeeper, alias] { admitOutgoing(gatekeeper, alias, std::nullopt); });
        return true;
    }
    auto parsed = parseDialAddress(address());
    if (!parsed)
        return false;
    setRemoteParty("", parsed->partyText());
    if (gatekeeper) {
        // A host named: admitted by the gatekeeper, then dialled directly as it is.
        onNetwork([this, gatekeeper, target = *parsed] {
            admitOutgoing(gatekeeper, target.alias, target);
        });
        return true;
    }
    onNetwork([this, target = *parsed] { startOutgoing(target); });
    return true;
}

RasCall Connection::rasCall(bool answer) const
{
    RasCall ras;
    ras.answer = answer;
    ras.callReference = callReference_;
    ras.conferenceId = conferenceId_;
    ras.callId = callIdentifier_;
    // What the call's channels will need, both directions, in units of 100 bit/s.
    const std::uint64_t need = plannedRate();
    const std::uint64_t total =
        std::min(need, endpoint_.initialBandwidth(Direction::Transmit)) +
        std::min(need, endpoint_.initialBandwidth(Direction::Receive));
    ras.bandwidth = std::uint32_t(std::clamp<std::uint64_t>((total + 99) / 100, 1, 0xFFFFFFFFu));
    return ras;
}

void Connection::admitOutgoing(const std::shared_ptr<RasClient>& gatekeeper,
                               const std::string& alias, std::optional<DialAddress> direct)
{
    if (released_)
        return;
    RasCall ras = rasCall(false);
    ras.destinationAlias = alias;
    if (direct) {
        asio::error_code error;
        if (asio::ip::make_address(direct->host, error), !error)
            ras.destinationAddress = h225::IpAddressPort::parse(
                direct->ipv6Literal ? "[" + direct->host + "]" : direct->host, direct->port);
    }
    // The request waits for the gatekeeper: on a thread of its own, not the network's.
    std::thread([keep = self(), gatekeeper, ras, alias, direct] {
        const Admission admission = gatekeeper->admit(ras);
        keep->onNetwork([keep, gatekeeper, ras, alias, direct, admission] {
            if (!keep->takeAdmission(gatekeeper, ras, admission))
                return;
            // A gatekeeper gone silent does not stop calls to an address.
            if (!admission.admitted && admission.rejectReason == "timeout" && direct) {
                keep->startOutgoing(*direct);
                return;
            }
            if (!admission.admitted) {
                VOIP_TRACE(2, "H323\tGatekeeper refused the call to "
                                  << (alias.empty() ? "?" : alias) << ": "
                                  << admission.rejectReason);
                keep->failCall(admission.rejectReason == "calledPartyNotRegistered"
                                   ? EndReason::Unreachable
                                   : EndReason::GatekeeperAdmissionFailed);
                return;
            }
            if (direct) {
                keep->startOutgoing(*direct);
                return;
            }
            if (!admission.destination) {
                keep->failCall(EndReason::GatekeeperAdmissionFailed);
                return;
            }
            DialAddress target;
            target.alias = alias;
            target.host = admission.destination->addressText();
            target.ipv6Literal = admission.destination->ipv6;
            target.port = admission.destination->port;
            keep->startOutgoing(target);
        });
    }).detach();
}

void Connection::admitIncoming(const std::shared_ptr<RasClient>& gatekeeper,
                               const std::shared_ptr<Call>& call)
{
    RasCall ras = rasCall(true);
    ras.sourceAlias = remotePartyName();
    std::thread([keep = self(), gatekeeper, ras, call] {
        const Admission admission = gatekeeper->admit(ras);
        keep->onNetwork([keep, gatekeeper, ras, call, admission] {
            if (!keep->takeAdmission(gatekeeper, ras, admission))
                return;
            if (!admission.admitted && admission.rejectReason != "timeout") {
                VOIP_TRACE(
                    2, "H323\tGatekeeper refused the incoming call: " << admission.rejectReason);
                call->clear(EndReason::GatekeeperAdmissionFailed);
                return;
            }
            call->startIncoming(keep);
        });
    }).detach();
}

namespace {

/// Runs `work` on the call's network thread for the RAS client's reading thread, which
/// waits for it a second at most: nothing when the call is gone, the thread too busy, or
/// the endpoint stopping.
template <typename Result>
std::optional<Result> askNetwork(const std::weak_ptr<Connection>& weak,
                                 std::function<std::optional<Result>(Connection&)> work,
                                 const std::function<void(std::function<void()>)>& post)
{
    auto result = std::make_shared<std::promise<std::optional<Result>>>();
    auto future = result->get_future();
    {
        auto keep = weak.lock();
        if (!keep)
            return std::nullopt;
        post([keep, work = std::move(work), result] { result->set_value(work(*keep)); });
    }
    if (future.wait_for(std::chrono::seconds(1)) != std::future_status::ready)
        return std::nullopt;
    try {
        return future.get();
    } catch (const std::future_error&) {
        return std::nullopt; // dropped: the endpoint is stopping
    }
}

h225::IpAddressPort toIpAddressPort(const h245::MediaAddress& media)
{
    h225::IpAddressPort address;
    address.address = media.ip;
    address.ipv6 = media.ipv6;
    address.port = media.port;
    return address;
}

} // namespace

bool Connection::takeAdmission(const std::shared_ptr<RasClient>& gatekeeper, const RasCall& ras,
                               const Admission& admission)
{
    if (admission.admitted) {
        admittedBy_ = gatekeeper;
        admittedAs_ = ras;
        admittedRouted_ = admission.gatekeeperRouted;
        grantedBandwidth_ = admission.bandwidth ? admission.bandwidth : ras.bandwidth;
        // The gatekeeper may ask the call for less (or allow it more again), end it, or ask
        // how it stands; each answered once the network thread has followed.
        std::weak_ptr<Connection> weak = self();
        const auto post = [weak](std::function<void()> work) {
            if (auto keep = weak.lock())
                keep->onNetwork(std::move(work));
        };
        CallFollower follower;
        follower.bandwidth = [weak, post](std::uint32_t allowed) {
            return askNetwork<std::uint32_t>(
                weak,
                [allowed](Connection& call) {
                    return call.released_ ? std::nullopt
                                          : std::optional(call.keepWithin(allowed));
                },
                post);
        };
        follower.disengaged = [post, weak](const std::string& reason) {
            post([weak, reason] {
                if (auto keep = weak.lock())
                    keep->disengagedByGatekeeper(reason);
            });
        };
        follower.report = [weak, post] {
            return askNetwork<CallReport>(
                weak,
                [](Connection& call) {
                    return call.released_ ? std::nullopt : std::optional(call.callReport());
                },
                post);
        };
        gatekeeper->followCall(ras, std::move(follower));
        if (admission.irrFrequency) {
            // At least a second apart, whatever the gatekeeper asks.
            irrInterval_ = std::chrono::seconds(std::max(1u, *admission.irrFrequency));
            scheduleInfoReport();
        }
    }
    if (released_) {
        disengage(); // the call ended while the gatekeeper was asked
        return false;
    }
    return true;
}

void Connection::disengagedByGatekeeper(const std::string& reason)
{
    if (released_ || !admittedBy_)
        return;
    VOIP_TRACE(2, "H323\tThe gatekeeper ended the call (" << reason << ") on " << describe());
    // Confirmed already: no DisengageRequest of ours follows.
    admittedBy_.reset();
    failCall(EndReason::Gatekeeper);
}

CallReport Connection::callReport() const
{
    CallReport report;
    report.originator = !incoming_;
    report.gatekeeperRouted = admittedRouted_;
    report.bandwidth = callBandwidth();
    for (const auto& [id, session] : sessions_) {
        CallReport::Session entry;
        entry.sessionId = id;
        entry.video = id == VideoSessionId || id == ContentSessionId;
        entry.data = id == DataSessionId;
        entry.rtp.receive = toIpAddressPort(session->rtpAddress);
        entry.rtcp.receive = toIpAddressPort(session->rtcpAddress);
        if (session->remoteRtp)
            entry.rtp.send = toIpAddressPort(*session->remoteRtp);
        if (session->remoteRtcp)
            entry.rtcp.send = toIpAddressPort(*session->remoteRtcp);
        if (session->media)
            entry.ssrc = session->media->ssrc();
        report.sessions.push_back(std::move(entry));
    }
    if (signal_) {
        report.signalling.send = toIpAddressPort(signal_->remoteEndpoint());
        report.signalling.receive = toIpAddressPort(endpointToAnnounce(signal_->localEndpoint()));
    }
    if (h245Channel_) {
        report.h245.send = toIpAddressPort(h245Channel_->remoteEndpoint());
        report.h245.receive = toIpAddressPort(endpointToAnnounce(h245Channel_->localEndpoint()));
    }
    return report;
}

void Connection::scheduleInfoReport()
{
    if (!irrInterval_ || released_ || !admittedBy_)
        return;
    infoReportTimer_.expires_after(*irrInterval_);
    std::weak_ptr<Connection> weak = self();
    infoReportTimer_.async_wait([weak](const asio::error_code& error) {
        auto keep = weak.lock();
        if (error || !keep || keep->released_ || !keep->admittedBy_)
            return;
        keep->admittedBy_->reportCall(keep->admittedAs_, keep->callReport());
        keep->scheduleInfoReport();
    });
}

void Connection::disengage()
{
    if (!admittedBy_)
        return;
    auto gatekeeper = std::move(admittedBy_);
    admittedBy_.reset();
    gatekeeper->disengageLater(admittedAs_);
}

void Connection::startOutgoing(DialAddress target)
{
    if (released_)
        return;
    dialled_ = target;
    asio::error_code error;
    auto literal = asio::ip::make_address(target.host, error);
    if (!error) {
        connectTo({asio::ip::tcp::endpoint(literal, target.port)}, 0);
        return;
    }
    resolver_ = std::make_unique<asio::ip::tcp::resolver>(io_);
    startTimer(signalTimer_, timers_.connect, EndReason::ConnectFail, "name resolution");
    resolver_->async_resolve(target.host, std::to_string(target.port),
                             [this, keep = self()](const asio::error_code& error,
                                                   asio::ip::tcp::resolver::results_type results) {
                                 if (released_)
                                     return;
                                 signalTimer_.cancel();
                                 std::vector<asio::ip::tcp::endpoint> targets;
                                 if (!error) {
                                     for (const auto& entry : results)
                                         targets.push_back(entry.endpoint());
                                 }
                                 if (targets.empty()) {
                                     VOIP_TRACE(2, "H323\tCannot resolve " << dialled_->host << ": "
                                                                           << error.message());
                                     // A name the resolver does not know is said so;
                                     // a resolver that cannot be asked is not.
                                     const bool unknown = !error ||
                                                          error == asio::error::host_not_found ||
                                                          error == asio::error::no_data;
                                     failCall(unknown ? EndReason::NameNotFound
                                                      : EndReason::Unreachable);
                                     return;
                                 }
                                 connectTo(targets, 0);
                             });
}

void Connection::connectTo(const std::vector<asio::ip::tcp::endpoint>& targets, std::size_t index)
{
    if (released_)
        return;
    if (index >= targets.size()) {
        failCall(EndReason::ConnectFail);
        return;
    }
    connecting_ = std::make_unique<asio::ip::tcp::socket>(io_);
    startTimer(signalTimer_, timers_.connect, EndReason::ConnectFail, "TCP connect");
    connecting_->async_connect(targets[index], [this, keep = self(), targets,
                                                index](const asio::error_code& error) {
        if (released_ || !connecting_)
            return;
        signalTimer_.cancel();
        if (error) {
            VOIP_TRACE(3, "H323\tConnect to " << targets[index] << " failed: " << error.message());
            connecting_.reset();
            connectTo(targets, index + 1);
            return;
        }
        auto channel = std::make_shared<TpktChannel>(std::move(*connecting_));
        connecting_.reset();
        attachSignalling(channel);
        sendSetup();
    });
}

void Connection::attachSignalling(const std::shared_ptr<TpktChannel>& channel)
{
    signal_ = channel;
    signallingUp_ = true;
    std::weak_ptr<Connection> weak = self();
    channel->start(
        [weak](std::vector<std::uint8_t> pdu) {
            if (auto connection = weak.lock())
                connection->handleSignalPdu(pdu);
        },
        [weak](TpktChannel::Failure failure, const std::string& detail) {
            if (auto connection = weak.lock())
                connection->handleSignalFailure(failure == TpktChannel::Failure::Malformed, detail);
        });
}

asn::Value Connection::newBody(std::string_view name)
{
    asn::Value information = h225::newUserInformation(name);
    if (!information.present())
        return information;
    asn::Value& body = h225::messageBody(information);
    if (body.type() && body.type()->indexOf("callIdentifier") >= 0)
        h225::setGuid(body.field("callIdentifier").field("guid"), callIdentifier_);
    for (const char* flag : {"multipleCalls", "maintainConnection"}) {
        if (body.type() && body.type()->indexOf(flag) >= 0)
            body.field(flag).setBoolean(false);
    }
    return information;
}

bool Connection::sendSignal(q931::MessageType type, asn::Value& information,
                            const std::vector<q931::InformationElement>& extra)
{
    if (!signal_ || !signal_->isOpen())
        return false;
    q931::Message message;
    message.callReference = callReference_;
    message.fromDestination = incoming_;
    message.type = static_cast<std::uint8_t>(type);
    for (const auto& element : extra)
        message.set(element.id, element.contents);
    if (information.present()) {
        asn::Value& pdu = h225::uuPdu(information);
        const bool tunnel = tunnellingDecided_ ? tunnelling_ : tunnellingWanted_;
        pdu.field("h245Tunnelling").setBoolean(tunnel);
        if (tunnel && !pendingTunnelled_.empty()) {
            asn::Value& control = pdu.field("h245Control");
            for (const auto& encoded : pendingTunnelled_)
                control.append().setOctets(encoded);
            pendingTunnelled_.clear();
        }
        auto encoded = h225::encodeUserInformation(information);
        if (!encoded) {
            VOIP_TRACE(1, "H323\tCannot encode " << q931::messageTypeName(message.type) << ": "
                                                 << encoded.error().toString());
            return false;
        }
        if (!q931::setUserUserPdu(message, *encoded))
            return false;
    }
    auto bytes = q931::encodeMessage(message);
    if (!bytes)
        return false;
    VOIP_TRACE(3, "H323\tSend " << q931::messageTypeName(message.type) << " on " << describe());
    return signal_->send(*bytes);
}

void Connection::sendSetup()
{
    if (tunnellingWanted_ && h245InSetupWanted_)
        startH245();
    asn::Value information = newBody("setup");
    if (!information.present()) {
        failCall(EndReason::ConnectFail);
        return;
    }
    asn::Value& setup = h225::messageBody(information);
    h225::setEndpointType(setup.field("sourceInfo"), identity_);
    const std::string user = endpoint_.userName();
    if (!user.empty())
        h225::setAlias(setup.field("sourceAddress").append(), user, h225::AliasKind::H323Id);
    if (!dialled_->alias.empty() &&
        !h225::setAlias(setup.field("destinationAddress").append(), dialled_->alias))
        setup.remove("destinationAddress");
    h225::setTransportAddress(setup.field("destCallSignalAddress"),
                              toIpAddressPort(signal_->remoteEndpoint()));
    // Where we take calls, so that the far end can call back: our listener when there is
    // one, not the temporary source port of this connection.
    auto source = signal_->localEndpoint();
    if (const auto listening = endpoint_.listenerPort(); listening != 0)
        source.port(listening);
    h225::setTransportAddress(setup.field("sourceCallSignalAddress"),
                              toIpAddressPort(endpointToAnnounce(source)));
    setup.field("activeMC").setBoolean(false);
    h225::setGuid(setup.field("conferenceID"), conferenceId_);
    setup.field("conferenceGoal").choose("create");
    setup.field("callType").choose("pointToPoint");
    setup.field("mediaWaitForConnect").setBoolean(false);
    setup.field("canOverlapSend").setBoolean(false);
    if (!tunnellingWanted_)
        offerH245Address(setup);
    if (fastStartWanted_) {
        auto offers = offerFastStart();
        if (!offers.empty()) {
            asn::Value& list = setup.field("fastStart");
            for (const auto& offer : offers)
                list.append().setBytes(offer);
        }
    }
    std::vector<q931::InformationElement> elements;
    q931::BearerCapability bearer;
    bearer.transferCapability = q931::BearerCapability::UnrestrictedDigital;
    bearer.transferRate = q931::BearerCapability::Rate64k;
    bearer.layer1Protocol = 5; // H.221 and H.242
    elements.push_back({q931::ie::BearerCapability, q931::encodeBearerCapability(bearer)});
    if (auto display = q931::encodeIa5Text(endpoint_.displayName());
        display && !endpoint_.displayName().empty())
        elements.push_back({q931::ie::Display, *display});
    if (!dialled_->alias.empty() &&
        dialled_->alias.find_first_not_of("0123456789#*") == std::string::npos) {
        q931::PartyNumber number;
        number.digits = dialled_->alias;
        if (auto encoded = q931::encodePartyNumber(number))
            elements.push_back({q931::ie::CalledPartyNumber, *encoded});
    }
    sendSignal(q931::MessageType::Setup, information, elements);
    startTimer(signalTimer_, timers_.alerting, EndReason::NoAnswer, "answer");
}

asio::ip::address Connection::addressToAnnounce(const asio::ip::address& local) const
{
    if (!signal_)
        return local;
    return manager().translateAddress(local, signal_->remoteEndpoint().address());
}

asio::ip::tcp::endpoint Connection::endpointToAnnounce(const asio::ip::tcp::endpoint& local) const
{
    return {addressToAnnounce(local.address()), local.port()};
}

void Connection::offerH245Address(asn::Value& body)
{
    openH245Listener();
    if (!h245Listener_)
        return;
    asio::error_code error;
    const auto local = h245Listener_->local_endpoint(error);
    if (error) {
        VOIP_TRACE(1, "H323\tH.245 listener has no address on " << describe() << ": "
                                                                << error.message());
        return;
    }
    h225::setTransportAddress(body.field("h245Address"),
                              toIpAddressPort(endpointToAnnounce(local)));
}

// --- incoming ---

void Connection::acceptIncomingSetup(const std::shared_ptr<TpktChannel>& channel,
                                     const q931::Message& setupMessage, asn::Value information)
{
    callReference_ = setupMessage.callReference;
    attachSignalling(channel);
    const asn::Value& setup = h225::messageBody(information);
    callIdentifier_ = h225::guidOf(setup["callIdentifier"]["guid"]);
    conferenceId_ = h225::guidOf(setup["conferenceID"]);
    std::string name = displayOf(setupMessage);
    const asn::Value& sources = setup["sourceAddress"];
    for (std::size_t i = 0; name.empty() && i < sources.size(); ++i)
        name = displayableText(h225::aliasToText(sources.at(i)));
    // The party address is dialled back later: where the caller listens, not the source
    // port of its TCP connection.
    std::optional<asio::ip::tcp::endpoint> announced;
    if (setup.has("sourceCallSignalAddress"))
        announced = toEndpoint(setup["sourceCallSignalAddress"]);
    setRemoteParty(name, callerDialAddress(channel->remoteEndpoint(), announced).partyText());
    {
        std::lock_guard lock(channelMutex_);
        remoteProduct_ = displayableText(h225::productText(setup["sourceInfo"]));
    }
    std::string called;
    const asn::Value& destinations = setup["destinationAddress"];
    for (std::size_t i = 0; called.empty() && i < destinations.size(); ++i)
        called = displayableText(h225::aliasToText(destinations.at(i)));
    if (called.empty()) {
        if (const auto* number = setupMessage.find(q931::ie::CalledPartyNumber)) {
            if (auto digits = q931::decodePartyNumber(number->contents))
                called = displayableText(digits->digits);
        }
    }
    setCalledPartyAddress(called);
    OnIncomingBearerCapability(setupMessage);

    const asn::Value& pdu = h225::uuPdu(information);
    remoteTunnelling_ = pdu["h245Tunnelling"].boolean();
    tunnelling_ = tunnellingWanted_ && remoteTunnelling_;
    tunnellingDecided_ = true;
    tunnellingActive_ = tunnelling_;
    if (setup.has("h245Address"))
        remoteH245Address_ = toEndpoint(setup["h245Address"]);
    if (fastStartWanted_ && setup.has("fastStart"))
        rememberFastStartOffer(setup["fastStart"]);
    if (tunnelling_ && pdu.has("h245Control")) {
        const asn::Value& control = pdu["h245Control"];
        for (std::size_t i = 0; i < control.size() && !released_; ++i)
            handleH245Pdu(control.at(i).octets());
    }
    if (released_)
        return;
    asn::Value proceeding = newBody("callProceeding");
    h225::setEndpointType(h225::messageBody(proceeding).field("destinationInfo"), identity_);
    sendSignal(q931::MessageType::CallProceeding, proceeding);
}

void Connection::OnIncomingBearerCapability(const q931::Message& setup)
{
    const auto* element = setup.find(q931::ie::BearerCapability);
    if (!element)
        return;
    auto bearer = q931::decodeBearerCapability(element->contents);
    if (!bearer)
        return;
    bearer_ = *bearer;
    std::lock_guard lock(channelMutex_);
    bearerView_ = *bearer;
}

void Connection::setAlerting()
{
    onNetwork([this] { sendAlerting(); });
}

void Connection::sendAlerting()
{
    if (released_ || !incoming_ || alertingSent_ || connectSent_)
        return;
    alertingSent_ = true;
    asn::Value alerting = newBody("alerting");
    asn::Value& body = h225::messageBody(alerting);
    h225::setEndpointType(body.field("destinationInfo"), identity_);
    if (!fastStartOffers_.empty() && !fastStartAnswered_) {
        auto answers = answerFastStart();
        if (!answers.empty()) {
            asn::Value& list = body.field("fastStart");
            for (const auto& answer : answers)
                list.append().setBytes(answer);
        }
    }
    sendSignal(q931::MessageType::Alerting, alerting);
}

bool Connection::setConnected()
{
    if (!incoming_)
        return true;
    onNetwork([this] { sendConnect(); });
    return true;
}

void Connection::sendConnect()
{
    if (released_ || connectSent_)
        return;
    connectSent_ = true;
    asn::Value connect = newBody("connect");
    asn::Value& body = h225::messageBody(connect);
    h225::setEndpointType(body.field("destinationInfo"), identity_);
    h225::setGuid(body.field("conferenceID"), conferenceId_);
    // Our name as an alias too: the Display element carries ASCII only.
    if (const std::string user = endpoint_.userName(); !user.empty())
        h225::setAlias(body.field("connectedAddress").append(), user, h225::AliasKind::H323Id);
    if (!fastStartOffers_.empty()) {
        auto answers = fastStartAnswered_ ? std::vector<std::string>{} : answerFastStart();
        if (!answers.empty()) {
            asn::Value& list = body.field("fastStart");
            for (const auto& answer : answers)
                list.append().setBytes(answer);
        } else if (!fastStartAnswered_) {
            body.field("fastConnectRefused");
        }
    }
    if (!tunnelling_) {
        if (remoteH245Address_) {
            connectH245(*remoteH245Address_);
        } else {
            offerH245Address(body);
        }
    }
    startH245();
    std::vector<q931::InformationElement> elements;
    if (auto display = q931::encodeIa5Text(endpoint_.displayName());
        display && !endpoint_.displayName().empty())
        elements.push_back({q931::ie::Display, *display});
    sendSignal(q931::MessageType::Connect, connect, elements);
    ensureH245Transport();
}

// --- received messages ---

void Connection::handleSignalPdu(const std::vector<std::uint8_t>& pdu)
{
    if (released_ || remoteReleased_)
        return;
    auto message = q931::decodeMessage(pdu);
    if (!message) {
        protocolFailure(CauseInvalidMessage, "bad Q.931 message: " + message.error().toString());
        return;
    }
    if (message->callReference != callReference_ || message->fromDestination != !incoming_) {
        VOIP_TRACE(2, "H323\tIgnoring " << q931::messageTypeName(message->type)
                                        << " with another call reference on " << describe());
        return;
    }
    VOIP_TRACE(3,
               "H323\tReceived " << q931::messageTypeName(message->type) << " on " << describe());
    const auto type = message->messageType();
    if (type == q931::MessageType::StatusEnquiry) {
        std::vector<q931::InformationElement> elements;
        q931::Cause cause;
        cause.value = CauseResponseToStatusEnquiry;
        elements.push_back({q931::ie::Cause, q931::encodeCause(cause)});
        std::uint8_t state = incoming_ ? StateIncomingCallProceeding : StateOutgoingCallProceeding;
        if (connectSent_ || connectReceived_)
            state = StateActive;
        else if (alertingSent_)
            state = StateCallDelivered;
        elements.push_back({q931::ie::CallState, {state}});
        asn::Value status = newBody("status");
        sendSignal(q931::MessageType::Status, status, elements);
        return;
    }
    asn::Value information;
    if (auto bytes = q931::userUserPdu(*message)) {
        auto decoded = h225::decodeUserInformation(*bytes);
        if (!decoded) {
            protocolFailure(CauseInvalidMessage,
                            "bad H.225.0 information: " + decoded.error().toString());
            return;
        }
        information = std::move(decoded.value());
    }
    switch (type) {
    case q931::MessageType::ReleaseComplete:
        handleReleaseComplete(*message, information);
        return;
    case q931::MessageType::CallProceeding:
    case q931::MessageType::Alerting:
    case q931::MessageType::Connect:
    case q931::MessageType::Facility:
        if (!information.present()) {
            protocolFailure(CauseMandatoryElementMissing, q931::messageTypeName(message->type) +
                                                              " without User-user information");
            return;
        }
        break;
    default:
        break;
    }
    // User input in Q.931, as stacks send it when a call has no H.245.
    if (type == q931::MessageType::Information) {
        if (const auto* keypad = message->find(q931::ie::Keypad)) {
            const std::string text = displayableText(
                std::string_view(reinterpret_cast<const char*>(keypad->contents.data()),
                                 keypad->contents.size()));
            if (!text.empty())
                OnUserInputString(text);
        }
    }
    if (information.present())
        handleUserInformation(*message, information);
    flushTunnelled();
}

void Connection::handleUserInformation(const q931::Message& message, const asn::Value& information)
{
    const asn::Value& pdu = h225::uuPdu(information);
    const std::string_view name = h225::bodyName(information);
    const asn::Value& body = h225::messageBody(information);
    const bool response = name == "callProceeding" || name == "alerting" || name == "connect" ||
                          name == "progress" || name == "facility";
    if (!incoming_ && !tunnellingDecided_ && response) {
        remoteTunnelling_ = pdu["h245Tunnelling"].boolean();
        tunnelling_ = tunnellingWanted_ && remoteTunnelling_;
        tunnellingDecided_ = true;
        tunnellingActive_ = tunnelling_;
        if (!tunnelling_ && h245Started_)
            resetH245(); // what went in Setup is lost; start again on the H.245 channel
    }
    if (body.has("h245Address") && !tunnelling_) {
        if (auto target = toEndpoint(body["h245Address"]))
            remoteH245Address_ = target;
    }
    if (!incoming_ && fastStartWanted_ && !fastStartAnswered_ && body.has("fastStart"))
        readFastStartAnswer(body["fastStart"]);
    if (tunnelling_ && pdu.has("h245Control")) {
        const asn::Value& control = pdu["h245Control"];
        for (std::size_t i = 0; i < control.size() && !released_ && !remoteReleased_; ++i)
            handleH245Pdu(control.at(i).octets());
        if (released_ || remoteReleased_)
            return;
    }
    if (incoming_) {
        // The caller sends nothing else that changes the call's progress; it may ask us to
        // open the H.245 connection.
        if (name == "facility")
            handleFacility(message, information);
        return;
    }
    if (name == "callProceeding") {
        std::lock_guard lock(channelMutex_);
        remoteProduct_ = displayableText(h225::productText(body["destinationInfo"]));
    } else if (name == "alerting") {
        onAlerting();
    } else if (name == "connect") {
        if (connectReceived_)
            return;
        connectReceived_ = true;
        signalTimer_.cancel();
        {
            std::lock_guard lock(channelMutex_);
            remoteProduct_ = displayableText(h225::productText(body["destinationInfo"]));
        }
        std::string display = displayOf(message);
        const asn::Value& connected = body["connectedAddress"];
        for (std::size_t i = 0; display.empty() && i < connected.size(); ++i)
            display = displayableText(h225::aliasToText(connected.at(i)));
        if (!display.empty())
            setRemoteParty(display, remotePartyAddress());
        ensureH245Transport();
        if (fastStartWanted_ && !fastStartAnswered_) {
            VOIP_TRACE(2, "H323\tFast start refused, using H.245 on " << describe());
            fastStartAnswered_ = true;
            std::erase_if(channels_, [](const auto& channel) { return channel->proposal; });
        }
        startH245();
        onConnected();
    } else if (name == "facility") {
        handleFacility(message, information);
    }
}

void Connection::handleReleaseComplete(const q931::Message& message, const asn::Value& information)
{
    unsigned cause = 0;
    if (const auto* element = message.find(q931::ie::Cause)) {
        if (auto decoded = q931::decodeCause(element->contents))
            cause = decoded->value;
    }
    EndReason reason = EndReason::RemoteUser;
    if (cause != 0) {
        reason = endReasonFromQ931Cause(cause);
    } else if (information.present() && h225::messageBody(information).has("reason")) {
        if (auto mapped = endReasonFromReleaseCompleteReason(
                h225::messageBody(information)["reason"].choiceName()))
            reason = *mapped;
    }
    const auto current = phase();
    // The caller hanging up before we answered is an abort, not a normal clearing.
    if (incoming_ && reason == EndReason::RemoteUser &&
        (current == Phase::Setup || current == Phase::Alerting))
        reason = EndReason::CallerAbort;
    VOIP_TRACE(2, "H323\tReleaseComplete cause " << cause << " on " << describe());
    remoteReleased_ = true;
    failCall(reason, reason == EndReason::Q931Cause ? cause : 0);
    releaseNetwork();
}

void Connection::handleFacility(const q931::Message& message, const asn::Value& information)
{
    const asn::Value& facility = h225::messageBody(information);
    const auto reason = facility["reason"].choiceName();
    if (reason == "transportedInformation" || reason == "startH245" ||
        reason == "featureSetUpdate") {
        // Asked to connect: to the far end's listener, even when we offered ours, since the
        // far end may not be listening for us (a connection of its own coming in as well is
        // taken if it is first).
        if (reason == "startH245" && !tunnelling_ && facility.has("h245Address") && !h245Channel_ &&
            !h245Connecting_ && remoteH245Address_)
            connectH245(*remoteH245Address_);
        return;
    }
    if (incoming_)
        return; // only the called side redirects a call
    if (!OnReceivedFacility(message, facility)) {
        VOIP_TRACE(2, "H323\tFacility ends " << describe());
        failCall(EndReason::CallForwarded);
    }
}

bool Connection::OnReceivedFacility(const q931::Message& message, const asn::Value& facility)
{
    const int reason = facility["reason"].choiceIndex();
    const std::string target = facilityForwardTarget(facility);
    VOIP_TRACE(1, "H323\tFacility reason=" << reason << " target=\"" << target << "\"");
    if (!facilityForwardsCall(reason))
        return true;
    if (target.empty())
        return true;
    if (endpoint_.OnConnectionForwarded(*this, target, message))
        return false; // the application forwards the call itself once this one has cleared
    forwardCall(endpoint_.prefix() + ":" + target);
    return true;
}

// --- failures and release ---

void Connection::handleSignalFailure(bool malformed, const std::string& detail)
{
    if (released_ || remoteReleased_)
        return;
    if (malformed) {
        protocolFailure(CauseInvalidMessage, "bad TPKT on the signalling channel: " + detail);
        return;
    }
    transportFailure(detail);
}

void Connection::protocolFailure(unsigned cause, const std::string& detail)
{
    ++endpoint_.malformed_;
    VOIP_TRACE(1, "H323\t" << detail << " on " << describe());
    failCall(EndReason::Q931Cause, cause);
}

void Connection::transportFailure(const std::string& detail)
{
    if (released_ || remoteReleased_)
        return;
    VOIP_TRACE(2, "H323\tTransport lost on " << describe() << ": " << detail);
    remoteReleased_ = true;
    failCall(endSessionReceived_ ? EndReason::RemoteUser : EndReason::TransportFail);
    releaseNetwork();
}

void Connection::onRelease(EndReason reason)
{
    // The cause is read now: the call object may be gone when the network thread runs.
    auto owner = call();
    const unsigned cause = q931CauseFromEndReason(reason, owner ? owner->endCause() : 0);
    onNetwork([this, reason, cause] {
        sendReleaseComplete(reason, cause);
        releaseNetwork();
    });
}

bool Connection::forwardCallTo(const std::string& destination)
{
    if (!incoming_ || destination.empty() || destination.size() > Manager::MaxAddressLength ||
        isReleased())
        return false;
    const auto phase = this->phase();
    if (phase != Phase::Setup && phase != Phase::Alerting)
        return false;
    std::string text = destination;
    if (text.rfind("h323:", 0) == 0)
        text.erase(0, 5);
    std::string alias;
    std::optional<h225::IpAddressPort> address;
    if (auto dial = parseDialAddress(text)) {
        alias = dial->alias;
        address = h225::IpAddressPort::parse(
            dial->ipv6Literal ? "[" + dial->host + "]:" + std::to_string(dial->port)
                              : dial->host + ":" + std::to_string(dial->port));
        // A host name is given as an alias with the host, for the caller to resolve.
        if (!address)
            alias = text;
    } else {
        alias = text;
    }
    onNetwork([this, alias, address] {
        if (released_ || connectSent_)
            return;
        asn::Value facility = newBody("facility");
        asn::Value& body = h225::messageBody(facility);
        body.field("reason").choose("callForwarded");
        if (!alias.empty())
            h225::setAlias(body.field("alternativeAliasAddress").append(), alias);
        if (address)
            h225::setTransportAddress(body.field("alternativeAddress"), *address);
        h225::setGuid(body.field("conferenceID"), conferenceId_);
        sendSignal(q931::MessageType::Facility, facility);
        failCall(EndReason::CallForwarded);
    });
    return true;
}

void Connection::sendReleaseComplete(EndReason reason, unsigned cause)
{
    if (released_ || remoteReleased_ || !signal_ || !signal_->isOpen())
        return;
    if (h245Started_ && tunnelling_)
        queueH245(h245::buildEndSessionCommand());
    else if (h245Started_ && h245Channel_ && h245Channel_->isOpen())
        queueH245(h245::buildEndSessionCommand());
    asn::Value release = newBody("releaseComplete");
    const auto reasonName = releaseCompleteReasonFromEndReason(reason);
    asn::Value& body = h225::messageBody(release);
    if (!reasonName.empty() && body.field("reason").type()->indexOf(reasonName) >= 0)
        body.field("reason").choose(reasonName);
    else
        body.remove("reason");
    q931::Cause value;
    value.value = static_cast<std::uint8_t>(cause);
    sendSignal(q931::MessageType::ReleaseComplete, release,
               {{q931::ie::Cause, q931::encodeCause(value)}});
}

void Connection::cancelTimers()
{
    for (auto* timer : linkTimers_)
        timer->cancel();
    for (auto* timer : {&signalTimer_, &presentationTimer_, &bandwidthTimer_,
                        &h245TransportTimer_, &infoReportTimer_})
        timer->cancel();
}

void Connection::releaseNetwork()
{
    released_ = true;
    disengage();
    h245Ready_ = false;
    cancelTimers();
    asio::error_code error;
    if (resolver_)
        resolver_->cancel();
    if (connecting_)
        connecting_->close(error);
    if (h245Connecting_)
        h245Connecting_->close(error);
    h245Listener_.reset();
    if (h245Channel_)
        h245Channel_->closeAfterSending();
    if (signal_)
        signal_->closeAfterSending();
    for (auto& channel : channels_)
        channel->open = false;
    // Streams still open keep their session until they close; this stops the sockets now.
    for (auto& [id, session] : sessions_)
        if (session->media)
            session->media->stop();
    sessions_.clear();
    publishChannels();
}

} // namespace voip::h323
