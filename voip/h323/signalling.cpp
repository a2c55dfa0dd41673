// Call signalling of an H.323 connection: Q.931 messages with their H.225.0 User-user
// information over the TCP signalling channel (H.225.0 7, H.323 8.1).

#include "voip/h323/connection.h"
#include "voip/h323/connectionstate.h"

#include <future>
#include <thread>
#include <random>

#include "voip/base/text.h"
#include "voip/base/trace.h"
#include "voip/core/call.h"
#include "voip/h225/address.h"
#include "voip/h225/message.h"
#include "voip/h323/tpktchannel.h"
#include "voip/core/manager.h"
#include "voip/h323/fields.h"

namespace voip::h323 {

using namespace detail;

namespace {

/// A random number from `low` to `high`, each thread with its own generator.
std::uint32_t randomIn(std::uint32_t low, std::uint32_t high)
{
    static thread_local std::mt19937 generator{std::random_device{}()};
    return std::uniform_int_distribution<std::uint32_t>(low, high)(generator);
}

/// How long the far end has at most to answer a presentation token request (less when the
/// endpoint's channel time limit is shorter).
constexpr std::chrono::milliseconds TokenAnswerTime{10000};

} // namespace

std::optional<asio::ip::tcp::endpoint> detail::toEndpoint(const asn::Value& transportAddress)
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

std::string detail::displayOf(const q931::Message& message)
{
    if (const auto* display = message.find(q931::ie::Display))
        return displayableText(std::string_view(
            reinterpret_cast<const char*>(display->contents.data()), display->contents.size()));
    return {};
}

Connection::Connection(const std::shared_ptr<Call>& call, EndPoint& endpoint, std::string address,
                       StringOptions options, bool incoming)
    : voip::Connection(call, endpoint, std::move(address), std::move(options))
    , endpoint_(endpoint)
    , incoming_(incoming)
    , io_(endpoint.ioContext())
    , timers_(endpoint.timers())
    , fastStartWanted_(endpoint.fastStart() &&
                       endpoint.mediaEncryption() != MediaEncryption::Required)
    , tunnellingWanted_(endpoint.h245Tunnelling())
    , h245InSetupWanted_(endpoint.h245InSetup())
    , identity_(endpoint.productIdentity())
    , receiveBandwidth_(endpoint.initialBandwidth(Direction::Receive))
    , transmitBandwidth_(endpoint.initialBandwidth(Direction::Transmit))
    , signalTimer_(io_)
    , h245TransportTimer_(io_)
    , infoReportTimer_(io_)
{
    ++endpoint_.connections_;
    if (!incoming_) {
        callReference_ = static_cast<std::uint16_t>(randomIn(1, 0x7fff));
        callIdentifier_ = h225::newGuid();
        conferenceId_ = h225::newGuid();
    }
    h245_ = std::make_unique<H245Transport>(tunnellingWanted_);
    link_ = std::make_unique<Link>(*this);
    masterSlave_ = std::make_unique<MasterSlave>(
        *link_, timers_.masterSlave, [] { return randomIn(0, 0xFFFFFF); },
        [this](bool) { checkReadyForChannels(); });
    capabilities_ = std::make_unique<CapabilityExchange>(
        *link_, timers_.capabilityExchange, [this] { checkReadyForChannels(); },
        [this](bool changed) { capabilitiesReceived(changed); });
    roundTrip_ =
        std::make_unique<RoundTrip>(*link_, timers_.roundTripDelay, timers_.roundTripInterval);
    userInput_ = std::make_unique<UserInput>(
        *link_, endpoint.userInputMode(),
        [this](const std::string& text) { OnUserInputString(text); });
    content_ = std::make_unique<Content>(*this);
    rates_ = std::make_unique<Rates>(*this);
    bandwidth_ = std::make_unique<BandwidthControl>(*link_, *rates_);
    presentation_ = std::make_unique<PresentationControl>(
        *link_, *content_, std::min(TokenAnswerTime, timers_.logicalChannel),
        [] { return static_cast<std::uint8_t>(randomIn(1, 127)); });
    streams_ = std::make_unique<Streams>(*this);
    channels_ = std::make_unique<LogicalChannels>(*link_, *streams_, timers_.logicalChannel);
    fastStart_ = std::make_unique<FastStart>(*channels_, *streams_, endpoint.fastStartNumbering());
    traversal_ = std::make_unique<CallTraversal>(io_, [this] { return describe(); });
    encryption_ = std::make_unique<CallEncryption>(endpoint.mediaEncryption(), !incoming_, *link_);
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
    traversal_->keepOpen(channel, timers_.signallingKeepAlive);
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
    if (body.type() && body.type()->indexOf(f225::callIdentifier) >= 0)
        h225::setGuid(body.field(f225::callIdentifier).field(f225::guid), callIdentifier_);
    for (std::string_view flag : {f225::multipleCalls, f225::maintainConnection}) {
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
        const bool tunnel = h245_->tunnels();
        pdu.field(f225::h245Tunnelling).setBoolean(tunnel);
        if (tunnel && h245_->tunnelledWaiting()) {
            asn::Value& control = pdu.field(f225::h245Control);
            for (const auto& encoded : h245_->takeTunnelled())
                control.append().setOctets(encoded);
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
    asn::Value information = newBody(f225::setup);
    if (!information.present()) {
        failCall(EndReason::ConnectFail);
        return;
    }
    asn::Value& setup = h225::messageBody(information);
    h225::setEndpointType(setup.field(f225::sourceInfo), identity_);
    const std::string user = endpoint_.userName();
    if (!user.empty())
        h225::setAlias(setup.field(f225::sourceAddress).append(), user, h225::AliasKind::H323Id);
    if (!dialled_->alias.empty() &&
        !h225::setAlias(setup.field(f225::destinationAddress).append(), dialled_->alias))
        setup.remove(f225::destinationAddress);
    h225::setTransportAddress(setup.field(f225::destCallSignalAddress),
                              toIpAddressPort(signal_->remoteEndpoint()));
    // Where we take calls, so that the far end can call back: our listener when there is
    // one, not the temporary source port of this connection.
    auto source = signal_->localEndpoint();
    if (const auto listening = endpoint_.listenerPort(); listening != 0)
        source.port(listening);
    h225::setTransportAddress(setup.field(f225::sourceCallSignalAddress),
                              toIpAddressPort(endpointToAnnounce(source)));
    setup.field(f225::activeMC).setBoolean(false);
    h225::setGuid(setup.field(f225::conferenceID), conferenceId_);
    setup.field(f225::conferenceGoal).choose(f225::create);
    setup.field(f225::callType).choose(f225::pointToPoint);
    setup.field(f225::mediaWaitForConnect).setBoolean(false);
    setup.field(f225::canOverlapSend).setBoolean(false);
    encryption_->offer(setup);
    if (!h245_->tunnels())
        offerH245Address(setup);
    // Through a traversal gatekeeper the relay learns where media goes from the
    // OpenLogicalChannels: no fastStart.
    if (fastStartWanted_ && !traversal_->signalling()) {
        auto offers = fastStart_->offer();
        if (!offers.empty()) {
            asn::Value& list = setup.field(f225::fastStart);
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
    // Behind a NAT nobody outside can reach a listener of ours: the far end is asked to
    // send its own address instead (Facility startH245 from the gatekeeper).
    if (traversal_->signalling())
        return;
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
    h225::setTransportAddress(body.field(f225::h245Address),
                              toIpAddressPort(endpointToAnnounce(local)));
}

// --- incoming ---

void Connection::acceptIncomingSetup(const std::shared_ptr<TpktChannel>& channel,
                                     const q931::Message& setupMessage, asn::Value information)
{
    callReference_ = setupMessage.callReference;
    attachSignalling(channel);
    const asn::Value& setup = h225::messageBody(information);
    callIdentifier_ = h225::guidOf(setup[f225::callIdentifier][f225::guid]);
    conferenceId_ = h225::guidOf(setup[f225::conferenceID]);
    std::string name = displayOf(setupMessage);
    const asn::Value& sources = setup[f225::sourceAddress];
    for (std::size_t i = 0; name.empty() && i < sources.size(); ++i)
        name = displayableText(h225::aliasToText(sources.at(i)));
    // The party address is dialled back later: where the caller listens, not the source
    // port of its TCP connection.
    std::optional<asio::ip::tcp::endpoint> announced;
    if (setup.has(f225::sourceCallSignalAddress))
        announced = toEndpoint(setup[f225::sourceCallSignalAddress]);
    std::string party = callerDialAddress(channel->remoteEndpoint(), announced).partyText();
    // Through a traversal gatekeeper, the address is the gatekeeper's: the caller is
    // reached again by its alias, through the gatekeeper.
    for (std::size_t i = 0; traversal_->signalling() && i < sources.size(); ++i) {
        if (const std::string alias = displayableText(h225::aliasToText(sources.at(i)));
            !alias.empty()) {
            party = alias;
            break;
        }
    }
    setRemoteParty(name, party);
    {
        std::lock_guard lock(channelMutex_);
        remoteProduct_ = displayableText(h225::productText(setup[f225::sourceInfo]));
    }
    std::string called;
    const asn::Value& destinations = setup[f225::destinationAddress];
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
    // A Setup lists its features itself, not in a feature set.
    traversal_->peerFeatures(setup);
    encryption_->peerOffered(setup);
    if (encryption_->refusesAgreement()) {
        // Refused here and now, before the call is offered to anyone: the caller hears why.
        VOIP_TRACE(2, "H323\tRefused: the caller does not encrypt on " << describe());
        sendReleaseComplete(EndReason::SecurityDenial,
                            q931CauseFromEndReason(EndReason::SecurityDenial));
        releaseNetwork();
        return;
    }
    tunnellingActive_ = h245_->decide(pdu[f225::h245Tunnelling].boolean());
    if (setup.has(f225::h245Address))
        remoteH245Address_ = toEndpoint(setup[f225::h245Address]);
    if (fastStartWanted_ && !traversal_->signalling() && setup.has(f225::fastStart))
        fastStart_->remember(setup[f225::fastStart]);
    if (h245_->tunnelling() && pdu.has(f225::h245Control)) {
        const asn::Value& control = pdu[f225::h245Control];
        for (std::size_t i = 0; i < control.size() && !released_; ++i)
            handleH245Pdu(control.at(i).octets());
    }
    if (released_)
        return;
    asn::Value proceeding = newBody(f225::callProceeding);
    h225::setEndpointType(h225::messageBody(proceeding).field(f225::destinationInfo), identity_);
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

std::vector<std::string> Connection::answerFastStart()
{
    auto answers = fastStart_->answer();
    fastStartActive_ = !answers.empty();
    return answers;
}

void Connection::sendAlerting()
{
    if (released_ || !incoming_ || alertingSent_ || connectSent_)
        return;
    alertingSent_ = true;
    asn::Value alerting = newBody(f225::alerting);
    asn::Value& body = h225::messageBody(alerting);
    h225::setEndpointType(body.field(f225::destinationInfo), identity_);
    if (fastStart_->proposed() && !fastStart_->answered()) {
        auto answers = answerFastStart();
        if (!answers.empty()) {
            asn::Value& list = body.field(f225::fastStart);
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
    asn::Value connect = newBody(f225::connect);
    asn::Value& body = h225::messageBody(connect);
    h225::setEndpointType(body.field(f225::destinationInfo), identity_);
    h225::setGuid(body.field(f225::conferenceID), conferenceId_);
    // Our name as an alias too: the Display element carries ASCII only.
    if (const std::string user = endpoint_.userName(); !user.empty())
        h225::setAlias(body.field(f225::connectedAddress).append(), user, h225::AliasKind::H323Id);
    encryption_->offer(body);
    if (fastStart_->proposed()) {
        auto answers = fastStart_->answered() ? std::vector<std::string>{} : answerFastStart();
        if (!answers.empty()) {
            asn::Value& list = body.field(f225::fastStart);
            for (const auto& answer : answers)
                list.append().setBytes(answer);
        } else if (!fastStart_->answered()) {
            body.field(f225::fastConnectRefused);
        }
    }
    if (!h245_->tunnelling()) {
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

} // namespace voip::h323
