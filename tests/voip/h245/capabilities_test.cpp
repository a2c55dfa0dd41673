#include <gtest/gtest.h>

#include "roundtrip.h"
#include "voip/asn/codec.h"
#include "voip/h245/capabilities.h"
#include "voip/h245/message.h"

namespace voip::h245 {
namespace {

using test::roundTrip;

Capability audio(CapabilityType type, std::uint16_t frames)
{
    Capability c;
    c.type = type;
    c.framesPerPacket = frames;
    return c;
}

Capability h264(std::uint8_t profile, std::uint8_t level, std::uint32_t maxBitRate)
{
    Capability c;
    c.type = CapabilityType::H264;
    c.maxBitRate = maxBitRate;
    c.h264.profile = profile;
    c.h264.level = level;
    return c;
}

Capability userInput(std::string name)
{
    Capability c;
    c.type = CapabilityType::UserInput;
    c.direction = CapabilityDirection::ReceiveAndTransmit;
    c.userInputName = std::move(name);
    return c;
}

/// The client's own set: every kind it offers.
CapabilitySet clientSet()
{
    CapabilitySet set;
    set.sequenceNumber = 3;
    set.capabilities.push_back(audio(CapabilityType::G722, 20));
    set.capabilities.push_back(audio(CapabilityType::G711Alaw, 20));
    set.capabilities.push_back(audio(CapabilityType::G711Ulaw, 30));
    Capability video = h264(8, 113, 20480);
    video.h264.customMaxMbps = 490;
    video.h264.customMaxFs = 32;
    video.h264.maxStaticMbps = 980;
    set.capabilities.push_back(video);
    Capability content = h264(64, 71, 10240);
    content.type = CapabilityType::H239Content;
    content.h239Role = h239RolePresentation;
    set.capabilities.push_back(content);
    Capability control;
    control.type = CapabilityType::H239Control;
    control.direction = CapabilityDirection::ReceiveAndTransmit;
    set.capabilities.push_back(control);
    Capability fecc;
    fecc.type = CapabilityType::H224;
    fecc.direction = CapabilityDirection::ReceiveAndTransmit;
    fecc.maxBitRate = 48;
    set.capabilities.push_back(fecc);
    for (const char* name : {"basicString", "iA5String", "generalString", "dtmf", "hookflash"})
        set.capabilities.push_back(userInput(name));
    return set;
}

TEST(H245Capabilities, ClientSetReadsBackEqual)
{
    CapabilitySet set = clientSet();
    set.h264PacketizationModes = {0, 1};
    const asn::Value message = roundTrip(buildTerminalCapabilitySet(set));
    auto read = readTerminalCapabilitySet(message);
    ASSERT_TRUE(read.ok()) << read.error().toString();
    EXPECT_EQ(read->sequenceNumber, 3);
    EXPECT_EQ(read->protocolVersion, 15u);
    EXPECT_EQ(read->maximumAudioDelayJitter, set.maximumAudioDelayJitter);
    EXPECT_EQ(read->h264PacketizationModes, (std::vector<std::uint8_t>{0, 1}));
    ASSERT_EQ(read->capabilities.size(), set.capabilities.size());
    for (std::size_t i = 0; i < set.capabilities.size(); ++i) {
        Capability expected = set.capabilities[i];
        expected.entryNumber = static_cast<std::uint16_t>(i + 1);
        EXPECT_TRUE(read->capabilities[i] == expected) << "entry " << i + 1;
    }
    // One descriptor: audio, video, content, control and data as alternative sets, then
    // each user input capability on its own.
    ASSERT_EQ(read->descriptors.size(), 1u);
    const auto& simultaneous = read->descriptors[0].simultaneous;
    ASSERT_EQ(simultaneous.size(), 10u);
    EXPECT_EQ(simultaneous[0], (std::vector<std::uint16_t>{1, 2, 3}));
    EXPECT_EQ(simultaneous[1], (std::vector<std::uint16_t>{4}));
    EXPECT_EQ(simultaneous[2], (std::vector<std::uint16_t>{5}));
    EXPECT_EQ(simultaneous[3], (std::vector<std::uint16_t>{6}));
    EXPECT_EQ(simultaneous[4], (std::vector<std::uint16_t>{7}));
    EXPECT_EQ(simultaneous[9], (std::vector<std::uint16_t>{12}));
}

TEST(H245Capabilities, WireFormOfTheKindsTheClientSends)
{
    const asn::Value message = buildTerminalCapabilitySet(clientSet());
    const asn::Value& tcs = messageBody(message);
    EXPECT_EQ(tcs["protocolIdentifier"].oidText(), "0.0.8.245.0.15");
    EXPECT_TRUE(tcs["multiplexCapability"].is("h2250Capability"));
    const asn::Value& table = tcs["capabilityTable"];
    ASSERT_EQ(table.size(), 12u);

    const asn::Value& g722 = table.at(0)["capability"];
    EXPECT_TRUE(g722.is("receiveAudioCapability"));
    EXPECT_TRUE(g722.chosen().is("g722-64k"));
    EXPECT_EQ(g722.chosen().chosen().integer(), 20);

    const asn::Value& video = table.at(3)["capability"]["receiveVideoCapability"];
    ASSERT_TRUE(video.is("genericVideoCapability"));
    const asn::Value& generic = video.chosen();
    EXPECT_EQ(generic["capabilityIdentifier"]["standard"].oidText(), "0.0.8.241.0.0.1");
    EXPECT_EQ(generic["maxBitRate"].integer(), 20480);
    const asn::Value& collapsing = generic["collapsing"];
    ASSERT_GE(collapsing.size(), 2u);
    EXPECT_EQ(collapsing.at(0)["parameterIdentifier"]["standard"].integer(), 41);
    EXPECT_TRUE(collapsing.at(0)["parameterValue"].is("booleanArray"));
    EXPECT_EQ(collapsing.at(0)["parameterValue"].chosen().integer(), 8);
    EXPECT_EQ(collapsing.at(1)["parameterIdentifier"]["standard"].integer(), 42);
    EXPECT_TRUE(collapsing.at(1)["parameterValue"].is("unsignedMin"));
    EXPECT_EQ(collapsing.at(1)["parameterValue"].chosen().integer(), 113);

    const asn::Value& content = table.at(4)["capability"]["receiveVideoCapability"];
    ASSERT_TRUE(content.is("extendedVideoCapability"));
    EXPECT_EQ(content.chosen()["videoCapabilityExtension"]
                  .at(0)["capabilityIdentifier"]["standard"]
                  .oidText(),
              "0.0.8.239.1.2");
    EXPECT_TRUE(content.chosen()["videoCapability"].at(0).is("genericVideoCapability"));

    const asn::Value& control = table.at(5)["capability"];
    ASSERT_TRUE(control.is("genericControlCapability"));
    EXPECT_EQ(control.chosen()["capabilityIdentifier"]["standard"].oidText(), "0.0.8.239.1.1");

    const asn::Value& fecc = table.at(6)["capability"];
    ASSERT_TRUE(fecc.is("receiveAndTransmitDataApplicationCapability"));
    EXPECT_TRUE(fecc.chosen()["application"].is("h224"));
    EXPECT_TRUE(fecc.chosen()["application"].chosen().is("hdlcFrameTunnelling"));

    EXPECT_TRUE(table.at(10)["capability"].is("receiveAndTransmitUserInputCapability"));
    EXPECT_TRUE(table.at(10)["capability"].chosen().is("dtmf"));
}

TEST(H245Capabilities, OlderVideoAndUnknownKindsAreRead)
{
    CapabilitySet set;
    Capability h261;
    h261.type = CapabilityType::H261;
    h261.h261 = {1, 2, true, 3840, false};
    h261.entryNumber = 20;
    set.capabilities.push_back(h261);
    Capability h263;
    h263.type = CapabilityType::H263;
    h263.direction = CapabilityDirection::Transmit;
    h263.h263.qcifMpi = 1;
    h263.h263.cifMpi = 2;
    h263.h263.cif4Mpi = 4;
    h263.h263.maxBitRate = 192400;
    h263.h263.advancedPrediction = true;
    h263.h263.hrdB = 1000;
    set.capabilities.push_back(h263);
    Capability generic;
    generic.type = CapabilityType::GenericAudio;
    generic.genericIdentifier = "0.0.8.245.1.1.1";
    generic.maxBitRate = 240;
    set.capabilities.push_back(generic);

    const asn::Value message = roundTrip(buildTerminalCapabilitySet(set));
    auto read = readTerminalCapabilitySet(message);
    ASSERT_TRUE(read.ok());
    ASSERT_EQ(read->capabilities.size(), 3u);
    EXPECT_TRUE(read->capabilities[0] == h261);
    // Entries without a number follow the highest given one.
    h263.entryNumber = 21;
    EXPECT_TRUE(read->capabilities[1] == h263);
    generic.entryNumber = 22;
    EXPECT_TRUE(read->capabilities[2] == generic);

    // A kind the client does not know comes back as Other with where it was found.
    asn::Value modified = message;
    asn::Value& entry = messageBody(modified).field("capabilityTable").append();
    entry.field("capabilityTableEntryNumber").setInteger(30);
    entry.field("capability").choose("receiveAudioCapability").choose("g729").setInteger(2);
    asn::Value& removed = messageBody(modified).field("capabilityTable").append();
    removed.field("capabilityTableEntryNumber").setInteger(31);
    auto withOther = readTerminalCapabilitySet(roundTrip(modified));
    ASSERT_TRUE(withOther.ok());
    ASSERT_EQ(withOther->capabilities.size(), 4u);
    EXPECT_EQ(withOther->capabilities[3].type, CapabilityType::Other);
    EXPECT_EQ(withOther->capabilities[3].entryNumber, 30);
    EXPECT_EQ(withOther->capabilities[3].otherName, "receiveAudioCapability.g729");
    // Other kinds cannot be built back.
    EXPECT_FALSE(buildTerminalCapabilitySet(*withOther).present());
}

TEST(H245Capabilities, EmptySetAndExplicitDescriptors)
{
    CapabilitySet empty;
    empty.sequenceNumber = 9;
    const asn::Value message = roundTrip(buildTerminalCapabilitySet(empty));
    EXPECT_FALSE(messageBody(message).has("capabilityTable"));
    EXPECT_FALSE(messageBody(message).has("capabilityDescriptors"));
    auto read = readTerminalCapabilitySet(message);
    ASSERT_TRUE(read.ok());
    EXPECT_TRUE(read->capabilities.empty());
    EXPECT_TRUE(read->descriptors.empty());

    CapabilitySet set;
    set.capabilities.push_back(audio(CapabilityType::G711Ulaw, 20));
    set.capabilities.push_back(audio(CapabilityType::G711Alaw, 20));
    set.capabilities.push_back(h264(64, 43, 3840));
    set.descriptors.push_back({0, {{1}, {3}}});
    set.descriptors.push_back({1, {{2, 1}}});
    auto explicitSet = readTerminalCapabilitySet(roundTrip(buildTerminalCapabilitySet(set)));
    ASSERT_TRUE(explicitSet.ok());
    EXPECT_EQ(explicitSet->descriptors, set.descriptors);
}

TEST(H245Capabilities, OutOfRangeValuesAreClampedNotLost)
{
    CapabilitySet set;
    set.capabilities.push_back(audio(CapabilityType::G711Alaw, 1000));
    set.capabilities.push_back(audio(CapabilityType::G711Ulaw, 0));
    Capability video = h264(64, 43, 3840);
    video.h264.customMaxFs = 100000;
    set.capabilities.push_back(video);
    auto read = readTerminalCapabilitySet(roundTrip(buildTerminalCapabilitySet(set)));
    ASSERT_TRUE(read.ok());
    EXPECT_EQ(read->capabilities[0].framesPerPacket, 256);
    EXPECT_EQ(read->capabilities[1].framesPerPacket, 1);
    EXPECT_EQ(read->capabilities[2].h264.customMaxFs, 65535u);
}

TEST(H245Capabilities, PeerValuesOutsideTheirFieldsSaturate)
{
    CapabilitySet set;
    set.capabilities.push_back(h264(64, 43, 3840));
    asn::Value message = buildTerminalCapabilitySet(set);
    asn::Value& generic =
        messageBody(message).field("capabilityTable").at(0).field("capability").chosen().chosen();
    // Level sent by a peer as a 32-bit value of 300: read as 255, not as 44.
    generic.field("collapsing")
        .at(1)
        .field("parameterValue")
        .choose("unsigned32Min")
        .setInteger(300);
    auto read = readTerminalCapabilitySet(roundTrip(message));
    ASSERT_TRUE(read.ok());
    EXPECT_EQ(read->capabilities[0].h264.level, 255);
    EXPECT_EQ(read->capabilities[0].h264.profile, 64);
}

TEST(H245Capabilities, EncryptionOfferedAsAnotherStackOffersIt)
{
    // Its entries 2 (G.711 µ-law) and 1 (A-law), then user input: each audio entry N is
    // followed by N + 100, which says N may go AES-128-CBC encrypted, in N's alternatives.
    CapabilitySet set;
    set.offerEncryption = true;
    Capability ulaw = audio(CapabilityType::G711Ulaw, 20);
    ulaw.entryNumber = 2;
    Capability alaw = audio(CapabilityType::G711Alaw, 20);
    alaw.entryNumber = 1;
    Capability dtmf = userInput("dtmf");
    dtmf.entryNumber = 3;
    set.capabilities = {ulaw, alaw, dtmf};
    const asn::Value message = buildTerminalCapabilitySet(set);
    ASSERT_TRUE(message.present());
    const asn::Value& table = messageBody(message)["capabilityTable"];
    std::vector<std::int64_t> order;
    for (const auto& entry : table.elements())
        order.push_back(entry["capabilityTableEntryNumber"].integer());
    EXPECT_EQ(order, (std::vector<std::int64_t>{2, 102, 1, 101, 3}));
    auto entry = asn::encode(table.at(1));
    ASSERT_TRUE(entry.ok());
    EXPECT_EQ(*entry, (std::vector<std::uint8_t>{0x80, 0x00, 0x65, 0x81, 0x0f, 0x20, 0x00,
                                                 0x40, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65,
                                                 0x03, 0x04, 0x01, 0x02, 0x00, 0x01}))
        << "entry 102 as the other stack writes it";

    auto read = readTerminalCapabilitySet(message);
    ASSERT_TRUE(read.ok());
    ASSERT_EQ(read->capabilities.size(), 5u);
    EXPECT_EQ(read->capabilities[1].type, CapabilityType::H235Security);
    EXPECT_EQ(read->capabilities[1].securedEntry, 2);
    EXPECT_EQ(read->capabilities[3].securedEntry, 1);
    ASSERT_EQ(read->descriptors.size(), 1u);
    EXPECT_EQ(read->descriptors[0].simultaneous.front(),
              (std::vector<std::uint16_t>{2, 102, 1, 101}));

    // A security entry for a cipher we do not have is no offer of encryption.
    asn::Value other = message;
    messageBody(other)
        .field("capabilityTable")
        .at(1)
        .field("capability")
        .chosen()
        .field("encryptionAuthenticationAndIntegrity")
        .field("encryptionCapability")
        .at(0)
        .chosen()
        .setOid({2, 16, 840, 1, 101, 3, 4, 1, 22});
    read = readTerminalCapabilitySet(other);
    ASSERT_TRUE(read.ok());
    EXPECT_EQ(read->capabilities[1].type, CapabilityType::Other);
    // Numbers that would collide are refused rather than sent twice.
    Capability clash = audio(CapabilityType::G722, 20);
    clash.entryNumber = 102;
    set.capabilities.push_back(clash);
    EXPECT_FALSE(buildTerminalCapabilitySet(set).present());
}

TEST(H245Capabilities, ReaderRefusesOtherMessages)
{
    EXPECT_FALSE(readTerminalCapabilitySet(buildTerminalCapabilitySetAck(1)).ok());
    EXPECT_FALSE(readTerminalCapabilitySet(asn::Value()).ok());
}

} // namespace
} // namespace voip::h245
