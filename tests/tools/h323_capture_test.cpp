// Every H.225.0 and H.245 message of the reference captures decodes, re-encodes to the
// same octets, and reads as tshark reads it.  Skips when the captures or tshark are absent.

#include <gtest/gtest.h>

#include <set>

#include "field_walk.h"
#include "tools/common/capture.h"
#include "tools/kxdecode/decoder.h"
#include "tshark_util.h"
#include "voip/asn/codec.h"
#include "voip/h225/traversal.h"
#include "voip/h245/channels.h"
#include "voip/h245/schema.h"
#include "voip/q931/message.h"
#include "tests/support/toolskip.h"

using namespace kx;
using kx::decode::DecodedMessage;

namespace {

// Frames that tshark itself marks malformed (an OpenH323 gatekeeper's RAS and a call
// signalling frame); the decoder must report an error there, not crash or accept silently.
const std::set<std::pair<std::string, std::uint64_t>> kKnownMalformed{
    {"ndpi-h323.pcap", 59},
    {"ndpi-h323.pcap", 65},
};

// Captures whose H.245 travels in H.223 (H.324): read by tshark, see below.
bool isH223(const std::string& name)
{
    return name.find("h223") != std::string::npos;
}

std::vector<std::filesystem::path> captures()
{
    std::vector<std::filesystem::path> out;
    const auto dir = testutil::referenceDir();
    if (dir.empty())
        return out;
    for (const auto& entry : std::filesystem::directory_iterator(dir / "pcaps")) {
        const auto ext = entry.path().extension();
        if (ext == ".pcap" || ext == ".pcapng")
            out.push_back(entry.path());
    }
    std::sort(out.begin(), out.end());
    return out;
}

std::string hexOf(std::span<const std::uint8_t> bytes)
{
    std::string text;
    char part[4];
    for (auto b : bytes) {
        std::snprintf(part, sizeof part, "%02x", b);
        text += part;
    }
    return text;
}

std::string joined(const std::vector<std::string>& values)
{
    std::string text;
    for (const auto& v : values)
        text += (text.empty() ? "" : ", ") + v;
    return "[" + text + "]";
}

} // namespace

class RealCaptures : public ::testing::TestWithParam<std::filesystem::path>
{};

TEST_P(RealCaptures, DecodeReencodeAndReadAsTsharkDoes)
{
    const auto path = GetParam();
    const std::string name = path.filename().string();
    const auto capture = capture::readCaptureFile(path.string());
    ASSERT_FALSE(capture.error) << *capture.error;
    const auto report = decode::decodeCapture(capture, {});
    for (const auto& problem : report.problems)
        ADD_FAILURE() << name << ": " << problem;

    std::map<std::uint64_t, std::vector<const DecodedMessage*>> byFrame;
    std::size_t decoded = 0;
    for (const auto& message : report.messages) {
        byFrame[message.frame].push_back(&message);
        if (kKnownMalformed.contains(std::pair<std::string, std::uint64_t>(name, message.frame)))
            continue;
        if (message.q931) {
            auto q931 = voip::q931::encodeMessage(*message.q931);
            ASSERT_TRUE(q931.ok()) << q931.error().toString();
            EXPECT_EQ(hexOf(*q931), hexOf(message.q931Octets))
                << name << " frame " << message.frame << ": Q.931 re-encoding differs";
        }
        if (message.error) {
            ADD_FAILURE() << name << ": " << decode::errorLine(message);
            continue;
        }
        ++decoded;
        auto again = voip::asn::encode(message.value);
        ASSERT_TRUE(again.ok()) << name << " frame " << message.frame << ": "
                                << again.error().toString();
        EXPECT_EQ(hexOf(*again), hexOf(std::span(message.pdu).first(message.usedOctets)))
            << name << " frame " << message.frame << " " << message.where
            << ": re-encoding differs";
    }
    for (const auto& [capture, frame] : kKnownMalformed) {
        if (capture != name)
            continue;
        bool failed = false;
        for (const auto* message : byFrame[frame])
            failed = failed || message->error.has_value();
        EXPECT_TRUE(failed) << name << " frame " << frame << " should not decode";
    }
    EXPECT_GT(report.messages.size(), 0u) << name;

    if (!testutil::haveTshark())
        KX_SKIP_WITHOUT_TOOL() << "tshark is not installed: decoded " << decoded << " messages";
    const auto fields = testutil::comparedFields();
    const auto theirs = testutil::tsharkFields(path, "h225 || h245", fields);
    ASSERT_FALSE(theirs.empty()) << name << ": tshark found nothing";
    for (const auto& [frame, tsharkValues] : theirs) {
        if (kKnownMalformed.contains(std::pair<std::string, std::uint64_t>(name, frame)))
            continue;
        auto it = byFrame.find(frame);
        if (it == byFrame.end()) {
            ADD_FAILURE() << name << " frame " << frame << ": tshark sees H.225.0/H.245, we do not";
            continue;
        }
        const auto ours = testutil::fieldsOf(it->second);
        for (const auto& field : fields) {
            auto mine = ours.find(field);
            const std::vector<std::string> empty;
            const auto& got = mine == ours.end() ? empty : mine->second;
            auto expected = tsharkValues.at(field);
            // tshark adds the call identifier of the matching request to a RAS answer.
            const bool rasAnswer = it->second.front()->protocol == decode::Protocol::Ras &&
                                   !it->second.front()->error &&
                                   (it->second.front()->value.choiceName().ends_with("Confirm") ||
                                    it->second.front()->value.choiceName().ends_with("Reject"));
            if (field == "h225.guid" && rasAnswer && expected.size() == got.size() + 1)
                expected.pop_back();
            EXPECT_EQ(got, expected) << name << " frame " << frame << " " << field << ": ours "
                                     << joined(got) << ", tshark " << joined(expected);
        }
    }
    for (const auto& [frame, messages] : byFrame) {
        if (!theirs.contains(frame))
            ADD_FAILURE() << name << " frame " << frame << ": we decode "
                          << decode::protocolName(messages.front()->protocol)
                          << ", tshark does not see H.225.0/H.245";
    }
}

// The captures whose signalling runs over TCP and UDP (the H.223 ones: further down).
std::vector<std::filesystem::path> ipCaptures()
{
    auto all = captures();
    std::erase_if(all, [](const auto& path) { return isH223(path.filename().string()); });
    return all;
}

INSTANTIATE_TEST_SUITE_P(Reference, RealCaptures, ::testing::ValuesIn(ipCaptures()),
                         [](const auto& info) {
                             std::string name = info.param.stem().string();
                             for (char& c : name)
                                 if (!std::isalnum(static_cast<unsigned char>(c)))
                                     c = '_';
                             return name;
                         });
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(RealCaptures);

// H.245 carried in H.223 (the H.324 captures): tshark demultiplexes it; every PDU it
// finds, taken from its raw bytes, must decode and re-encode byte-exactly here.
TEST(H223CarriedH245, EveryPduDecodesAndReencodes)
{
    const auto all = captures();
    if (all.empty())
        GTEST_SKIP() << "reference captures are absent";
    if (!testutil::haveTshark())
        KX_SKIP_WITHOUT_TOOL() << "tshark is not installed";
    const std::string key = "\"h245_raw\": [";
    std::size_t count = 0;
    for (const auto& path : all) {
        if (!isH223(path.filename().string()))
            continue;
        const std::string json = testutil::runCommand(
            "tshark -n -r " + testutil::shellQuote(path.string()) + " -Y h245 -T json -x");
        for (std::size_t at = json.find(key); at != std::string::npos;
             at = json.find(key, at + 1)) {
            const std::size_t open = json.find('"', at + key.size());
            const std::size_t close = json.find('"', open + 1);
            ASSERT_NE(close, std::string::npos);
            const std::string hex = json.substr(open + 1, close - open - 1);
            std::vector<std::uint8_t> bytes;
            for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
                bytes.push_back(
                    static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
            // One buffer may hold several messages back to back.
            std::string again;
            for (const auto& message : decode::decodeH245(bytes)) {
                ++count;
                if (message.error) {
                    ADD_FAILURE() << path.filename() << ": " << *message.error << " in " << hex;
                    continue;
                }
                auto encoded = voip::asn::encode(message.value);
                ASSERT_TRUE(encoded.ok()) << encoded.error().toString();
                EXPECT_EQ(hexOf(*encoded), hexOf(message.pdu)) << path.filename();
                again += hexOf(*encoded);
            }
            EXPECT_EQ(again, hex) << path.filename();
        }
    }
    EXPECT_GT(count, 50u);
}

// The traversal captures (an endpoint behind a NAT and a traversal gatekeeper): every
// message decodes, and the announcements, feature sets and TraversalParameters read as
// their notes give them.
TEST(TraversalCapture, AnnouncementsFeaturesAndTraversalParametersReadAsDocumented)
{
    const auto dir = testutil::referenceDir();
    const auto path = dir / "encryption-traversal" / "traversal-inside.pcapng";
    if (dir.empty() || !std::filesystem::exists(path))
        GTEST_SKIP() << "reference captures are absent";
    const auto capture = capture::readCaptureFile(path.string());
    ASSERT_FALSE(capture.error) << *capture.error;
    const auto report = decode::decodeCapture(capture, {});
    std::vector<voip::h225::IncomingCallIndication> announced;
    std::vector<voip::h245::TraversalParameters> offered, answered;
    std::size_t withFeature18 = 0, identifierOnly = 0;
    for (const auto& message : report.messages) {
        EXPECT_FALSE(message.error) << "frame " << message.frame << ": " << *message.error;
        if (message.error)
            continue;
        if (message.protocol == decode::Protocol::Ras) {
            if (message.value.is("serviceControlIndication"))
                announced.push_back(
                    **voip::h225::readIncomingCallIndication(message.value.chosen()));
            withFeature18 += hexOf(message.pdu).find("1001000012") != std::string::npos;
            continue;
        }
        if (message.protocol != decode::Protocol::H245)
            continue;
        if (auto olc = voip::h245::readOpenLogicalChannel(message.value); olc && olc->traversal) {
            if (olc->traversal->parameters)
                offered.push_back(*olc->traversal->parameters);
            else
                ++identifierOnly;
        }
        if (auto ack = voip::h245::readOpenLogicalChannelAck(message.value);
            ack && ack->traversal && ack->traversal->parameters)
            answered.push_back(*ack->traversal->parameters);
    }
    ASSERT_EQ(announced.size(), 2u);
    EXPECT_EQ(announced[0].callSignallingAddress.toString(), "10.2.0.2:1720");
    EXPECT_EQ(hexOf(announced[0].callId), "ea543ced0af3f1119209ba1c0cfcde64");
    EXPECT_GE(withFeature18, 10u) << "GRQ, GCF, RRQ, RCF and every keep-alive and its answer";
    ASSERT_FALSE(offered.empty());
    EXPECT_EQ(offered.size(), answered.size());
    EXPECT_EQ(offered.size(), identifierOnly) << "the endpoint's own channels name it only";
    voip::h245::MediaAddress relay;
    relay.ip = {10, 2, 0, 2};
    relay.port = 52000;
    EXPECT_EQ(offered[0].keepAliveChannel, relay);
    for (const auto& parameters : offered)
        EXPECT_EQ(parameters.keepAliveInterval, 19u);
    for (const auto& parameters : answered)
        EXPECT_EQ(parameters, voip::h245::TraversalParameters{.keepAlivePayloadType = 127});
}
