// H.224 frames, CME messages and H.281 messages: the octets of known messages, round
// trips, and what malformed input gets.

#include <gtest/gtest.h>

#include "voip/h224/h224frame.h"
#include "voip/h224/h281.h"

namespace voip::h224 {
namespace {

using Bytes = std::vector<uint8_t>;

TEST(H224Frame, CameraControlFrameHasTheAnnexQLayout)
{
    Frame frame;
    frame.data = {0x01, 0x80, 0x03};
    // Q.922 address of DLCI 6 with the EA bits, UI control, both terminal addresses 0,
    // client 1, beginning and ending segment, then the client's octets.
    EXPECT_EQ(encodeFrame(frame), (Bytes{0x00, 0x61, 0x03, 0, 0, 0, 0, 0x01, 0xC0, 0x01, 0x80, 0x03}));

    frame.dlci = HighPriorityDlci;
    frame.destination = 0x1234;
    frame.source = 0xBEEF;
    frame.clientId = NonStandardClientId;
    frame.clientIdExtension = {0xB5, 0x00, 0x00, 0x12, 0x07};
    frame.endingSegment = false;
    frame.segmentNumber = 9;
    const auto bytes = encodeFrame(frame);
    EXPECT_EQ(bytes[1], 0x71);
    EXPECT_EQ(bytes[13], 0x49);
    auto back = decodeFrame(bytes);
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, frame);
}

TEST(H224Frame, MalformedFramesAreRefusedWithAReason)
{
    const Bytes good{0x00, 0x61, 0x03, 0, 0, 0, 0, 0x01, 0xC0, 0x01, 0x80, 0x03};
    ASSERT_TRUE(decodeFrame(good));
    struct Case
    {
        const char* what;
        Bytes bytes;
    };
    const Case cases[] = {
        {"empty", {}},
        {"header cut", Bytes(good.begin(), good.begin() + 8)},
        {"EA bit of octet 1", {0x01, 0x61, 0x03, 0, 0, 0, 0, 0x01, 0xC0}},
        {"EA bit of octet 2", {0x00, 0x60, 0x03, 0, 0, 0, 0, 0x01, 0xC0}},
        {"other DLCI", {0x00, 0x81, 0x03, 0, 0, 0, 0, 0x01, 0xC0}},
        {"not UI", {0x00, 0x61, 0x13, 0, 0, 0, 0, 0x01, 0xC0}},
        {"reserved client bit", {0x00, 0x61, 0x03, 0, 0, 0, 0, 0x81, 0xC0}},
        {"extended ID cut", {0x00, 0x61, 0x03, 0, 0, 0, 0, 0x7E, 0x05}},
        {"non-standard ID cut", {0x00, 0x61, 0x03, 0, 0, 0, 0, 0x7F, 1, 2, 3, 4, 5}},
    };
    for (const auto& c : cases) {
        std::string error;
        EXPECT_FALSE(decodeFrame(c.bytes, &error)) << c.what;
        EXPECT_FALSE(error.empty()) << c.what;
    }
    Bytes huge = good;
    huge.resize(MinFrameSize + MaxClientData, 0);
    EXPECT_TRUE(decodeFrame(huge));
    huge.push_back(0);
    EXPECT_FALSE(decodeFrame(huge));
}

TEST(H224Cme, MessagesRoundTripAndCountsAreBounded)
{
    CmeMessage command;
    command.type = CmeMessageType::ClientListCommand;
    EXPECT_EQ(encodeCmeMessage(command), (Bytes{0x01, 0xFF}));

    CmeMessage list;
    list.type = CmeMessageType::ClientList;
    list.clients = {ClientEntry{FeccClientId, {}, true},
                    ClientEntry{ExtendedClientId, {0x42}, false}};
    EXPECT_EQ(encodeCmeMessage(list), (Bytes{0x01, 0x00, 2, 0x81, 0x7E, 0x42}));
    EXPECT_EQ(decodeCmeMessage(encodeCmeMessage(list)), list);

    CmeMessage ask;
    ask.type = CmeMessageType::ExtraCapabilitiesCommand;
    ask.client.clientId = FeccClientId;
    ask.client.extraCapabilities = true;
    EXPECT_EQ(encodeCmeMessage(ask), (Bytes{0x02, 0xFF, 0x81}));
    EXPECT_EQ(decodeCmeMessage(encodeCmeMessage(ask)), ask);

    // A list that claims more clients than it has octets for, and unknown codes.
    for (const Bytes& bad : {Bytes{0x01, 0x00, 200, 0x81}, Bytes{0x01, 0x00}, Bytes{0x03, 0xFF},
                             Bytes{0x01, 0x17}, Bytes{0x02, 0x00}, Bytes{0x01}})
        EXPECT_FALSE(decodeCmeMessage(bad));
}

TEST(H281, ActionOctetsFollowTheDirectionBits)
{
    struct Case
    {
        ActionType type;
        int direction;
        uint8_t octet;
    };
    // Act bit, and the direction bit for right, up, in, in.
    const Case cases[] = {
        {ActionType::Pan, +1, 0x80},   {ActionType::Pan, -1, 0xC0},
        {ActionType::Tilt, +1, 0x30},  {ActionType::Tilt, -1, 0x20},
        {ActionType::Zoom, +1, 0x0C},  {ActionType::Zoom, -1, 0x08},
        {ActionType::Focus, +1, 0x03}, {ActionType::Focus, -1, 0x02},
    };
    for (const auto& c : cases) {
        FeccMessage start;
        start.move[c.type] = int8_t(c.direction);
        start.timeoutUnits = 3;
        EXPECT_EQ(encodeFeccMessage(start), (Bytes{0x01, c.octet, 0x03}))
            << actionTypeName(c.type) << c.direction;
        auto back = decodeFeccMessage(encodeFeccMessage(start));
        ASSERT_TRUE(back);
        EXPECT_EQ(back->move, start.move);
        EXPECT_EQ(back->timeout(), std::chrono::milliseconds(150));
    }
    FeccMessage left;
    left.move[ActionType::Pan] = 1;
    EXPECT_EQ(left.move.describe(), "pan=left");
    EXPECT_EQ(left.timeout(), std::chrono::milliseconds(800)); // 0 units
}

TEST(H281, MessagesOutsideTheLimitsAreRefused)
{
    FeccMessage preset;
    preset.type = FeccMessageType::ActivatePreset;
    preset.preset = 11;
    EXPECT_EQ(encodeFeccMessage(preset), (Bytes{0x07, 0xB0}));
    EXPECT_EQ(decodeFeccMessage(encodeFeccMessage(preset))->preset, 11);

    FeccMessage source;
    source.type = FeccMessageType::SelectVideoSource;
    source.videoSource = 3;
    EXPECT_EQ(decodeFeccMessage(encodeFeccMessage(source)), source);

    for (const Bytes& bad : {Bytes{}, Bytes{0x00, 0x80}, Bytes{0x08, 0x80}, Bytes{0x01, 0x80},
                             Bytes{0x01, 0x00, 0x03}, Bytes{0x01, 0x40, 0x03}, Bytes{0x03},
                             Bytes{0x06}})
        EXPECT_FALSE(decodeFeccMessage(bad)) << int(bad.empty() ? -1 : bad[0]);
    // Trailing octets are no reason to refuse.
    EXPECT_TRUE(decodeFeccMessage(Bytes{0x03, 0x80, 0xAA}));
}

TEST(H281, CapabilitiesRoundTripWithNamedSources)
{
    FeccCapabilities capabilities;
    capabilities.presets = 5;
    capabilities.broadcastSwitchable = true;
    VideoSourceCapabilities main;
    main.pan = main.tilt = main.zoom = true;
    VideoSourceCapabilities named;
    named.id = 7;
    named.name = "Whiteboard";
    named.motionVideo = false;
    named.normalStillImage = true;
    capabilities.sources = {main, named};
    const auto bytes = encodeFeccCapabilities(capabilities);
    EXPECT_EQ(Bytes(bytes.begin(), bytes.begin() + 3), (Bytes{0x15, 0x14, 0xE0}));
    EXPECT_EQ(decodeFeccCapabilities(bytes), capabilities);

    // A name of 17 characters, an unterminated one, an unprintable one, a source with no
    // camera octet.
    Bytes longName{0x00, 0x74};
    longName.insert(longName.end(), 17, 'a');
    longName.push_back(0);
    longName.push_back(0x80);
    EXPECT_FALSE(decodeFeccCapabilities(longName));
    EXPECT_FALSE(decodeFeccCapabilities(Bytes{0x00, 0x74, 'a', 'b'}));
    EXPECT_FALSE(decodeFeccCapabilities(Bytes{0x00, 0x61, 0x03, 0x00, 0x00}));
    EXPECT_FALSE(decodeFeccCapabilities(Bytes{0x00, 0x14}));
    EXPECT_FALSE(decodeFeccCapabilities(Bytes{}));
    Bytes many{0x00};
    for (int i = 0; i < 16; ++i)
        many.insert(many.end(), {0x14, 0x80});
    EXPECT_FALSE(decodeFeccCapabilities(many));
}

} // namespace
} // namespace voip::h224
