#include <gtest/gtest.h>

#include "roundtrip.h"
#include "voip/h245/h239.h"
#include "voip/h245/message.h"

namespace voip::h245 {
namespace {

using test::roundTrip;

TEST(H245H239, EveryMessageTravelsInItsCategory)
{
    struct Case
    {
        H239Message message;
        MessageCategory category;
        std::string_view alternative;
    };
    const Case cases[] = {
        {{H239MessageType::FlowControlReleaseRequest, 3840, 3, {}, {}, {}},
         MessageCategory::Request,
         "genericRequest"},
        {{H239MessageType::FlowControlReleaseResponse, {}, 3, {}, {}, true},
         MessageCategory::Response,
         "genericResponse"},
        {{H239MessageType::PresentationTokenRequest, {}, 3, 17, 256, {}},
         MessageCategory::Request,
         "genericRequest"},
        {{H239MessageType::PresentationTokenResponse, {}, 3, {}, 256, false},
         MessageCategory::Response,
         "genericResponse"},
        {{H239MessageType::PresentationTokenRelease, {}, 3, {}, 256, {}},
         MessageCategory::Command,
         "genericCommand"},
        {{H239MessageType::PresentationTokenIndicateOwner, {}, 3, {}, 256, {}},
         MessageCategory::Indication,
         "genericIndication"},
    };
    for (const Case& c : cases) {
        const asn::Value message = roundTrip(buildH239Message(c.message));
        const auto kind = kindOf(message);
        ASSERT_TRUE(kind.has_value());
        EXPECT_EQ(kind->category, c.category);
        EXPECT_EQ(kind->name, c.alternative);
        const asn::Value& body = messageBody(message);
        EXPECT_EQ(body["messageIdentifier"]["standard"].oidText(), "0.0.8.239.2");
        EXPECT_EQ(body["subMessageIdentifier"].integer(), static_cast<int>(c.message.type));
        EXPECT_TRUE(isH239Message(message));
        auto read = readH239Message(message);
        ASSERT_TRUE(read.ok());
        EXPECT_TRUE(*read == c.message) << static_cast<int>(c.message.type);
    }
}

TEST(H245H239, ParameterNumbers)
{
    const asn::Value message =
        buildH239Message({H239MessageType::PresentationTokenResponse, {}, 5, {}, 300, true});
    const asn::Value& content = messageBody(message)["messageContent"];
    std::vector<std::int64_t> ids;
    for (const asn::Value& parameter : content.elements())
        ids.push_back(parameter["parameterIdentifier"]["standard"].integer());
    EXPECT_EQ(ids, (std::vector<std::int64_t>{126, 42, 44}));
    EXPECT_TRUE(content.at(0)["parameterValue"].is("logical"));
}

TEST(H245H239, OtherGenericMessagesAreNotH239)
{
    asn::Value message =
        buildH239Message({H239MessageType::PresentationTokenRelease, {}, 3, {}, 1, {}});
    messageBody(message).field("messageIdentifier").choose("standard").setOid({0, 0, 8, 239, 3});
    EXPECT_FALSE(isH239Message(message));
    EXPECT_FALSE(readH239Message(message).ok());
    EXPECT_FALSE(isH239Message(buildEndSessionCommand()));

    asn::Value unknown =
        buildH239Message({H239MessageType::PresentationTokenRelease, {}, 3, {}, 1, {}});
    messageBody(unknown).field("subMessageIdentifier").setInteger(99);
    EXPECT_FALSE(readH239Message(roundTrip(unknown)).ok());
}

TEST(H245H239, OversizedParametersReadAsAbsent)
{
    // A channel number beyond 16 bits must not wrap around onto another channel.
    asn::Value message =
        buildH239Message({H239MessageType::PresentationTokenRelease, {}, 3, {}, 1, {}});
    asn::Value& content = messageBody(message).field("messageContent");
    content.at(0).field("parameterValue").choose("unsigned32Min").setInteger(65536 + 3);
    auto read = readH239Message(roundTrip(message));
    ASSERT_TRUE(read.ok());
    EXPECT_FALSE(read->channelId.has_value());
    EXPECT_EQ(read->terminalLabel, 1);
}

} // namespace
} // namespace voip::h245
