#include <algorithm>

#include <gtest/gtest.h>

#include "tests/support/hex.h"

#include "roundtrip.h"
#include "voip/h245/channels.h"
#include "voip/h245/message.h"

namespace voip::h245 {
namespace {

using test::roundTrip;

MediaAddress ipv4(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d,
                  std::uint16_t port)
{
    MediaAddress address;
    address.ip = {a, b, c, d};
    address.port = port;
    return address;
}

MediaAddress ipv6Loopback(std::uint16_t port)
{
    MediaAddress address;
    address.ipv6 = true;
    address.ip[15] = 1;
    address.port = port;
    return address;
}

TEST(H245Channels, OpenLogicalChannelForEachMedia)
{
    LogicalChannel audio;
    audio.number = 1;
    audio.dataType.type = CapabilityType::G711Alaw;
    audio.dataType.framesPerPacket = 20;
    audio.sessionId = 1;
    audio.mediaControlChannel = ipv4(192, 168, 1, 20, 5001);
    audio.silenceSuppression = false;

    LogicalChannel video;
    video.number = 2;
    video.dataType.type = CapabilityType::H264;
    video.dataType.maxBitRate = 20480;
    video.dataType.h264 = {
        8, 113, 490, 32, std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt};
    video.sessionId = 2;
    video.mediaChannel = ipv6Loopback(5002);
    video.mediaControlChannel = ipv6Loopback(5003);
    video.mediaGuaranteedDelivery = false;
    video.mediaControlGuaranteedDelivery = false;
    video.dynamicRtpPayloadType = 109;
    video.h264PacketizationMode = 1;

    LogicalChannel content = video;
    content.h264PacketizationMode = 0;
    content.number = 3;
    content.sessionId = 3;
    content.associatedSessionId = 2;
    content.dataType.type = CapabilityType::H239Content;

    LogicalChannel fecc;
    fecc.number = 4;
    fecc.dataType.type = CapabilityType::H224;
    fecc.dataType.maxBitRate = 48;
    fecc.sessionId = 3;
    fecc.mediaControlChannel = ipv4(10, 0, 0, 5, 5007);
    fecc.dynamicRtpPayloadType = 100;
    fecc.bidirectional = true;

    for (const LogicalChannel& channel : {audio, video, content, fecc}) {
        const asn::Value message = roundTrip(buildOpenLogicalChannel(channel));
        auto read = readOpenLogicalChannel(message);
        ASSERT_TRUE(read.ok()) << channel.number;
        EXPECT_TRUE(*read == channel) << channel.number;
    }

    const asn::Value message = buildOpenLogicalChannel(video);
    const asn::Value& forward = messageBody(message)["forwardLogicalChannelParameters"];
    EXPECT_TRUE(forward["dataType"].is("videoData"));
    const asn::Value& h2250 = forward["multiplexParameters"]["h2250LogicalChannelParameters"];
    EXPECT_EQ(h2250["sessionID"].integer(), 2);
    EXPECT_EQ(h2250["dynamicRTPPayloadType"].integer(), 109);
    // H.241: the non-interleaved mode, for the payload type the channel uses.
    const asn::Value& packetization = h2250["mediaPacketization"]["rtpPayloadType"];
    EXPECT_EQ(packetization["payloadDescriptor"]["oid"].oidText(), "0.0.8.241.0.0.0.1");
    EXPECT_EQ(packetization["payloadType"].integer(), 109);
    EXPECT_TRUE(h2250["mediaControlChannel"]["unicastAddress"].is("iP6Address"));
    EXPECT_FALSE(messageBody(message).has("reverseLogicalChannelParameters"));

    // A data type that is no media (H.239 control, user input) cannot open a channel.
    LogicalChannel bad = audio;
    bad.dataType.type = CapabilityType::H239Control;
    EXPECT_FALSE(buildOpenLogicalChannel(bad).present());
}

TEST(H245Channels, AckCarriesWhereToSendMedia)
{
    LogicalChannelAck ack;
    ack.number = 2;
    ack.sessionId = 2;
    ack.mediaChannel = ipv4(127, 0, 0, 1, 40000);
    ack.mediaControlChannel = ipv4(127, 0, 0, 1, 40001);
    ack.dynamicRtpPayloadType = 109;
    auto read = readOpenLogicalChannelAck(roundTrip(buildOpenLogicalChannelAck(ack)));
    ASSERT_TRUE(read.ok());
    EXPECT_TRUE(*read == ack);

    LogicalChannelAck bidirectional;
    bidirectional.number = 4;
    bidirectional.reverseNumber = 44;
    bidirectional.mediaChannel = ipv6Loopback(7000);
    auto readBack = readOpenLogicalChannelAck(roundTrip(buildOpenLogicalChannelAck(bidirectional)));
    ASSERT_TRUE(readBack.ok());
    EXPECT_TRUE(*readBack == bidirectional);
}

TEST(H245Channels, RejectConfirmAndClose)
{
    auto reject = readOpenLogicalChannelReject(
        roundTrip(buildOpenLogicalChannelReject(5, "dataTypeNotSupported")));
    ASSERT_TRUE(reject.ok());
    EXPECT_EQ(reject->number, 5);
    EXPECT_EQ(reject->cause, "dataTypeNotSupported");
    // An extension cause.
    auto bandwidth = readOpenLogicalChannelReject(
        roundTrip(buildOpenLogicalChannelReject(6, "insufficientBandwidth")));
    ASSERT_TRUE(bandwidth.ok());
    EXPECT_EQ(bandwidth->cause, "insufficientBandwidth");
    EXPECT_FALSE(buildOpenLogicalChannelReject(5, "because").present());

    const asn::Value confirm = roundTrip(buildOpenLogicalChannelConfirm(7));
    EXPECT_EQ(kindOf(confirm)->name, "openLogicalChannelConfirm");
    EXPECT_EQ(*readChannelNumber(confirm), 7);

    auto close = readCloseLogicalChannel(roundTrip(buildCloseLogicalChannel(8, "reopen")));
    ASSERT_TRUE(close.ok());
    EXPECT_EQ(close->number, 8);
    EXPECT_EQ(close->cause, "reopen");
    auto plainClose = readCloseLogicalChannel(roundTrip(buildCloseLogicalChannel(9)));
    ASSERT_TRUE(plainClose.ok());
    EXPECT_EQ(plainClose->number, 9);
    EXPECT_EQ(*readChannelNumber(roundTrip(buildCloseLogicalChannelAck(8))), 8);
}

TEST(H245Channels, RequestChannelCloseAndAnswers)
{
    auto request = readRequestChannelClose(roundTrip(buildRequestChannelClose(12, "normal")));
    ASSERT_TRUE(request.ok());
    EXPECT_EQ(request->number, 12);
    EXPECT_EQ(request->cause, "normal");
    EXPECT_TRUE(readRequestChannelClose(roundTrip(buildRequestChannelClose(12))).ok());

    const asn::Value ack = roundTrip(buildRequestChannelCloseAck(12));
    const asn::Value reject = roundTrip(buildRequestChannelCloseReject(12));
    const asn::Value release = roundTrip(buildRequestChannelCloseRelease(12));
    EXPECT_EQ(kindOf(ack)->name, "requestChannelCloseAck");
    EXPECT_EQ(kindOf(reject)->name, "requestChannelCloseReject");
    EXPECT_TRUE(messageBody(reject)["cause"].is("unspecified"));
    EXPECT_EQ(kindOf(release)->category, MessageCategory::Indication);
    for (const asn::Value* message : {&ack, &reject, &release})
        EXPECT_EQ(*readChannelNumber(*message), 12);
    EXPECT_FALSE(readChannelNumber(buildEndSessionCommand()).ok());
}

TEST(H245Channels, TransportAddressForms)
{
    for (const MediaAddress& address :
         {ipv4(1, 2, 3, 4, 0), ipv4(255, 255, 255, 255, 65535), ipv6Loopback(1)}) {
        LogicalChannelAck ack;
        ack.mediaChannel = address;
        auto read = readOpenLogicalChannelAck(roundTrip(buildOpenLogicalChannelAck(ack)));
        ASSERT_TRUE(read.ok());
        EXPECT_EQ(read->mediaChannel, address);
    }
    // Forms other than unicast IP read as no address.
    asn::Value message = buildOpenLogicalChannelAck({});
    messageBody(message)["forwardMultiplexAckParameters"];
    asn::Value& h2250 = messageBody(message)
                            .field("forwardMultiplexAckParameters")
                            .field("h2250LogicalChannelAckParameters");
    h2250.field("mediaChannel")
        .choose("unicastAddress")
        .choose("netBios")
        .setBytes(std::string(16, 'n'));
    auto read = readOpenLogicalChannelAck(roundTrip(message));
    ASSERT_TRUE(read.ok());
    EXPECT_FALSE(read->mediaChannel.has_value());
}

} // namespace
} // namespace voip::h245

namespace voip::h245 {
namespace {

TEST(H245Channels, FastStartProposals)
{
    FastStartChannel transmit;
    transmit.channel.number = 1;
    transmit.channel.dataType.type = CapabilityType::G711Ulaw;
    transmit.channel.dataType.framesPerPacket = 20;
    transmit.channel.sessionId = 1;
    transmit.channel.mediaControlChannel = MediaAddress{false, {127, 0, 0, 1}, 5001};

    FastStartChannel receive;
    receive.receive = true;
    receive.channel.number = 2;
    receive.channel.dataType.type = CapabilityType::H264;
    receive.channel.dataType.maxBitRate = 10240;
    receive.channel.sessionId = 2;
    receive.channel.mediaChannel = MediaAddress{false, {127, 0, 0, 1}, 5002};
    receive.channel.mediaControlChannel = MediaAddress{false, {127, 0, 0, 1}, 5003};
    receive.channel.dynamicRtpPayloadType = 109;

    for (const FastStartChannel& proposal : {transmit, receive}) {
        auto bytes = encodeFastStartChannel(proposal);
        ASSERT_TRUE(bytes.ok()) << bytes.error().toString();
        auto read = decodeFastStartChannel(*bytes);
        ASSERT_TRUE(read.ok()) << read.error().toString();
        EXPECT_TRUE(*read == proposal) << proposal.channel.number;
    }

    // A fast-start element is the OpenLogicalChannel alone: the whole message minus the
    // octet that selects request.openLogicalChannel.
    auto element = encodeFastStartChannel(transmit);
    auto message = encodeMessage(buildOpenLogicalChannel(transmit.channel));
    ASSERT_TRUE(element.ok() && message.ok());
    ASSERT_EQ(message->size(), element->size() + 1);
    EXPECT_EQ((*message)[0], 0x03);
    EXPECT_TRUE(std::equal(element->begin(), element->end(), message->begin() + 1));

    // Garbage and truncation are errors.
    EXPECT_FALSE(decodeFastStartChannel({}).ok());
    EXPECT_FALSE(decodeFastStartChannel(std::span(element->data(), element->size() / 2)).ok());
    FastStartChannel control = transmit;
    control.channel.dataType.type = CapabilityType::H239Control;
    EXPECT_FALSE(encodeFastStartChannel(control).ok());
}

} // namespace
} // namespace voip::h245

namespace voip::h245 {
namespace {

using kxtest::fromHex;
using kxtest::toHex;

TEST(H245Channels, EncryptedChannelsAndTheirKeysReadAndWrittenAsAnotherStackSendsThem)
{
    // A key-making side's OpenLogicalChannel and its Ack to the other side's channel, from a
    // recorded encrypted call: G.711 µ-law wrapped as AES-128-CBC media, each carrying a
    // media key for payload type 120.
    const auto recordedOpen = fromHex(
        "0380006420400f200040096086480165030401024313800b0d4001007f000001433b600280230078001e"
        "801d30096086480165030401020010e2f1b76ab39e9901d1e52efbdaf7e8b2");
    const auto recordedAck =
        fromHex("22c0006404c0145e00007f000001433a007f000001433bc0080100230078001e801d30096086"
                "480165030401020010274af70829813f0fe4b0fa04bc4f4fb7");

    auto message = decodeMessage(recordedOpen);
    ASSERT_TRUE(message.ok()) << message.error().toString();
    auto open = readOpenLogicalChannel(*message);
    ASSERT_TRUE(open.ok()) << open.error().toString();
    EXPECT_TRUE(open->encrypted);
    EXPECT_EQ(open->dataType.type, CapabilityType::G711Ulaw);
    ASSERT_TRUE(open->encryptionSync);
    EXPECT_EQ(open->encryptionSync->synchFlag, 120);
    EXPECT_EQ(open->encryptionSync->h235Key.size(), 31u);
    EXPECT_EQ(open->dynamicRtpPayloadType, 120);
    // Written back, the data type and the key as recorded, octet for octet (the channel
    // parameters between them count the extensions of another version of the syntax).
    const auto sameEnds = [](const std::vector<std::uint8_t>& ours,
                             const std::vector<std::uint8_t>& theirs, std::size_t head,
                             std::size_t tail) {
        return ours.size() >= head + tail && theirs.size() >= head + tail &&
               std::equal(theirs.begin(), theirs.begin() + std::ptrdiff_t(head), ours.begin()) &&
               std::equal(theirs.end() - std::ptrdiff_t(tail), theirs.end(),
                          ours.end() - std::ptrdiff_t(tail));
    };
    auto written = encodeMessage(buildOpenLogicalChannel(*open));
    ASSERT_TRUE(written.ok());
    EXPECT_TRUE(sameEnds(*written, recordedOpen, 35, 37)) << toHex(*written) << "\n"
                                                          << toHex(recordedOpen);

    message = decodeMessage(recordedAck);
    ASSERT_TRUE(message.ok()) << message.error().toString();
    auto ack = readOpenLogicalChannelAck(*message);
    ASSERT_TRUE(ack.ok()) << ack.error().toString();
    ASSERT_TRUE(ack->encryptionSync);
    EXPECT_EQ(ack->encryptionSync->synchFlag, 120);
    written = encodeMessage(buildOpenLogicalChannelAck(*ack));
    ASSERT_TRUE(written.ok());
    EXPECT_TRUE(sameEnds(*written, recordedAck, 4, 37)) << toHex(*written) << "\n"
                                                        << toHex(recordedAck);
    auto again = readOpenLogicalChannelAck(*decodeMessage(*written));
    ASSERT_TRUE(again.ok());
    EXPECT_EQ(again->encryptionSync, ack->encryptionSync);

    // A plain channel stays plain; an encrypted one of another cipher is refused, not
    // taken as plain.
    LogicalChannel plain = *open;
    plain.encrypted = false;
    plain.encryptionSync.reset();
    auto plainRead = readOpenLogicalChannel(buildOpenLogicalChannel(plain));
    ASSERT_TRUE(plainRead.ok());
    EXPECT_FALSE(plainRead->encrypted);
    EXPECT_FALSE(plainRead->encryptionSync);
    asn::Value otherCipher = buildOpenLogicalChannel(*open);
    messageBody(otherCipher)
        .field("forwardLogicalChannelParameters")
        .field("dataType")
        .chosen()
        .field("encryptionAuthenticationAndIntegrity")
        .field("encryptionCapability")
        .at(0)
        .chosen()
        .setOid({2, 16, 840, 1, 101, 3, 4, 1, 22});
    EXPECT_FALSE(readOpenLogicalChannel(otherCipher).ok());
}

} // namespace
} // namespace voip::h245
