// The call signalling an H.323 connection receives (Q.931 messages with their H.225.0
// User-user information), its failures, and the release of the call.

#include "voip/h323/connection.h"
#include "voip/h323/connectionstate.h"

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

// Q.931 4.5.7 call states reported in a Status message.
constexpr std::uint8_t StateOutgoingCallProceeding = 3;
constexpr std::uint8_t StateCallDelivered = 4;
constexpr std::uint8_t StateIncomingCallProceeding = 9;
constexpr std::uint8_t StateActive = 10;

} // namespace

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
        asn::Value status = newBody(f225::status);
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
    const bool response = name == f225::callProceeding || name == f225::alerting ||
                          name == f225::connect || name == f225::progress || name == f225::facility;
    if (!incoming_ && !h245_->decided() && response) {
        tunnellingActive_ = h245_->decide(pdu[f225::h245Tunnelling].boolean());
        if (!h245_->tunnelling() && h245Started_)
            resetH245(); // what went in Setup is lost; start again on the H.245 channel
    }
    // Any message's body: those that have the fields may carry them.
    if (const asn::Value& features = body.find(f225::featureSet); features.present())
        traversal_->peerFeatures(features);
    const asn::Value& h245Address = body.find(f225::h245Address);
    if (h245Address.present() && !h245_->tunnelling()) {
        if (auto target = toEndpoint(h245Address))
            remoteH245Address_ = target;
    }
    const asn::Value& fastStart = body.find(f225::fastStart);
    if (!incoming_ && fastStartWanted_ && !fastStart_->answered() && fastStart.present())
        fastStartActive_ = fastStart_->readAnswer(fastStart);
    if (!incoming_ && name == f225::connect && !connectReceived_) {
        // The far end's half of the key agreement, before the H.245 the Connect carries.
        encryption_->peerOffered(body);
        if (encryption_->refusesAgreement()) {
            VOIP_TRACE(2, "H323\tCleared: the far end does not encrypt on " << describe());
            failCall(EndReason::SecurityDenial);
            return;
        }
        if (encryption_->releaseCapabilities())
            sendCapabilitySet();
    }
    if (h245_->tunnelling() && pdu.has(f225::h245Control)) {
        const asn::Value& control = pdu[f225::h245Control];
        for (std::size_t i = 0; i < control.size() && !released_ && !remoteReleased_; ++i)
            handleH245Pdu(control.at(i).octets());
        if (released_ || remoteReleased_)
            return;
    }
    if (incoming_) {
        // The caller sends nothing else that changes the call's progress; it may ask us to
        // open the H.245 connection.
        if (name == f225::facility)
            handleFacility(message, information);
        return;
    }
    if (name == f225::callProceeding) {
        std::lock_guard lock(channelMutex_);
        remoteProduct_ = displayableText(h225::productText(body[f225::destinationInfo]));
    } else if (name == f225::alerting) {
        onAlerting();
    } else if (name == f225::connect) {
        if (connectReceived_)
            return;
        connectReceived_ = true;
        signalTimer_.cancel();
        {
            std::lock_guard lock(channelMutex_);
            remoteProduct_ = displayableText(h225::productText(body[f225::destinationInfo]));
        }
        std::string display = displayOf(message);
        const asn::Value& connected = body[f225::connectedAddress];
        for (std::size_t i = 0; display.empty() && i < connected.size(); ++i)
            display = displayableText(h225::aliasToText(connected.at(i)));
        if (!display.empty())
            setRemoteParty(display, remotePartyAddress());
        ensureH245Transport();
        if (fastStartWanted_ && !fastStart_->answered()) {
            VOIP_TRACE(2, "H323\tFast start refused, using H.245 on " << describe());
            fastStart_->refused();
        }
        startH245();
        onConnected();
    } else if (name == f225::facility) {
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
    } else if (information.present() && h225::messageBody(information).has(f225::reason)) {
        if (auto mapped = endReasonFromReleaseCompleteReason(
                h225::messageBody(information)[f225::reason].choiceName()))
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
    const auto reason = facility[f225::reason].choiceName();
    if (reason == f225::startH245 && h245_->tunnelling() &&
        !h225::uuPdu(information)[f225::h245Tunnelling].boolean() && !h245Channel_ &&
        !h245Connecting_) {
        // A traversal gatekeeper stops tunnelling and names its H.245 address: the
        // procedures go on over a connection we open to it.
        if (auto target = toEndpoint(facility.find(f225::h245Address))) {
            leaveTunnellingFor(*target);
            return;
        }
    }
    if (reason == f225::transportedInformation || reason == f225::startH245 ||
        reason == f225::featureSetUpdate) {
        // Asked to connect: to the far end's listener, even when we offered ours, since the
        // far end may not be listening for us (a connection of its own coming in as well is
        // taken if it is first).
        if (reason == f225::startH245 && !h245_->tunnelling() && facility.has(f225::h245Address) &&
            !h245Channel_ && !h245Connecting_ && remoteH245Address_)
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
    const int reason = facility[f225::reason].choiceIndex();
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
        asn::Value facility = newBody(f225::facility);
        asn::Value& body = h225::messageBody(facility);
        body.field(f225::reason).choose(f225::callForwarded);
        if (!alias.empty())
            h225::setAlias(body.field(f225::alternativeAliasAddress).append(), alias);
        if (address)
            h225::setTransportAddress(body.field(f225::alternativeAddress), *address);
        h225::setGuid(body.field(f225::conferenceID), conferenceId_);
        sendSignal(q931::MessageType::Facility, facility);
        failCall(EndReason::CallForwarded);
    });
    return true;
}

void Connection::sendReleaseComplete(EndReason reason, unsigned cause)
{
    if (released_ || remoteReleased_ || !signal_ || !signal_->isOpen())
        return;
    if (h245Started_ && h245_->tunnelling())
        queueH245(h245::buildEndSessionCommand());
    else if (h245Started_ && h245Channel_ && h245Channel_->isOpen())
        queueH245(h245::buildEndSessionCommand());
    asn::Value release = newBody(f225::releaseComplete);
    const auto reasonName = releaseCompleteReasonFromEndReason(reason);
    asn::Value& body = h225::messageBody(release);
    if (!reasonName.empty() && body.field(f225::reason).type()->indexOf(reasonName) >= 0)
        body.field(f225::reason).choose(reasonName);
    else
        body.remove(f225::reason);
    q931::Cause value;
    value.value = static_cast<std::uint8_t>(cause);
    sendSignal(q931::MessageType::ReleaseComplete, release,
               {{q931::ie::Cause, q931::encodeCause(value)}});
}

void Connection::cancelTimers()
{
    for (auto* timer : linkTimers_)
        timer->cancel();
    for (auto* timer : {&signalTimer_, &h245TransportTimer_, &infoReportTimer_})
        timer->cancel();
}

void Connection::crossNatThroughGatekeeper()
{
    traversal_->throughGatekeeper();
    h245_->wantTunnelling();
}

void Connection::leaveTunnellingFor(const asio::ip::tcp::endpoint& target)
{
    VOIP_TRACE(2, "H323	H.245 leaves the tunnel for " << target << " on " << describe());
    h245_->leaveTunnelling();
    tunnellingActive_ = false;
    remoteH245Address_ = target;
    connectH245(target);
}

void Connection::releaseNetwork()
{
    released_ = true;
    traversal_->stop();
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
    channels_->release();
}

} // namespace voip::h323
