#include "voip/q931/message.h"

#include <gtest/gtest.h>

#include "voip/q931/elements.h"

using namespace voip::q931;
using Bytes = std::vector<std::uint8_t>;

namespace {

// A Setup as H.323 terminals send it: 2-octet call reference 0x1234 from the originator,
// Bearer capability, Display, Called party number, Sending complete, User-user.
const Bytes kSetup{0x08, 0x02, 0x12, 0x34, 0x05,              // header
                   0x04, 0x03, 0x88, 0x93, 0xa5,              // bearer capability
                   0x28, 0x04, 'K',  'e',  's',  't',         // display
                   0x70, 0x04, 0x81, '1',  '2',  '3',         // called party number
                   0xa1,                                      // sending complete
                   0x7e, 0x00, 0x04, 0x05, 0x20, 0x80, 0x06}; // user-user, 16-bit length

} // namespace

TEST(Q931Message, DecodesHeaderAndElementsInOrder)
{
    auto message = decodeMessage(kSetup);
    ASSERT_TRUE(message.ok()) << message.error().toString();
    EXPECT_EQ(message->protocolDiscriminator, 8);
    EXPECT_EQ(message->callReferenceLength, 2);
    EXPECT_EQ(message->callReference, 0x1234);
    EXPECT_FALSE(message->fromDestination);
    EXPECT_EQ(message->messageType(), MessageType::Setup);
    ASSERT_EQ(message->elements.size(), 5u);
    EXPECT_EQ(message->elements[0].id, ie::BearerCapability);
    EXPECT_EQ(message->elements[0].contents, (Bytes{0x88, 0x93, 0xa5}));
    EXPECT_EQ(message->elements[1].id, ie::Display);
    EXPECT_EQ(message->elements[2].id, ie::CalledPartyNumber);
    EXPECT_EQ(message->elements[3].id, ie::SendingComplete);
    EXPECT_TRUE(message->elements[3].contents.empty());
    EXPECT_EQ(message->elements[4].id, ie::UserUser);

    auto pdu = userUserPdu(*message);
    ASSERT_TRUE(pdu.ok());
    EXPECT_EQ(Bytes(pdu->begin(), pdu->end()), (Bytes{0x20, 0x80, 0x06}));

    auto again = encodeMessage(*message);
    ASSERT_TRUE(again.ok());
    EXPECT_EQ(*again, kSetup);
}

TEST(Q931Message, CallReferenceFlagAndLengths)
{
    Message message;
    message.type = static_cast<std::uint8_t>(MessageType::Connect);
    message.callReference = 0x7fff;
    message.fromDestination = true;
    auto bytes = encodeMessage(message);
    ASSERT_TRUE(bytes.ok());
    EXPECT_EQ(*bytes, (Bytes{0x08, 0x02, 0xff, 0xff, 0x07}));
    auto back = decodeMessage(*bytes);
    ASSERT_TRUE(back.ok());
    EXPECT_EQ(*back, message);

    message.callReference = 0x8000;
    EXPECT_FALSE(encodeMessage(message).ok());

    message.callReferenceLength = 1;
    message.callReference = 0x45;
    bytes = encodeMessage(message);
    ASSERT_TRUE(bytes.ok());
    EXPECT_EQ(*bytes, (Bytes{0x08, 0x01, 0xc5, 0x07}));
    back = decodeMessage(*bytes);
    ASSERT_TRUE(back.ok());
    EXPECT_EQ(*back, message);

    // The dummy call reference of Q.931 4.3.
    message.callReferenceLength = 0;
    message.callReference = 0;
    message.fromDestination = false;
    bytes = encodeMessage(message);
    ASSERT_TRUE(bytes.ok());
    EXPECT_EQ(*bytes, (Bytes{0x08, 0x00, 0x07}));
    back = decodeMessage(*bytes);
    ASSERT_TRUE(back.ok());
    EXPECT_EQ(*back, message);
}

TEST(Q931Message, EveryMessageTypeRoundTrips)
{
    for (MessageType type :
         {MessageType::Setup, MessageType::CallProceeding, MessageType::Alerting,
          MessageType::Connect, MessageType::ReleaseComplete, MessageType::Facility,
          MessageType::Progress, MessageType::Information, MessageType::Status,
          MessageType::StatusEnquiry, MessageType::Notify}) {
        Message message;
        message.type = static_cast<std::uint8_t>(type);
        message.callReference = 77;
        message.fromDestination = type != MessageType::Setup;
        ASSERT_TRUE(setUserUserPdu(message, Bytes(300, 0x5a)).ok());
        Cause cause;
        cause.value = 16;
        message.set(ie::Cause, encodeCause(cause));
        auto bytes = encodeMessage(message);
        ASSERT_TRUE(bytes.ok());
        auto back = decodeMessage(*bytes);
        ASSERT_TRUE(back.ok()) << back.error().toString();
        EXPECT_EQ(*back, message);
        EXPECT_EQ(back->messageType(), type);
        EXPECT_EQ(messageTypeName(back->type).find("unknown"), std::string::npos);
    }
    EXPECT_EQ(messageTypeName(0x5a), "Release complete");
    EXPECT_EQ(messageTypeName(0x62), "Facility");
    EXPECT_EQ(messageTypeName(0x33), "unknown 0x33");
}

TEST(Q931Message, SetKeepsAscendingOrderAndReplaces)
{
    Message message;
    message.set(ie::UserUser, {5});
    message.set(ie::BearerCapability, {0x88, 0x90});
    message.set(ie::CalledPartyNumber, {0x81});
    message.set(ie::Display, {'a'});
    message.set(ie::Display, {'b'});
    std::vector<std::uint8_t> ids;
    for (const auto& element : message.elements)
        ids.push_back(element.id);
    EXPECT_EQ(ids, (Bytes{ie::BearerCapability, ie::Display, ie::CalledPartyNumber, ie::UserUser}));
    EXPECT_EQ(message.find(ie::Display)->contents, Bytes{'b'});
    EXPECT_EQ(message.remove(ie::Display), 1u);
    EXPECT_EQ(message.find(ie::Display), nullptr);
}

TEST(Q931Message, UnknownElementsAreKeptAndReencoded)
{
    const Bytes bytes{0x08, 0x02, 0x00, 0x01, 0x62, // Facility
                      0x96,                         // locking shift to codeset 6
                      0x7f, 0x02, 0xaa, 0xbb,       // unknown variable-length element
                      0xd1,                         // repeat indicator
                      0x7e, 0x00, 0x01, 0x05};
    auto message = decodeMessage(bytes);
    ASSERT_TRUE(message.ok());
    ASSERT_EQ(message->elements.size(), 4u);
    EXPECT_EQ(message->elements[1].id, 0x7f);
    EXPECT_EQ(message->elements[1].contents, (Bytes{0xaa, 0xbb}));
    EXPECT_EQ(elementName(0x7f), "unknown 0x7f");
    EXPECT_EQ(elementName(0x96), "Shift (locking)");
    auto again = encodeMessage(*message);
    ASSERT_TRUE(again.ok());
    EXPECT_EQ(*again, bytes);
}

TEST(Q931Message, EveryTruncationIsAnErrorNotACrash)
{
    for (std::size_t size = 0; size < kSetup.size(); ++size) {
        auto message = decodeMessage(std::span(kSetup).first(size));
        // Cutting exactly between two elements leaves a shorter but valid message.
        const bool boundary = size == 5 || size == 10 || size == 16 || size == 22 || size == 23;
        EXPECT_EQ(message.ok(), boundary) << "size " << size;
        if (!message.ok()) {
            EXPECT_LE(message.error().offset, size);
        }
    }
}

TEST(Q931Message, RejectsBadHeaders)
{
    EXPECT_FALSE(decodeMessage(Bytes{0x09, 0x02, 0, 1, 5}).ok());    // not Q.931
    EXPECT_FALSE(decodeMessage(Bytes{0x08, 0x03, 0, 0, 1, 5}).ok()); // 3-octet reference
    EXPECT_FALSE(decodeMessage(Bytes{0x08, 0x12, 0, 1, 5}).ok());    // spare bits set
    EXPECT_FALSE(decodeMessage(Bytes{0x08, 0x02, 0, 1, 0x85}).ok()); // type with bit 8
    auto error = decodeMessage(Bytes{0x08, 0x02, 0, 1, 5, 0x28, 0x09, 'a'});
    ASSERT_FALSE(error.ok());
    EXPECT_EQ(error.error().offset, 5u);
    EXPECT_NE(error.error().message.find("Display"), std::string::npos);
}

TEST(Q931Message, CountOfElementsIsBounded)
{
    Bytes bytes{0x08, 0x02, 0x00, 0x01, 0x05};
    bytes.insert(bytes.end(), kMaxElements, 0xa1);
    EXPECT_TRUE(decodeMessage(bytes).ok());
    bytes.push_back(0xa1);
    auto message = decodeMessage(bytes);
    ASSERT_FALSE(message.ok());
    EXPECT_EQ(message.error().offset, 5 + kMaxElements);
}

TEST(Q931Message, EncodeRefusesContentsThatDoNotFit)
{
    Message message;
    message.set(ie::Display, Bytes(256, 'x'));
    EXPECT_FALSE(encodeMessage(message).ok());
    message.set(ie::Display, Bytes(255, 'x'));
    EXPECT_TRUE(encodeMessage(message).ok());

    EXPECT_TRUE(setUserUserPdu(message, Bytes(65534, 1)).ok());
    auto bytes = encodeMessage(message);
    ASSERT_TRUE(bytes.ok());
    auto back = decodeMessage(*bytes);
    ASSERT_TRUE(back.ok());
    EXPECT_EQ(userUserPdu(*back)->size(), 65534u);
    EXPECT_FALSE(setUserUserPdu(message, Bytes(65535, 1)).ok());

    message.elements.push_back(InformationElement{ie::SendingComplete, {1}});
    EXPECT_FALSE(encodeMessage(message).ok());
}

TEST(Q931Message, DescribeNamesTypeAndElements)
{
    auto message = decodeMessage(kSetup);
    ASSERT_TRUE(message.ok());
    const std::string text = describeMessage(*message);
    EXPECT_NE(text.find("Q.931 Setup, call reference 4660 (from originator)"), std::string::npos);
    EXPECT_NE(text.find("Display: \"Kest\""), std::string::npos);
    EXPECT_NE(text.find("Called party number: \"123\", type 0, plan 1"), std::string::npos);
    EXPECT_NE(text.find("layer 1 protocol 5"), std::string::npos);
    EXPECT_NE(text.find("User-user: protocol discriminator 5, 3 octets"), std::string::npos);
}

TEST(Q931Message, DescribeEscapesControlCharacters)
{
    Message message;
    message.set(ie::Display, {'a', 0x00, 'b', '"', 0x1b});
    const std::string text = describeMessage(message);
    EXPECT_NE(text.find("Display: \"a\\x00b\\x22\\x1b\""), std::string::npos) << text;
}
