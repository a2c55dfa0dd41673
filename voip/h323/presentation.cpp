// Presentation (H.239): the token, our content channel and the far end's presentation
// state.  Everything here runs on the network thread but the two entry points.

#include "voip/h323/connection.h"
#include "voip/h323/connectionstate.h"

#include <random>

#include "voip/base/trace.h"
#include "voip/h245/h239.h"
#include "voip/h323/capabilitymap.h"
#include "voip/core/manager.h"

namespace voip::h323 {

namespace {

/// How long the far end has at most to answer a token request (less when the endpoint's
/// channel time limit is shorter).
constexpr std::chrono::milliseconds TokenAnswerTime{10000};
/// The terminal label we give ourselves: in a call of two there is no MC to assign one.
constexpr std::uint16_t OwnTerminalLabel = 0;

std::uint8_t randomSymmetryBreaking()
{
    static thread_local std::mt19937 generator(std::random_device{}());
    return static_cast<std::uint8_t>(std::uniform_int_distribution<int>(1, 127)(generator));
}

} // namespace

bool Connection::startPresentation()
{
    if (isReleased() || presentationBusy_.exchange(true))
        return false;
    if (!holdUntilH245Complete([this] { beginPresentation(); })) {
        presentationBusy_ = false;
        return false;
    }
    return true;
}

bool Connection::stopPresentation()
{
    if (isReleased() || !presentationBusy_.load())
        return false;
    onNetwork([this] {
        if (presentation_ != PresentationState::Idle)
            endPresentation(PresentationEvent::LocalStopped, false);
        flushTunnelled();
    });
    return true;
}

void Connection::beginPresentation()
{
    if (presentation_ != PresentationState::Idle || released_)
        return;
    const bool control =
        std::any_of(capabilities_->remote().capabilities.begin(),
                    capabilities_->remote().capabilities.end(), [](const auto& capability) {
                        return capability.type == h245::CapabilityType::H239Control;
                    });
    if (!control || !contentToTransmit()) {
        VOIP_TRACE(2, "H323\tThe far end takes no presentation on " << describe());
        presentationBusy_ = false;
        OnPresentation(PresentationEvent::LocalRefused);
        return;
    }
    // The channel number is ours from now on, so that the request can name it.
    contentChannel_ = nextChannelNumber_++;
    symmetryBreaking_ = randomSymmetryBreaking();
    presentation_ = PresentationState::Requesting;
    h245::H239Message request;
    request.type = h245::H239MessageType::PresentationTokenRequest;
    request.channelId = contentChannel_;
    request.symmetryBreaking = symmetryBreaking_;
    request.terminalLabel = OwnTerminalLabel;
    queueH245(h245::buildH239Message(request));
    runAfter(presentationTimer_, std::min(TokenAnswerTime, timers_.logicalChannel),
             [](Connection& connection) {
                 if (connection.presentation_ != PresentationState::Requesting)
                     return;
                 VOIP_TRACE(1, "H323\tNo answer to the presentation token request on "
                                   << connection.describe());
                 connection.endPresentation(PresentationEvent::LocalRefused, true);
                 connection.flushTunnelled();
             });
}

std::optional<std::pair<MediaFormat, const h245::Capability*>> Connection::contentToTransmit() const
{
    for (const auto& format : mediaFormatsToOffer()) {
        if (!isContentFormat(format))
            continue;
        if (const h245::Capability* theirs = remoteReceiveCapability(format))
            return std::pair{format, theirs};
    }
    return std::nullopt;
}

void Connection::handleH239(const asn::Value& message)
{
    auto h239 = h245::readH239Message(message);
    if (!h239) {
        VOIP_TRACE(2, "H323\tUnreadable H.239 message on " << describe() << ": "
                                                           << h239.error().toString());
        return;
    }
    switch (h239->type) {
    case h245::H239MessageType::PresentationTokenRequest:
        OnH239PresentationRequest(h239->channelId.value_or(0), h239->symmetryBreaking.value_or(0),
                                  h239->terminalLabel.value_or(0));
        break;
    case h245::H239MessageType::PresentationTokenResponse:
        presentationTokenAnswered(*h239);
        break;
    case h245::H239MessageType::PresentationTokenRelease:
        remoteHoldsToken_ = false;
        setRemotePresenting(false);
        break;
    case h245::H239MessageType::PresentationTokenIndicateOwner:
        VOIP_TRACE(3, "H323\tPresentation token owner " << h239->terminalLabel.value_or(0) << " on "
                                                        << describe());
        break;
    case h245::H239MessageType::FlowControlReleaseRequest: {
        // In a call of two there is no bit rate to release for others: take it.
        h245::H239Message response;
        response.type = h245::H239MessageType::FlowControlReleaseResponse;
        response.channelId = h239->channelId;
        response.acknowledged = true;
        queueH245(h245::buildH239Message(response));
        break;
    }
    case h245::H239MessageType::FlowControlReleaseResponse:
        break;
    }
}

bool Connection::OnH239PresentationRequest(unsigned channel, unsigned symmetryBreaking,
                                           unsigned terminalLabel)
{
    VOIP_TRACE(2, "H323\tPresentation token request for channel " << channel << " (symmetry "
                                                                  << symmetryBreaking << ")");
    // Two requests crossing: the higher number wins, the master on a tie.
    const bool ourRequestWins = presentation_ == PresentationState::Requesting &&
                                (symmetryBreaking_ > symmetryBreaking ||
                                 (symmetryBreaking_ == symmetryBreaking && masterSlave_->master()));
    h245::H239Message response;
    response.type = h245::H239MessageType::PresentationTokenResponse;
    response.acknowledged = !ourRequestWins;
    response.channelId = static_cast<std::uint16_t>(channel);
    response.terminalLabel = static_cast<std::uint16_t>(terminalLabel);
    queueH245(h245::buildH239Message(response));
    if (ourRequestWins)
        return false;
    // The token is the far end's now: a presentation of ours gives way.
    if (presentation_ == PresentationState::Requesting)
        endPresentation(PresentationEvent::LocalRefused, true);
    else if (presentation_ != PresentationState::Idle)
        endPresentation(PresentationEvent::LocalStopped, true);
    remoteHoldsToken_ = true;
    // A far end that keeps its content channel open presents as soon as it holds the token.
    for (const auto& open : channels_) {
        if (open->fromRemote && open->open && isContentFormat(open->format))
            setRemotePresenting(true);
    }
    return true;
}

void Connection::presentationTokenAnswered(const h245::H239Message& response)
{
    if (presentation_ != PresentationState::Requesting ||
        response.channelId.value_or(contentChannel_) != contentChannel_)
        return;
    presentationTimer_.cancel();
    if (!response.acknowledged.value_or(false)) {
        VOIP_TRACE(2, "H323\tPresentation token refused on " << describe());
        endPresentation(PresentationEvent::LocalRefused, true);
        return;
    }
    presentation_ = PresentationState::Opening;
    const auto content = contentToTransmit();
    if (!content || !openTransmitChannel(content->first, *content->second, contentChannel_)) {
        endPresentation(PresentationEvent::LocalRefused, false);
        return;
    }
    publishChannels();
}

void Connection::contentChannelOpened(Channel& channel)
{
    presentation_ = PresentationState::Presenting;
    presenting_ = true;
    queueH245(h245::buildMiscellaneousIndication(channel.number, "logicalChannelActive"));
    VOIP_TRACE(2, "H323\tPresenting on channel " << channel.number << " on " << describe());
    OnPresentation(PresentationEvent::LocalStarted);
}

void Connection::contentChannelRefused()
{
    endPresentation(PresentationEvent::LocalRefused, false);
}

void Connection::endPresentation(PresentationEvent event, bool tokenGone)
{
    const PresentationState was = presentation_;
    presentation_ = PresentationState::Idle;
    presentationTimer_.cancel();
    if (was == PresentationState::Idle)
        return;
    if (!released_) {
        if (was == PresentationState::Presenting)
            queueH245(
                h245::buildMiscellaneousIndication(contentChannel_, "logicalChannelInactive"));
        if (!tokenGone) {
            h245::H239Message release;
            release.type = h245::H239MessageType::PresentationTokenRelease;
            release.channelId = contentChannel_;
            release.terminalLabel = OwnTerminalLabel;
            queueH245(h245::buildH239Message(release));
        }
    }
    for (auto it = channels_.begin(); it != channels_.end(); ++it) {
        if (!(*it)->fromRemote && (*it)->number == contentChannel_) {
            if (!released_)
                queueH245(h245::buildCloseLogicalChannel(contentChannel_));
            closeChannel(**it);
            channels_.erase(it);
            break;
        }
    }
    publishChannels();
    presenting_ = false;
    presentationBusy_ = false;
    OnPresentation(event);
}

bool Connection::isRemoteContentChannel(std::uint16_t number) const
{
    for (const auto& channel : channels_) {
        if (channel->fromRemote && channel->number == number && isContentFormat(channel->format))
            return true;
    }
    return false;
}

void Connection::setRemotePresenting(bool presenting)
{
    if (remotePresenting_.exchange(presenting) == presenting)
        return;
    OnPresentation(presenting ? PresentationEvent::RemoteStarted
                              : PresentationEvent::RemoteStopped);
}

bool Connection::OnMiscellaneousIndication(const h245::ChannelEvent& indication)
{
    VOIP_TRACE(3, "H323\tMiscellaneousIndication " << indication.type << " for channel "
                                                   << indication.logicalChannel);
    if (isRemoteContentChannel(indication.logicalChannel)) {
        if (indication.type == "logicalChannelActive")
            setRemotePresenting(true);
        else if (indication.type == "logicalChannelInactive")
            setRemotePresenting(false);
    }
    return true;
}

void Connection::OnPresentation(PresentationEvent event)
{
    VOIP_TRACE(2, "H323\tPresentation " << presentationEventName(event) << " on " << describe());
    manager().OnPresentation(*this, event);
}

} // namespace voip::h323
