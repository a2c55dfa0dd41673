// The oracle: what we encode, tshark must read.  Every H.225.0 body, wrapped in Q.931 and
// TPKT on TCP port 1720, and every H.245 message kind the client sends or reads, on a
// separate H.245 TCP channel announced by h245Address, go into one capture; tshark must
// mark nothing malformed or worth a warning, and must read the fields that matter as we
// wrote them.  Skipped when tshark is not installed.

#include <gtest/gtest.h>

#include <unistd.h>

#include "field_walk.h"
#include "tools/common/pcapwriter.h"
#include "tools/kxdecode/decoder.h"
#include "tshark_util.h"
#include "voip/asn/codec.h"
#include "voip/h225/address.h"
#include "voip/h225/identity.h"
#include "voip/h225/message.h"
#include "voip/h245/capabilities.h"
#include "voip/h323/capabilitymap.h"
#include "voip/media/mediaformatregistry.h"
#include "voip/h245/channels.h"
#include "voip/h245/h239.h"
#include "voip/h245/message.h"
#include "voip/q931/elements.h"
#include "voip/q931/tpkt.h"
#include "tests/support/toolskip.h"

using namespace kx;
using voip::asn::Value;
namespace h225 = voip::h225;
namespace h245 = voip::h245;
namespace q931 = voip::q931;
using Bytes = std::vector<std::uint8_t>;

namespace {

capture::Endpoint endpoint(const char* ip, std::uint16_t port)
{
    capture::Endpoint e;
    capture::Address::parse(ip, e.address);
    e.port = port;
    return e;
}

const capture::Endpoint kCaller = endpoint("192.0.2.10", 40001);
const capture::Endpoint kCallee = endpoint("192.0.2.20", 1720);
const capture::Endpoint kCallerH245 = endpoint("192.0.2.10", 40002);
const capture::Endpoint kCalleeH245 = endpoint("192.0.2.20", 41000);

h225::IpAddressPort address(const char* text)
{
    return h225::IpAddressPort::parse(text).value();
}

h245::Capability capability(h245::CapabilityType type)
{
    h245::Capability c;
    c.type = type;
    c.maxBitRate = 19200;
    if (type == h245::CapabilityType::H264) {
        c.h264.profile = 8;
        c.h264.level = 85;
        c.h264.customMaxMbps = 245;
        c.h264.customMaxFs = 36;
    }
    if (type == h245::CapabilityType::GenericAudio)
        c.genericIdentifier = "0.0.8.245.1.1.1";
    if (type == h245::CapabilityType::UserInput)
        c.userInputName = "dtmf";
    return c;
}

h245::LogicalChannel channel(std::uint16_t number, h245::CapabilityType type, std::uint8_t session)
{
    h245::LogicalChannel lc;
    lc.number = number;
    lc.dataType = capability(type);
    lc.sessionId = session;
    h245::MediaAddress rtcp;
    rtcp.ip = {192, 0, 2, 10};
    rtcp.port = static_cast<std::uint16_t>(5001 + 2 * number);
    lc.mediaControlChannel = rtcp;
    if (type == h245::CapabilityType::H264 || type == h245::CapabilityType::H239Content) {
        lc.dynamicRtpPayloadType = 109;
        lc.h264PacketizationMode = 1;
    }
    return lc;
}

Bytes encodeH245(const Value& message)
{
    auto bytes = h245::encodeMessage(message);
    EXPECT_TRUE(bytes.ok()) << bytes.error().toString();
    return bytes.ok() ? *bytes : Bytes{};
}

// Every H.245 message kind the client sends or must understand.
std::vector<Value> h245Messages()
{
    using h245::CapabilityType;
    std::vector<Value> out;
    h245::CapabilitySet set;
    for (auto type : {CapabilityType::G711Alaw, CapabilityType::G711Ulaw, CapabilityType::G722,
                      CapabilityType::GenericAudio, CapabilityType::H261, CapabilityType::H263,
                      CapabilityType::H264, CapabilityType::H239Content,
                      CapabilityType::H239Control, CapabilityType::H224, CapabilityType::UserInput})
        set.capabilities.push_back(capability(type));
    set.h264PacketizationModes = {0, 1};
    out.push_back(h245::buildTerminalCapabilitySet(set));
    // The set the engine announces, an H.264 entry per profile among it.
    out.push_back(h245::buildTerminalCapabilitySet(
        voip::h323::capabilitySetOfFormats(voip::standardMediaFormats(), 2)));
    // The same, offering encryption: a security entry after each audio and video entry.
    auto secured = voip::h323::capabilitySetOfFormats(voip::standardMediaFormats(), 3);
    secured.offerEncryption = true;
    out.push_back(h245::buildTerminalCapabilitySet(secured));
    out.push_back(h245::buildTerminalCapabilitySetAck(1));
    out.push_back(h245::buildTerminalCapabilitySetReject({}));
    out.push_back(h245::buildTerminalCapabilitySetRelease());
    out.push_back(h245::buildMasterSlaveDetermination({50, 0x123456}));
    out.push_back(h245::buildMasterSlaveDeterminationAck(h245::MasterSlaveDecision::Slave));
    out.push_back(h245::buildMasterSlaveDeterminationReject());
    out.push_back(h245::buildMasterSlaveDeterminationRelease());
    out.push_back(h245::buildOpenLogicalChannel(channel(1, CapabilityType::G711Ulaw, 1)));
    out.push_back(h245::buildOpenLogicalChannel(channel(2, CapabilityType::H264, 2)));
    // Encrypted media with its key, as the side that makes keys opens it.
    auto encrypted = channel(5, CapabilityType::G711Ulaw, 1);
    encrypted.encrypted = true;
    encrypted.dynamicRtpPayloadType = 120;
    encrypted.encryptionSync = h245::EncryptionSync{
        120,
        std::vector<std::uint8_t>{0x80, 0x1d, 0x30, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04,
                                  0x01, 0x02, 0x00, 0x10, 1,    2,    3,    4,    5,    6,    7,
                                  8,    9,    10,   11,   12,   13,   14,   15,   16}};
    out.push_back(h245::buildOpenLogicalChannel(encrypted));
    out.push_back(h245::buildOpenLogicalChannel(channel(3, CapabilityType::H239Content, 0)));
    auto data = channel(4, CapabilityType::H224, 3);
    data.bidirectional = true;
    out.push_back(h245::buildOpenLogicalChannel(data));
    h245::LogicalChannelAck ack;
    ack.number = 2;
    ack.sessionId = 2;
    h245::MediaAddress media;
    media.ip = {192, 0, 2, 20};
    media.port = 6000;
    ack.mediaChannel = media;
    media.port = 6001;
    ack.mediaControlChannel = media;
    out.push_back(h245::buildOpenLogicalChannelAck(ack));
    out.push_back(h245::buildOpenLogicalChannelReject(3, "unsuitableReverseParameters"));
    out.push_back(h245::buildOpenLogicalChannelConfirm(4));
    out.push_back(h245::buildCloseLogicalChannel(2, "reopen"));
    out.push_back(h245::buildCloseLogicalChannelAck(2));
    out.push_back(h245::buildRequestChannelClose(5));
    out.push_back(h245::buildRequestChannelCloseAck(5));
    out.push_back(h245::buildRequestChannelCloseReject(5));
    out.push_back(h245::buildRequestChannelCloseRelease(5));
    out.push_back(h245::buildRoundTripDelayRequest(7));
    out.push_back(h245::buildRoundTripDelayResponse(7));
    out.push_back(h245::buildVideoFastUpdatePicture(2));
    out.push_back(h245::buildMiscellaneousCommand(2, "videoFreezePicture"));
    out.push_back(h245::buildMiscellaneousIndication(1, "logicalChannelActive"));
    out.push_back(h245::buildMiscellaneousIndication(1, "logicalChannelInactive"));
    out.push_back(h245::buildFlowControlCommand({2, 3840}));
    out.push_back(h245::buildUserInputIndication({h245::UserInputKind::Alphanumeric, "12#*", {}}));
    out.push_back(h245::buildUserInputIndication({h245::UserInputKind::Signal, "5", 120}));
    out.push_back(h245::buildUserInputIndication({h245::UserInputKind::SignalUpdate, "5", 240}));
    for (auto type : {h245::H239MessageType::FlowControlReleaseRequest,
                      h245::H239MessageType::FlowControlReleaseResponse,
                      h245::H239MessageType::PresentationTokenRequest,
                      h245::H239MessageType::PresentationTokenResponse,
                      h245::H239MessageType::PresentationTokenRelease,
                      h245::H239MessageType::PresentationTokenIndicateOwner}) {
        h245::H239Message h239;
        h239.type = type;
        h239.channelId = 3;
        h239.terminalLabel = 5;
        if (type == h245::H239MessageType::PresentationTokenRequest)
            h239.symmetryBreaking = 17;
        if (type == h245::H239MessageType::FlowControlReleaseRequest)
            h239.bitRate = 3840;
        if (type == h245::H239MessageType::FlowControlReleaseResponse ||
            type == h245::H239MessageType::PresentationTokenResponse)
            h239.acknowledged = true;
        out.push_back(h245::buildH239Message(h239));
    }
    out.push_back(h245::buildEndSessionCommand());
    out.push_back(h245::buildFunctionNotUnderstood(h245::buildRoundTripDelayRequest(9)));
    return out;
}

// Chooses the first alternative of every mandatory choice a builder left open.
void chooseOpenChoices(Value& value, int depth = 0)
{
    if (depth > 32 || !value.type())
        return;
    if (value.kind() == voip::asn::Kind::Choice) {
        if (value.choiceIndex() < 0)
            value.choose(0);
        chooseOpenChoices(value.chosen(), depth + 1);
        return;
    }
    for (auto& child : value.children())
        if (child.present())
            chooseOpenChoices(child, depth + 1);
}

struct Body
{
    const char* name;
    std::uint8_t q931Type;
    bool fromCallee;
};

// One H323-UserInformation per body, with the fields the client fills.
Value userInformation(const Body& body, const h225::Guid& call, const h225::Guid& conference)
{
    Value info = h225::newUserInformation(body.name);
    EXPECT_TRUE(info.type()) << body.name;
    Value& uu = h225::uuPdu(info);
    Value& b = h225::messageBody(info);
    const std::string name = body.name;
    auto has = [&](const char* field) { return b.type() && b.type()->indexOf(field) >= 0; };
    if (has("callIdentifier"))
        h225::setGuid(b.field("callIdentifier").field("guid"), call);
    if (has("conferenceID"))
        h225::setGuid(b.field("conferenceID"), conference);
    if (has("destinationInfo"))
        h225::setEndpointType(b.field("destinationInfo"));
    if (has("multipleCalls"))
        b.field("multipleCalls").setBoolean(false);
    if (has("maintainConnection"))
        b.field("maintainConnection").setBoolean(false);
    if (name == "setup") {
        h225::setEndpointType(b.field("sourceInfo"));
        Value& source = b.field("sourceAddress");
        EXPECT_TRUE(h225::setAlias(source.append(), "Kestrovia caller", h225::AliasKind::H323Id));
        EXPECT_TRUE(h225::setAlias(source.append(), "1234#*", h225::AliasKind::DialledDigits));
        EXPECT_TRUE(
            h225::setAlias(source.append(), "h323:alice@example.org", h225::AliasKind::Url));
        EXPECT_TRUE(h225::setAlias(source.append(), "alice@example.org", h225::AliasKind::Email));
        EXPECT_TRUE(h225::setAlias(source.append(), "192.0.2.10:1720", h225::AliasKind::Transport));
        EXPECT_TRUE(h225::setAlias(b.field("destinationAddress").append(), "5678"));
        h225::setTransportAddress(b.field("destCallSignalAddress"), address("192.0.2.20:1720"));
        b.field("activeMC").setBoolean(false);
        b.field("conferenceGoal").choose("create");
        b.field("callType").choose("pointToPoint");
        b.field("mediaWaitForConnect").setBoolean(false);
        b.field("canOverlapSend").setBoolean(false);
        h245::FastStartChannel proposal;
        proposal.receive = true;
        proposal.channel = channel(1, h245::CapabilityType::G711Alaw, 1);
        auto encoded = h245::encodeFastStartChannel(proposal);
        EXPECT_TRUE(encoded.ok()) << encoded.error().toString();
        if (encoded.ok())
            b.field("fastStart").append().setOctets(*encoded);
    }
    if (name == "connect") {
        h225::setTransportAddress(b.field("h245Address"), address("192.0.2.20:41000"));
        h245::FastStartChannel accepted;
        accepted.channel = channel(1, h245::CapabilityType::G711Alaw, 1);
        h245::MediaAddress media;
        media.ip = {192, 0, 2, 20};
        media.port = 7000;
        accepted.channel.mediaChannel = media;
        auto encoded = h245::encodeFastStartChannel(accepted);
        EXPECT_TRUE(encoded.ok()) << encoded.error().toString();
        if (encoded.ok())
            b.field("fastStart").append().setOctets(*encoded);
    }
    if (name == "facility") {
        b.field("reason").choose(h225::facilityReasonIndex("callForwarded"));
        h225::setTransportAddress(b.field("alternativeAddress"), address("192.0.2.30:1720"));
        EXPECT_TRUE(h225::setAlias(b.field("alternativeAliasAddress").append(), "room-301",
                                   h225::AliasKind::H323Id));
        // Tunnelled H.245 rides in a Facility when there is nothing else to send.
        uu.field("h245Tunnelling").setBoolean(true);
        uu.field("h245Control").append().setOctets(encodeH245(h245::buildRoundTripDelayRequest(3)));
    }
    if (name == "releaseComplete")
        b.field("reason").choose(h225::releaseCompleteReasonIndex("calledPartyNotRegistered"));
    chooseOpenChoices(info);
    return info;
}

q931::Message q931Message(const Body& body, const Value& info)
{
    q931::Message message;
    message.type = body.q931Type;
    message.callReference = 0x1a2b;
    message.fromDestination = body.fromCallee;
    if (body.q931Type == static_cast<std::uint8_t>(q931::MessageType::Setup)) {
        q931::BearerCapability bearer;
        bearer.transferRate = 0x13;
        bearer.layer1Protocol = 5;
        message.set(q931::ie::BearerCapability, q931::encodeBearerCapability(bearer));
        message.set(q931::ie::Display, *q931::encodeIa5Text("Kestrovia"));
        q931::PartyNumber calling;
        calling.digits = "1234";
        calling.presentation = 0;
        calling.screening = 3;
        message.set(q931::ie::CallingPartyNumber, *q931::encodePartyNumber(calling));
        q931::PartyNumber called;
        called.digits = "5678";
        message.set(q931::ie::CalledPartyNumber, *q931::encodePartyNumber(called));
    }
    if (body.q931Type == static_cast<std::uint8_t>(q931::MessageType::ReleaseComplete)) {
        q931::Cause cause;
        cause.value = 17;
        message.set(q931::ie::Cause, q931::encodeCause(cause));
    }
    if (body.q931Type == static_cast<std::uint8_t>(q931::MessageType::Progress))
        message.set(q931::ie::ProgressIndicator, q931::encodeProgressIndicator({}));
    if (body.q931Type == static_cast<std::uint8_t>(q931::MessageType::Notify))
        message.set(q931::ie::NotificationIndicator, q931::encodeNotificationIndicator({}));
    if (body.q931Type == static_cast<std::uint8_t>(q931::MessageType::Alerting))
        message.set(q931::ie::Signal, q931::encodeSignal(0x01));
    auto pdu = h225::encodeUserInformation(info);
    EXPECT_TRUE(pdu.ok()) << body.name << ": " << pdu.error().toString();
    if (pdu.ok()) {
        EXPECT_TRUE(q931::setUserUserPdu(message, *pdu).ok());
    }
    return message;
}

class TempFile
{
public:
    TempFile()
    {
        char name[] = "/tmp/kx-oracle-XXXXXX";
        const int fd = mkstemp(name);
        if (fd >= 0)
            close(fd);
        path_ = name;
    }
    ~TempFile() { std::filesystem::remove(path_); }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

} // namespace

TEST(H323Oracle, TsharkReadsEveryBodyAndMessageAsWritten)
{
    if (!testutil::haveTshark())
        KX_SKIP_WITHOUT_TOOL() << "tshark is not installed";

    const std::vector<Body> bodies{
        {"setup", 0x05, false},   {"callProceeding", 0x02, true},
        {"alerting", 0x01, true}, {"connect", 0x07, true},
        {"progress", 0x03, true}, {"information", 0x7b, false},
        {"facility", 0x62, true}, {"notify", 0x6e, true},
        {"status", 0x7d, false},  {"statusInquiry", 0x75, true},
        {"empty", 0x62, false},   {"releaseComplete", 0x5a, false},
    };
    const auto call = h225::newGuid();
    const auto conference = h225::newGuid();
    capture::PcapWriter writer;
    std::map<std::uint64_t, std::vector<decode::DecodedMessage>> ours;
    std::map<std::uint64_t, q931::Message> sentQ931;
    for (const auto& body : bodies) {
        const Value info = userInformation(body, call, conference);
        const q931::Message message = q931Message(body, info);
        auto bytes = q931::encodeMessage(message);
        ASSERT_TRUE(bytes.ok()) << bytes.error().toString();
        auto framed = q931::tpktFrame(*bytes);
        ASSERT_TRUE(framed.ok());
        const auto frame = body.fromCallee ? writer.addTcp(kCallee, kCaller, *framed)
                                           : writer.addTcp(kCaller, kCallee, *framed);
        ours[frame] = decode::decodeCallSignalling(*bytes);
        ASSERT_FALSE(ours[frame].empty());
        ASSERT_FALSE(ours[frame][0].error) << *ours[frame][0].error;
        EXPECT_EQ(h225::bodyName(ours[frame][0].value), body.name);
        sentQ931[frame] = message;
        if (std::string(body.name) == "connect") {
            // The separate H.245 channel to the address the Connect announced.
            for (const auto& h245Message : h245Messages()) {
                ASSERT_TRUE(h245Message.type());
                auto framedH245 = q931::tpktFrame(encodeH245(h245Message));
                ASSERT_TRUE(framedH245.ok());
                const auto h245Frame = writer.addTcp(kCallerH245, kCalleeH245, *framedH245);
                ours[h245Frame] = decode::decodeH245(std::span(*framedH245).subspan(4));
            }
        }
    }

    TempFile file;
    std::string error;
    ASSERT_TRUE(writer.save(file.path(), &error)) << error;

    // Nothing malformed, no warning or error from any dissector.
    const std::string marks = testutil::runCommand(
        "tshark -n -r " + file.path() +
        " -Y '_ws.malformed || _ws.expert.severity >= warning' -T fields -e frame.number "
        "-e _ws.col.Protocol -e _ws.col.Info -e _ws.expert.message");
    EXPECT_TRUE(marks.empty()) << "tshark marks:\n" << marks;

    // Every frame we wrote reads as we read it.
    const auto theirs =
        testutil::tsharkFields(file.path(), "h225 || h245", testutil::comparedFields());
    for (const auto& [frame, messages] : ours) {
        auto it = theirs.find(frame);
        ASSERT_NE(it, theirs.end()) << "tshark does not see frame " << frame << " as H.323";
        std::vector<const decode::DecodedMessage*> pointers;
        for (const auto& m : messages)
            pointers.push_back(&m);
        const auto mine = testutil::fieldsOf(pointers);
        for (const auto& field : testutil::comparedFields()) {
            auto value = mine.find(field);
            const std::vector<std::string> none;
            EXPECT_EQ(value == mine.end() ? none : value->second, it->second.at(field))
                << "frame " << frame << " " << field;
        }
    }
    // Our own set's H.264 entries as tshark reads them: High and Main at level 4, Baseline
    // at 3.1 for each packetisation, one entry each.
    bool perProfile = false;
    for (const auto& [frame, fields] : theirs) {
        const auto& profiles = fields.at("h245.booleanArray");
        const auto& levels = fields.at("h245.unsignedMin");
        perProfile = perProfile || (profiles.size() >= 4 && levels.size() >= 4 &&
                                    std::vector(profiles.begin(), profiles.begin() + 4) ==
                                        std::vector<std::string>{"8", "32", "64", "64"} &&
                                    std::vector(levels.begin(), levels.begin() + 4) ==
                                        std::vector<std::string>{"85", "85", "71", "71"});
    }
    EXPECT_TRUE(perProfile);
    // The Q.931 layer as tshark reads it.
    const auto q931Fields = testutil::tsharkFields(
        file.path(), "q931",
        {"q931.message_type", "q931.call_ref_flag", "q931.cause_value",
         "q931.calling_party_number.digits", "q931.called_party_number.digits"});
    for (const auto& [frame, message] : sentQ931) {
        auto it = q931Fields.find(frame);
        ASSERT_NE(it, q931Fields.end()) << "frame " << frame;
        const auto& f = it->second;
        char type[8];
        std::snprintf(type, sizeof type, "0x%02x", message.type);
        EXPECT_EQ(f.at("q931.message_type"), std::vector<std::string>{type}) << "frame " << frame;
        EXPECT_EQ(f.at("q931.call_ref_flag"),
                  std::vector<std::string>{message.fromDestination ? "1" : "0"})
            << "frame " << frame;
        if (const auto* cause = message.find(q931::ie::Cause)) {
            EXPECT_EQ(f.at("q931.cause_value"), std::vector<std::string>{std::to_string(
                                                    q931::decodeCause(cause->contents)->value)});
        }
        if (message.find(q931::ie::CallingPartyNumber)) {
            EXPECT_EQ(f.at("q931.calling_party_number.digits"), std::vector<std::string>{"1234"});
            EXPECT_EQ(f.at("q931.called_party_number.digits"), std::vector<std::string>{"5678"});
        }
    }
}
