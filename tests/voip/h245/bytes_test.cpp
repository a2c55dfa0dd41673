// Encodings checked against an independent decoder (tshark's H.245 dissector read each
// of these PDUs without a malformed mark and with the field values asserted below).
#include <gtest/gtest.h>

#include "roundtrip.h"
#include "voip/h245/channels.h"
#include "voip/h245/h239.h"
#include "voip/h245/message.h"

namespace voip::h245 {
namespace {

using test::hex;
using test::unhex;

std::string encodedHex(const asn::Value& message)
{
    auto bytes = encodeMessage(message);
    EXPECT_TRUE(bytes.ok());
    return bytes.ok() ? hex(*bytes) : std::string();
}

asn::Value decoded(std::string_view text)
{
    auto message = decodeMessage(unhex(text));
    EXPECT_TRUE(message.ok()) << text;
    return message.ok() ? std::move(message).value() : asn::Value();
}

TEST(H245Bytes, SimpleMessages)
{
    // request(0) masterSlaveDetermination(1), terminalType 50, 24-bit number in 3 octets.
    EXPECT_EQ(encodedHex(buildMasterSlaveDetermination({50, 0x123456})), "01003280123456");
    auto msd = readMasterSlaveDetermination(decoded("01003280123456"));
    ASSERT_TRUE(msd.ok());
    EXPECT_EQ(msd->statusDeterminationNumber, 0x123456u);

    EXPECT_EQ(encodedHex(buildMasterSlaveDeterminationAck(MasterSlaveDecision::Slave)), "20a0");
    EXPECT_EQ(*readMasterSlaveDeterminationAck(decoded("20a0")), MasterSlaveDecision::Slave);
    EXPECT_EQ(encodedHex(buildTerminalCapabilitySetAck(1)), "218001");
    EXPECT_EQ(encodedHex(buildEndSessionCommand()), "4a40");
    EXPECT_EQ(encodedHex(buildRoundTripDelayRequest(3)), "090003");
    EXPECT_EQ(encodedHex(buildFunctionNotUnderstood(buildRoundTripDelayRequest(3))), "611203");

    EXPECT_EQ(encodedHex(buildVideoFastUpdatePicture(101)), "4c006428");
    auto update = readMiscellaneousCommand(decoded("4c006428"));
    ASSERT_TRUE(update.ok());
    EXPECT_EQ(update->logicalChannel, 101);
    EXPECT_EQ(update->type, "videoFastUpdatePicture");

    EXPECT_EQ(encodedHex(buildMiscellaneousIndication(1, "logicalChannelInactive")), "6900000008");
    EXPECT_EQ(readMiscellaneousIndication(decoded("6900000008"))->type, "logicalChannelInactive");
    EXPECT_EQ(encodedHex(buildFlowControlCommand({101, 3840})), "48000064200f00");
    EXPECT_EQ(encodedHex(buildCloseLogicalChannel(101)), "0480006400800100");
}

TEST(H245Bytes, UserInput)
{
    EXPECT_EQ(encodedHex(buildUserInputIndication({UserInputKind::Alphanumeric, "123#", {}})),
              "6d400431323323");
    EXPECT_EQ(readUserInputIndication(decoded("6d400431323323"))->text, "123#");
    // signalType travels as one 8-bit character after the extension bit and bitmap.
    EXPECT_EQ(encodedHex(buildUserInputIndication({UserInputKind::Signal, "5", 160})),
              "6d810446a0009f");
    auto signal = readUserInputIndication(decoded("6d810446a0009f"));
    ASSERT_TRUE(signal.ok());
    EXPECT_EQ(signal->text, "5");
    EXPECT_EQ(signal->duration, 160);
    EXPECT_EQ(encodedHex(buildUserInputIndication({UserInputKind::SignalUpdate, "", 400})),
              "6d820300018f");
}

TEST(H245Bytes, OpenLogicalChannelAckWithIpv6)
{
    LogicalChannelAck ack;
    ack.number = 101;
    ack.sessionId = 2;
    ack.mediaChannel = MediaAddress{true, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, 6000};
    ack.mediaControlChannel = MediaAddress{false, {127, 0, 0, 1}, 5003};
    const std::string_view expected =
        "22c000640680205c0210000000000000000000000000000000011770007f000001138b03000100";
    EXPECT_EQ(encodedHex(buildOpenLogicalChannelAck(ack)), expected);
    auto read = readOpenLogicalChannelAck(decoded(expected));
    ASSERT_TRUE(read.ok());
    EXPECT_TRUE(*read == ack);
}

TEST(H245Bytes, H239TokenMessages)
{
    const std::string_view response = "30a01360050008816f02080307e002a2000302c20100";
    EXPECT_EQ(encodedHex(buildH239Message(
                  {H239MessageType::PresentationTokenResponse, {}, 3, {}, 256, true})),
              response);
    auto read = readH239Message(decoded(response));
    ASSERT_TRUE(read.ok());
    EXPECT_EQ(read->type, H239MessageType::PresentationTokenResponse);
    EXPECT_EQ(read->acknowledged, true);
    EXPECT_EQ(read->channelId, 3);
    EXPECT_EQ(read->terminalLabel, 256);

    EXPECT_EQ(encodedHex(buildH239Message(
                  {H239MessageType::PresentationTokenIndicateOwner, {}, 3, {}, 256, {}})),
              "71201160050008816f020c0202a2000302c20100");
    EXPECT_EQ(encodedHex(buildH239Message(
                  {H239MessageType::PresentationTokenRequest, {}, 3, 17, 256, {}})),
              "10801560050008816f02060302a2000302b2001102c20100");
}

} // namespace
} // namespace voip::h245
