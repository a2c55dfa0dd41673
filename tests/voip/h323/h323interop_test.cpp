// Far ends shaped as other H.323 stacks shape them: fastStart answers in any of the
// responses to Setup, numbered by the answerer, in any order; the answers of two
// independent stacks replayed from a capture; and a caller that takes anything but
// capability exchange before it has finished as an invalid message.

#include <gtest/gtest.h>

#include <filesystem>

#include "tests/voip/h323/h323fixture.h"
#include "tests/voip/h323/rawpeer.h"
#include "tools/common/capture.h"
#include "tools/kxdecode/decoder.h"
#include "voip/asn/codec.h"
#include "voip/core/call.h"
#include "voip/h225/message.h"
#include "voip/h323/capabilitymap.h"
#include "voip/h245/capabilities.h"
#include "voip/h245/channels.h"
#include "voip/h245/message.h"
#include "voip/h245/schema.h"
#include "voip/media/stream_rtp.h"
#include "voip/q931/elements.h"
#include "voip/rtp/rtpsession.h"

namespace voip::h323::test {
namespace {

using namespace std::chrono_literals;

/// The far end's media sockets: where it wants our RTP and RTCP, and where it sends from.
struct MediaPeer
{
    MediaPeer()
        : rtp(io, {asio::ip::make_address("127.0.0.1"), 0})
        , rtcp(io, {asio::ip::make_address("127.0.0.1"), 0})
    {
        rtp.non_blocking(true);
    }

    h245::MediaAddress address(const asio::ip::udp::socket& socket) const
    {
        h245::MediaAddress media;
        media.ip = {127, 0, 0, 1};
        media.port = socket.local_endpoint().port();
        return media;
    }

    /// Sends `count` RTP packets of `payloadType` to `to`, 20 ms apart.
    void sendRtp(const h245::MediaAddress& to, std::uint8_t payloadType, int count)
    {
        const asio::ip::udp::endpoint target(asio::ip::make_address("127.0.0.1"), to.port);
        for (int i = 0; i < count; ++i) {
            std::vector<std::uint8_t> packet(12 + 160, 0xd5);
            packet[0] = 0x80;
            packet[1] = payloadType;
            packet[2] = static_cast<std::uint8_t>(i >> 8);
            packet[3] = static_cast<std::uint8_t>(i);
            const std::uint32_t timestamp = 160u * static_cast<std::uint32_t>(i);
            for (int b = 0; b < 4; ++b)
                packet[4 + b] = static_cast<std::uint8_t>(timestamp >> (24 - 8 * b));
            packet[8] = 0x12;
            packet[9] = 0x34;
            packet[10] = 0x56;
            packet[11] = 0x78;
            asio::error_code error;
            rtp.send_to(asio::buffer(packet), target, 0, error);
            std::this_thread::sleep_for(20ms);
        }
    }

    /// Datagrams that reached the RTP socket so far.
    std::size_t drainRtp()
    {
        std::array<std::uint8_t, 2048> buffer;
        asio::error_code error;
        while (true) {
            rtp.receive(asio::buffer(buffer), 0, error);
            if (error)
                break;
            ++received;
        }
        return received;
    }

    asio::io_context io;
    asio::ip::udp::socket rtp;
    asio::ip::udp::socket rtcp;
    std::size_t received = 0;
};

std::optional<asn::Value> decodeOlc(std::span<const std::uint8_t> octets)
{
    const asn::Type* type = h245::findType("OpenLogicalChannel");
    if (!type)
        return std::nullopt;
    auto decoded = asn::decode(*type, octets);
    if (!decoded)
        return std::nullopt;
    return std::move(decoded.value());
}

std::string encodeOlc(const asn::Value& olc)
{
    auto encoded = asn::encode(olc);
    EXPECT_TRUE(static_cast<bool>(encoded));
    return encoded ? std::string(encoded->begin(), encoded->end()) : std::string();
}

asn::Value* h2250Parameters(asn::Value& olc, bool reverse)
{
    asn::Value& parameters =
        olc.field(reverse ? "reverseLogicalChannelParameters" : "forwardLogicalChannelParameters");
    asn::Value& multiplex = parameters.field("multiplexParameters");
    if (!multiplex.is("h2250LogicalChannelParameters"))
        return nullptr;
    return &multiplex.chosen();
}

bool proposerReceives(const asn::Value& olc)
{
    return olc["forwardLogicalChannelParameters"]["dataType"].is("nullData");
}

const asn::Value& dataTypeOf(const asn::Value& olc)
{
    return proposerReceives(olc) ? olc["reverseLogicalChannelParameters"]["dataType"]
                                 : olc["forwardLogicalChannelParameters"]["dataType"];
}

/// The OpenLogicalChannels of a message's fastStart element: our Setup's proposals, or
/// our answers.
std::vector<asn::Value> fastStartElementsOf(const q931::Message& message)
{
    std::vector<asn::Value> out;
    auto pdu = q931::userUserPdu(message);
    if (!pdu)
        return out;
    auto information = h225::decodeUserInformation(*pdu);
    if (!information)
        return out;
    const asn::Value& list = h225::messageBody(*information).find("fastStart");
    for (std::size_t i = 0; i < list.size(); ++i) {
        if (auto olc = decodeOlc(list.at(i).octets()))
            out.push_back(std::move(*olc));
    }
    return out;
}

/// Our RTP address for audio, from the receive proposals of our Setup.
std::optional<h245::MediaAddress> ourAudioRtp(const std::vector<asn::Value>& proposals)
{
    for (auto olc : proposals) {
        if (!proposerReceives(olc))
            continue;
        if (auto* h2250 = h2250Parameters(olc, true); h2250 && h2250->has("mediaChannel"))
            return h245::readTransportAddress((*h2250)["mediaChannel"]);
    }
    return std::nullopt;
}

/// The answer a stack gives to one of our proposals for `dataType` ("g711Alaw64k", ...):
/// our transmit proposal keeps our number and gets the peer's RTP and RTCP addresses; our
/// receive proposal comes back under the peer's own number with its RTCP address only.
std::optional<asn::Value> answerTo(const std::vector<asn::Value>& proposals,
                                   std::string_view dataType, bool weReceive,
                                   std::uint16_t peerNumber, const MediaPeer& media)
{
    for (auto olc : proposals) {
        if (proposerReceives(olc) != weReceive)
            continue;
        const asn::Value& type = dataTypeOf(olc);
        if (!type.is("audioData") || type.chosen().choiceName() != dataType)
            continue;
        asn::Value* h2250 = h2250Parameters(olc, weReceive);
        if (!h2250)
            return std::nullopt;
        if (weReceive) {
            olc.field("forwardLogicalChannelNumber").setInteger(peerNumber);
            h2250->remove("mediaChannel");
        } else {
            h245::setTransportAddress(h2250->field("mediaChannel"), media.address(media.rtp));
        }
        h245::setTransportAddress(h2250->field("mediaControlChannel"), media.address(media.rtcp));
        return olc;
    }
    return std::nullopt;
}

/// A response body of `name` for `setup`, with the identifiers a stack copies from it.
asn::Value responseFor(const q931::Message& setup, std::string_view name)
{
    if (name == "connect")
        return connectFor(setup, true);
    asn::Value information = h225::newUserInformation(name);
    asn::Value& body = h225::messageBody(information);
    auto received = q931::userUserPdu(setup);
    auto decoded = h225::decodeUserInformation(*received);
    const asn::Value& setupBody = h225::messageBody(*decoded);
    if (name == "facility") {
        body.field("reason").choose("undefinedReason");
    } else {
        h225::setEndpointType(body.field("destinationInfo"));
    }
    h225::setGuid(body.field("callIdentifier").field("guid"),
                  h225::guidOf(setupBody["callIdentifier"]["guid"]));
    if (name == "facility") {
        body.field("multipleCalls").setBoolean(false);
        body.field("maintainConnection").setBoolean(false);
    }
    h225::uuPdu(information).field("h245Tunnelling").setBoolean(true);
    return information;
}

q931::MessageType messageTypeOf(std::string_view name)
{
    if (name == "callProceeding")
        return q931::MessageType::CallProceeding;
    if (name == "alerting")
        return q931::MessageType::Alerting;
    if (name == "progress")
        return q931::MessageType::Progress;
    if (name == "facility")
        return q931::MessageType::Facility;
    return q931::MessageType::Connect;
}

std::shared_ptr<MediaStream> receiveStream(Side& side, const std::string& token)
{
    auto connection = side.h323(token);
    return connection ? connection->findMediaStream(AudioSessionId, true) : nullptr;
}

std::uint64_t packetsReceived(const std::shared_ptr<MediaStream>& stream)
{
    auto* rtpStream = dynamic_cast<RtpMediaStream*>(stream.get());
    return rtpStream ? rtpStream->session()->statistics().receive.packets : 0;
}

/// What a test expects after the answers went out: a receive channel under the peer's
/// number that takes the peer's RTP, and a transmit channel towards the peer.
void expectAudioBothWays(Side& caller, const std::string& token, MediaPeer& media,
                         const h245::MediaAddress& ourRtp, std::uint8_t payloadType,
                         std::uint16_t peerNumber)
{
    ASSERT_TRUE(eventually([&] { return receiveStream(caller, token) != nullptr; }))
        << "no receive stream opened";
    auto connection = caller.h323(token);
    ASSERT_TRUE(connection);
    auto received = connection->findLogicalChannel(AudioSessionId, true);
    ASSERT_TRUE(received);
    EXPECT_EQ(received->number, peerNumber);
    auto sent = connection->findLogicalChannel(AudioSessionId, false);
    ASSERT_TRUE(sent);
    EXPECT_EQ(sent->remoteMedia.port, media.rtp.local_endpoint().port());
    EXPECT_EQ(received->formatName, sent->formatName);
    media.sendRtp(ourRtp, payloadType, 10);
    EXPECT_TRUE(eventually([&] { return packetsReceived(receiveStream(caller, token)) >= 5; }))
        << "peer's RTP not taken: " << packetsReceived(receiveStream(caller, token));
}

struct AnswerShape
{
    std::string carrier; // the response that carries the answers
    bool receiveFirst;   // the answer to our receive proposal comes first
};

void PrintTo(const AnswerShape& shape, std::ostream* out)
{
    *out << shape.carrier << (shape.receiveFirst ? ", receive first" : ", transmit first");
}

std::string shapeName(const testing::TestParamInfo<AnswerShape>& info)
{
    return info.param.carrier + (info.param.receiveFirst ? "ReceiveFirst" : "TransmitFirst");
}

class H323FastStartAnswers : public testing::TestWithParam<AnswerShape>
{};

TEST_P(H323FastStartAnswers, OpenBothDirectionsAndOnlyTheFirstAnswerCounts)
{
    const AnswerShape shape = GetParam();
    Side caller("caller", false);
    caller.endpoint->setFastStart(true);
    RawPeer peer;
    MediaPeer media;
    const auto token = caller.call(peer.address());
    ASSERT_FALSE(token.empty());
    ASSERT_TRUE(peer.accept());
    auto setup = peer.readUntil(q931::MessageType::Setup);
    ASSERT_TRUE(setup);
    const auto proposals = fastStartElementsOf(*setup);
    const auto ourRtp = ourAudioRtp(proposals);
    ASSERT_TRUE(ourRtp);

    // The peer takes G.711 A-law, though G.722 comes first in our proposals.
    constexpr std::uint16_t PeerNumber = 101;
    auto transmit = answerTo(proposals, "g711Alaw64k", false, 0, media);
    auto receive = answerTo(proposals, "g711Alaw64k", true, PeerNumber, media);
    ASSERT_TRUE(transmit && receive);
    asn::Value carrier = responseFor(*setup, shape.carrier);
    asn::Value& list = h225::messageBody(carrier).field("fastStart");
    list.append().setBytes(encodeOlc(shape.receiveFirst ? *receive : *transmit));
    list.append().setBytes(encodeOlc(shape.receiveFirst ? *transmit : *receive));
    if (shape.carrier != "callProceeding") {
        ASSERT_TRUE(peer.sendAnswer(*setup, q931::MessageType::CallProceeding,
                                    responseFor(*setup, "callProceeding")));
    }
    ASSERT_TRUE(peer.sendAnswer(*setup, messageTypeOf(shape.carrier), carrier));
    if (shape.carrier != "connect") {
        // A later answer with other addresses and numbers changes nothing.
        MediaPeer elsewhere;
        auto late = answerTo(proposals, "g722-64k", true, 999, elsewhere);
        asn::Value connect = connectFor(*setup, true);
        h225::messageBody(connect).field("fastStart").append().setBytes(encodeOlc(*late));
        ASSERT_TRUE(peer.sendAnswer(*setup, q931::MessageType::Connect, connect));
    }
    ASSERT_TRUE(caller.manager.waitUntil([&] { return caller.manager.established.size() == 1; }));
    expectAudioBothWays(caller, token, media, *ourRtp, 8, PeerNumber);
    auto connection = caller.h323(token);
    ASSERT_TRUE(connection);
    EXPECT_TRUE(connection->isFastStartActive());
    EXPECT_EQ(connection->logicalChannels().size(), 2u);
    caller.manager.clearCall(token, EndReason::LocalUser, true);
}

INSTANTIATE_TEST_SUITE_P(
    EveryCarrier, H323FastStartAnswers,
    testing::Values(AnswerShape{"callProceeding", false}, AnswerShape{"alerting", true},
                    AnswerShape{"progress", false}, AnswerShape{"facility", true},
                    AnswerShape{"connect", false}, AnswerShape{"connect", true}),
    shapeName);

// --- replay of two stacks' answers from a capture ---

std::filesystem::path interopCapture(const std::string& name)
{
    std::error_code error;
    const std::filesystem::path path = std::filesystem::path(KX_REFERENCE_DIR) / "interop" / name;
    return std::filesystem::is_regular_file(path, error) ? path : std::filesystem::path();
}

/// One message a stack sent: its Q.931 type, call reference and H.225.0 PDU, and the
/// whole Q.931 message (its other elements: Display, Keypad facility, ...).
struct CapturedResponse
{
    q931::MessageType type;
    asn::Value information;
    std::uint16_t callReference = 0;
    q931::Message q931;
};

/// Sends a captured message again, its User-user information replaced by `information`.
bool resend(RawPeer& peer, const CapturedResponse& captured, const asn::Value& information)
{
    q931::Message message = captured.q931;
    auto encoded = h225::encodeUserInformation(information);
    if (!encoded || !q931::setUserUserPdu(message, *encoded))
        return false;
    auto bytes = q931::encodeMessage(message);
    return bytes && peer.sendPdu(*bytes);
}

/// What one side sent in each captured call (per TCP stream), release aside: the side
/// that listened on `listenerPort` (`fromListener`), or the caller.
std::vector<std::vector<CapturedResponse>> capturedMessages(const std::filesystem::path& path,
                                                            bool fromListener,
                                                            std::uint16_t listenerPort = 1720)
{
    const auto capture = kx::capture::readCaptureFile(path.string());
    kx::decode::Options options;
    options.callSignallingPorts = {listenerPort, 1820};
    const auto report = kx::decode::decodeCapture(capture, options);
    std::map<kx::capture::FlowKey, std::vector<CapturedResponse>> byFlow;
    for (const auto& message : report.messages) {
        if (message.protocol != kx::decode::Protocol::CallSignalling || message.error ||
            !message.q931 || (message.flow.source.port == listenerPort) != fromListener)
            continue;
        const auto type = static_cast<q931::MessageType>(message.q931->type);
        if (type == q931::MessageType::ReleaseComplete)
            continue;
        byFlow[message.flow].push_back(
            {type, message.value, message.q931->callReference, *message.q931});
    }
    std::vector<std::vector<CapturedResponse>> calls;
    for (auto& [flow, responses] : byFlow)
        calls.push_back(std::move(responses));
    return calls;
}

std::vector<std::vector<CapturedResponse>> capturedResponses(const std::filesystem::path& path)
{
    return capturedMessages(path, true);
}

/// Moves every media address of an OpenLogicalChannel to the test's sockets.
void retarget(asn::Value& olc, const MediaPeer& media)
{
    for (const bool reverse : {false, true}) {
        if (reverse && !olc.has("reverseLogicalChannelParameters"))
            continue;
        asn::Value* h2250 = h2250Parameters(olc, reverse);
        if (!h2250)
            continue;
        if (h2250->has("mediaChannel"))
            h245::setTransportAddress(h2250->field("mediaChannel"), media.address(media.rtp));
        if (h2250->has("mediaControlChannel"))
            h245::setTransportAddress(h2250->field("mediaControlChannel"),
                                      media.address(media.rtcp));
    }
}

/// The captured message with every media address of its fastStart elements and of the
/// OpenLogicalChannels tunnelled in it moved to the test's sockets, numbers and order kept.
asn::Value retargeted(const asn::Value& captured, const MediaPeer& media)
{
    asn::Value information = captured;
    asn::Value& body = h225::messageBody(information);
    if (body.find("fastStart").present()) {
        asn::Value& list = body.field("fastStart");
        for (std::size_t i = 0; i < list.size(); ++i) {
            auto olc = decodeOlc(list.at(i).octets());
            if (!olc)
                continue;
            retarget(*olc, media);
            list.at(i).setBytes(encodeOlc(*olc));
        }
    }
    asn::Value& pdu = h225::uuPdu(information);
    if (pdu.has("h245Control")) {
        asn::Value& control = pdu.field("h245Control");
        for (std::size_t i = 0; i < control.size(); ++i) {
            auto message = h245::decodeMessage(control.at(i).octets());
            auto kind = message ? h245::kindOf(*message) : std::nullopt;
            if (!kind || kind->name != "openLogicalChannel")
                continue;
            retarget(h245::messageBody(*message), media);
            auto encoded = h245::encodeMessage(*message);
            EXPECT_TRUE(static_cast<bool>(encoded));
            if (encoded)
                control.at(i).setOctets(*encoded);
        }
    }
    return information;
}

/// The captured response made fit for this call: our call identifier, its fastStart
/// answers' media addresses moved to the test's sockets, and no tunnelled H.245.
asn::Value replayed(const CapturedResponse& response, const q931::Message& setup,
                    const MediaPeer& media)
{
    asn::Value information = retargeted(response.information, media);
    asn::Value& body = h225::messageBody(information);
    h225::uuPdu(information).remove("h245Control");
    auto received = h225::decodeUserInformation(*q931::userUserPdu(setup));
    if (body.find("callIdentifier").present())
        h225::setGuid(body.field("callIdentifier").field("guid"),
                      h225::guidOf(h225::messageBody(*received)["callIdentifier"]["guid"]));
    return information;
}

/// The receive channel number and payload type the stack's first fastStart answer chose.
std::pair<std::uint16_t, std::uint8_t> chosenReceive(const std::vector<CapturedResponse>& call)
{
    for (const auto& response : call) {
        const asn::Value& list = h225::messageBody(response.information).find("fastStart");
        for (std::size_t i = 0; i < list.size(); ++i) {
            auto olc = decodeOlc(list.at(i).octets());
            if (!olc || !proposerReceives(*olc))
                continue;
            const auto codec = dataTypeOf(*olc).chosen().choiceName();
            const std::uint8_t payloadType = codec == "g722-64k"      ? 9
                                             : codec == "g711Alaw64k" ? 8
                                                                      : 0;
            return {static_cast<std::uint16_t>((*olc)["forwardLogicalChannelNumber"].integer()),
                    payloadType};
        }
    }
    return {0, 0};
}

TEST(H323Interop, FastStartAnswersOfTwoStacksOpenOurReceiveChannel)
{
    const auto path = interopCapture("faststart-we-call.pcapng");
    if (path.empty())
        GTEST_SKIP() << "reference captures not present";
    const auto calls = capturedResponses(path);
    ASSERT_EQ(calls.size(), 2u) << "one call with each stack";
    for (const auto& call : calls) {
        const auto [peerNumber, payloadType] = chosenReceive(call);
        ASSERT_NE(peerNumber, 0) << "the capture holds a fastStart answer";
        SCOPED_TRACE("stack numbering its channel " + std::to_string(peerNumber));
        Side caller("caller", false);
        caller.endpoint->setFastStart(true);
        RawPeer peer;
        MediaPeer media;
        const auto token = caller.call(peer.address());
        ASSERT_TRUE(peer.accept());
        auto setup = peer.readUntil(q931::MessageType::Setup);
        ASSERT_TRUE(setup);
        const auto ourRtp = ourAudioRtp(fastStartElementsOf(*setup));
        ASSERT_TRUE(ourRtp);
        for (const auto& response : call)
            ASSERT_TRUE(peer.sendAnswer(*setup, response.type, replayed(response, *setup, media)));
        ASSERT_TRUE(
            caller.manager.waitUntil([&] { return caller.manager.established.size() == 1; }));
        expectAudioBothWays(caller, token, media, *ourRtp, payloadType, peerNumber);
        caller.manager.clearCall(token, EndReason::LocalUser, true);
    }
}

// --- a caller that is strict about what comes before capability exchange ends ---

/// The H.245 messages tunnelled in one Q.931 message, by name.
std::vector<std::string> tunnelledH245(const std::vector<std::uint8_t>& pdu,
                                       std::vector<asn::Value>* messages = nullptr)
{
    std::vector<std::string> names;
    auto decoded = kx::decode::decodeCallSignalling(pdu);
    for (const auto& message : decoded) {
        if (message.protocol != kx::decode::Protocol::H245 || message.error)
            continue;
        auto kind = h245::kindOf(message.value);
        names.push_back(kind ? std::string(kind->name) : std::string("unknown"));
        if (messages)
            messages->push_back(message.value);
    }
    return names;
}

class StrictCaller
{
public:
    explicit StrictCaller(std::uint16_t port) { EXPECT_TRUE(peer.connect(port)); }

    /// Sends the Setup (tunnelling, no fastStart) and reads up to the Connect.
    bool call()
    {
        if (!peer.sendPdu(sampleSetup(0x1234)))
            return false;
        while (auto pdu = peer.readPdu(5s)) {
            if (!take(*pdu))
                return false;
            if (connected)
                return true;
        }
        return false;
    }

    /// Reads what the callee sends for `duration`, as a stack that is still in capability
    /// exchange: anything but its messages is an invalid message.
    void readFor(std::chrono::milliseconds duration)
    {
        const auto until = std::chrono::steady_clock::now() + duration;
        while (std::chrono::steady_clock::now() < until) {
            if (!peer.waitReadable(20ms))
                continue;
            auto pdu = peer.readPdu(1s);
            if (!pdu)
                return;
            take(*pdu);
        }
    }

    /// Answers the callee's capability set and determination, then sends its own.
    void finishCapabilityExchange()
    {
        h245::CapabilitySet set;
        h245::Capability g711;
        g711.type = h245::CapabilityType::G711Ulaw;
        h245::Capability basic;
        basic.type = h245::CapabilityType::UserInput;
        basic.userInputName = "basicString";
        set.capabilities = {g711, basic};
        tunnel({h245::buildTerminalCapabilitySet(set), h245::buildTerminalCapabilitySetAck(1),
                h245::buildMasterSlaveDeterminationAck(h245::MasterSlaveDecision::Master)});
        exchangeDone = true;
    }

    RawPeer peer;
    bool connected = false;
    bool exchangeDone = false;
    std::vector<std::string> early; // messages that came before the exchange ended
    std::vector<std::string> userInput;

private:
    bool take(const std::vector<std::uint8_t>& pdu)
    {
        auto message = q931::decodeMessage(pdu);
        if (!message)
            return false;
        if (message->type == static_cast<std::uint8_t>(q931::MessageType::Connect))
            connected = true;
        std::vector<asn::Value> values;
        for (const auto& name : tunnelledH245(pdu, &values)) {
            if (!exchangeDone && name != "terminalCapabilitySet" &&
                name != "masterSlaveDetermination" && name != "terminalCapabilitySetAck" &&
                name != "masterSlaveDeterminationAck")
                early.push_back(name);
        }
        for (const auto& value : values) {
            if (auto input = h245::readUserInputIndication(value))
                userInput.push_back(input->text);
        }
        return true;
    }

    void tunnel(const std::vector<asn::Value>& messages)
    {
        asn::Value information = h225::newUserInformation("empty");
        h225::uuPdu(information).field("h245Tunnelling").setBoolean(true);
        asn::Value& control = h225::uuPdu(information).field("h245Control");
        for (const auto& message : messages) {
            auto encoded = h245::encodeMessage(message);
            ASSERT_TRUE(static_cast<bool>(encoded));
            control.append().setBytes(
                std::string_view(reinterpret_cast<const char*>(encoded->data()), encoded->size()));
        }
        q931::Message facility;
        facility.callReference = 0x1234;
        facility.type = static_cast<std::uint8_t>(q931::MessageType::Facility);
        auto uu = h225::encodeUserInformation(information);
        ASSERT_TRUE(uu && q931::setUserUserPdu(facility, *uu));
        auto bytes = q931::encodeMessage(facility);
        ASSERT_TRUE(bytes && peer.sendPdu(*bytes));
    }
};

TEST(H323Interop, UserInputAtEstablishmentWaitsForCapabilityExchangeAndKeepsItsOrder)
{
    Side callee("callee");
    callee.manager.answerNow();
    auto timers = quickTimers();
    timers.capabilityExchange = timers.masterSlave = 5s;
    callee.endpoint->setTimers(timers);
    // The callee's user sends input the moment the call is established, and mutes.
    std::vector<bool> accepted;
    callee.manager.onEstablished = [&](Call& call) {
        auto connection = std::dynamic_pointer_cast<Connection>(call.networkConnection());
        ASSERT_TRUE(connection);
        for (const char* text : {"1", "23", "#"})
            accepted.push_back(connection->sendUserInputString(text));
        accepted.push_back(connection->indicateAudioMuted(true));
    };
    StrictCaller caller(callee.endpoint->listenerPort());
    ASSERT_TRUE(caller.call());
    ASSERT_TRUE(callee.manager.waitUntil([&] { return callee.manager.established.size() == 1; }));
    caller.readFor(100ms);
    // Input given once H.245 runs but before the exchange has ended waits as well.
    auto connection = callee.anyH323();
    ASSERT_TRUE(connection);
    ASSERT_TRUE(connection->isH245Ready());
    EXPECT_FALSE(connection->isH245Complete());
    accepted.push_back(connection->sendUserInputString("4"));
    caller.readFor(200ms);
    EXPECT_EQ(accepted, std::vector<bool>(5, true)) << "input refused before the exchange";
    EXPECT_TRUE(caller.early.empty())
        << "sent before capability exchange ended: " << testing::PrintToString(caller.early);
    caller.finishCapabilityExchange();
    caller.readFor(500ms);
    EXPECT_EQ(caller.userInput, (std::vector<std::string>{"1", "23", "#", "4"}));
}

// --- a caller that takes our fastStart answers by their numbers ---

/// The fastStart answers in one of our messages.
std::vector<asn::Value> fastStartAnswersIn(const std::vector<std::uint8_t>& pdu)
{
    auto message = q931::decodeMessage(pdu);
    return message ? fastStartElementsOf(*message) : std::vector<asn::Value>{};
}

/// A stack that calls with fastStart and finds each answer by the number of its proposal:
/// the call of faststart-they-call.pcapng, replayed message by message.
class NumberMatchingCaller
{
public:
    explicit NumberMatchingCaller(std::uint16_t port)
    {
        const auto path = interopCapture("faststart-they-call.pcapng");
        if (path.empty())
            return;
        const auto calls = capturedMessages(path, false);
        EXPECT_EQ(calls.size(), 1u);
        if (calls.empty())
            return;
        sent = calls.front();
        EXPECT_TRUE(peer.connect(port));
    }

    bool present() const { return !sent.empty(); }
    std::uint16_t callReference() const { return sent.front().callReference; }

    /// Sends the captured Setup and reads our answers up to the Connect: the first
    /// message with fastStart answers is the one that counts.
    bool call()
    {
        if (!resend(peer, sent.front(), retargeted(sent.front().information, fastStartMedia)))
            return false;
        while (peer.waitReadable(5s)) {
            auto pdu = peer.readPdu(1s);
            if (!pdu)
                return false;
            if (answers.empty())
                answers = fastStartAnswersIn(*pdu);
            for (const auto& name : tunnelledH245(*pdu, &h245))
                names.push_back(name);
            auto message = q931::decodeMessage(*pdu);
            if (message && message->messageType() == q931::MessageType::Connect)
                return true;
        }
        return false;
    }

    /// The rest of what the stack sent, with its H.245 channel's RTCP on `media`.
    bool sendTheRest(const MediaPeer& media)
    {
        for (std::size_t i = 1; i < sent.size(); ++i) {
            if (!resend(peer, sent[i], retargeted(sent[i].information, media)))
                return false;
        }
        return true;
    }

    /// Reads until we open a channel through H.245 and acknowledges it on `media`.
    std::optional<h245::LogicalChannel> acknowledgeOurChannel(const MediaPeer& media)
    {
        const auto until = std::chrono::steady_clock::now() + 5s;
        while (std::chrono::steady_clock::now() < until) {
            if (!peer.waitReadable(100ms))
                continue;
            auto pdu = peer.readPdu(1s);
            if (!pdu)
                return std::nullopt;
            std::vector<asn::Value> values;
            tunnelledH245(*pdu, &values);
            for (const auto& value : values) {
                auto olc = h245::readOpenLogicalChannel(value);
                if (!olc)
                    continue;
                h245::LogicalChannelAck ack;
                ack.number = olc->number;
                ack.sessionId = olc->sessionId;
                ack.mediaChannel = media.address(media.rtp);
                ack.mediaControlChannel = media.address(media.rtcp);
                EXPECT_TRUE(peer.sendTunnelled(callReference(), false,
                                               {h245::buildOpenLogicalChannelAck(ack)}));
                return *olc;
            }
        }
        return std::nullopt;
    }

    RawPeer peer;
    MediaPeer fastStartMedia;
    std::vector<CapturedResponse> sent;
    std::vector<asn::Value> answers;
    std::vector<asn::Value> h245;
    std::vector<std::string> names;
};

TEST(H323Interop, FastStartAnswersKeepTheNumbersOfTheCallersProposals)
{
    Side callee("callee");
    callee.endpoint->setFastStart(true);
    callee.manager.answerNow();
    NumberMatchingCaller caller(callee.endpoint->listenerPort());
    if (!caller.present())
        GTEST_SKIP() << "reference captures not present";
    ASSERT_TRUE(caller.call());
    // The stack proposed to receive on 1001 (µ-law) or 1003 (A-law) and to send on 1002 or
    // 1004: each answer names the proposal it takes.
    ASSERT_EQ(caller.answers.size(), 2u);
    for (const auto& answer : caller.answers) {
        const auto number = answer["forwardLogicalChannelNumber"].integer();
        const bool stackReceives = proposerReceives(answer);
        const auto codec = dataTypeOf(answer).chosen().choiceName();
        const auto expected = stackReceives ? (codec == "g711Ulaw64k" ? 1001 : 1003)
                                            : (codec == "g711Ulaw64k" ? 1002 : 1004);
        EXPECT_EQ(number, expected)
            << (stackReceives ? "our transmit" : "our receive") << " answer for " << codec;
    }
    auto connection = callee.anyH323();
    ASSERT_TRUE(connection);
    auto ours = connection->findLogicalChannel(AudioSessionId, false);
    ASSERT_TRUE(ours);
    EXPECT_TRUE(ours->number == 1001 || ours->number == 1003) << ours->number;
}

TEST(H323Interop, CallerThatRefusesOurFastStartAnswerGetsOurChannelThroughH245)
{
    Side callee("callee");
    callee.endpoint->setFastStart(true);
    callee.manager.answerNow();
    auto timers = quickTimers();
    timers.capabilityExchange = timers.masterSlave = timers.logicalChannel = 5s;
    callee.endpoint->setTimers(timers);
    NumberMatchingCaller caller(callee.endpoint->listenerPort());
    if (!caller.present())
        GTEST_SKIP() << "reference captures not present";
    ASSERT_TRUE(caller.call());
    auto connection = callee.anyH323();
    ASSERT_TRUE(connection);
    ASSERT_TRUE(eventually([&] { return connection->logicalChannels().size() == 2; }));
    // The stack drops fastStart: capability exchange, then its own channel 1005 through
    // H.245 from other sockets, as the capture shows; ours must follow through H.245.
    MediaPeer h245Media;
    ASSERT_TRUE(caller.sendTheRest(h245Media));
    auto ourChannel = caller.acknowledgeOurChannel(h245Media);
    ASSERT_TRUE(ourChannel) << "no channel of ours opened through H.245";
    EXPECT_EQ(ourChannel->sessionId, AudioSessionId);
    ASSERT_TRUE(eventually([&] {
        auto sent = connection->findLogicalChannel(AudioSessionId, false);
        return sent && sent->number == ourChannel->number;
    }));
    const auto channels = connection->logicalChannels();
    EXPECT_EQ(channels.size(), 2u) << "one channel each way";
    auto received = connection->findLogicalChannel(AudioSessionId, true);
    ASSERT_TRUE(received);
    EXPECT_EQ(received->number, 1005);
    auto sent = connection->findLogicalChannel(AudioSessionId, false);
    ASSERT_TRUE(sent);
    EXPECT_EQ(sent->remoteMedia.port, h245Media.rtp.local_endpoint().port());
    EXPECT_FALSE(connection->isFastStartActive());
    callee.manager.clearCall(callee.manager.callTokens().front(), EndReason::LocalUser, true);
}

// --- fastStart without tunnelling: H.245 still comes up ---

/// The port of the h245Address in one of our messages when it is a Facility startH245.
std::optional<std::uint16_t> startH245Port(const std::vector<std::uint8_t>& pdu)
{
    auto message = q931::decodeMessage(pdu);
    if (!message || message->messageType() != q931::MessageType::Facility)
        return std::nullopt;
    auto uu = q931::userUserPdu(*message);
    auto information =
        uu ? h225::decodeUserInformation(*uu) : asn::Result<asn::Value>(asn::Value());
    if (!uu || !information)
        return std::nullopt;
    const asn::Value& body = h225::messageBody(*information);
    // A Facility's body may be empty (tunnelled H.245 alone).
    if (body.find("reason").choiceName() != "startH245" || !body.has("h245Address"))
        return std::nullopt;
    auto address = h225::transportAddressOf(body["h245Address"]);
    return address ? std::optional(address->port) : std::nullopt;
}

/// The keypad text of one of our messages when it is a Q.931 Information.
std::optional<std::string> keypadOf(const std::vector<std::uint8_t>& pdu)
{
    auto message = q931::decodeMessage(pdu);
    if (!message || message->messageType() != q931::MessageType::Information)
        return std::nullopt;
    const auto* keypad = message->find(q931::ie::Keypad);
    if (!keypad)
        return std::nullopt;
    return std::string(keypad->contents.begin(), keypad->contents.end());
}

/// Reads our signalling until a Facility startH245; its port.
std::optional<std::uint16_t> awaitStartH245(RawPeer& peer, std::chrono::milliseconds timeout)
{
    const auto until = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < until) {
        if (!peer.waitReadable(50ms))
            continue;
        auto pdu = peer.readPdu(1s);
        if (!pdu)
            return std::nullopt;
        if (auto port = startH245Port(*pdu))
            return port;
    }
    return std::nullopt;
}

/// The far end of a separate H.245 connection, as a stack that connects when asked:
/// sends its capabilities, answers ours and our determination, and keeps the user input.
class RawH245
{
public:
    bool connect(std::uint16_t port)
    {
        if (!tcp.connect(port))
            return false;
        h245::CapabilitySet set;
        for (auto type : {h245::CapabilityType::G711Alaw, h245::CapabilityType::G711Ulaw}) {
            h245::Capability audio;
            audio.type = type;
            set.capabilities.push_back(audio);
        }
        h245::Capability basic;
        basic.type = h245::CapabilityType::UserInput;
        basic.userInputName = "basicString";
        set.capabilities.push_back(basic);
        return send(h245::buildTerminalCapabilitySet(set));
    }

    void readFor(std::chrono::milliseconds duration)
    {
        const auto until = std::chrono::steady_clock::now() + duration;
        while (std::chrono::steady_clock::now() < until) {
            if (!tcp.waitReadable(20ms))
                continue;
            auto pdu = tcp.readPdu(1s);
            if (!pdu)
                return;
            for (const auto& decoded : kx::decode::decodeH245(*pdu)) {
                if (decoded.error)
                    continue;
                auto kind = h245::kindOf(decoded.value);
                if (!kind)
                    continue;
                names.emplace_back(kind->name);
                if (kind->name == "terminalCapabilitySet")
                    send(h245::buildTerminalCapabilitySetAck(static_cast<std::uint8_t>(
                        h245::messageBody(decoded.value)["sequenceNumber"].integer())));
                else if (kind->name == "masterSlaveDetermination")
                    send(h245::buildMasterSlaveDeterminationAck(h245::MasterSlaveDecision::Master));
                else if (auto input = h245::readUserInputIndication(decoded.value))
                    userInput.push_back(input->text);
            }
        }
    }

    RawPeer tcp;
    std::vector<std::string> names;
    std::vector<std::string> userInput;

private:
    bool send(const asn::Value& message)
    {
        auto encoded = h245::encodeMessage(message);
        return encoded && tcp.sendPdu(*encoded);
    }
};

/// Sends `text` as user input the moment the call is established (before any H.245).
void sendInputAtEstablishment(Side& side, std::string text)
{
    side.manager.onEstablished = [text](Call& call) {
        auto connection = std::dynamic_pointer_cast<Connection>(call.networkConnection());
        ASSERT_TRUE(connection);
        EXPECT_TRUE(connection->sendUserInputString(text));
    };
}

TEST(H323Interop, FastStartCallerWithoutTunnellingGetsH245AndUserInputBothWays)
{
    const auto path = interopCapture("userinput-faststart-no-tunnelling-they-call.pcapng");
    if (path.empty())
        GTEST_SKIP() << "reference captures not present";
    const auto calls = capturedMessages(path, false, 1721);
    ASSERT_EQ(calls.size(), 1u);
    const auto& sent = calls.front();
    ASSERT_GE(sent.size(), 2u) << "Setup and Information";
    Side callee("callee");
    callee.endpoint->setFastStart(true);
    callee.manager.answerNow();
    sendInputAtEstablishment(callee, "kx#42");
    RawPeer caller;
    MediaPeer media;
    ASSERT_TRUE(caller.connect(callee.endpoint->listenerPort()));
    // The stack's Setup: fastStart, no tunnelling, no H.245 address, a Display ending in
    // NUL.  It never connects to the address our Connect gives: we must ask it to.
    ASSERT_TRUE(resend(caller, sent.front(), retargeted(sent.front().information, media)));
    auto port = awaitStartH245(caller, 3s);
    ASSERT_TRUE(port) << "no Facility startH245";
    RawH245 h245;
    ASSERT_TRUE(h245.connect(*port));
    h245.readFor(500ms);
    EXPECT_EQ(h245.userInput, std::vector<std::string>{"kx#42"})
        << "input given before H.245 was up";
    auto connection = callee.anyH323();
    ASSERT_TRUE(connection);
    EXPECT_TRUE(connection->isH245Complete());
    EXPECT_TRUE(connection->isFastStartActive());
    // The stack's own input went in a Q.931 Information (Keypad facility "peer*57\0").
    ASSERT_EQ(sent[1].type, q931::MessageType::Information);
    ASSERT_TRUE(resend(caller, sent[1], sent[1].information));
    EXPECT_TRUE(callee.manager.waitUntil([&] { return callee.manager.userInput.size() == 1; }));
    EXPECT_EQ(callee.manager.userInput, std::vector<std::string>{"peer*57"});
    // Its Display ("h323peer" and a NUL) names the caller without the NUL.
    EXPECT_EQ(callee.manager.answerCallers, std::vector<std::string>{"h323peer [127.0.0.1:43692]"});
}

/// A called stack that answers our fastStart in Connect, without tunnelling and without
/// an H.245 address, and does not connect to ours (as the captures show it).
struct SilentH245Callee
{
    explicit SilentH245Callee(Side& caller)
    {
        caller.endpoint->setFastStart(true);
        caller.endpoint->setH245Tunnelling(false);
        token = caller.call(peer.address());
        EXPECT_TRUE(peer.accept());
        setup = peer.readUntil(q931::MessageType::Setup);
        EXPECT_TRUE(setup);
        if (!setup)
            return;
        const auto proposals = fastStartElementsOf(*setup);
        auto transmit = answerTo(proposals, "g711Alaw64k", false, 0, media);
        auto receive = answerTo(proposals, "g711Alaw64k", true, 101, media);
        EXPECT_TRUE(transmit && receive);
        asn::Value connect = connectFor(*setup, false);
        asn::Value& list = h225::messageBody(connect).field("fastStart");
        list.append().setBytes(encodeOlc(*transmit));
        list.append().setBytes(encodeOlc(*receive));
        EXPECT_TRUE(peer.sendAnswer(*setup, q931::MessageType::Connect, connect));
    }

    RawPeer peer;
    MediaPeer media;
    std::string token;
    std::optional<q931::Message> setup;
};

TEST(H323Interop, CalledStackWithoutTunnellingIsAskedToOpenH245)
{
    Side caller("caller", false);
    sendInputAtEstablishment(caller, "1234#");
    SilentH245Callee callee(caller);
    ASSERT_TRUE(callee.setup);
    auto port = awaitStartH245(callee.peer, 3s);
    ASSERT_TRUE(port) << "no Facility startH245";
    RawH245 h245;
    ASSERT_TRUE(h245.connect(*port));
    h245.readFor(500ms);
    EXPECT_EQ(h245.userInput, std::vector<std::string>{"1234#"});
    EXPECT_TRUE(caller.manager.cleared.empty());
    caller.manager.clearCall(callee.token, EndReason::LocalUser, true);
}

TEST(H323Interop, CallWithNoH245AtAllKeepsItsMediaAndSendsUserInputInQ931)
{
    Side caller("caller", false);
    sendInputAtEstablishment(caller, "1234#");
    SilentH245Callee callee(caller);
    ASSERT_TRUE(callee.setup);
    ASSERT_TRUE(awaitStartH245(callee.peer, 3s));
    // The stack ignores the request too: once H.245 has had its time, input goes by Q.931.
    std::optional<std::string> keypad;
    const auto until = std::chrono::steady_clock::now() + 5s;
    while (!keypad && std::chrono::steady_clock::now() < until) {
        if (!callee.peer.waitReadable(50ms))
            continue;
        if (auto pdu = callee.peer.readPdu(1s))
            keypad = keypadOf(*pdu);
    }
    EXPECT_EQ(keypad, std::optional<std::string>("1234#"));
    auto connection = caller.h323(callee.token);
    ASSERT_TRUE(connection);
    EXPECT_TRUE(connection->sendUserInputString("9"));
    ASSERT_TRUE(callee.peer.waitReadable(2s));
    auto next = callee.peer.readPdu(1s);
    ASSERT_TRUE(next);
    EXPECT_EQ(keypadOf(*next), std::optional<std::string>("9"));
    EXPECT_TRUE(caller.manager.cleared.empty()) << "the fastStart call goes on";
    EXPECT_EQ(connection->logicalChannels().size(), 2u);
    caller.manager.clearCall(callee.token, EndReason::LocalUser, true);
}

TEST(H323Interop, AFarEndReopeningChannelsKeepsOneChannelPerSessionAndDirection)
{
    // A far end that opens its audio again and again, each time under a new number (as one
    // may after a refused fastStart, or to change its codec): each new channel replaces the
    // last, whether that came by fastStart or through H.245.
    for (const bool fastStart : {false, true}) {
        SCOPED_TRACE(fastStart ? "after fastStart" : "after H.245");
        Side alice("alice");
        Side bob("bob");
        for (Side* side : {&alice, &bob})
            side->endpoint->setFastStart(fastStart);
        bob.manager.answerNow();
        const auto token = alice.call(bob.address());
        ASSERT_TRUE(alice.manager.waitUntil([&] { return alice.manager.established.size() == 1; }));
        auto caller = alice.h323(token);
        auto callee = bob.anyH323();
        ASSERT_TRUE(caller && callee);
        ASSERT_TRUE(eventually([&] {
            return caller->isH245Complete() && caller->findLogicalChannel(AudioSessionId, true);
        }));
        for (std::uint16_t number = 200; number < 220; ++number) {
            h245::LogicalChannel channel;
            channel.number = number;
            channel.dataType.type = h245::CapabilityType::G711Alaw;
            channel.sessionId = AudioSessionId;
            ASSERT_TRUE(callee->sendH245(h245::buildOpenLogicalChannel(channel)));
        }
        // Without fastStart the last one stays.  After fastStart the first one tells us
        // the far end left it, so we open ours through H.245, and its engine does the
        // same in turn: its own channel comes last.
        ASSERT_TRUE(eventually([&] {
            auto received = caller->findLogicalChannel(AudioSessionId, true);
            return received && (fastStart || received->number == 219) && received->number != 200 &&
                   caller->findLogicalChannel(AudioSessionId, false);
        }));
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        std::size_t receiving = 0, sending = 0;
        for (const auto& channel : caller->logicalChannels()) {
            if (channel.sessionId != AudioSessionId)
                continue;
            (channel.fromRemote ? receiving : sending) += 1;
        }
        EXPECT_EQ(receiving, 1u);
        EXPECT_EQ(sending, 1u);
        alice.manager.clearCall(token, EndReason::LocalUser, true);
    }
}

// --- a conference server that opens video only towards an exact profile and level ---

TEST(H323Interop, AServerThatMatchesProfilesExactlyOpensItsVideoToUsAndGetsOurBest)
{
    const auto path = interopCapture("mcu-h264-exact-profile.pcap");
    if (path.empty())
        GTEST_SKIP() << "reference captures not present";
    // The server's capability set, from its Connect: H.264 Baseline only, an entry per
    // level from 1 to 4.
    std::optional<h245::CapabilitySet> server;
    for (const auto& call : capturedResponses(path))
        for (const auto& response : call) {
            if (response.type != q931::MessageType::Connect)
                continue;
            auto bytes = q931::encodeMessage(response.q931);
            ASSERT_TRUE(bytes);
            std::vector<asn::Value> tunnelled;
            tunnelledH245(*bytes, &tunnelled);
            for (const auto& message : tunnelled)
                if (auto set = h245::readTerminalCapabilitySet(message); set && !server)
                    server = *set;
        }
    ASSERT_TRUE(server) << "the capture holds the server's capability set";
    std::vector<std::pair<int, int>> serverVideo;
    for (const auto& capability : server->capabilities)
        if (capability.type == h245::CapabilityType::H264)
            serverVideo.emplace_back(capability.h264.profile, capability.h264.level);
    ASSERT_GE(serverVideo.size(), 5u);

    Side caller("caller", false);
    caller.endpoint->setFastStart(false);
    RawPeer peer;
    const auto token = caller.call(peer.address());
    ASSERT_FALSE(token.empty());
    ASSERT_TRUE(peer.accept());
    const auto setup = peer.readUntil(q931::MessageType::Setup);
    ASSERT_TRUE(setup);
    const std::uint16_t reference = setup->callReference;
    ASSERT_TRUE(peer.sendAnswer(*setup, q931::MessageType::Connect, connectFor(*setup, true)));
    ASSERT_TRUE(peer.sendTunnelled(reference, true, {h245::buildTerminalCapabilitySet(*server)}));

    // The server's side of the exchange: it opens video towards a capability of ours that
    // has exactly the profile and level of one of its own, and only then.
    std::optional<h245::Capability> matched;
    std::optional<h245::LogicalChannel> ourVideo;
    bool videoAcknowledged = false;
    constexpr std::uint16_t ServerVideoChannel = 101;
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (std::chrono::steady_clock::now() < deadline && !(videoAcknowledged && ourVideo)) {
        auto pdu = peer.readPdu(500ms);
        if (!pdu)
            continue;
        std::vector<asn::Value> messages;
        tunnelledH245(*pdu, &messages);
        std::vector<asn::Value> answers;
        for (const auto& message : messages) {
            const auto kind = h245::kindOf(message);
            const std::string name = kind ? std::string(kind->name) : std::string();
            if (auto ours = h245::readTerminalCapabilitySet(message);
                name == "terminalCapabilitySet" && ours) {
                answers.push_back(h245::buildTerminalCapabilitySetAck(ours->sequenceNumber));
                for (const auto& capability : ours->capabilities)
                    if (capability.type == h245::CapabilityType::H264 && !matched &&
                        std::find(serverVideo.begin(), serverVideo.end(),
                                  std::pair<int, int>(capability.h264.profile,
                                                      capability.h264.level)) != serverVideo.end())
                        matched = capability;
                if (matched) {
                    h245::LogicalChannel video;
                    video.number = ServerVideoChannel;
                    video.dataType = *matched;
                    video.dataType.maxBitRate = 20000;
                    video.sessionId = 2;
                    h245::MediaAddress rtcp;
                    rtcp.ip = {127, 0, 0, 1};
                    rtcp.port = 5003;
                    video.mediaControlChannel = rtcp;
                    video.dynamicRtpPayloadType = 96;
                    video.h264PacketizationMode = 1;
                    answers.push_back(h245::buildOpenLogicalChannel(video));
                }
            } else if (name == "masterSlaveDetermination") {
                answers.push_back(
                    h245::buildMasterSlaveDeterminationAck(h245::MasterSlaveDecision::Master));
            } else if (auto olc = h245::readOpenLogicalChannel(message);
                       name == "openLogicalChannel" && olc && olc->sessionId == 2) {
                ourVideo = *olc;
            } else if (auto ack = h245::readOpenLogicalChannelAck(message);
                       name == "openLogicalChannelAck" && ack) {
                videoAcknowledged = videoAcknowledged || ack->number == ServerVideoChannel;
            }
        }
        if (!answers.empty()) {
            ASSERT_TRUE(peer.sendTunnelled(reference, true, answers));
        }
    }
    ASSERT_TRUE(matched) << "none of our H.264 entries is one of the server's";
    EXPECT_EQ(matched->h264.profile, 64);
    EXPECT_TRUE(videoAcknowledged) << "the server's video channel is taken";
    // What we send it: Baseline within the most it decodes (level 4), not within its first
    // entry (level 1.2, whose 384 kbit/s held our video to a thumbnail's rate).
    ASSERT_TRUE(ourVideo);
    EXPECT_EQ(ourVideo->dataType.h264.profile, 64);
    EXPECT_GT(ourVideo->dataType.maxBitRate, 3840u)
        << "level " << int(ourVideo->dataType.h264.level);
    caller.manager.clearCall(token, EndReason::LocalUser, true);
}

} // namespace
} // namespace voip::h323::test
