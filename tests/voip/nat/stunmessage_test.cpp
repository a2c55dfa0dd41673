#include "voip/nat/stunmessage.h"

#include <gtest/gtest.h>

using namespace voip::nat;

namespace {

const StunTransactionId Id{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};

std::vector<uint8_t> header(uint16_t type, std::size_t length, bool cookie = true)
{
    std::vector<uint8_t> m{static_cast<uint8_t>(type >> 8), static_cast<uint8_t>(type),
                           static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length)};
    if (cookie)
        m.insert(m.end(), {0x21, 0x12, 0xa4, 0x42});
    else
        m.insert(m.end(), {0xde, 0xad, 0xbe, 0xef});
    m.insert(m.end(), Id.begin(), Id.end());
    return m;
}

void append(std::vector<uint8_t>& m, std::initializer_list<uint8_t> bytes)
{
    m.insert(m.end(), bytes);
}

} // namespace

TEST(StunMessage, BindingRequestLayout)
{
    const auto plain = encodeBindingRequest(Id, false, false);
    EXPECT_EQ(plain, header(0x0001, 0));

    const auto change = encodeBindingRequest(Id, true, true);
    ASSERT_EQ(change.size(), 28u);
    EXPECT_EQ(change[3], 8);
    EXPECT_EQ(std::vector<uint8_t>(change.begin() + 20, change.end()),
              (std::vector<uint8_t>{0x00, 0x03, 0x00, 0x04, 0, 0, 0, 0x06}));
    const auto portOnly = encodeBindingRequest(Id, false, true);
    EXPECT_EQ(portOnly.back(), 0x02);
    EXPECT_NE(newTransactionId(), newTransactionId());
}

TEST(StunMessage, ReadsAddressAttributes)
{
    // XOR-MAPPED-ADDRESS 192.0.2.1:32853 (RFC 5769 2.2), MAPPED-ADDRESS
    // 10.0.0.1:1234, OTHER-ADDRESS 127.0.0.2:3479, an unknown attribute with
    // padding (SOFTWARE, 3 bytes) and XOR-MAPPED for IPv6 ::1 port 9.
    auto m = header(0x0101, 12 + 12 + 12 + 8 + 24);
    append(m, {0x00, 0x20, 0x00, 0x08, 0x00, 0x01, 0xa1, 0x47, 0xe1, 0x12, 0xa6, 0x43});
    append(m, {0x00, 0x01, 0x00, 0x08, 0x00, 0x01, 0x04, 0xd2, 10, 0, 0, 1});
    append(m, {0x80, 0x2c, 0x00, 0x08, 0x00, 0x01, 0x0d, 0x97, 127, 0, 0, 2});
    append(m, {0x80, 0x22, 0x00, 0x03, 'a', 'b', 'c', 0});
    auto v6 = m;
    append(m, {0x00, 0x00, 0x00, 0x14});
    m.resize(m.size() + 20, 0); // a reserved attribute type is skipped like any unknown one
    auto message = decodeStun(m);
    ASSERT_TRUE(message);
    EXPECT_EQ(message->type, StunBindingSuccess);
    EXPECT_TRUE(message->hasMagicCookie);
    EXPECT_EQ(message->transactionId, Id);
    ASSERT_TRUE(message->xorMappedAddress);
    EXPECT_EQ(message->xorMappedAddress->address().to_string(), "192.0.2.1");
    EXPECT_EQ(message->xorMappedAddress->port(), 32853);
    ASSERT_TRUE(message->mappedAddress);
    EXPECT_EQ(message->mappedAddress->address().to_string(), "10.0.0.1");
    EXPECT_EQ(message->mapped(), message->xorMappedAddress);
    ASSERT_TRUE(message->otherAddress);
    EXPECT_EQ(message->otherAddress->address().to_string(), "127.0.0.2");
    EXPECT_EQ(message->otherAddress->port(), 3479);

    // IPv6 ::1 XORed with cookie and transaction ID.
    append(v6, {0x00, 0x20, 0x00, 0x14, 0x00, 0x02, 0x21, 0x1b});
    const uint8_t key[16] = {0x21, 0x12, 0xa4, 0x42, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    for (int i = 0; i < 16; ++i)
        v6.push_back(static_cast<uint8_t>((i == 15 ? 1 : 0) ^ key[i]));
    message = decodeStun(v6);
    ASSERT_TRUE(message);
    EXPECT_EQ(message->xorMappedAddress->address().to_string(), "::1");
    EXPECT_EQ(message->xorMappedAddress->port(), 9);
}

TEST(StunMessage, RejectsMalformedMessages)
{
    auto good = header(0x0101, 12);
    append(good, {0x00, 0x01, 0x00, 0x08, 0x00, 0x01, 0x04, 0xd2, 10, 0, 0, 1});
    ASSERT_TRUE(decodeStun(good));

    EXPECT_FALSE(decodeStun(std::vector<uint8_t>(19, 0)));
    auto topBits = good;
    topBits[0] |= 0x40;
    EXPECT_FALSE(decodeStun(topBits));
    auto lengthTooLong = good;
    lengthTooLong[3] = 16;
    EXPECT_FALSE(decodeStun(lengthTooLong));
    auto notWords = good;
    notWords.push_back(0);
    notWords[3] = 13;
    EXPECT_FALSE(decodeStun(notWords));

    // An attribute whose length runs past the message.
    auto attributeTooLong = good;
    attributeTooLong[23] = 0xff;
    EXPECT_FALSE(decodeStun(attributeTooLong));
    // An IPv4 address attribute of the wrong size, an unknown family.
    auto badLength = header(0x0101, 8);
    append(badLength, {0x00, 0x01, 0x00, 0x04, 0x00, 0x01, 0x04, 0xd2});
    EXPECT_FALSE(decodeStun(badLength));
    auto badFamily = good;
    badFamily[25] = 0x03;
    EXPECT_FALSE(decodeStun(badFamily));
    // XOR-MAPPED-ADDRESS needs the RFC 5389 cookie.
    auto oldStyle = header(0x0101, 12, false);
    append(oldStyle, {0x00, 0x20, 0x00, 0x08, 0x00, 0x01, 0xa1, 0x47, 0xe1, 0x12, 0xa6, 0x43});
    EXPECT_FALSE(decodeStun(oldStyle));
    // RFC 3489 servers without the cookie still give MAPPED-ADDRESS.
    auto rfc3489 = header(0x0101, 12, false);
    append(rfc3489, {0x00, 0x01, 0x00, 0x08, 0x00, 0x01, 0x04, 0xd2, 10, 0, 0, 1});
    const auto message = decodeStun(rfc3489);
    ASSERT_TRUE(message);
    EXPECT_FALSE(message->hasMagicCookie);
    EXPECT_EQ(message->mapped()->port(), 1234);
}
