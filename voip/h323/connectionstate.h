#pragma once

// The media sessions and logical channels of an H.323 connection; internal to voip_h323.

#include <memory>
#include <optional>

#include <asio.hpp>

#include "voip/h225/address.h"
#include "voip/h245/channels.h"
#include "voip/h323/calltraversal.h"
#include "voip/h323/connection.h"
#include "voip/h323/ipaddress.h"
#include "voip/media/mediaformat.h"
#include "voip/q931/cause.h"
#include "voip/media/mediastream.h"
#include "voip/h323/logicalchannels.h"

namespace voip::h323 {

/// What the files of the connection share.
namespace detail {

// The Q.850 causes the connection and the endpoint send of their own.
constexpr unsigned CauseInvalidMessage = unsigned(q931::CauseValue::InvalidMessage);
constexpr unsigned CauseMandatoryElementMissing =
    unsigned(q931::CauseValue::MandatoryElementMissing);
constexpr unsigned CauseResponseToStatusEnquiry =
    unsigned(q931::CauseValue::StatusEnquiryResponse);
constexpr std::size_t MaxQueuedH245 = 256;

/// The TCP address an H.225.0 TransportAddress names; nothing for port 0 or no IP.
std::optional<asio::ip::tcp::endpoint> toEndpoint(const asn::Value& transportAddress);
/// The Display element's name.  Stacks pad it with NULs or send UTF-8 or Latin-1 where
/// Q.931 says IA5: every octet is read, and what cannot be shown is cleaned.
std::string displayOf(const q931::Message& message);

} // namespace detail

/// A timer of an H.245 procedure: its job runs on the network thread while the call is
/// not released, and what it sent goes out at its end.
class Connection::LinkTimer : public ControlTimer
{
public:
    LinkTimer(Connection& connection, std::function<void()> job);
    ~LinkTimer() override;
    void start(std::chrono::milliseconds after) override;
    void cancel() override { timer_.cancel(); }

private:
    Connection& connection_;
    asio::steady_timer timer_;
    /// Shared with the wait under way: a timer destroyed after it expired but before its
    /// completion ran (a channel that goes as its time runs out) leaves nothing to run.
    std::shared_ptr<std::function<void()>> job_;
};

/// What the H.245 procedures reach of their connection.
class Connection::Link : public ControlLink
{
public:
    explicit Link(Connection& connection)
        : connection_(connection)
    {}
    void send(const asn::Value& message) override { connection_.queueH245(message); }
    bool transportReady() const override { return connection_.h245Ready_.load(); }
    void fail(EndReason reason) override { connection_.failCall(reason); }
    std::unique_ptr<ControlTimer> timer(std::function<void()> job) override;
    std::string describe() const override { return connection_.describe(); }

private:
    Connection& connection_;
};

/// What the logical channels need of their call (channels.cpp).
class Connection::Streams : public ChannelMedia
{
public:
    explicit Streams(Connection& connection)
        : connection_(connection)
    {}
    MediaFormatList formatsToOffer() const override { return connection_.mediaFormatsToOffer(); }
    const h245::CapabilitySet& remoteCapabilities() const override
    {
        return connection_.capabilities_->remote();
    }
    bool master() const override { return connection_.masterSlave_->master(); }
    std::unique_ptr<MediaSessionPorts> bindSession(unsigned sessionId) override
    {
        return connection_.bindSession(sessionId);
    }
    std::shared_ptr<MediaStream> openStream(const MediaFormat& format, unsigned sessionId,
                                            bool receive) override
    {
        return connection_.openMediaStream(format, sessionId, receive);
    }
    void closeStream(const std::shared_ptr<MediaStream>& stream) override
    {
        connection_.closeMediaStream(stream);
    }
    void channelOpened(const ChannelState& channel) override;
    void channelRefused(std::uint16_t number) override;
    void remoteChannelClosing(const ChannelState& channel) override;
    bool closeRequested(std::uint16_t number) override;
    void fastStartLeft() override;
    void channelsChanged() override { connection_.publishChannels(); }
    std::optional<h245::MediaTraversal> traversalToOffer() const override
    {
        return connection_.traversal_->toOffer();
    }
    std::optional<h245::MediaTraversal>
    traversalAccepted(unsigned sessionId, MediaSessionPorts& ports,
                      const std::optional<h245::MediaTraversal>& offered) override
    {
        return connection_.traversal_->accept(sessionId, ports.media, offered);
    }
    ChannelSeal sealTransmit(h245::LogicalChannel& parameters,
                             const h245::Capability& theirs) override
    {
        return connection_.encryption_->sealTransmit(parameters, remoteCapabilities(), theirs,
                                                     master());
    }
    bool transmitKeyed(const ChannelState& channel, const std::optional<h245::EncryptionSync>& sync,
                       MediaSessionPorts& ports) override
    {
        return connection_.encryption_->transmitAcknowledged(channel.number, sync, ports.media);
    }
    std::string_view sealReceive(const h245::LogicalChannel& request, std::uint8_t payloadType,
                                 MediaSessionPorts& ports, h245::LogicalChannelAck& ack) override
    {
        return connection_.encryption_->sealReceive(request, payloadType, master(), ack,
                                                    ports.media);
    }
    void channelGone(std::uint16_t number, bool fromRemote) override
    {
        if (fromRemote)
            connection_.encryption_->receiveClosed(number);
        else
            connection_.encryption_->transmitClosed(number);
    }

private:
    Connection& connection_;
};

/// The content channels presentation control works on (presentation.cpp).
class Connection::Content : public ContentChannels
{
public:
    explicit Content(Connection& connection)
        : connection_(connection)
    {}
    bool canPresent() const override;
    std::uint16_t newChannelNumber() override { return connection_.channels_->newNumber(); }
    bool openContent(std::uint16_t number) override;
    void closeContent(std::uint16_t number) override;
    bool remoteContentOpen() const override;
    bool master() const override { return connection_.masterSlave_->master(); }
    bool released() const override { return connection_.released_; }
    void presentationEvent(PresentationEvent event) override { connection_.OnPresentation(event); }

private:
    Connection& connection_;
};

/// The channels' rates bandwidth control works on, and the gatekeeper it asks
/// (indications.cpp).
class Connection::Rates : public CallRates
{
public:
    explicit Rates(Connection& connection)
        : connection_(connection)
    {}
    std::vector<RatedChannel> openChannels() override;
    void applyRate(const RatedChannel& channel, std::uint64_t rate) override;
    bool admitted() const override { return connection_.admittedBy_ && !connection_.released_; }
    void askGatekeeper(std::uint32_t wanted) override;

private:
    Connection& connection_;
};

} // namespace voip::h323
