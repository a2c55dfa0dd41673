#include <gtest/gtest.h>

#include "roundtrip.h"
#include "voip/asn/codec.h"
#include "voip/h245/message.h"
#include "voip/h245/schema.h"

namespace voip::h245 {
namespace {

using test::roundTrip;

void expectKind(const asn::Value& message, MessageCategory category, std::string_view name)
{
    const auto kind = kindOf(message);
    ASSERT_TRUE(kind.has_value());
    EXPECT_EQ(kind->category, category);
    EXPECT_EQ(kind->name, name);
}

TEST(H245Messages, MasterSlaveDeterminationAndAnswers)
{
    const asn::Value msd = roundTrip(buildMasterSlaveDetermination({50, 0xABCDEF}));
    expectKind(msd, MessageCategory::Request, "masterSlaveDetermination");
    auto read = readMasterSlaveDetermination(msd);
    ASSERT_TRUE(read.ok());
    EXPECT_EQ(read->terminalType, 50);
    EXPECT_EQ(read->statusDeterminationNumber, 0xABCDEFu);
    // Only 24 bits travel.
    auto wide =
        readMasterSlaveDetermination(roundTrip(buildMasterSlaveDetermination({240, 0x1FFFFFF})));
    ASSERT_TRUE(wide.ok());
    EXPECT_EQ(wide->statusDeterminationNumber, 0xFFFFFFu);

    for (const MasterSlaveDecision decision :
         {MasterSlaveDecision::Master, MasterSlaveDecision::Slave}) {
        const asn::Value ack = roundTrip(buildMasterSlaveDeterminationAck(decision));
        auto readAck = readMasterSlaveDeterminationAck(ack);
        ASSERT_TRUE(readAck.ok());
        EXPECT_EQ(*readAck, decision);
    }
    const asn::Value reject = roundTrip(buildMasterSlaveDeterminationReject());
    expectKind(reject, MessageCategory::Response, "masterSlaveDeterminationReject");
    EXPECT_TRUE(messageBody(reject)["cause"].is("identicalNumbers"));
    expectKind(roundTrip(buildMasterSlaveDeterminationRelease()), MessageCategory::Indication,
               "masterSlaveDeterminationRelease");
    // A reader given another message says so.
    EXPECT_FALSE(readMasterSlaveDetermination(reject).ok());
    EXPECT_FALSE(readMasterSlaveDeterminationAck(msd).ok());
}

TEST(H245Messages, CapabilitySetAnswers)
{
    auto ack = readTerminalCapabilitySetAck(roundTrip(buildTerminalCapabilitySetAck(77)));
    ASSERT_TRUE(ack.ok());
    EXPECT_EQ(*ack, 77);

    for (const CapabilitySetReject& reject :
         {CapabilitySetReject{3, CapabilitySetRejectCause::Unspecified, std::nullopt},
          CapabilitySetReject{4, CapabilitySetRejectCause::UndefinedTableEntryUsed, std::nullopt},
          CapabilitySetReject{5, CapabilitySetRejectCause::DescriptorCapacityExceeded,
                              std::nullopt},
          CapabilitySetReject{6, CapabilitySetRejectCause::TableEntryCapacityExceeded, 12},
          CapabilitySetReject{7, CapabilitySetRejectCause::TableEntryCapacityExceeded,
                              std::nullopt}}) {
        auto read =
            readTerminalCapabilitySetReject(roundTrip(buildTerminalCapabilitySetReject(reject)));
        ASSERT_TRUE(read.ok());
        EXPECT_EQ(read->sequenceNumber, reject.sequenceNumber);
        EXPECT_EQ(read->cause, reject.cause);
        EXPECT_EQ(read->highestEntryNumberProcessed, reject.highestEntryNumberProcessed);
    }
    expectKind(roundTrip(buildTerminalCapabilitySetRelease()), MessageCategory::Indication,
               "terminalCapabilitySetRelease");
}

TEST(H245Messages, RoundTripDelayAndEndSession)
{
    const asn::Value request = roundTrip(buildRoundTripDelayRequest(9));
    const asn::Value response = roundTrip(buildRoundTripDelayResponse(255));
    expectKind(request, MessageCategory::Request, "roundTripDelayRequest");
    expectKind(response, MessageCategory::Response, "roundTripDelayResponse");
    EXPECT_EQ(*readRoundTripDelaySequence(request), 9);
    EXPECT_EQ(*readRoundTripDelaySequence(response), 255);

    const asn::Value end = roundTrip(buildEndSessionCommand());
    expectKind(end, MessageCategory::Command, "endSessionCommand");
    EXPECT_EQ(*readEndSessionCommand(end), "disconnect");
    EXPECT_FALSE(readRoundTripDelaySequence(end).ok());
}

TEST(H245Messages, MiscellaneousCommandAndIndication)
{
    const asn::Value update = roundTrip(buildVideoFastUpdatePicture(101));
    expectKind(update, MessageCategory::Command, "miscellaneousCommand");
    auto read = readMiscellaneousCommand(update);
    ASSERT_TRUE(read.ok());
    EXPECT_EQ(read->logicalChannel, 101);
    EXPECT_EQ(read->type, "videoFastUpdatePicture");

    for (const char* type : {"logicalChannelActive", "logicalChannelInactive",
                             "multipointConference", "videoIndicateReadyToActivate"}) {
        const asn::Value indication = roundTrip(buildMiscellaneousIndication(3, type));
        auto event = readMiscellaneousIndication(indication);
        ASSERT_TRUE(event.ok()) << type;
        EXPECT_EQ(event->logicalChannel, 3);
        EXPECT_EQ(event->type, type);
    }
    // Types with a value, and unknown names, are refused rather than sent half-built.
    EXPECT_FALSE(buildMiscellaneousIndication(3, "videoTemporalSpatialTradeOff").present());
    EXPECT_FALSE(buildMiscellaneousCommand(3, "noSuchCommand").present());
    EXPECT_FALSE(readMiscellaneousIndication(update).ok());
}

TEST(H245Messages, FlowControlCommand)
{
    for (const FlowControl& flow :
         {FlowControl{4, 3840}, FlowControl{4, std::nullopt}, FlowControl{0, 100}}) {
        const asn::Value message = roundTrip(buildFlowControlCommand(flow));
        auto read = readFlowControlCommand(message);
        ASSERT_TRUE(read.ok());
        EXPECT_EQ(read->logicalChannel, flow.logicalChannel);
        EXPECT_EQ(read->maximumBitRate, flow.maximumBitRate);
    }
    // Above the field's range the limit saturates instead of failing to encode.
    auto big = readFlowControlCommand(roundTrip(buildFlowControlCommand({1, 0xFFFFFFFF})));
    ASSERT_TRUE(big.ok());
    EXPECT_EQ(big->maximumBitRate, 16777215u);
}

TEST(H245Messages, UserInputIndication)
{
    auto text = readUserInputIndication(
        roundTrip(buildUserInputIndication({UserInputKind::Alphanumeric, "12#@.", std::nullopt})));
    ASSERT_TRUE(text.ok());
    EXPECT_EQ(text->kind, UserInputKind::Alphanumeric);
    EXPECT_EQ(text->text, "12#@.");

    for (const char* key : {"0", "9", "#", "*", "A", "D", "!"}) {
        auto signal = readUserInputIndication(
            roundTrip(buildUserInputIndication({UserInputKind::Signal, key, 160})));
        ASSERT_TRUE(signal.ok()) << key;
        EXPECT_EQ(signal->kind, UserInputKind::Signal);
        EXPECT_EQ(signal->text, key);
        EXPECT_EQ(signal->duration, 160);
    }
    auto noDuration = readUserInputIndication(
        roundTrip(buildUserInputIndication({UserInputKind::Signal, "5", std::nullopt})));
    ASSERT_TRUE(noDuration.ok());
    EXPECT_FALSE(noDuration->duration.has_value());

    auto update = readUserInputIndication(
        roundTrip(buildUserInputIndication({UserInputKind::SignalUpdate, "", 400})));
    ASSERT_TRUE(update.ok());
    EXPECT_EQ(update->kind, UserInputKind::SignalUpdate);
    EXPECT_EQ(update->duration, 400);

    auto extended = readUserInputIndication(roundTrip(
        buildUserInputIndication({UserInputKind::ExtendedAlphanumeric, "hello", std::nullopt})));
    ASSERT_TRUE(extended.ok());
    EXPECT_EQ(extended->kind, UserInputKind::ExtendedAlphanumeric);
    EXPECT_EQ(extended->text, "hello");

    // Characters outside the DTMF alphabet, several characters, or an update without a
    // duration are refused.
    EXPECT_FALSE(buildUserInputIndication({UserInputKind::Signal, "x", 100}).present());
    EXPECT_FALSE(buildUserInputIndication({UserInputKind::Signal, "12", 100}).present());
    EXPECT_FALSE(
        buildUserInputIndication({UserInputKind::SignalUpdate, "", std::nullopt}).present());
}

TEST(H245Messages, FunctionNotUnderstoodEchoesTheMessage)
{
    const asn::Value original = buildRoundTripDelayRequest(42);
    const asn::Value answer = roundTrip(buildFunctionNotUnderstood(original));
    expectKind(answer, MessageCategory::Indication, "functionNotUnderstood");
    auto echoed = readFunctionNotUnderstood(answer);
    ASSERT_TRUE(echoed.ok());
    EXPECT_TRUE(*echoed == original);
    EXPECT_EQ(*readRoundTripDelaySequence(*echoed), 42);
    // An indication is never answered.
    EXPECT_FALSE(buildFunctionNotUnderstood(buildMasterSlaveDeterminationRelease()).present());
}

TEST(H245Messages, BadInputIsAnErrorNotACrash)
{
    EXPECT_FALSE(decodeMessage({}).ok());
    const auto bytes = *encodeMessage(buildVideoFastUpdatePicture(7));
    for (std::size_t n = 0; n < bytes.size(); ++n) {
        auto truncated = decodeMessage(std::span(bytes.data(), n));
        EXPECT_FALSE(truncated.ok()) << n;
    }
    // Every first octet decodes or fails cleanly.
    for (int b = 0; b < 256; ++b) {
        const std::uint8_t one[] = {static_cast<std::uint8_t>(b), 0, 0, 0};
        auto decoded = decodeMessage(one);
        // Whatever decodes must encode again.
        if (decoded.ok()) {
            EXPECT_TRUE(encodeMessage(*decoded).ok()) << b;
        }
    }
    EXPECT_FALSE(encodeMessage(asn::Value()).ok());
    EXPECT_FALSE(kindOf(asn::Value()).has_value());
}

} // namespace
} // namespace voip::h245
