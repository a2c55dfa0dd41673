#include <set>

#include <gtest/gtest.h>

#include "voip/asn/codec.h"
#include "voip/asn/printer.h"
#include "voip/h225/address.h"
#include "voip/h225/identity.h"
#include "voip/h225/message.h"
#include "voip/h225/schema.h"

namespace voip::h225 {
namespace {

std::string hexOf(const std::vector<std::uint8_t>& bytes)
{
    static const char* digits = "0123456789abcdef";
    std::string s;
    for (std::uint8_t b : bytes) {
        s.push_back(digits[b >> 4]);
        s.push_back(digits[b & 15]);
    }
    return s;
}

TEST(H225Schema, ReasonsAreFoundByNameAndIndexAndUnknownOnesAreRefused)
{
    EXPECT_EQ(facilityReasonIndex("forwardedElements"), 9);
    EXPECT_EQ(facilityReasonName(0), "routeCallToGatekeeper");
    EXPECT_EQ(facilityReasonName(99), "");
    EXPECT_EQ(releaseCompleteReasonIndex("undefinedReason"), 11);
    EXPECT_EQ(releaseCompleteReasonIndex("noSuchReason"), -1);
}

// A Setup as the client sends it, field by field.
asn::Value typicalSetup(const Guid& callId, const Guid& conferenceId)
{
    asn::Value message = newUserInformation("setup");
    asn::Value& setup = messageBody(message);
    setAlias(setup.field("sourceAddress").append(), "Kestrovia User");
    setAlias(setup.field("destinationAddress").append(), "room1", AliasKind::Url);
    setAlias(setup.field("destinationAddress").append(), "1234#");
    setEndpointType(setup.field("sourceInfo"));
    setGuid(setup.field("conferenceID"), conferenceId);
    setup.field("conferenceGoal").choose("create");
    setup.field("callType").choose("pointToPoint");
    setGuid(setup.field("callIdentifier").field("guid"), callId);
    setTransportAddress(setup.field("sourceCallSignalAddress"),
                        *IpAddressPort::parse("192.168.1.20:1720"));
    setup.field("multipleCalls").setBoolean(false);
    setup.field("maintainConnection").setBoolean(true);
    uuPdu(message).field("h245Tunnelling").setBoolean(true);
    return message;
}

TEST(H225Messages, SetupRoundTripKeepsEveryField)
{
    const Guid callId = newGuid();
    const Guid conferenceId = newGuid();
    asn::Value message = typicalSetup(callId, conferenceId);
    auto bytes = encodeUserInformation(message);
    ASSERT_TRUE(bytes.ok()) << bytes.error().toString();
    auto back = decodeUserInformation(*bytes);
    ASSERT_TRUE(back.ok()) << back.error().toString();
    EXPECT_TRUE(*back == message);
    EXPECT_EQ(bodyName(*back), "setup");
    const asn::Value& setup = messageBody(*back);
    EXPECT_EQ(protocolVersion(setup["protocolIdentifier"]), kProtocolVersion);
    EXPECT_EQ(setup["protocolIdentifier"].oidText(), "0.0.8.2250.0.6");
    EXPECT_EQ(aliasToText(setup["sourceAddress"].at(0)), "Kestrovia User");
    EXPECT_EQ(aliasKind(setup["destinationAddress"].at(0)), AliasKind::Url);
    EXPECT_EQ(aliasToText(setup["destinationAddress"].at(1)), "1234#");
    EXPECT_EQ(guidOf(setup["callIdentifier"]["guid"]), callId);
    EXPECT_EQ(guidOf(setup["conferenceID"]), conferenceId);
    EXPECT_EQ(productText(setup["sourceInfo"]), "Kestrovia 1.0");
    EXPECT_TRUE(setup["sourceInfo"].has("terminal"));
    EXPECT_TRUE(setup["maintainConnection"].boolean());
    EXPECT_FALSE(setup.has("fastStart"));
    EXPECT_TRUE(uuPdu(*back)["h245Tunnelling"].boolean());
    EXPECT_EQ(transportAddressOf(setup["sourceCallSignalAddress"])->toString(),
              "192.168.1.20:1720");
    // The encoding is stable.
    auto again = encodeUserInformation(*back);
    ASSERT_TRUE(again.ok());
    EXPECT_EQ(hexOf(*again), hexOf(*bytes));
    // The printer names the fields.
    const std::string text = asn::toText(*back);
    EXPECT_NE(text.find("h323-message-body = setup"), std::string::npos) << text;
    EXPECT_NE(text.find("protocolIdentifier = 0.0.8.2250.0.6"), std::string::npos);
    EXPECT_NE(text.find("h323-ID: \"Kestrovia User\""), std::string::npos) << text;
}

TEST(H225Messages, EveryBodyRoundTrips)
{
    const Guid callId = newGuid();
    for (const char* name : {"setup", "callProceeding", "connect", "alerting", "information",
                             "releaseComplete", "facility", "progress", "empty", "status",
                             "statusInquiry", "setupAcknowledge", "notify"}) {
        SCOPED_TRACE(name);
        asn::Value message = newUserInformation(name);
        ASSERT_TRUE(message.type());
        asn::Value& body = messageBody(message);
        if (body.kind() == asn::Kind::Sequence) {
            const asn::Type& t = *body.type();
            if (t.indexOf("callIdentifier") >= 0) {
                setGuid(body.field("callIdentifier").field("guid"), callId);
            }
            if (t.indexOf("destinationInfo") >= 0) {
                setEndpointType(body.field("destinationInfo"));
            }
            if (t.indexOf("h245Address") >= 0) {
                setTransportAddress(body.field("h245Address"),
                                    *IpAddressPort::parse("[2001:db8::5]:11000"));
            }
            if (t.indexOf("fastStart") >= 0) {
                body.field("fastStart").append().setBytes(std::string("\x01\x02\x03", 3));
            }
            if (t.indexOf("multipleCalls") >= 0) {
                body.field("multipleCalls").setBoolean(true);
            }
            if (t.indexOf("maintainConnection") >= 0) {
                body.field("maintainConnection").setBoolean(true);
            }
        }
        if (std::string_view(name) == "setup") {
            body.field("conferenceGoal").choose("join");
            body.field("callType").choose("pointToPoint");
            setEndpointType(body.field("sourceInfo"));
        }
        if (std::string_view(name) == "connect") {
            setGuid(body.field("conferenceID"), newGuid());
        }
        if (std::string_view(name) == "releaseComplete") {
            body.field("reason").choose("undefinedReason");
        }
        if (std::string_view(name) == "facility") {
            body.field("reason").choose(facilityReasonIndex("callForwarded"));
            setTransportAddress(body.field("alternativeAddress"),
                                *IpAddressPort::parse("10.0.0.5:1721"));
            setAlias(body.field("alternativeAliasAddress").append(), "bob@example.com",
                     AliasKind::Email);
        }
        uuPdu(message).field("h245Control").append().setBytes("\x03\x00");
        auto bytes = encodeUserInformation(message);
        ASSERT_TRUE(bytes.ok()) << bytes.error().toString();
        auto back = decodeUserInformation(*bytes);
        ASSERT_TRUE(back.ok()) << back.error().toString();
        EXPECT_EQ(bodyName(*back), name);
        EXPECT_TRUE(*back == message);
        const asn::Value& b = messageBody(*back);
        if (b.kind() == asn::Kind::Sequence && b.type()->indexOf("callIdentifier") >= 0) {
            EXPECT_EQ(guidOf(b["callIdentifier"]["guid"]), callId);
        }
        if (std::string_view(name) == "facility") {
            EXPECT_EQ(b["reason"].choiceIndex(), 1);
            EXPECT_EQ(transportAddressOf(b["alternativeAddress"])->addressText(), "10.0.0.5");
            EXPECT_EQ(aliasToText(b["alternativeAliasAddress"].at(0)), "bob@example.com");
        }
        if (b.kind() == asn::Kind::Sequence && b.type()->indexOf("h245Address") >= 0) {
            EXPECT_EQ(transportAddressOf(b["h245Address"])->toString(), "[2001:db8::5]:11000");
        }
    }
    EXPECT_FALSE(newUserInformation("noSuchBody").type());
}

TEST(H225Messages, RasMessagesAndBadInput)
{
    const asn::Type* ras = rasMessageType();
    ASSERT_TRUE(ras);
    asn::Value grq(*ras);
    asn::Value& request = grq.choose("gatekeeperRequest");
    request.field("requestSeqNum").setInteger(1);
    setProtocolIdentifier(request.field("protocolIdentifier"));
    setTransportAddress(request.field("rasAddress"), *IpAddressPort::parse("127.0.0.1:1719"));
    setEndpointType(request.field("endpointType"));
    auto bytes = encodeRasMessage(grq);
    ASSERT_TRUE(bytes.ok()) << bytes.error().toString();
    auto back = decodeRasMessage(*bytes);
    ASSERT_TRUE(back.ok());
    EXPECT_TRUE(*back == grq);
    // requestSeqNum is 1..65535: zero is refused with the field's path.
    request.field("requestSeqNum").setInteger(0);
    auto refused = encodeRasMessage(grq);
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error().path, "gatekeeperRequest.requestSeqNum");
    EXPECT_FALSE(encodeUserInformation(grq).ok()); // wrong type

    // Truncations of a real-size Setup all fail cleanly.
    auto setup = encodeUserInformation(typicalSetup(newGuid(), newGuid()));
    ASSERT_TRUE(setup.ok());
    for (std::size_t n = 0; n + 1 < setup->size(); ++n) {
        std::vector<std::uint8_t> prefix(setup->begin(), setup->begin() + n);
        EXPECT_FALSE(decodeUserInformation(prefix).ok()) << n;
    }
    // Flipping single bits never crashes; most give an error or another valid value.
    for (std::size_t bit = 0; bit < setup->size() * 8; ++bit) {
        std::vector<std::uint8_t> mutated = *setup;
        mutated[bit / 8] ^= static_cast<std::uint8_t>(0x80 >> (bit % 8));
        auto r = decodeUserInformation(mutated);
        if (r.ok()) {
            auto re = encodeUserInformation(*r);
            (void)re;
        }
    }
}

} // namespace
} // namespace voip::h225
