#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "voip/asn/schema.h"
#include "voip/h245/schema.h"

namespace voip::h245 {
namespace {

const asn::Type& type(std::string_view name)
{
    const asn::Type* t = findType(name);
    EXPECT_NE(t, nullptr) << name;
    static const asn::Type none;
    return t ? *t : none;
}

TEST(H245Schema, LoadsAndResolvesTheMessageType)
{
    const auto& loaded = loadSchema();
    ASSERT_TRUE(loaded.ok()) << loaded.error().toString();
    ASSERT_NE(messageType(), nullptr);
    EXPECT_EQ(messageType()->kind, asn::Kind::Choice);
    EXPECT_EQ(messageType()->rootCount, 4u);
    EXPECT_TRUE(messageType()->extensible);
    // The types H.225.0 refers to.
    for (const char* imported : {"DataProtocolCapability", "T38FaxProfile", "QOSCapability"})
        EXPECT_NE(findType(imported), nullptr) << imported;
}

TEST(H245Schema, MessageAlternativesSitAtTheirIndexes)
{
    // PER carries only indexes: a shifted alternative breaks every peer.
    const asn::Type& request = type("RequestMessage");
    EXPECT_EQ(request.indexOf("terminalCapabilitySet"), 2);
    EXPECT_EQ(request.indexOf("roundTripDelayRequest"), 9);
    EXPECT_EQ(request.rootCount, 11u);
    EXPECT_EQ(request.indexOf("genericRequest"), 15);
    const asn::Type& response = type("ResponseMessage");
    EXPECT_EQ(response.indexOf("openLogicalChannelAck"), 5);
    EXPECT_EQ(response.rootCount, 19u);
    EXPECT_EQ(response.indexOf("genericResponse"), 24);
    const asn::Type& command = type("CommandMessage");
    EXPECT_EQ(command.indexOf("miscellaneousCommand"), 6);
    EXPECT_EQ(command.rootCount, 7u);
    EXPECT_EQ(command.indexOf("genericCommand"), 12);
    const asn::Type& indication = type("IndicationMessage");
    EXPECT_EQ(indication.indexOf("userInput"), 13);
    EXPECT_EQ(indication.rootCount, 14u);
    EXPECT_EQ(indication.indexOf("genericIndication"), 23);
    const asn::Type& capability = type("Capability");
    EXPECT_EQ(capability.rootCount, 12u);
    EXPECT_EQ(capability.indexOf("genericControlCapability"), 18);
    const asn::Type& application = type("DataApplicationCapability").components[0].type[0];
    EXPECT_EQ(application.indexOf("h224"), 6);
}

TEST(H245Schema, ConstraintsAndAlphabetsAreExact)
{
    const asn::Type& tcs = type("TerminalCapabilitySet");
    ASSERT_GE(tcs.components.size(), 5u);
    EXPECT_EQ(tcs.components[3].name, "capabilityTable");
    EXPECT_TRUE(tcs.components[3].optional);
    EXPECT_EQ(tcs.components[3].type->size.lower, 1);
    EXPECT_EQ(tcs.components[3].type->size.upper, 256);
    EXPECT_EQ(tcs.optionalCount, 3u);

    const asn::Type& signal = *type("UserInputIndication").components[3].type;
    ASSERT_EQ(signal.components[0].name, "signalType");
    const asn::Type& signalType = *signal.components[0].type;
    EXPECT_EQ(signalType.kind, asn::Kind::CharString);
    EXPECT_TRUE(signalType.size.fixed());
    EXPECT_EQ(signalType.alphabet.size(), 17u);
    // 17 characters need 5 bits, rounded up to 8 in ALIGNED PER.
    EXPECT_EQ(signalType.charBits, 8u);

    const asn::Type& h263 = type("H263VideoCapability");
    const int maxBitRate = h263.indexOf("maxBitRate");
    ASSERT_GE(maxBitRate, 0);
    EXPECT_EQ(h263.components[maxBitRate].type->range.upper, 192400);

    const asn::Type& descriptor = *type("RTPPayloadType").components[0].type;
    const asn::Type& rfc = *descriptor.components[descriptor.indexOf("rfc-number")].type;
    ASSERT_EQ(rfc.kind, asn::Kind::Integer) << rfc.displayName();
    EXPECT_TRUE(rfc.range.extensible);
    EXPECT_EQ(rfc.range.upper, 32768);

    const asn::Type& redundancy = type("MaxRedundancy");
    EXPECT_TRUE(redundancy.range.hasLower);
    EXPECT_FALSE(redundancy.range.hasUpper);

    const asn::Type& session = type("CommunicationModeTableEntry");
    const int description = session.indexOf("sessionDescription");
    ASSERT_GE(description, 0);
    EXPECT_EQ(session.components[description].type->charSet, asn::CharSet::BMP);
    EXPECT_EQ(session.components[description].type->size.upper, 128);
}

TEST(H245Schema, TextHoldsNoForeignComments)
{
    // Our own comment lines only: the schema carries no ASN.1 comment markers.
    EXPECT_EQ(moduleText().find("--"), std::string_view::npos);
    EXPECT_EQ(moduleText().substr(0, 11), "module h245");
}

} // namespace
} // namespace voip::h245
