#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace voip::h224 {

/// H.224 standard client identifiers (H.224 table 2).
inline constexpr uint8_t CmeClientId = 0x00;         ///< the client management entity
inline constexpr uint8_t FeccClientId = 0x01;        ///< H.281 far-end camera control
inline constexpr uint8_t ExtendedClientId = 0x7E;    ///< followed by one more octet
inline constexpr uint8_t NonStandardClientId = 0x7F; ///< followed by five more octets

/// Q.922 data link connection identifiers H.224 uses for its two priorities.
inline constexpr uint16_t LowPriorityDlci = 6;
inline constexpr uint16_t HighPriorityDlci = 7;

/// Q.922 control field of an unnumbered information frame, the only kind H.224 sends.
inline constexpr uint8_t UiControl = 0x03;

/// Octets before the client data when the client ID is a standard one.
inline constexpr std::size_t MinFrameSize = 9;
/// Client data this engine takes in one frame.  The H.281 and CME messages are a few
/// octets; anything beyond this is refused rather than buffered.
inline constexpr std::size_t MaxClientData = 256;

/// One H.224 frame: the octets of the H.224 frame structure without HDLC flags, bit
/// stuffing and frame check sequence (see Framing for how they travel).
struct Frame
{
    uint16_t dlci = LowPriorityDlci;
    uint16_t destination = 0; ///< terminal address, 0 on a point-to-point call
    uint16_t source = 0;
    uint8_t clientId = FeccClientId;
    /// The octets after an extended (1) or non-standard (5) client ID.
    std::vector<uint8_t> clientIdExtension;
    bool endingSegment = true;
    bool beginningSegment = true;
    uint8_t segmentNumber = 0; ///< 0..15
    std::vector<uint8_t> data; ///< the client's octets

    bool operator==(const Frame&) const = default;
};

/// The octets of a frame.  Client data longer than MaxClientData is cut to that length.
std::vector<uint8_t> encodeFrame(const Frame& frame);

/// Reads one frame, or nothing with the reason in `error`: shorter than a frame header,
/// address extension bits out of place, a control field other than UI, a DLCI that is not
/// one of H.224's, the reserved bit of the client ID set, a client ID extension cut off,
/// or more than MaxClientData octets of client data.
std::optional<Frame> decodeFrame(std::span<const uint8_t> bytes, std::string* error = nullptr);

/// How H.224 frames sit in the RTP payload.  With the data protocol hdlcFrameTunnelling
/// (what H.323 Annex Q equipment announces) each payload is an HDLC bit stream: flags,
/// the frame's octets sent least significant bit first with a zero inserted after five
/// ones, the frame check sequence, and flags again, the first bit of the stream in the
/// most significant bit of the payload's first octet.  Otherwise (RFC 4573) the payload is
/// the frame's octets alone.
enum class Framing
{
    Hdlc,
    Bare,
};

/// The octets of one frame (encodeFrame) as an HDLC bit stream for one payload: opening
/// flags, the stuffed frame and its FCS (CRC-16 of ISO/IEC 13239, low octet first), a
/// closing flag, and flag bits up to the last octet's end.
std::vector<uint8_t> encodeHdlc(std::span<const uint8_t> frame);

/// The frames of an HDLC bit stream in one payload, flags found at any bit position,
/// their FCS checked and removed.  Nothing, with the reason in `error`, when a frame is
/// aborted (seven ones), cut off before its closing flag, not a whole number of octets,
/// longer than an H.224 frame this engine takes, or fails its check.
std::optional<std::vector<std::vector<uint8_t>>> decodeHdlc(std::span<const uint8_t> payload,
                                                            std::string* error = nullptr);

/// The client management entity's messages (H.224 8.3), the client data of frames to
/// client 0.
enum class CmeMessageType : uint8_t
{
    ClientList,                ///< the clients of the sending terminal
    ClientListCommand,         ///< asks for the far end's client list
    ExtraCapabilities,         ///< one client's extra capabilities
    ExtraCapabilitiesCommand,  ///< asks for one client's extra capabilities
};

/// One client of a client list: its ID (with extension for IDs 0x7E and 0x7F) and
/// whether it has extra capabilities to ask for.
struct ClientEntry
{
    uint8_t clientId = FeccClientId;
    std::vector<uint8_t> clientIdExtension;
    bool extraCapabilities = false;

    bool operator==(const ClientEntry&) const = default;
};

struct CmeMessage
{
    CmeMessageType type = CmeMessageType::ClientListCommand;
    std::vector<ClientEntry> clients; ///< ClientList
    /// ExtraCapabilities and ExtraCapabilitiesCommand: the client they are about.
    ClientEntry client;
    /// ExtraCapabilities: the client's own description of what it can do.
    std::vector<uint8_t> capabilities;

    bool operator==(const CmeMessage&) const = default;
};

std::vector<uint8_t> encodeCmeMessage(const CmeMessage& message);
/// Reads the client data of a CME frame, or nothing with the reason in `error` (an
/// unknown message code, a list longer than its octets, a client ID cut off).
std::optional<CmeMessage> decodeCmeMessage(std::span<const uint8_t> data,
                                           std::string* error = nullptr);

} // namespace voip::h224
