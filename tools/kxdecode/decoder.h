#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "tools/common/capture.h"
#include "tools/common/tcpstream.h"
#include "voip/asn/value.h"
#include "voip/q931/message.h"

namespace kx::decode {

/// Which traffic is read as what.
struct Options
{
    /// TCP ports carrying Q.931 with H.225.0 (TPKT framed).
    std::set<std::uint16_t> callSignallingPorts{1720};
    /// TCP ports carrying a separate H.245 channel (TPKT framed), besides the ones
    /// announced by h245Address in the call signalling.
    std::set<std::uint16_t> h245Ports;
    /// UDP ports carrying RAS (1718 gatekeeper discovery, 1719 RAS).
    std::set<std::uint16_t> rasPorts{1718, 1719};
};

/// What a decoded PDU is.
enum class Protocol
{
    CallSignalling, ///< Q.931 message with its H323-UserInformation
    Ras,            ///< RasMessage on UDP
    H245,           ///< MultimediaSystemControlMessage (separate channel or tunnelled)
    FastStart,      ///< OpenLogicalChannel carried in a fastStart element
};

std::string protocolName(Protocol protocol);

/// One PDU found in a capture or given as hex, decoded as far as it goes.
struct DecodedMessage
{
    std::uint64_t frame = 0;
    capture::FlowKey flow;
    Protocol protocol = Protocol::CallSignalling;
    /// Where inside its carrier the PDU sat, e.g. "h245Control[1]" or "fastStart[0]";
    /// empty for a PDU that is the whole TPKT/UDP payload.
    std::string where;
    /// The Q.931 message and the octets it was read from (CallSignalling only).
    std::optional<voip::q931::Message> q931;
    std::vector<std::uint8_t> q931Octets;
    /// The ASN.1 PDU: the User-user contents after the discriminator, the RAS datagram,
    /// the H.245 TPKT payload or the tunnelled/fastStart octets.
    std::vector<std::uint8_t> pdu;
    /// Octets of `pdu` the value used; some senders pad the User-user element with an
    /// octet or two after the complete value.
    std::size_t usedOctets = 0;
    /// The decoded PDU when `error` is empty.
    voip::asn::Value value;
    /// "<where>: <message> at bit B" (or at octet N for Q.931/TPKT faults).
    std::optional<std::string> error;
};

/// Everything found in a capture, in frame order (nested H.245 right after its carrier).
struct CaptureReport
{
    std::vector<DecodedMessage> messages;
    /// Faults that are not a PDU's: a corrupt capture, TPKT framing errors.  Each begins
    /// "frame N: " (or "capture: ").
    std::vector<std::string> problems;
    /// What the capture lacks rather than what is wrong: segments that were never
    /// captured, a stream whose capture starts inside a packet.
    std::vector<std::string> notes;
};

/// Reads the call signalling, RAS and H.245 traffic of a capture.  Separate H.245
/// channels are found from the h245Address the signalling announces (and Options).
CaptureReport decodeCapture(const capture::CaptureContents& capture, const Options& options);

/// Decodes one Q.931 message (with its H.225.0 PDU and every H.245 PDU inside it).
std::vector<DecodedMessage> decodeCallSignalling(std::span<const std::uint8_t> bytes);
/// Decodes one H323-UserInformation PDU (and the H.245 PDUs inside it).
std::vector<DecodedMessage> decodeH225(std::span<const std::uint8_t> pdu);
/// Decodes the MultimediaSystemControlMessages in one buffer: usually one, but a sender
/// may put several one after the other in one TPKT packet (each padded to an octet).
std::vector<DecodedMessage> decodeH245(std::span<const std::uint8_t> bytes);
/// Decodes one RasMessage.
DecodedMessage decodeRas(std::span<const std::uint8_t> pdu);

/// Readable text of one decoded message: a heading line with the frame, the direction and
/// what it is, the Q.931 elements, then the PDU with the standard's field names.
std::string describe(const DecodedMessage& message);

/// The error line of a message that failed: "frame N: <where>: <message> at bit B".
std::string errorLine(const DecodedMessage& message);

} // namespace kx::decode
