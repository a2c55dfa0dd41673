#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "voip/h245/capabilities.h"
#include "voip/h245/channels.h"
#include "voip/h323/bandwidthcontrol.h"
#include "voip/h323/callencryption.h"
#include "voip/h323/controllink.h"
#include "voip/media/mediaformat.h"

namespace voip {
class MediaStream;
namespace rtp {
class RtpSession;
}
} // namespace voip

namespace voip::h323 {

/// A logical channel as the application sees it.
struct LogicalChannelInfo
{
    std::uint16_t number = 0;
    unsigned sessionId = 0;
    bool fromRemote = false; ///< true: the far end sends on it (we receive)
    std::string formatName;
    std::uint64_t bitRate = 0;      ///< bit/s the channel may use
    h245::MediaAddress localMedia;  ///< our RTP address of the session
    h245::MediaAddress remoteMedia; ///< where media goes (transmit channels)
    bool open = false;
    bool encrypted = false; ///< the payloads go AES-128 encrypted
};

/// The RTP session (RTP and RTCP sockets) of one media session, bound for the call's
/// lifetime; shared with the media streams of its channels.
struct MediaSessionPorts
{
    /// The far end's addresses as signalling gives them (an OLC brings only its RTCP
    /// address, the OLCAck both); the RTP session sends there once either is known.
    void updateRemote(const std::optional<h245::MediaAddress>& rtpAddress,
                      const std::optional<h245::MediaAddress>& rtcpAddress);

    std::shared_ptr<rtp::RtpSession> media; ///< null where no sockets are wanted (tests)
    h245::MediaAddress rtpAddress;          ///< ours, as announced
    h245::MediaAddress rtcpAddress;
    std::optional<h245::MediaAddress> remoteRtp;
    std::optional<h245::MediaAddress> remoteRtcp;
};

/// One logical channel (or a fastStart proposal not answered yet).
struct ChannelState
{
    std::uint16_t number = 0;
    unsigned sessionId = 0;
    bool fromRemote = false;
    bool open = false;
    bool proposal = false;  ///< a fastStart proposal not yet answered
    bool withdrawn = false; ///< a proposal passed over for another of its session
    bool fastStart = false; ///< opened by fastStart, not by OpenLogicalChannel
    bool encrypted = false;
    MediaFormat format;
    RateLimits limits; ///< by the far end's flow control or the gatekeeper's bandwidth
    h245::MediaAddress remoteMedia;
    std::shared_ptr<MediaStream> stream;
    std::unique_ptr<ControlTimer> timer; ///< for the acknowledgement of our OpenLogicalChannel
};

/// What the logical channels of a call need of it besides its control link: the formats
/// and capabilities that decide what opens, the RTP ports and media streams, and where
/// the presentation and the channel list hear of changes.
class ChannelMedia
{
public:
    virtual ~ChannelMedia() = default;
    /// Our formats, in our order of preference.
    virtual MediaFormatList formatsToOffer() const = 0;
    /// The far end's capability set (empty until it came).
    virtual const h245::CapabilitySet& remoteCapabilities() const = 0;
    /// Whether we are the master (master/slave determination is over when channels open).
    virtual bool master() const = 0;
    /// Binds the ports of a media session; null when none can be had.
    virtual std::unique_ptr<MediaSessionPorts> bindSession(unsigned sessionId) = 0;
    /// Opens the media stream of a channel that opened (`receive`: the far end sends).
    virtual std::shared_ptr<MediaStream> openStream(const MediaFormat& format, unsigned sessionId,
                                                    bool receive) = 0;
    virtual void closeStream(const std::shared_ptr<MediaStream>& stream) = 0;
    /// A channel opened: one of ours was acknowledged, or the far end's was accepted.
    virtual void channelOpened(const ChannelState& channel) = 0;
    /// Our channel `number` was rejected, or, for content, not acknowledged in time.
    virtual void channelRefused(std::uint16_t number) = 0;
    /// The far end closes its channel `number` (still in the list when told).
    virtual void remoteChannelClosing(const ChannelState& channel) = 0;
    /// The far end asks us to close our channel `number`; true when the call handles it
    /// itself (our content channel ends the presentation).
    virtual bool closeRequested(std::uint16_t number) = 0;
    /// The far end left fastStart for a session by opening a channel there through H.245.
    virtual void fastStartLeft() = 0;
    /// The list of channels changed.
    virtual void channelsChanged() = 0;
    /// Whether our channel goes encrypted; for one that does, `parameters` get what the
    /// far end needs (the wrapped data type, the payload type, the key).
    virtual ChannelSeal sealTransmit(h245::LogicalChannel& /*parameters*/,
                                     const h245::Capability& /*theirs*/)
    {
        return ChannelSeal::Clear;
    }
    /// The far end acknowledged our `channel` with `sync` in its Ack; false when an
    /// encrypted channel got no usable key (it is closed).
    virtual bool transmitKeyed(const ChannelState& /*channel*/,
                               const std::optional<h245::EncryptionSync>& /*sync*/,
                               MediaSessionPorts& /*ports*/)
    {
        return true;
    }
    /// The far end opens `request` in the session of `ports`: the cause to reject it with,
    /// or empty; an encrypted channel's key may go into `ack`.
    virtual std::string_view sealReceive(const h245::LogicalChannel& /*request*/,
                                         std::uint8_t /*payloadType*/,
                                         MediaSessionPorts& /*ports*/,
                                         h245::LogicalChannelAck& /*ack*/)
    {
        return {};
    }
    /// Channel `number` is gone (`fromRemote`: the far end's).
    virtual void channelGone(std::uint16_t /*number*/, bool /*fromRemote*/) {}
    /// What our OpenLogicalChannel carries for a media relay (nothing without one).
    virtual std::optional<h245::MediaTraversal> traversalToOffer() const { return std::nullopt; }
    /// The far end opens a channel to us in the session of `ports`, its
    /// OpenLogicalChannel carrying `offered`: what our Ack carries for a media relay.
    virtual std::optional<h245::MediaTraversal>
    traversalAccepted(unsigned /*sessionId*/, MediaSessionPorts& /*ports*/,
                      const std::optional<h245::MediaTraversal>& /*offered*/)
    {
        return std::nullopt;
    }
};

/// The logical channels and media sessions of one call (H.245 8.4, 8.5, 8.6): ours open,
/// once capability exchange and master/slave determination are over, as the far end's
/// receive capabilities allow, each acknowledged in time (T103) or the call fails (content
/// is only refused); the far end's are accepted when we take their data type, one per
/// session and direction; either side may close or ask to close.  fastStart adds its
/// channels to the same list.
///
/// Network thread.
class LogicalChannels
{
public:
    LogicalChannels(ControlLink& link, ChannelMedia& media, std::chrono::milliseconds answerTime);
    ~LogicalChannels();

    /// Capability exchange and master/slave determination are over: our channels open.
    void start();
    bool started() const { return started_; }
    /// Opens our transmit channel of each session (or of `onlySession`) that has none.
    void openChannels(std::optional<unsigned> onlySession = std::nullopt);
    /// A new capability set during the call: our channels follow it.
    void followNewCapabilities();
    /// Sends an OpenLogicalChannel for `ours` as the far end takes it; `number` 0 takes
    /// the next free one.  The channel waiting for its ack, or null.
    ChannelState* openTransmitChannel(const MediaFormat& ours, const h245::Capability& theirs,
                                      std::uint16_t number = 0);
    /// Closes our channel `number` and tells the far end (unless `tell` is false).
    bool closeTransmitChannel(std::uint16_t number, bool tell = true);
    /// Closes a channel's stream (it stays in the list).
    void closeChannel(ChannelState& channel);
    /// The call is released: every channel is closed and the sessions' sockets stop.
    void release();

    void onOpen(const asn::Value& message);
    void onOpenAck(const asn::Value& message);
    void onOpenReject(const asn::Value& message);
    void onClose(const asn::Value& message);
    void onRequestClose(const asn::Value& message);

    /// The far end's receive capability that `format` can be sent to, or null.
    const h245::Capability* remoteReceiveCapability(const MediaFormat& format) const;
    /// The H.264 packetisation mode the far end takes: 1 when it lists the
    /// non-interleaved mode, else 0.
    std::uint8_t remotePacketizationMode() const;

    /// The session's ports, bound on first use; null when none can be had.
    MediaSessionPorts* session(unsigned sessionId);
    const std::map<unsigned, std::unique_ptr<MediaSessionPorts>>& sessions() const
    {
        return sessions_;
    }
    /// Every channel and proposal, for fastStart and the call's other procedures.
    std::vector<std::unique_ptr<ChannelState>>& list() { return channels_; }
    const std::vector<std::unique_ptr<ChannelState>>& list() const { return channels_; }
    /// A channel number not used yet.
    std::uint16_t newNumber() { return next_++; }
    /// Numbers from now on are above `number` (one the far end chose).
    void reserveAbove(std::int64_t number);
    /// The channels as the application sees them (proposals left out).
    std::vector<LogicalChannelInfo> view(bool released) const;

private:
    ControlLink& link_;
    ChannelMedia& media_;
    const std::chrono::milliseconds answerTime_;
    bool started_ = false;
    std::uint16_t next_ = 1;
    std::map<unsigned, std::unique_ptr<MediaSessionPorts>> sessions_;
    std::vector<std::unique_ptr<ChannelState>> channels_;
};

/// Whether a channel of `capability` carries H.264 (content is H.264 too).
inline bool isH264(const h245::Capability& capability)
{
    return capability.type == h245::CapabilityType::H264 ||
           capability.type == h245::CapabilityType::H239Content;
}

/// The bit rate a channel of `format` takes (audio: 64 kbit/s).
std::uint64_t bitRateOf(const MediaFormat& format);

} // namespace voip::h323
