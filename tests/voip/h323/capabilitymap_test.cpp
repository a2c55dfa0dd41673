#include "voip/h323/capabilitymap.h"

#include <gtest/gtest.h>

#include "voip/media/mediaformatregistry.h"
#include "voip/media/mediastream.h"

namespace voip::h323 {
namespace {

TEST(CapabilityMap, AnnouncesFormatsInOrderWithUserInput)
{
    const MediaFormatList formats = standardMediaFormats();
    auto set = capabilitySetOfFormats(formats, 3);
    EXPECT_EQ(set.sequenceNumber, 3);
    ASSERT_GE(set.capabilities.size(), 4u);
    EXPECT_EQ(set.capabilities[0].type, h245::CapabilityType::G722);
    EXPECT_EQ(set.capabilities[1].type, h245::CapabilityType::G711Alaw);
    EXPECT_EQ(set.capabilities[2].type, h245::CapabilityType::G711Ulaw);
    // The camera's H.264 as room systems announce it: an entry per profile at its own
    // level (High 4, Main beside it, Baseline 3.1 for each packetisation), which servers
    // that open video only towards an exact match find.  Content keeps one entry.
    std::vector<std::pair<int, int>> camera;
    for (const auto& capability : set.capabilities) {
        if (capability.type == h245::CapabilityType::H264) {
            camera.emplace_back(capability.h264.profile, capability.h264.level);
            EXPECT_FALSE(capability.h264.customMaxFs);
        }
        if (capability.type == h245::CapabilityType::H239Content) {
            EXPECT_EQ(capability.h264.profile, 64 | 32 | 8);
        }
    }
    EXPECT_EQ(camera, (std::vector<std::pair<int, int>>{{8, 85}, {32, 85}, {64, 71}, {64, 71}}));
    // What the far end may send us is what we receive: without High, no High entry.
    h245::H264Parameters baselineOnly = decoderH264Parameters();
    baselineOnly.profile = 64;
    baselineOnly.level = 64;
    for (const auto& capability : capabilitySetOfFormats(formats, 1, baselineOnly).capabilities)
        if (capability.type == h245::CapabilityType::H264) {
            EXPECT_EQ(capability.h264.profile, 64);
            EXPECT_EQ(capability.h264.level, 64) << "never above what the decoder is told";
        }
    int userInput = 0;
    bool h239Control = false;
    for (const auto& capability : set.capabilities) {
        userInput += capability.type == h245::CapabilityType::UserInput;
        h239Control = h239Control || capability.type == h245::CapabilityType::H239Control;
    }
    EXPECT_EQ(userInput, 2);
    EXPECT_TRUE(h239Control); // the content format is offered
    // Without a content format there is no H.239 control capability.
    MediaFormatList audioOnly{*findFormat(formats, format::G711uLaw)};
    auto small = capabilitySetOfFormats(audioOnly, 1);
    ASSERT_EQ(small.capabilities.size(), 3u);
    EXPECT_EQ(small.capabilities[0].type, h245::CapabilityType::G711Ulaw);
}

TEST(CapabilityMap, FindsTheFormatOfAPeerCapability)
{
    const MediaFormatList formats = standardMediaFormats();
    h245::Capability alaw;
    alaw.type = h245::CapabilityType::G711Alaw;
    const MediaFormat* found = formatOfCapability(formats, alaw);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->name(), format::G711ALaw);

    h245::Capability baseline;
    baseline.type = h245::CapabilityType::H264;
    baseline.h264.profile = 64;
    found = formatOfCapability(formats, baseline);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->name(), format::H264Mode0); // first Baseline format, not High

    h245::Capability h261;
    h261.type = h245::CapabilityType::H261;
    EXPECT_EQ(formatOfCapability(formats, h261), nullptr);
}

TEST(CapabilityMap, SessionsAndLevels)
{
    const MediaFormatList formats = standardMediaFormats();
    EXPECT_EQ(sessionOfFormat(*findFormat(formats, format::G722)), AudioSessionId);
    EXPECT_EQ(sessionOfFormat(*findFormat(formats, format::H264High)), VideoSessionId);
    EXPECT_EQ(sessionOfFormat(*findFormat(formats, format::Fecc)), DataSessionId);
    EXPECT_GT(sessionOfFormat(*findFormat(formats, format::H239H264)), DataSessionId);
    EXPECT_EQ(h264LevelNumber("5.1"), 113);
    EXPECT_EQ(h264LevelNumber("3.1"), 71);
    EXPECT_EQ(h264LevelNumber("nonsense"), 71);
    MediaFormat high = *findFormat(formats, format::H264High);
    high.setIntegerOption(option::MaxBitRate, 2048000);
    auto capability = capabilityOfFormat(high);
    ASSERT_TRUE(capability);
    EXPECT_EQ(capability->maxBitRate, 20480u);
}

TEST(CapabilityMap, SendsNoMoreThanTheFarEndTakes)
{
    MediaFormat ours = *findFormat(standardMediaFormats(), format::H264High);
    ours.change([](MediaFormat::Editor& edit) {
        edit.setStringOption(option::Level, "5.1");
        edit.setIntegerOption(option::FrameWidth, 1920);
        edit.setIntegerOption(option::FrameHeight, 1080);
        edit.setIntegerOption(option::MaxBitRate, 4'000'000);
        edit.setIntegerOption(option::TargetBitRate, 4'000'000);
    });
    // A Baseline decoder of level 3 (1620 macroblocks, 40500 a second) at 1 Mbit/s.
    h245::Capability theirs;
    theirs.type = h245::CapabilityType::H264;
    theirs.h264.profile = 64;
    theirs.h264.level = 64;
    theirs.maxBitRate = 10000;
    MediaFormat sent = formatToTransmit(ours, theirs, 0);
    EXPECT_EQ(sent.stringOption(option::Profile, ""), "Baseline");
    EXPECT_EQ(sent.stringOption(option::Level, ""), "3");
    EXPECT_EQ(sent.integerOption(option::MaxBitRate, 0), 1'000'000);
    EXPECT_EQ(sent.integerOption(option::TargetBitRate, 0), 1'000'000);
    const auto width = sent.integerOption(option::FrameWidth, 0);
    const auto height = sent.integerOption(option::FrameHeight, 0);
    EXPECT_LE(((width + 15) / 16) * ((height + 15) / 16), 1620);
    EXPECT_NEAR(double(width) / double(height), 16.0 / 9.0, 0.05) << width << "x" << height;
    EXPECT_GE(width, 640) << "the largest picture that fits, not a tiny one";
    // 40500 macroblocks a second leave 1620-macroblock pictures 25 a second at most.
    const auto perPicture = ((width + 15) / 16) * ((height + 15) / 16);
    EXPECT_LE(perPicture * 90000 / sent.integerOption(option::FrameTime, 1), 40500);
    EXPECT_EQ(sent.integerOption(option::PacketizationMode, 1), 0);

    // Custom parameters raise the level's limits: the same decoder saying it takes 1080p
    // at 30 gets all of it, in High if it says so.
    theirs.h264.profile = 64 | 8;
    theirs.h264.customMaxFs = 32;        // 8192 macroblocks
    theirs.h264.customMaxMbps = 490;     // 245000 a second
    theirs.h264.customMaxBrAndCpb = 200; // 5 Mbit/s
    theirs.maxBitRate = 0;
    sent = formatToTransmit(ours, theirs, 1);
    EXPECT_EQ(sent.stringOption(option::Profile, ""), "High");
    EXPECT_EQ(sent.integerOption(option::FrameWidth, 0), 1920);
    EXPECT_EQ(sent.integerOption(option::FrameHeight, 0), 1080);
    EXPECT_EQ(sent.integerOption(option::FrameTime, 0), 3600);
    EXPECT_EQ(sent.integerOption(option::MaxBitRate, 0), 4'000'000);
    EXPECT_EQ(sent.integerOption(option::PacketizationMode, 0), 1);

    // Audio is sent as it is.
    const MediaFormat alaw = *findFormat(standardMediaFormats(), format::G711ALaw);
    h245::Capability g711;
    g711.type = h245::CapabilityType::G711Alaw;
    EXPECT_TRUE(formatToTransmit(alaw, g711, 1) == alaw);
}

TEST(CapabilityMap, APictureBeyondTheLevelIsAnnouncedWithCustomParameters)
{
    MediaFormat format = *findFormat(standardMediaFormats(), format::H264High);
    format.change([](MediaFormat::Editor& edit) {
        edit.setStringOption(option::Level, "3.1"); // 3600 macroblocks, 108000 a second
        edit.setIntegerOption(option::FrameWidth, 1920);
        edit.setIntegerOption(option::FrameHeight, 1080);
        edit.setIntegerOption(option::FrameTime, 3000); // 30 a second
    });
    auto capability = capabilityOfFormat(format);
    ASSERT_TRUE(capability);
    EXPECT_EQ(capability->h264.customMaxFs, 32u);    // 8160 macroblocks in units of 256
    EXPECT_EQ(capability->h264.customMaxMbps, 490u); // 244800 a second in units of 500
    EXPECT_EQ(h264ReceiverLimits(capability->h264).maxFs, 8192u);
    format.setIntegerOption(option::FrameWidth, 1280);
    format.setIntegerOption(option::FrameHeight, 720);
    capability = capabilityOfFormat(format);
    EXPECT_FALSE(capability->h264.customMaxFs) << "720p fits level 3.1";
    EXPECT_EQ(h264LevelText(113), "5.1");
    EXPECT_EQ(h264LevelText(70), "3");
}

TEST(CapabilityMap, H224FramingFollowsTheDataProtocolTheFarEndAnnounces)
{
    const MediaFormat fecc = *findFormat(standardMediaFormats(), format::Fecc);
    h245::Capability theirs;
    theirs.type = h245::CapabilityType::H224;
    theirs.maxBitRate = 640;
    // Read back from the wire as a peer announces it, then followed.
    for (const auto& [protocol, framing] :
         {std::pair{"hdlcFrameTunnelling", "HDLC"}, std::pair{"transparent", "bare"}}) {
        theirs.dataProtocol = protocol;
        const auto read = h245::readCapability(h245::buildCapability(theirs));
        EXPECT_EQ(read.dataProtocol, protocol);
        EXPECT_EQ(formatToTransmit(fecc, read, 0).stringOption(option::H224Framing, ""), framing);
    }
    // What we announce is what Annex Q equipment takes.
    EXPECT_EQ(capabilityOfFormat(fecc)->dataProtocol, "hdlcFrameTunnelling");
}

/// What a 1280x720, 25 a second, 2 Mbit/s High profile sender gives a receiver of
/// `level` with these custom limits.
MediaFormat sentTo(std::uint8_t level, std::optional<std::uint32_t> maxFs = {},
                   std::optional<std::uint32_t> maxMbps = {}, std::uint8_t profile = 64)
{
    MediaFormat ours = *findFormat(standardMediaFormats(), format::H264High);
    ours.change([](MediaFormat::Editor& edit) {
        edit.setStringOption(option::Level, "5.1");
        edit.setIntegerOption(option::FrameWidth, 1280);
        edit.setIntegerOption(option::FrameHeight, 720);
        edit.setIntegerOption(option::FrameTime, 3600);
        edit.setIntegerOption(option::MaxBitRate, 2'000'000);
        edit.setIntegerOption(option::TargetBitRate, 2'000'000);
    });
    h245::Capability theirs;
    theirs.type = h245::CapabilityType::H264;
    theirs.h264.profile = profile;
    theirs.h264.level = level;
    theirs.h264.customMaxFs = maxFs;
    theirs.h264.customMaxMbps = maxMbps;
    return formatToTransmit(ours, theirs, 1);
}

struct Sent
{
    std::string level;
    std::int64_t width, height, frameTime, bitRate;
};

Sent describe(const MediaFormat& format)
{
    return {format.stringOption(option::Level, ""), format.integerOption(option::FrameWidth, 0),
            format.integerOption(option::FrameHeight, 0),
            format.integerOption(option::FrameTime, 0),
            format.integerOption(option::MaxBitRate, 0)};
}

TEST(CapabilityMap, TheLevelSentIsTheLowestThatHoldsTheStreamWithinTheReceivers)
{
    // Level 1.3 (CIF decoders: 396 macroblocks, 11880 a second, 768 kbit/s).
    auto sent = describe(sentTo(36));
    EXPECT_EQ(sent.level, "1.3");
    EXPECT_EQ(sent.width, 416);
    EXPECT_EQ(sent.height, 234);
    EXPECT_EQ(sent.frameTime, 3600) << "390 macroblocks 25 a second fit";
    EXPECT_EQ(sent.bitRate, 768'000);
    // Level 3 with a MaxFS for 720p but the level's 40500 macroblocks a second: the
    // picture is kept, the rate goes down, and the level stays the receiver's (its custom
    // MaxFS carries the size; level 3.1 would be beyond what it said).
    sent = describe(sentTo(64, 15));
    EXPECT_EQ(sent.level, "3");
    EXPECT_EQ(sent.width, 1280);
    EXPECT_EQ(sent.frameTime, 8000) << "11.25 pictures a second";
    // Level 3.1 holds 720p25 as it is; a level 4 receiver gets level 3.1 too, the least a
    // decoder needs for this stream.
    for (const std::uint8_t level : {71, 85}) {
        sent = describe(sentTo(level));
        EXPECT_EQ(sent.level, "3.1") << int(level);
        EXPECT_EQ(sent.width, 1280);
        EXPECT_EQ(sent.frameTime, 3600);
        EXPECT_EQ(sent.bitRate, 2'000'000);
    }
}

TEST(CapabilityMap, AbsurdReceiverValuesAreTakenAsTheNearestH241Allows)
{
    // Level 0 is no level: the lowest, level 1 (99 macroblocks, 1485 a second).
    auto sent = describe(sentTo(0));
    EXPECT_EQ(sent.level, "1");
    EXPECT_LE(((sent.width + 15) / 16) * ((sent.height + 15) / 16), 99);
    EXPECT_GE(sent.width, 16);
    // MaxFS 0 is no limit beyond the level's; a huge MaxMBPS lifts the rate limit only.
    sent = describe(sentTo(36, 0, 0xFFFFFFFFu));
    EXPECT_EQ(sent.width, 416);
    EXPECT_EQ(sent.frameTime, 3600);
    // A level beyond 5.1 counts as 5.1; ours (5.1) and the stream decide.
    sent = describe(sentTo(250));
    EXPECT_EQ(sent.level, "3.1");
    EXPECT_EQ(sent.width, 1280);
}

} // namespace
} // namespace voip::h323
