#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "voip/asn/result.h"
#include "voip/asn/value.h"
#include "voip/h245/capabilities.h"
#include "voip/h245/mediaaddress.h"
#include "voip/h245/traversal.h"

namespace voip::h245 {

/// The forward parameters of an OpenLogicalChannel on H.225.0 (RTP) transport.
/// A channel's media key as its opener or acknowledger sends it: the RTP payload type of the
/// encrypted media, and the key in H.235's own encoding (its octets are not read here).
struct EncryptionSync
{
    std::uint8_t synchFlag = 0;
    std::vector<std::uint8_t> h235Key;

    bool operator==(const EncryptionSync&) const = default;
};

struct LogicalChannel
{
    std::uint16_t number = 1; ///< forwardLogicalChannelNumber, 1..65535
    /// The media: audio, video (H.239 content included) or H.224 data. Direction is ignored.
    Capability dataType;
    std::uint8_t sessionId = 1; ///< 1 audio, 2 video, 3 data; 0 lets the master assign one
    std::optional<std::uint8_t> associatedSessionId;
    std::optional<MediaAddress> mediaChannel;        ///< RTP, where to send (in an OLC: absent)
    std::optional<MediaAddress> mediaControlChannel; ///< RTCP
    std::optional<bool> mediaGuaranteedDelivery;
    std::optional<bool> mediaControlGuaranteedDelivery;
    std::optional<bool> silenceSuppression;
    std::optional<std::uint8_t> dynamicRtpPayloadType; ///< 96..127
    /// H.264 packetisation mode of the channel (mediaPacketization, H.241 8.1.6); absent
    /// means the single NAL unit mode.
    std::optional<std::uint8_t> h264PacketizationMode;
    /// Reverse parameters for a bidirectional channel (e.g. data): same media type.
    bool bidirectional = false;
    /// Media traversal through a relay (H.460.19's generic information).
    std::optional<MediaTraversal> traversal;
    /// The media goes encrypted with AES-128-CBC (the data type wrapped as h235Media).
    bool encrypted = false;
    /// The media key of this channel, when the opener is the one that makes keys.
    std::optional<EncryptionSync> encryptionSync;

    bool operator==(const LogicalChannel&) const = default;
};

/// OpenLogicalChannel. Absent when the data type cannot be placed in a channel.
asn::Value buildOpenLogicalChannel(const LogicalChannel& channel);
asn::Result<LogicalChannel> readOpenLogicalChannel(const asn::Value& message);

/// One fast-start proposal: an OpenLogicalChannel carried, encoded on its own, in an
/// H.225.0 fastStart element (H.323 8.1.7). A transmit proposal has the media in its
/// forward parameters; a receive proposal has forward dataType nullData and the media with
/// its addresses in the reverse parameters.
struct FastStartChannel
{
    bool receive = false;
    /// Media, session, addresses and payload type of the proposal. `bidirectional` is not
    /// used here.
    LogicalChannel channel;

    bool operator==(const FastStartChannel&) const = default;
};

/// The octets of one fastStart element.
asn::Result<std::vector<std::uint8_t>> encodeFastStartChannel(const FastStartChannel& proposal);
/// Reads one fastStart element; an error when it does not decode or carries no H.225.0
/// channel parameters in the direction that holds the media.
asn::Result<FastStartChannel> decodeFastStartChannel(std::span<const std::uint8_t> bytes);

/// The answer to an OpenLogicalChannel: where the receiver wants the media.
struct LogicalChannelAck
{
    std::uint16_t number = 1;
    std::optional<std::uint8_t> sessionId;
    std::optional<MediaAddress> mediaChannel;
    std::optional<MediaAddress> mediaControlChannel;
    std::optional<std::uint8_t> dynamicRtpPayloadType;
    /// For a bidirectional channel: the reverse channel number.
    std::optional<std::uint16_t> reverseNumber;
    /// Media traversal through a relay (H.460.19's generic information).
    std::optional<MediaTraversal> traversal;
    /// The media key for the opener's channel, when the acknowledger makes keys.
    std::optional<EncryptionSync> encryptionSync;

    bool operator==(const LogicalChannelAck&) const = default;
};

asn::Value buildOpenLogicalChannelAck(const LogicalChannelAck& ack);
asn::Result<LogicalChannelAck> readOpenLogicalChannelAck(const asn::Value& message);

/// OpenLogicalChannelReject cause: a cause alternative name ("unspecified",
/// "dataTypeNotSupported", "insufficientBandwidth", ...). Absent if the name is unknown.
asn::Value buildOpenLogicalChannelReject(std::uint16_t number, std::string_view cause);

/// A channel number with a cause or reason name, for the reject and close messages.
struct ChannelCause
{
    std::uint16_t number = 0;
    std::string cause; ///< empty: none given, or an alternative added after this schema
};
asn::Result<ChannelCause> readOpenLogicalChannelReject(const asn::Value& message);

asn::Value buildOpenLogicalChannelConfirm(std::uint16_t number);

/// CloseLogicalChannel from the user (source user); `reason` is a reason alternative
/// ("unknown", "reopen", "reservationFailure"); empty gives "unknown".
asn::Value buildCloseLogicalChannel(std::uint16_t number, std::string_view reason = {});
/// The channel and reason of a CloseLogicalChannel.
asn::Result<ChannelCause> readCloseLogicalChannel(const asn::Value& message);
asn::Value buildCloseLogicalChannelAck(std::uint16_t number);

/// RequestChannelClose; `reason` as for CloseLogicalChannel plus "normal".
asn::Value buildRequestChannelClose(std::uint16_t number, std::string_view reason = {});
asn::Result<ChannelCause> readRequestChannelClose(const asn::Value& message);
asn::Value buildRequestChannelCloseAck(std::uint16_t number);
asn::Value buildRequestChannelCloseReject(std::uint16_t number);
asn::Value buildRequestChannelCloseRelease(std::uint16_t number);

/// The forwardLogicalChannelNumber of any message that has one at the top of its body
/// (the acks, confirm, close and release messages above).
asn::Result<std::uint16_t> readChannelNumber(const asn::Value& message);

/// Renewing an encrypted channel's key, as MiscellaneousCommands: a request to the side
/// that makes keys (encryptionUpdateRequest), and its answer carrying the new key with the
/// payload type it goes with (encryptionUpdate; an encryptionUpdateCommand reads the same).
struct EncryptionUpdate
{
    std::uint16_t channel = 0;
    std::optional<EncryptionSync> sync; ///< nothing: a request
    bool command = false;               ///< an encryptionUpdateCommand, which wants an Ack
};
asn::Value buildEncryptionUpdateRequest(std::uint16_t channel);
asn::Value buildEncryptionUpdate(std::uint16_t channel, const EncryptionSync& sync);
/// encryptionUpdateAck for the key of payload type `synchFlag`.
asn::Value buildEncryptionUpdateAck(std::uint16_t channel, std::uint8_t synchFlag);
/// A MiscellaneousCommand that renews a key; an error for any other.
asn::Result<EncryptionUpdate> readEncryptionUpdate(const asn::Value& message);

} // namespace voip::h245
