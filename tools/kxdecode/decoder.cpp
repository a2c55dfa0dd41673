#include "tools/kxdecode/decoder.h"

#include <algorithm>
#include <map>

#include "tools/common/packet.h"
#include "voip/asn/codec.h"
#include "voip/asn/printer.h"
#include "voip/h225/schema.h"
#include "voip/h245/schema.h"
#include "voip/q931/elements.h"
#include "voip/q931/tpkt.h"

namespace kx::decode {
namespace {

using voip::asn::Value;

const voip::asn::Type* userInformationType()
{
    static const voip::asn::Type* type = voip::h225::findType("H323-UserInformation");
    return type;
}

const voip::asn::Type* rasMessageType()
{
    static const voip::asn::Type* type = voip::h225::findType("RasMessage");
    return type;
}

const voip::asn::Type* h245MessageType()
{
    static const voip::asn::Type* type = voip::h245::messageType();
    return type;
}

const voip::asn::Type* openLogicalChannelType()
{
    static const voip::asn::Type* type = voip::h245::findType("OpenLogicalChannel");
    return type;
}

std::string protocolLabel(Protocol protocol)
{
    switch (protocol) {
    case Protocol::CallSignalling:
        return "H.225.0";
    case Protocol::Ras:
        return "RAS";
    case Protocol::H245:
        return "H.245";
    case Protocol::FastStart:
        return "H.245";
    }
    return "?";
}

// Decodes `pdu` as `type` into `message`, recording a failure in its error.
void decodeInto(DecodedMessage& message, const voip::asn::Type* type,
                std::span<const std::uint8_t> pdu)
{
    message.pdu.assign(pdu.begin(), pdu.end());
    std::string where = protocolLabel(message.protocol);
    if (!message.where.empty())
        where += " " + message.where;
    if (!type) {
        message.error = where + ": the message schema did not load";
        return;
    }
    std::size_t bits = 0;
    auto value = voip::asn::decode(*type, pdu, bits);
    message.usedOctets = std::min(pdu.size(), (bits + 7) / 8);
    if (!value.ok()) {
        const auto& e = value.error();
        std::string text = where + ": " + e.message + " at bit " + std::to_string(e.bitOffset);
        if (!e.path.empty())
            text += " (" + e.path + ")";
        message.error = std::move(text);
        return;
    }
    message.value = std::move(*value);
}

// The H.245 PDUs an H323-UserInformation carries: tunnelled messages (h245Control,
// parallelH245Control) and fastStart OpenLogicalChannels.
void appendNested(const DecodedMessage& carrier, std::vector<DecodedMessage>& out)
{
    const Value& uu = carrier.value["h323-uu-pdu"];
    const Value& body = uu["h323-message-body"].chosen();
    auto each = [&](const Value& list, const char* name, Protocol protocol) {
        if (!list.present())
            return;
        for (std::size_t i = 0; i < list.size(); ++i) {
            const std::string where = std::string(name) + "[" + std::to_string(i) + "]";
            std::vector<DecodedMessage> nested;
            if (protocol == Protocol::FastStart) {
                nested.resize(1);
                nested[0].protocol = protocol;
                nested[0].where = where;
                decodeInto(nested[0], openLogicalChannelType(), list.at(i).octets());
            } else {
                nested = decodeH245(list.at(i).octets());
            }
            for (auto& message : nested) {
                message.frame = carrier.frame;
                message.flow = carrier.flow;
                message.where = where;
                if (message.error && message.error->rfind("H.245: ", 0) == 0)
                    message.error = "H.245 " + where + message.error->substr(5);
                out.push_back(std::move(message));
            }
        }
    };
    // Whichever message it is: those that have the fields may carry them.
    each(body.find("fastStart"), "fastStart", Protocol::FastStart);
    each(body.find("parallelH245Control"), "parallelH245Control", Protocol::H245);
    each(uu["h245Control"], "h245Control", Protocol::H245);
}

std::optional<capture::Endpoint> transportEndpoint(const Value& address)
{
    capture::Endpoint endpoint;
    if (address.is("ipAddress")) {
        const Value& ip = address.chosen();
        auto octets = ip["ip"].octets();
        if (octets.size() != 4)
            return std::nullopt;
        std::copy(octets.begin(), octets.end(), endpoint.address.bytes.begin());
        endpoint.port = static_cast<std::uint16_t>(ip["port"].integer());
        return endpoint;
    }
    if (address.is("ip6Address")) {
        const Value& ip = address.chosen();
        auto octets = ip["ip"].octets();
        if (octets.size() != 16)
            return std::nullopt;
        endpoint.address.v6 = true;
        std::copy(octets.begin(), octets.end(), endpoint.address.bytes.begin());
        endpoint.port = static_cast<std::uint16_t>(ip["port"].integer());
        return endpoint;
    }
    return std::nullopt;
}

// Per-direction TPKT splitting of the TCP streams of interest.
struct Stream
{
    voip::q931::TpktSplitter splitter;
    bool h245 = false;
    /// The splitter stands at a packet boundary: false at the start of a capture taken in
    /// the middle of a connection and after a gap or framing error, until data begins
    /// with a TPKT header again.
    bool synced = false;
};

// Holding more out-of-order segments than this means one was never captured.
constexpr std::size_t kMaxHeldSegments = 64;

} // namespace

std::string protocolName(Protocol protocol)
{
    switch (protocol) {
    case Protocol::CallSignalling:
        return "Q.931/H.225.0";
    case Protocol::Ras:
        return "RAS";
    case Protocol::H245:
        return "H.245";
    case Protocol::FastStart:
        return "H.245 fastStart";
    }
    return "?";
}

std::vector<DecodedMessage> decodeH225(std::span<const std::uint8_t> pdu)
{
    std::vector<DecodedMessage> out(1);
    out[0].protocol = Protocol::CallSignalling;
    decodeInto(out[0], userInformationType(), pdu);
    if (!out[0].error) {
        // Collected apart: appending to `out` while reading out[0] would move the carrier.
        std::vector<DecodedMessage> nested;
        appendNested(out[0], nested);
        for (auto& message : nested)
            out.push_back(std::move(message));
    }
    return out;
}

std::vector<DecodedMessage> decodeCallSignalling(std::span<const std::uint8_t> bytes)
{
    auto message = voip::q931::decodeMessage(bytes);
    if (!message.ok()) {
        DecodedMessage failed;
        failed.pdu.assign(bytes.begin(), bytes.end());
        failed.error = "Q.931: " + message.error().message + " at octet " +
                       std::to_string(message.error().offset);
        return {std::move(failed)};
    }
    auto pdu = voip::q931::userUserPdu(*message);
    std::vector<DecodedMessage> out;
    if (!pdu.ok()) {
        // Q.931 without an H.225.0 PDU (H.225.0 requires one in every message it defines).
        DecodedMessage bare;
        bare.error = "Q.931: " + pdu.error().message;
        bare.q931 = std::move(*message);
        bare.q931Octets.assign(bytes.begin(), bytes.end());
        out.push_back(std::move(bare));
        return out;
    }
    out = decodeH225(*pdu);
    out[0].q931 = std::move(*message);
    out[0].q931Octets.assign(bytes.begin(), bytes.end());
    return out;
}

std::vector<DecodedMessage> decodeH245(std::span<const std::uint8_t> bytes)
{
    std::vector<DecodedMessage> out;
    const voip::asn::Type* type = h245MessageType();
    std::size_t at = 0;
    do {
        DecodedMessage message;
        message.protocol = Protocol::H245;
        if (!type) {
            decodeInto(message, type, bytes);
            out.push_back(std::move(message));
            break;
        }
        std::size_t bits = 0;
        auto value = voip::asn::decode(*type, bytes.subspan(at), bits);
        if (!value.ok()) {
            // Report the error with the whole rest as the PDU.
            decodeInto(message, type, bytes.subspan(at));
            out.push_back(std::move(message));
            break;
        }
        const std::size_t used = std::max<std::size_t>(1, (bits + 7) / 8);
        auto pdu = bytes.subspan(at, std::min(used, bytes.size() - at));
        message.pdu.assign(pdu.begin(), pdu.end());
        message.usedOctets = pdu.size();
        message.value = std::move(*value);
        out.push_back(std::move(message));
        at += used;
    } while (at < bytes.size());
    return out;
}

DecodedMessage decodeRas(std::span<const std::uint8_t> pdu)
{
    DecodedMessage message;
    message.protocol = Protocol::Ras;
    decodeInto(message, rasMessageType(), pdu);
    return message;
}

CaptureReport decodeCapture(const capture::CaptureContents& capture, const Options& options)
{
    CaptureReport report;
    capture::TcpReassembler reassembler(1 << 20, kMaxHeldSegments);
    std::map<capture::FlowKey, Stream> streams;
    std::set<capture::Endpoint> h245Endpoints;

    auto handleCallSignalling = [&](std::uint64_t frame, const capture::FlowKey& flow,
                                    std::span<const std::uint8_t> bytes) {
        auto decoded = decodeCallSignalling(bytes);
        for (auto& message : decoded) {
            message.frame = frame;
            message.flow = flow;
        }
        if (!decoded.empty() && !decoded[0].error) {
            const Value& body = decoded[0].value["h323-uu-pdu"]["h323-message-body"].chosen();
            if (auto endpoint = transportEndpoint(body.find("h245Address")))
                h245Endpoints.insert(*endpoint);
        }
        for (auto& message : decoded)
            report.messages.push_back(std::move(message));
    };

    auto handlePiece = [&](std::uint64_t frame, const capture::StreamData& piece, bool signalling) {
        Stream& stream = streams[piece.flow];
        if (stream.splitter.consumed() == 0 && stream.splitter.buffered() == 0)
            stream.h245 = !signalling;
        const std::string direction =
            piece.flow.source.toString() + " -> " + piece.flow.destination.toString();
        const std::string where = "frame " + std::to_string(frame) + ": ";
        if (piece.skipped) {
            report.notes.push_back(where + std::to_string(piece.skipped) +
                                   " octets were not captured in " + direction);
            stream.splitter.reset();
            stream.synced = false;
        }
        if (piece.bytes.empty())
            return;
        if (!stream.synced) {
            if (piece.bytes.size() < 2 || piece.bytes[0] != voip::q931::kTpktVersion ||
                piece.bytes[1] != 0) {
                report.notes.push_back(where + std::to_string(piece.bytes.size()) +
                                       " octets before the next TPKT header skipped in " +
                                       direction);
                return;
            }
            stream.synced = true;
        }
        stream.splitter.feed(piece.bytes);
        while (auto next = stream.splitter.next()) {
            if (!next->ok()) {
                report.problems.push_back(where + "TPKT: " + next->error().message + " in " +
                                          direction);
                // What is buffered cannot be trusted to start a packet.
                stream.splitter.reset();
                stream.synced = false;
                break;
            }
            const auto& pdu = next->value();
            if (pdu.empty())
                continue; // an empty TPKT, used as a keep-alive
            if (stream.h245) {
                for (auto& message : decodeH245(pdu)) {
                    message.frame = frame;
                    message.flow = piece.flow;
                    report.messages.push_back(std::move(message));
                }
            } else {
                handleCallSignalling(frame, piece.flow, pdu);
            }
        }
    };

    for (const auto& frame : capture.frames) {
        auto parsed = capture::parsePacket(frame.linkType, frame.data);
        if (parsed.kind != capture::ParsedPacket::Kind::Packet)
            continue;
        const capture::Packet& packet = parsed.packet;
        if (packet.transport == capture::Transport::Udp) {
            if (!options.rasPorts.contains(packet.source.port) &&
                !options.rasPorts.contains(packet.destination.port))
                continue;
            DecodedMessage message = decodeRas(packet.payload);
            message.frame = frame.number;
            message.flow = capture::FlowKey{packet.source, packet.destination};
            report.messages.push_back(std::move(message));
            continue;
        }
        const bool signalling = options.callSignallingPorts.contains(packet.source.port) ||
                                options.callSignallingPorts.contains(packet.destination.port);
        const bool h245 = options.h245Ports.contains(packet.source.port) ||
                          options.h245Ports.contains(packet.destination.port) ||
                          h245Endpoints.contains(packet.source) ||
                          h245Endpoints.contains(packet.destination);
        if (!signalling && !h245)
            continue;
        const capture::FlowKey flow{packet.source, packet.destination};
        auto pieces = reassembler.add(packet);
        for (auto& piece : pieces)
            handlePiece(frame.number, piece, signalling);
        // A segment held behind a gap that is itself a whole TPKT packet, while the stream
        // stands at a packet boundary: the gap is a segment the capture missed, so go on
        // as a dissector does rather than wait for data that will never come.
        const auto& payload = packet.payload;
        const bool held = !payload.empty() && pieces.size() == 1 && pieces[0].bytes.empty();
        if (held && payload.size() >= voip::q931::kTpktHeaderSize &&
            payload[0] == voip::q931::kTpktVersion && payload[1] == 0 &&
            ((std::size_t{payload[2]} << 8) | payload[3]) == payload.size()) {
            auto stream = streams.find(flow);
            if (stream == streams.end() || stream->second.splitter.buffered() == 0) {
                for (auto& piece : reassembler.skipGap(flow))
                    handlePiece(frame.number, piece, signalling);
            }
        }
        // The end of a direction: nothing more will fill its gaps.
        if (packet.flags & (capture::tcpflag::Fin | capture::tcpflag::Rst)) {
            for (auto& piece : reassembler.skipGap(flow))
                handlePiece(frame.number, piece, signalling);
        }
    }
    for (auto& piece : reassembler.flush())
        handlePiece(capture.frames.empty() ? 0 : capture.frames.back().number, piece, true);
    if (capture.error)
        report.problems.push_back("capture: " + *capture.error);
    return report;
}

std::string describe(const DecodedMessage& message)
{
    std::string text = "frame " + std::to_string(message.frame);
    if (message.flow.source.port || message.flow.destination.port)
        text +=
            "  " + message.flow.source.toString() + " -> " + message.flow.destination.toString();
    text += "  " + protocolName(message.protocol);
    if (!message.where.empty())
        text += " (" + message.where + ")";
    const Value& value = message.value;
    if (!message.error) {
        switch (message.protocol) {
        case Protocol::CallSignalling:
            text += " " + std::string(value["h323-uu-pdu"]["h323-message-body"].choiceName());
            break;
        case Protocol::Ras:
            text += " " + std::string(value.choiceName());
            break;
        case Protocol::H245:
            text += " " + std::string(value.choiceName()) + " " +
                    std::string(value.chosen().choiceName());
            break;
        case Protocol::FastStart:
            text += " openLogicalChannel " +
                    std::to_string(value["forwardLogicalChannelNumber"].integer());
            break;
        }
    }
    text += "\n";
    if (message.q931)
        text += voip::q931::describeMessage(*message.q931);
    if (message.error) {
        text += "  error: " + *message.error + "\n";
        return text;
    }
    static const char* typeNames[] = {"H323-UserInformation", "RasMessage",
                                      "MultimediaSystemControlMessage", "OpenLogicalChannel"};
    text += voip::asn::toText(value, typeNames[static_cast<int>(message.protocol)], 1);
    if (!text.empty() && text.back() != '\n')
        text += "\n";
    return text;
}

std::string errorLine(const DecodedMessage& message)
{
    return "frame " + std::to_string(message.frame) + ": " + message.error.value_or("no error");
}

} // namespace kx::decode
