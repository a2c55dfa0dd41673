#include "voip/media/mediaformat.h"
#include "voip/media/mediaformatregistry.h"

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace voip {
namespace {

std::vector<std::string> namesOf(const MediaFormatList& formats)
{
    std::vector<std::string> names;
    for (const auto& format : formats) {
        names.push_back(format.name());
    }
    return names;
}

TEST(MediaFormat, CopiesShareUntilOneChanges)
{
    MediaFormat original("Test-1", MediaType::Video, 90000, 96, "H264");
    ASSERT_TRUE(original.setIntegerOption(option::FrameWidth, 352));

    MediaFormat copy = original;
    EXPECT_TRUE(copy.sharesDataWith(original));
    EXPECT_EQ(copy, original);

    ASSERT_TRUE(copy.setIntegerOption(option::FrameWidth, 1280));
    ASSERT_TRUE(copy.setPayloadType(109));
    EXPECT_FALSE(copy.sharesDataWith(original));
    EXPECT_EQ(original.integerOption(option::FrameWidth), 352);
    EXPECT_EQ(original.payloadType(), 96);
    EXPECT_EQ(copy.integerOption(option::FrameWidth), 1280);
    EXPECT_EQ(copy.payloadType(), 109);
    EXPECT_NE(copy, original);

    MediaFormat assigned;
    EXPECT_FALSE(assigned.isValid());
    assigned = copy;
    EXPECT_EQ(assigned, copy);
    MediaFormat moved = std::move(assigned);
    EXPECT_EQ(moved.integerOption(option::FrameWidth), 1280);
}

TEST(MediaFormat, RejectsBadValuesAndKeepsOldOnes)
{
    MediaFormat format("Test-2", MediaType::Audio, 0, 8, "PCMA");
    EXPECT_EQ(format.clockRate(), DefaultClockRate);

    EXPECT_FALSE(format.setPayloadType(128));
    EXPECT_FALSE(format.setPayloadType(-1));
    EXPECT_EQ(format.payloadType(), 8);
    EXPECT_TRUE(format.setPayloadType(127));

    ASSERT_TRUE(format.setStringOption(option::Profile, "High"));
    EXPECT_FALSE(format.setIntegerOption(option::Profile, 100)) << "type of an option is fixed";
    EXPECT_EQ(format.stringOption(option::Profile), "High");
    EXPECT_EQ(format.integerOption(option::Profile), std::nullopt);

    EXPECT_FALSE(format.setIntegerOption(option::MaxBitRate, -5));
    EXPECT_FALSE(format.hasOption(option::MaxBitRate));
    EXPECT_FALSE(format.setIntegerOption("", 1));
    EXPECT_EQ(format.integerOption(option::FrameHeight, 42), 42);
    EXPECT_EQ(format.stringOption(option::Level, "none"), "none");

    // A payload type out of range at construction is corrected, not kept.
    MediaFormat clamped("Test-3", MediaType::Audio, 8000, 300);
    EXPECT_EQ(clamped.payloadType(), MaxPayloadType);
}

TEST(MediaFormat, ChangeAppliesAllEditsOnAnUnsharedCopy)
{
    MediaFormat original("Test-4", MediaType::Video, 90000, 96);
    MediaFormat copy = original;
    copy.change([](MediaFormat::Editor& edit) {
        EXPECT_TRUE(edit.setPayloadType(109));
        EXPECT_TRUE(edit.setStringOption(option::Level, "5.1"));
        EXPECT_FALSE(edit.setIntegerOption(option::FrameTime, -1));
    });
    EXPECT_EQ(copy.payloadType(), 109);
    EXPECT_EQ(copy.stringOption(option::Level), "5.1");
    EXPECT_FALSE(original.hasOption(option::Level));
    EXPECT_EQ(original.payloadType(), 96);
}

TEST(MediaFormat, ConcurrentChangesOfOneObjectAndItsCopies)
{
    MediaFormat shared("Test-5", MediaType::Video, 90000, 96);
    ASSERT_TRUE(shared.setIntegerOption(option::FrameWidth, 0));
    std::atomic<bool> copiesStayed{true};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 2000; ++i) {
                MediaFormat mine = shared;
                mine.setIntegerOption(option::FrameHeight, t);
                if (mine.integerOption(option::FrameHeight) != t) {
                    copiesStayed = false;
                }
                shared.change([&](MediaFormat::Editor& edit) {
                    edit.setIntegerOption(option::FrameWidth, t);
                    edit.setIntegerOption(option::FrameHeight, t);
                });
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_TRUE(copiesStayed);
    // Both options were set together each time: they belong to the same writer.
    EXPECT_EQ(shared.integerOption(option::FrameWidth), shared.integerOption(option::FrameHeight));
}

TEST(FormatPattern, TrailingStarMatchesPrefixOtherwiseWholeName)
{
    EXPECT_TRUE(matchesFormatPattern("G.722-64k", "G.722-64k"));
    EXPECT_FALSE(matchesFormatPattern("G.722", "G.722-64k"));
    EXPECT_FALSE(matchesFormatPattern("G.722-64k", "G.722"));
    EXPECT_TRUE(matchesFormatPattern("g.722-64K", "G.722-64k"));
    EXPECT_TRUE(matchesFormatPattern("FECC*", "FECC-RTP"));
    EXPECT_TRUE(matchesFormatPattern("H.239*", "H.239-H.264"));
    EXPECT_FALSE(matchesFormatPattern("H.239*", "H.264-High"));
    EXPECT_TRUE(matchesFormatPattern("G.722.1-*", "G.722.1-24k"));
    EXPECT_FALSE(matchesFormatPattern("G.722.1-*", "G.722-64k"));
    EXPECT_TRUE(matchesFormatPattern("*", "anything"));
    EXPECT_FALSE(matchesFormatPattern("", "anything"));
    EXPECT_FALSE(matchesFormatPattern("", ""));
    EXPECT_FALSE(matchesFormatPattern("H.264-0", "H.264-1"));
}

TEST(FormatPattern, OrderThenMaskOnTheStandardFormats)
{
    const MediaFormatList standard = standardMediaFormats();
    const std::vector<std::string> order = {"G.722-64k", "G.711-ALaw-64k", "G.711-uLaw-64k",
                                            "H.264-High"};

    // Everything allowed: the ordered four first, the rest in registration order.
    std::vector<std::string> mask = {"G.722.1-*", "G.722.1C-*", "iLBC*",
                                     "Speex*",    "H.264-0",    "H.264-1"};
    auto offered = namesOf(applyOrderAndMask(standard, order, mask));
    EXPECT_EQ(offered, (std::vector<std::string>{"G.722-64k", "G.711-ALaw-64k", "G.711-uLaw-64k",
                                                 "H.264-High", "H.239-H.264", "FECC-RTP"}));

    // Masking G.722 removes it, and the first allowed ordered format comes first.
    mask.insert(mask.begin(), "G.722-64k");
    offered = namesOf(applyOrderAndMask(standard, order, mask));
    ASSERT_FALSE(offered.empty());
    EXPECT_EQ(offered.front(), "G.711-ALaw-64k");
    EXPECT_EQ(std::count(offered.begin(), offered.end(), "G.722-64k"), 0);

    // Everything switched off.
    mask = {"G.722-64k", "G.711-ALaw-64k", "G.711-uLaw-64k", "G.722.1-*", "G.722.1C-*", "iLBC*",
            "Speex*",    "FECC*",          "H.239*",         "H.264-0",   "H.264-1"};
    offered = namesOf(applyOrderAndMask(standard, order, mask));
    EXPECT_EQ(offered, (std::vector<std::string>{"H.264-High"}));

    // An order pattern with a star pulls all its matches forward, keeping their order.
    offered = namesOf(applyOrderAndMask(standard, {"H.264*", "FECC-RTP"}, {}));
    EXPECT_EQ(offered,
              (std::vector<std::string>{"H.264-High", "H.264-0", "H.264-1", "FECC-RTP", "G.722-64k",
                                        "G.711-ALaw-64k", "G.711-uLaw-64k", "H.239-H.264"}));
}

TEST(MediaFormatRegistry, HoldsTheStandardFormats)
{
    MediaFormatRegistry registry;
    registry.registerStandardFormats();

    struct Expected
    {
        std::string_view name;
        MediaType type;
        unsigned clock;
        int payloadType; // -1: any dynamic number
    };
    const Expected expected[] = {
        {format::G722, MediaType::Audio, 8000, 9},
        {format::G711ALaw, MediaType::Audio, 8000, 8},
        {format::G711uLaw, MediaType::Audio, 8000, 0},
        {format::H264High, MediaType::Video, 90000, -1},
        {format::H264Mode0, MediaType::Video, 90000, -1},
        {format::H264Mode1, MediaType::Video, 90000, -1},
        {format::H239H264, MediaType::Video, 90000, -1},
        {format::Fecc, MediaType::H224, 4800, -1},
    };
    EXPECT_EQ(registry.size(), std::size(expected));
    std::vector<int> dynamic;
    for (const auto& want : expected) {
        auto found = registry.find(want.name);
        ASSERT_TRUE(found) << want.name;
        EXPECT_EQ(found->mediaType(), want.type) << want.name;
        EXPECT_EQ(found->clockRate(), want.clock) << want.name;
        if (want.payloadType >= 0) {
            EXPECT_EQ(found->payloadType(), want.payloadType) << want.name;
        } else {
            EXPECT_GE(found->payloadType(), FirstDynamicPayloadType) << want.name;
            dynamic.push_back(found->payloadType());
        }
    }
    std::sort(dynamic.begin(), dynamic.end());
    EXPECT_EQ(std::adjacent_find(dynamic.begin(), dynamic.end()), dynamic.end())
        << "dynamic payload types must differ";

    EXPECT_EQ(registry.find(format::H239H264)->integerOption(option::ContentRole), 1);
    EXPECT_FALSE(registry.find(format::H264High)->hasOption(option::ContentRole));
    EXPECT_TRUE(std::string(format::Fecc).starts_with("FECC"));
    EXPECT_EQ(registry.find(format::H264Mode0)->integerOption(option::PacketizationMode), 0);
    EXPECT_EQ(registry.find(format::H264Mode1)->integerOption(option::PacketizationMode), 1);

    // Registering again adds nothing.
    registry.registerStandardFormats();
    EXPECT_EQ(registry.size(), std::size(expected));
    EXPECT_FALSE(registry.find("H.263"));
}

TEST(MediaFormatRegistry, FormatsAreShownByWhatTheyCarry)
{
    const MediaFormatList formats = standardMediaFormats();
    EXPECT_EQ(findFormat(formats, format::H264High)->displayName(), "H.264 High");
    EXPECT_EQ(findFormat(formats, format::H264Mode0)->displayName(), "H.264 Baseline");
    EXPECT_EQ(findFormat(formats, format::H239H264)->displayName(), "H.239 H.264 Baseline");
    EXPECT_EQ(findFormat(formats, format::G722)->displayName(), "G.722-64k");
    // A channel whose far end took less than High is named by what it carries.
    MediaFormat sent = *findFormat(formats, format::H264High);
    ASSERT_TRUE(sent.setStringOption(option::Profile, "Baseline"));
    EXPECT_EQ(sent.displayName(), "H.264 Baseline");
}

TEST(MediaFormatRegistry, WriteBackReplacesOnlyAKnownFormatOfTheSameType)
{
    MediaFormatRegistry registry;
    registry.registerStandardFormats();

    auto formats = registry.all();
    auto high = std::find_if(formats.begin(), formats.end(), [](const MediaFormat& entry) {
        return entry.name() == format::H264High;
    });
    ASSERT_NE(high, formats.end());
    high->change([](MediaFormat::Editor& edit) {
        edit.setPayloadType(109);
        edit.setStringOption(option::Level, "5.1");
        edit.setIntegerOption(option::TargetBitRate, 2048000);
        edit.setIntegerOption(option::FrameWidth, 1280);
    });
    // The copy changed, the registry not yet.
    EXPECT_EQ(registry.find(format::H264High)->stringOption(option::Level), "4");

    EXPECT_EQ(registry.writeBack(*high), RegistryStatus::Ok);
    auto stored = registry.find(format::H264High);
    EXPECT_EQ(stored->payloadType(), 109);
    EXPECT_EQ(stored->stringOption(option::Level), "5.1");
    EXPECT_EQ(stored->integerOption(option::TargetBitRate), 2048000);
    EXPECT_EQ(stored->integerOption(option::FrameWidth), 1280);
    EXPECT_EQ(*stored, *high);

    // Changing the caller's copy afterwards does not reach the registry.
    high->setIntegerOption(option::FrameWidth, 1920);
    EXPECT_EQ(registry.find(format::H264High)->integerOption(option::FrameWidth), 1280);

    EXPECT_EQ(registry.writeBack(MediaFormat("No-Such", MediaType::Audio, 8000, 0)),
              RegistryStatus::UnknownName);
    EXPECT_EQ(
        registry.writeBack(MediaFormat(std::string(format::G722), MediaType::Video, 90000, 9)),
        RegistryStatus::TypeMismatch);
    EXPECT_EQ(registry.find(format::G722)->mediaType(), MediaType::Audio);
    EXPECT_EQ(registry.writeBack(MediaFormat()), RegistryStatus::InvalidFormat);
    EXPECT_EQ(registry.registerFormat(MediaFormat()), RegistryStatus::InvalidFormat);
    EXPECT_EQ(registry.registerFormat(*registry.find(format::G722)), RegistryStatus::DuplicateName);

    EXPECT_TRUE(registry.unregisterFormat(format::G722));
    EXPECT_FALSE(registry.unregisterFormat(format::G722));
    EXPECT_FALSE(registry.find(format::G722));
}

TEST(MediaFormatRegistry, GlobalHoldsStandardFormatsAndSurvivesConcurrentUse)
{
    auto& registry = MediaFormatRegistry::global();
    EXPECT_TRUE(registry.find(format::G722));
    EXPECT_TRUE(registry.find(format::H264High));

    const std::string name = "Test-Concurrent";
    ASSERT_EQ(registry.registerFormat(MediaFormat(name, MediaType::Video, 90000, 120)),
              RegistryStatus::Ok);
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 500; ++i) {
                auto format = registry.find(name);
                if (!format) {
                    ++failures;
                    continue;
                }
                format->setIntegerOption(option::FrameWidth, t * 1000 + i);
                if (registry.writeBack(*format) != RegistryStatus::Ok) {
                    ++failures;
                }
                auto all = registry.all();
                if (!findFormat(all, name)) {
                    ++failures;
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(failures, 0);
    auto width = registry.find(name)->integerOption(option::FrameWidth);
    ASSERT_TRUE(width);
    EXPECT_EQ(*width % 1000, 499) << "the last write of some thread wins";
    EXPECT_TRUE(registry.unregisterFormat(name));
}

} // namespace
} // namespace voip
