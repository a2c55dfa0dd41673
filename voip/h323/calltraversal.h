#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include <asio.hpp>

#include "voip/asn/value.h"
#include "voip/h245/traversal.h"

namespace voip::rtp {
class RtpSession;
}

namespace voip::h323 {

class TpktChannel;

/// How one call crosses a NAT with a traversal gatekeeper's help.
///
/// Signalling (H.460.18): the call came by the gatekeeper's announcement, or goes out
/// through a gatekeeper that has traversal on.  Its call signalling connection, opened from
/// inside, is kept open with an empty TPKT every 19 s; H.245 is tunnelled or opened outwards
/// on the gatekeeper's request, never waited for from outside; fastStart is not offered,
/// as the relay learns where media goes from the OpenLogicalChannels.
///
/// Media (H.460.19): the far end announced itself a media traversal server (feature 19
/// with its parameter 2).  Our OpenLogicalChannels carry the media traversal identifier;
/// for each channel the relay opens to us, keep-alives go from the session's own RTP and
/// RTCP ports to its keep-alive channel: three 100 ms apart, then at its interval, so that
/// its media finds the way in through the NAT.  Multiplexed media is neither asked for nor
/// used: a relay that offers it still gets plain RTP.
///
/// Network thread: every member runs on the endpoint's thread, its timers too.
class CallTraversal
{
public:
    /// The payload type of our RTP keep-alives.
    static constexpr std::uint8_t KeepAlivePayloadType = 127;
    /// The media keep-alive interval when the relay names none, and the bounds that one it
    /// names is held within: more often floods, less often lets a NAT forget the mapping.
    static constexpr std::chrono::seconds DefaultMediaInterval{19};
    static constexpr std::chrono::seconds ShortestMediaInterval{1};
    static constexpr std::chrono::seconds LongestMediaInterval{30};
    /// The first keep-alives of a channel, this far apart.
    static constexpr std::chrono::milliseconds StartSpacing{100};
    static constexpr int StartCount = 3;

    CallTraversal(asio::io_context& io, std::function<std::string()> describe);
    ~CallTraversal();
    CallTraversal(const CallTraversal&) = delete;
    CallTraversal& operator=(const CallTraversal&) = delete;

    /// The call's signalling crosses the NAT through the gatekeeper.
    void throughGatekeeper() { signalling_ = true; }
    bool signalling() const { return signalling_; }
    /// Keeps the call signalling connection open with a keep-alive every `interval`, when
    /// the signalling crosses the NAT.
    void keepOpen(const std::shared_ptr<TpktChannel>& channel, std::chrono::milliseconds interval);

    /// A feature set from the far end (CallProceeding, Connect, Facility...), or its Setup's
    /// body, which lists the features itself.
    void peerFeatures(const asn::Value& featureSet);
    /// Whether a media traversal server relays the call's media.
    bool media() const { return mediaServer_; }

    /// What our OpenLogicalChannel carries: the identifier alone, with a relay.
    std::optional<h245::MediaTraversal> toOffer() const;
    /// The far end opened channel `sessionId` to us, its OpenLogicalChannel carrying
    /// `offered`: keep-alives start from `session`'s ports (the first at once, before the
    /// Ack).  What our Ack carries: our keep-alive payload type, with a relay.
    std::optional<h245::MediaTraversal> accept(unsigned sessionId,
                                               const std::shared_ptr<rtp::RtpSession>& session,
                                               const std::optional<h245::MediaTraversal>& offered);

    /// The call is over: every keep-alive stops.
    void stop();

    /// Keep-alives sent so far: RTP and RTCP datagrams, and empty TPKTs.
    std::size_t mediaKeepAlivesSent() const;
    std::size_t signallingKeepAlivesSent() const;

    /// The 12 octets of an RTP keep-alive: marker set, `payloadType`, SSRC 0.
    static std::array<std::uint8_t, 12>
    rtpKeepAlive(std::uint8_t payloadType, std::uint16_t sequence, std::uint32_t timestamp);
    /// The 28 octets of an RTCP keep-alive: an empty sender report of SSRC 0.
    static std::array<std::uint8_t, 28> rtcpKeepAlive();

private:
    struct MediaKeepAlive;
    struct State;

    static void sendMediaKeepAlive(const std::shared_ptr<State>& state,
                                   const std::shared_ptr<MediaKeepAlive>& keepAlive);
    static void scheduleSignalling(const std::shared_ptr<State>& state);

    std::shared_ptr<State> state_;
    std::function<std::string()> describe_;
    bool signalling_ = false;
    bool mediaServer_ = false;
};

} // namespace voip::h323
