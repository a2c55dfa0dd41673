// Presentation (H.239) on the connection's side: the two entry points, the far end's
// presentation messages, and the content channels presentation control works on.

#include "voip/h323/connection.h"
#include "voip/h323/connectionstate.h"

#include "voip/base/trace.h"
#include "voip/h245/h239.h"
#include "voip/h323/capabilitymap.h"
#include "voip/core/manager.h"
#include "voip/h323/fields.h"

namespace voip::h323 {

bool Connection::startPresentation()
{
    if (isReleased() || !presentation_->reserve())
        return false;
    if (!holdUntilH245Complete([this] { presentation_->start(); })) {
        presentation_->release();
        return false;
    }
    return true;
}

bool Connection::stopPresentation()
{
    if (isReleased() || !presentation_->wanted())
        return false;
    onNetwork([this] {
        presentation_->stop();
        flushTunnelled();
    });
    return true;
}

std::optional<std::pair<MediaFormat, const h245::Capability*>> Connection::contentToTransmit() const
{
    for (const auto& format : mediaFormatsToOffer()) {
        if (!isContentFormat(format))
            continue;
        if (const h245::Capability* theirs = channels_->remoteReceiveCapability(format))
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
    // A token request goes through the hook, which a connection may override.
    if (h239->type == h245::H239MessageType::PresentationTokenRequest)
        OnH239PresentationRequest(h239->channelId.value_or(0), h239->symmetryBreaking.value_or(0),
                                  h239->terminalLabel.value_or(0));
    else
        presentation_->onMessage(*h239);
}

bool Connection::OnH239PresentationRequest(unsigned channel, unsigned symmetryBreaking,
                                           unsigned terminalLabel)
{
    return presentation_->onTokenRequest(channel, symmetryBreaking, terminalLabel);
}

bool Connection::isRemoteContentChannel(std::uint16_t number) const
{
    for (const auto& channel : channels_->list()) {
        if (channel->fromRemote && channel->number == number && isContentFormat(channel->format))
            return true;
    }
    return false;
}

bool Connection::OnMiscellaneousIndication(const h245::ChannelEvent& indication)
{
    VOIP_TRACE(3, "H323\tMiscellaneousIndication " << indication.type << " for channel "
                                                   << indication.logicalChannel);
    if (isRemoteContentChannel(indication.logicalChannel)) {
        if (indication.type == f245::logicalChannelActive)
            presentation_->remoteContentActive(true);
        else if (indication.type == f245::logicalChannelInactive)
            presentation_->remoteContentActive(false);
    }
    return true;
}

void Connection::OnPresentation(PresentationEvent event)
{
    VOIP_TRACE(2, "H323\tPresentation " << presentationEventName(event) << " on " << describe());
    manager().OnPresentation(*this, event);
}

// --- the content channels ---

bool Connection::Content::canPresent() const
{
    const auto& theirs = connection_.capabilities_->remote().capabilities;
    const bool control = std::any_of(theirs.begin(), theirs.end(), [](const auto& capability) {
        return capability.type == h245::CapabilityType::H239Control;
    });
    return control && connection_.contentToTransmit();
}

bool Connection::Content::openContent(std::uint16_t number)
{
    const auto content = connection_.contentToTransmit();
    if (!content ||
        !connection_.channels_->openTransmitChannel(content->first, *content->second, number))
        return false;
    connection_.publishChannels();
    return true;
}

void Connection::Content::closeContent(std::uint16_t number)
{
    connection_.channels_->closeTransmitChannel(number, !connection_.released_);
}

bool Connection::Content::remoteContentOpen() const
{
    const auto& channels = connection_.channels_->list();
    return std::any_of(channels.begin(), channels.end(), [](const auto& channel) {
        return channel->fromRemote && channel->open && isContentFormat(channel->format);
    });
}

} // namespace voip::h323
