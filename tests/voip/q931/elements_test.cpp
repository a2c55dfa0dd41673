#include "voip/q931/elements.h"

#include <gtest/gtest.h>

#include "voip/q931/cause.h"

using namespace voip::q931;
using Bytes = std::vector<std::uint8_t>;

TEST(Q931Elements, BearerCapabilityReadsTheUsualH323Forms)
{
    // Unrestricted digital, circuit mode, 384 kbit/s, H.221 and H.242.
    auto video = decodeBearerCapability(Bytes{0x88, 0x93, 0xa5});
    ASSERT_TRUE(video.ok());
    EXPECT_EQ(video->codingStandard, 0);
    EXPECT_EQ(video->transferCapability, BearerCapability::UnrestrictedDigital);
    EXPECT_EQ(video->transferMode, 0);
    EXPECT_EQ(video->transferRate, 0x13);
    EXPECT_FALSE(video->rateMultiplier);
    EXPECT_EQ(video->layer1Protocol, 5);
    EXPECT_EQ(encodeBearerCapability(*video), (Bytes{0x88, 0x93, 0xa5}));

    // Speech, 64 kbit/s, G.711 A-law.
    auto speech = decodeBearerCapability(Bytes{0x80, 0x90, 0xa3});
    ASSERT_TRUE(speech.ok());
    EXPECT_EQ(speech->transferCapability, BearerCapability::Speech);
    EXPECT_EQ(speech->layer1Protocol, 3);

    // Multirate with a rate multiplier of 6, layer-2 octet after layer 1.
    auto multi = decodeBearerCapability(Bytes{0x88, 0x98, 0x86, 0xa5, 0xc2});
    ASSERT_TRUE(multi.ok());
    EXPECT_EQ(multi->transferRate, BearerCapability::Multirate);
    EXPECT_EQ(multi->rateMultiplier, 6);
    EXPECT_EQ(multi->layer1Protocol, 5);

    BearerCapability built;
    built.transferRate = BearerCapability::Multirate;
    built.rateMultiplier = 30;
    built.layer1Protocol = 5;
    auto back = decodeBearerCapability(encodeBearerCapability(built));
    ASSERT_TRUE(back.ok());
    EXPECT_EQ(*back, built);

    EXPECT_FALSE(decodeBearerCapability(Bytes{0x88}).ok());
    EXPECT_FALSE(decodeBearerCapability(Bytes{0x08, 0x00}).ok());       // octet 3 never ends
    EXPECT_FALSE(decodeBearerCapability(Bytes{0x88, 0x98}).ok());       // multirate, no multiplier
    EXPECT_FALSE(decodeBearerCapability(Bytes{0x88, 0x90, 0x25}).ok()); // open layer group
}

TEST(Q931Elements, CauseWithAndWithoutRecommendation)
{
    auto plain = decodeCause(Bytes{0x80, 0x90});
    ASSERT_TRUE(plain.ok());
    EXPECT_EQ(plain->value, 16);
    EXPECT_EQ(plain->location, 0);
    EXPECT_FALSE(plain->recommendation);
    EXPECT_EQ(encodeCause(*plain), (Bytes{0x80, 0x90}));

    auto network = decodeCause(Bytes{0x02, 0x80, 0xa9, 0x01, 0x02});
    ASSERT_TRUE(network.ok());
    EXPECT_EQ(network->location, 2);
    EXPECT_EQ(network->recommendation, 0);
    EXPECT_EQ(network->value, 41);
    EXPECT_EQ(network->diagnostics, (Bytes{0x01, 0x02}));
    EXPECT_EQ(encodeCause(*network), (Bytes{0x02, 0x80, 0xa9, 0x01, 0x02}));

    EXPECT_FALSE(decodeCause(Bytes{0x80}).ok());
    EXPECT_FALSE(decodeCause(Bytes{0x02, 0x00}).ok()); // octet 3a never ends
}

TEST(Q931Elements, CauseTexts)
{
    EXPECT_EQ(causeText(16), "normal call clearing");
    EXPECT_EQ(causeText(17), "user busy");
    EXPECT_EQ(causeText(18), "no user responding");
    EXPECT_EQ(causeText(19), "no answer from user (user alerted)");
    EXPECT_EQ(causeText(21), "call rejected");
    EXPECT_EQ(causeText(27), "destination out of order");
    EXPECT_EQ(causeText(28), "invalid number format (address incomplete)");
    EXPECT_EQ(causeText(34), "no circuit/channel available");
    EXPECT_EQ(causeText(38), "network out of order");
    EXPECT_EQ(causeText(41), "temporary failure");
    EXPECT_EQ(causeText(42), "switching equipment congestion");
    EXPECT_EQ(causeText(47), "resource unavailable, unspecified");
    EXPECT_EQ(causeText(88), "incompatible destination");
    EXPECT_EQ(causeText(102), "recovery on timer expiry");
    EXPECT_EQ(causeText(127), "interworking, unspecified");
    EXPECT_EQ(causeText(36), "unspecified resource unavailable (class 2)");
    EXPECT_EQ(causeText(0), "unspecified normal event (class 0)");
    for (int value = 0; value < 128; ++value) {
        const std::string text = causeText(static_cast<std::uint8_t>(value));
        auto back = causeFromText(text);
        if (text.rfind("unspecified ", 0) == 0 && text.find("class") != std::string::npos)
            EXPECT_FALSE(back) << text;
        else
            EXPECT_EQ(back, value) << text;
    }
    EXPECT_EQ(causeFromText("User Busy"), 17);
    EXPECT_FALSE(causeFromText("no such cause"));
}

TEST(Q931Elements, ProgressNotificationSignal)
{
    auto progress = decodeProgressIndicator(Bytes{0x81, 0x88});
    ASSERT_TRUE(progress.ok());
    EXPECT_EQ(progress->location, 1);
    EXPECT_EQ(progress->description, 8);
    EXPECT_EQ(encodeProgressIndicator(*progress), (Bytes{0x81, 0x88}));
    EXPECT_FALSE(decodeProgressIndicator(Bytes{0x81}).ok());

    auto notification = decodeNotificationIndicator(Bytes{0x81});
    ASSERT_TRUE(notification.ok());
    EXPECT_EQ(notification->description, 1);
    EXPECT_EQ(encodeNotificationIndicator(*notification), Bytes{0x81});
    EXPECT_FALSE(decodeNotificationIndicator(Bytes{}).ok());

    auto signal = decodeSignal(encodeSignal(0x01));
    ASSERT_TRUE(signal.ok());
    EXPECT_EQ(*signal, 0x01);
    EXPECT_EQ(signalName(*signal), "ring back tone on");
    EXPECT_EQ(signalName(0x43), "alerting on - pattern 3");
    EXPECT_FALSE(decodeSignal(Bytes{}).ok());
    EXPECT_FALSE(decodeSignal(Bytes{1, 2}).ok());
}

TEST(Q931Elements, PartyNumbers)
{
    // Calling party: national, E.164, presentation allowed, network provided.
    auto calling = decodePartyNumber(Bytes{0x21, 0x83, '5', '5', '5', '1', '2'});
    ASSERT_TRUE(calling.ok());
    EXPECT_EQ(calling->typeOfNumber, 2);
    EXPECT_EQ(calling->numberingPlan, 1);
    EXPECT_EQ(calling->presentation, 0);
    EXPECT_EQ(calling->screening, 3);
    EXPECT_EQ(calling->digits, "55512");
    auto bytes = encodePartyNumber(*calling);
    ASSERT_TRUE(bytes.ok());
    EXPECT_EQ(*bytes, (Bytes{0x21, 0x83, '5', '5', '5', '1', '2'}));

    auto called = decodePartyNumber(Bytes{0x81, '1', '0', '0'});
    ASSERT_TRUE(called.ok());
    EXPECT_EQ(called->typeOfNumber, 0);
    EXPECT_FALSE(called->presentation);
    EXPECT_EQ(called->digits, "100");

    EXPECT_FALSE(decodePartyNumber(Bytes{}).ok());
    EXPECT_FALSE(decodePartyNumber(Bytes{0x21}).ok());
    EXPECT_FALSE(decodePartyNumber(Bytes{0x81, '1', 0xb1}).ok());
    PartyNumber bad;
    bad.digits = "12\xc3\xa9";
    EXPECT_FALSE(encodePartyNumber(bad).ok());
    bad.digits = std::string(300, '1');
    EXPECT_FALSE(encodePartyNumber(bad).ok());
}

TEST(Q931Elements, DisplayTextAndUserUser)
{
    auto text = decodeIa5Text(Bytes{'H', 'i'});
    ASSERT_TRUE(text.ok());
    EXPECT_EQ(*text, "Hi");
    EXPECT_FALSE(decodeIa5Text(Bytes{'H', 0xe9}).ok());
    EXPECT_FALSE(encodeIa5Text(std::string(256, 'a')).ok());

    Message message;
    EXPECT_FALSE(userUserPdu(message).ok());
    message.set(ie::UserUser, {});
    EXPECT_FALSE(userUserPdu(message).ok());
    message.set(ie::UserUser, {0x04, 0x01});
    EXPECT_FALSE(userUserPdu(message).ok());
    ASSERT_TRUE(setUserUserPdu(message, Bytes{0x01, 0x02}).ok());
    EXPECT_EQ(message.find(ie::UserUser)->contents, (Bytes{0x05, 0x01, 0x02}));
}
