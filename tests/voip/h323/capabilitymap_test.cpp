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
    EXPECT_EQ(set.capabilities[3].type, h245::CapabilityType::H264);
    EXPECT_EQ(set.capabilities[3].h264.profile, 8); // High
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

} // namespace
} // namespace voip::h323
