#include "voip/h323/presentationcontrol.h"

#include "voip/base/trace.h"
#include "voip/h245/message.h"
#include "voip/h323/fields.h"

namespace voip::h323 {

namespace {

/// The terminal label we give ourselves: in a call of two there is no MC to assign one.
constexpr std::uint16_t OwnTerminalLabel = 0;

} // namespace

PresentationControl::PresentationControl(ControlLink& link, ContentChannels& channels,
                                         std::chrono::milliseconds answerTime,
                                         std::function<std::uint8_t()> symmetryNumber)
    : link_(link)
    , channels_(channels)
    , symmetryNumber_(std::move(symmetryNumber))
    , answerTime_(answerTime)
    , timer_(link.timer([this] {
        if (state_ != State::Requesting)
            return;
        VOIP_TRACE(1, "H323\tNo answer to the presentation token request on " << link_.describe());
        end(PresentationEvent::LocalRefused, true);
    }))
{}

bool PresentationControl::reserve()
{
    return !wanted_.exchange(true);
}

void PresentationControl::start()
{
    if (state_ != State::Idle || channels_.released())
        return;
    if (!channels_.canPresent()) {
        VOIP_TRACE(2, "H323\tThe far end takes no presentation on " << link_.describe());
        wanted_ = false;
        channels_.presentationEvent(PresentationEvent::LocalRefused);
        return;
    }
    // The channel number is ours from now on, so that the request can name it.
    channel_ = channels_.newChannelNumber();
    symmetryBreaking_ = symmetryNumber_();
    state_ = State::Requesting;
    h245::H239Message request;
    request.type = h245::H239MessageType::PresentationTokenRequest;
    request.channelId = channel_;
    request.symmetryBreaking = symmetryBreaking_;
    request.terminalLabel = OwnTerminalLabel;
    link_.send(h245::buildH239Message(request));
    timer_->start(answerTime_);
}

void PresentationControl::stop()
{
    if (state_ != State::Idle)
        end(PresentationEvent::LocalStopped, false);
}

bool PresentationControl::onTokenRequest(unsigned channel, unsigned symmetryBreaking,
                                         unsigned terminalLabel)
{
    VOIP_TRACE(2, "H323\tPresentation token request for channel " << channel << " (symmetry "
                                                                  << symmetryBreaking << ")");
    const bool ourRequestWins = state_ == State::Requesting &&
                                (symmetryBreaking_ > symmetryBreaking ||
                                 (symmetryBreaking_ == symmetryBreaking && channels_.master()));
    h245::H239Message response;
    response.type = h245::H239MessageType::PresentationTokenResponse;
    response.acknowledged = !ourRequestWins;
    response.channelId = static_cast<std::uint16_t>(channel);
    response.terminalLabel = static_cast<std::uint16_t>(terminalLabel);
    link_.send(h245::buildH239Message(response));
    if (ourRequestWins)
        return false;
    // The token is the far end's now: a presentation of ours gives way.
    if (state_ == State::Requesting)
        end(PresentationEvent::LocalRefused, true);
    else if (state_ != State::Idle)
        end(PresentationEvent::LocalStopped, true);
    remoteHoldsToken_ = true;
    // A far end that keeps its content channel open presents as soon as it holds the token.
    if (channels_.remoteContentOpen())
        setRemotePresenting(true);
    return true;
}

void PresentationControl::onMessage(const h245::H239Message& message)
{
    switch (message.type) {
    case h245::H239MessageType::PresentationTokenRequest:
        break; // through onTokenRequest, which the call's hook may stand in for
    case h245::H239MessageType::PresentationTokenResponse:
        tokenAnswered(message);
        break;
    case h245::H239MessageType::PresentationTokenRelease:
        remoteHoldsToken_ = false;
        setRemotePresenting(false);
        break;
    case h245::H239MessageType::PresentationTokenIndicateOwner:
        VOIP_TRACE(3, "H323\tPresentation token owner " << message.terminalLabel.value_or(0)
                                                        << " on " << link_.describe());
        break;
    case h245::H239MessageType::FlowControlReleaseRequest: {
        // In a call of two there is no bit rate to release for others: take it.
        h245::H239Message response;
        response.type = h245::H239MessageType::FlowControlReleaseResponse;
        response.channelId = message.channelId;
        response.acknowledged = true;
        link_.send(h245::buildH239Message(response));
        break;
    }
    case h245::H239MessageType::FlowControlReleaseResponse:
        break;
    }
}

void PresentationControl::tokenAnswered(const h245::H239Message& response)
{
    if (state_ != State::Requesting || response.channelId.value_or(channel_) != channel_)
        return;
    timer_->cancel();
    if (!response.acknowledged.value_or(false)) {
        VOIP_TRACE(2, "H323\tPresentation token refused on " << link_.describe());
        end(PresentationEvent::LocalRefused, true);
        return;
    }
    state_ = State::Opening;
    if (!channels_.openContent(channel_))
        end(PresentationEvent::LocalRefused, false);
}

bool PresentationControl::opening(std::uint16_t number) const
{
    return state_ == State::Opening && number == channel_;
}

void PresentationControl::contentOpened(std::uint16_t number)
{
    if (!opening(number))
        return;
    state_ = State::Presenting;
    presenting_ = true;
    link_.send(h245::buildMiscellaneousIndication(number, f245::logicalChannelActive));
    VOIP_TRACE(2, "H323\tPresenting on channel " << number << " on " << link_.describe());
    channels_.presentationEvent(PresentationEvent::LocalStarted);
}

void PresentationControl::contentRefused(std::uint16_t number)
{
    if (opening(number))
        end(PresentationEvent::LocalRefused, false);
}

bool PresentationControl::closeRequested(std::uint16_t number)
{
    if (state_ == State::Idle || number != channel_)
        return false;
    end(PresentationEvent::LocalStopped, false);
    return true;
}

void PresentationControl::remoteContentOpened()
{
    // A content channel opened by the holder of the token carries its presentation.
    if (remoteHoldsToken_)
        setRemotePresenting(true);
}

void PresentationControl::remoteContentClosed()
{
    setRemotePresenting(false);
}

void PresentationControl::remoteContentActive(bool active)
{
    setRemotePresenting(active);
}

void PresentationControl::end(PresentationEvent event, bool tokenGone)
{
    const State was = state_;
    state_ = State::Idle;
    timer_->cancel();
    if (was == State::Idle)
        return;
    if (!channels_.released()) {
        if (was == State::Presenting)
            link_.send(h245::buildMiscellaneousIndication(channel_, f245::logicalChannelInactive));
        if (!tokenGone) {
            h245::H239Message release;
            release.type = h245::H239MessageType::PresentationTokenRelease;
            release.channelId = channel_;
            release.terminalLabel = OwnTerminalLabel;
            link_.send(h245::buildH239Message(release));
        }
    }
    channels_.closeContent(channel_);
    presenting_ = false;
    wanted_ = false;
    channels_.presentationEvent(event);
}

void PresentationControl::setRemotePresenting(bool presenting)
{
    if (remotePresenting_.exchange(presenting) != presenting)
        channels_.presentationEvent(presenting ? PresentationEvent::RemoteStarted
                                               : PresentationEvent::RemoteStopped);
}

} // namespace voip::h323
