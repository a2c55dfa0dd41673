#include "voip/h323/capabilitymap.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <utility>

#include "voip/media/mediaformatregistry.h"
#include "voip/media/mediastream.h"
#include "voip/h323/fields.h"

namespace voip::h323 {

namespace {

std::uint8_t h264ProfileBits(std::string_view profile)
{
    if (profile == "High")
        return 8;
    if (profile == "Main")
        return 32;
    if (profile == "Extended")
        return 16;
    return 64; // Baseline
}

std::uint32_t bitRateUnits(const MediaFormat& format, std::uint32_t fallback)
{
    // H.245 counts bit rates in units of 100 bit/s.
    const auto bitRate = format.integerOption(option::MaxBitRate, 0);
    if (bitRate <= 0)
        return fallback;
    return static_cast<std::uint32_t>(std::min<std::int64_t>(bitRate / 100, 0xFFFFFFFF));
}

} // namespace

namespace {

/// H.264 Table A-1 by H.241 level number: MaxMBPS, MaxFS, MaxBR (1000 bit/s).
struct LevelRow
{
    std::string_view text;
    std::uint8_t number;
    std::uint32_t maxMbps;
    std::uint32_t maxFs;
    std::uint32_t maxBrKbps;
};
constexpr std::array<LevelRow, 16> levelTable{{
    {"1", 15, 1485, 99, 64},
    {"1b", 19, 1485, 99, 128},
    {"1.1", 22, 3000, 396, 192},
    {"1.2", 29, 6000, 396, 384},
    {"1.3", 36, 11880, 396, 768},
    {"2", 43, 11880, 396, 2000},
    {"2.1", 50, 19800, 792, 4000},
    {"2.2", 57, 20250, 1620, 4000},
    {"3", 64, 40500, 1620, 10000},
    {"3.1", 71, 108000, 3600, 14000},
    {"3.2", 78, 216000, 5120, 20000},
    {"4", 85, 245760, 8192, 20000},
    {"4.1", 92, 245760, 8192, 50000},
    {"4.2", 99, 522240, 8704, 50000},
    {"5", 106, 589824, 22080, 135000},
    {"5.1", 113, 983040, 36864, 240000},
}};

/// The row of the highest level at or below `number`.
const LevelRow& levelRow(std::uint8_t number)
{
    const LevelRow* found = &levelTable.front();
    for (const auto& row : levelTable)
        if (row.number <= number)
            found = &row;
    return *found;
}

std::uint64_t macroblocks(std::uint64_t width, std::uint64_t height)
{
    return ((width + 15) / 16) * ((height + 15) / 16);
}

/// The largest picture of the shape of width x height, in steps of 16 pixels across,
/// that has at most `maxFs` macroblocks and no side longer than H.264 A.3.1 allows
/// (sqrt(8 MaxFS) macroblocks).
std::pair<std::int64_t, std::int64_t> fitPicture(std::int64_t width, std::int64_t height,
                                                 std::uint64_t maxFs)
{
    const auto maxSide = static_cast<std::int64_t>(std::sqrt(8.0 * double(maxFs))) * 16;
    if (macroblocks(width, height) <= maxFs && width <= maxSide && height <= maxSide)
        return {width, height};
    for (std::int64_t w = std::min<std::int64_t>(width, maxSide) / 16 * 16; w >= 16; w -= 16) {
        const std::int64_t h = std::max<std::int64_t>(2, (height * w / width) / 2 * 2);
        if (h <= maxSide && macroblocks(w, h) <= maxFs)
            return {w, h};
    }
    return {16, 16};
}

} // namespace

bool isContentFormat(const MediaFormat& format)
{
    return format.mediaType() == MediaType::Video && format.hasOption(option::ContentRole);
}

std::uint8_t h264LevelNumber(std::string_view level)
{
    for (const auto& row : levelTable) {
        if (row.text == level)
            return row.number;
    }
    return 71;
}

std::string h264LevelText(std::uint8_t levelNumber)
{
    return std::string(levelRow(levelNumber).text);
}

H264Limits h264ReceiverLimits(const h245::H264Parameters& parameters)
{
    // H.241 8.3.2: custom values only ever raise what the level allows.
    const LevelRow& row = levelRow(parameters.level);
    H264Limits limits;
    limits.maxMbps = std::max<std::uint64_t>(
        row.maxMbps, std::uint64_t{parameters.customMaxMbps.value_or(0)} * 500);
    limits.maxFs =
        std::max<std::uint64_t>(row.maxFs, std::uint64_t{parameters.customMaxFs.value_or(0)} * 256);
    limits.maxBitRate =
        std::max<std::uint64_t>(std::uint64_t{row.maxBrKbps} * 1000,
                                std::uint64_t{parameters.customMaxBrAndCpb.value_or(0)} * 25000);
    return limits;
}

MediaFormat formatToTransmit(const MediaFormat& ours, const h245::Capability& theirs,
                             std::uint8_t packetizationMode)
{
    if (theirs.type == h245::CapabilityType::H224) {
        // H.323 Annex Q equipment announces hdlcFrameTunnelling and takes HDLC framed
        // frames; any other protocol gets the frames as they are (RFC 4573).
        MediaFormat format = ours;
        if (!format.hasOption(option::H224Framing))
            format.setStringOption(option::H224Framing,
                                   theirs.dataProtocol == f245::hdlcFrameTunnelling ? "HDLC"
                                                                                    : "bare");
        return format;
    }
    if (theirs.type != h245::CapabilityType::H264 &&
        theirs.type != h245::CapabilityType::H239Content)
        return ours;
    MediaFormat format = ours;
    const H264Limits limits = h264ReceiverLimits(theirs.h264);
    const std::uint8_t ourLevel = h264LevelNumber(ours.stringOption(option::Level, "3.1"));
    const std::uint8_t highest = std::min(ourLevel, levelRow(theirs.h264.level).number);
    // A decoder of another profile still decodes constrained Baseline; High and Main only
    // go to one that says it takes them.
    std::string profile = ours.stringOption(option::Profile, "Baseline");
    if (profile == "High" && !(theirs.h264.profile & 8))
        profile = "Main";
    if (profile == "Main" && !(theirs.h264.profile & (8 | 32)))
        profile = "Baseline";

    std::int64_t maxBitRate = ours.integerOption(option::MaxBitRate, 0);
    if (theirs.maxBitRate > 0)
        maxBitRate = std::min<std::int64_t>(maxBitRate, std::int64_t{theirs.maxBitRate} * 100);
    maxBitRate = std::min<std::int64_t>(maxBitRate, std::int64_t(limits.maxBitRate));
    const std::int64_t target =
        std::min(ours.integerOption(option::TargetBitRate, maxBitRate), maxBitRate);

    // Not a structured binding: clang 14 cannot capture those in the lambda below.
    const std::pair<std::int64_t, std::int64_t> picture =
        fitPicture(ours.integerOption(option::FrameWidth, 352),
                   ours.integerOption(option::FrameHeight, 288), limits.maxFs);
    const std::int64_t width = picture.first, height = picture.second;
    const std::int64_t clock = format.clockRate();
    std::int64_t frameTime =
        std::max<std::int64_t>(1, ours.integerOption(option::FrameTime, clock / 25));
    const std::uint64_t perPicture = macroblocks(std::uint64_t(width), std::uint64_t(height));
    if (perPicture * std::uint64_t(clock) > limits.maxMbps * std::uint64_t(frameTime))
        frameTime = std::int64_t((perPicture * std::uint64_t(clock) + limits.maxMbps - 1) /
                                 std::max<std::uint64_t>(1, limits.maxMbps));
    // The lowest level that holds the stream tells a decoder the least it must be ready
    // for; H.264 Table A-1 per picture, per second and for the bit rate.
    const std::uint64_t perSecond =
        (perPicture * std::uint64_t(clock) + std::uint64_t(frameTime) - 1) /
        std::uint64_t(frameTime);
    std::uint8_t level = highest;
    for (const auto& row : levelTable) {
        if (row.number > highest)
            break;
        if (row.text == "1b")
            continue;
        if (perPicture <= row.maxFs && perSecond <= row.maxMbps &&
            std::uint64_t(maxBitRate) <= std::uint64_t{row.maxBrKbps} * 1000) {
            level = row.number;
            break;
        }
    }

    format.change([&](MediaFormat::Editor& edit) {
        edit.setStringOption(option::Profile, profile);
        edit.setStringOption(option::Level, h264LevelText(level));
        edit.setIntegerOption(option::MaxBitRate, maxBitRate);
        edit.setIntegerOption(option::TargetBitRate, target);
        edit.setIntegerOption(option::FrameWidth, width);
        edit.setIntegerOption(option::FrameHeight, height);
        edit.setIntegerOption(option::FrameTime, frameTime);
        edit.setIntegerOption(option::PacketizationMode, packetizationMode);
    });
    return format;
}

std::optional<h245::Capability> capabilityOfFormat(const MediaFormat& format)
{
    h245::Capability capability;
    capability.direction = h245::CapabilityDirection::Receive;
    const std::string name = format.name();
    if (format.mediaType() == MediaType::Audio) {
        if (name == format::G711ALaw)
            capability.type = h245::CapabilityType::G711Alaw;
        else if (name == format::G711uLaw)
            capability.type = h245::CapabilityType::G711Ulaw;
        else if (name == format::G722)
            capability.type = h245::CapabilityType::G722;
        else
            return std::nullopt;
        capability.framesPerPacket = 20;
        return capability;
    }
    if (format.mediaType() == MediaType::H224) {
        capability.type = h245::CapabilityType::H224;
        capability.maxBitRate = 64; // 6.4 kbit/s is plenty for camera control
        return capability;
    }
    if (format.encodingName() != "H264" && name.rfind("H.264", 0) != 0 &&
        name.rfind("H.239", 0) != 0)
        return std::nullopt;
    capability.type =
        isContentFormat(format) ? h245::CapabilityType::H239Content : h245::CapabilityType::H264;
    capability.h264.profile = h264ProfileBits(format.stringOption(option::Profile, "Baseline"));
    capability.h264.level = h264LevelNumber(format.stringOption(option::Level, "3.1"));
    capability.maxBitRate = bitRateUnits(format, 20480); // 2 Mbit/s when the format says nothing
    // H.241 8.3.2: a picture size or rate beyond the level is said with custom parameters.
    const LevelRow& row = levelRow(capability.h264.level);
    const auto perPicture =
        macroblocks(std::uint64_t(format.integerOption(option::FrameWidth, 0)),
                    std::uint64_t(format.integerOption(option::FrameHeight, 0)));
    const auto frameTime = std::max<std::int64_t>(1, format.integerOption(option::FrameTime, 3600));
    const auto perSecond = perPicture * format.clockRate() / std::uint64_t(frameTime);
    if (perPicture > row.maxFs)
        capability.h264.customMaxFs = std::uint32_t((perPicture + 255) / 256);
    if (perSecond > row.maxMbps)
        capability.h264.customMaxMbps = std::uint32_t((perSecond + 499) / 500);
    if (isContentFormat(format))
        capability.h239Role = static_cast<std::uint8_t>(
            format.integerOption(option::ContentRole, h245::h239RolePresentation));
    return capability;
}

h245::H264Parameters decoderH264Parameters()
{
    h245::H264Parameters parameters;
    parameters.profile =
        h264ProfileBits("Baseline") | h264ProfileBits("Main") | h264ProfileBits("High");
    parameters.level = h264LevelNumber("5.1");
    return parameters;
}

h245::CapabilitySet capabilitySetOfFormats(const MediaFormatList& formats,
                                           std::uint8_t sequenceNumber,
                                           const h245::H264Parameters& receive)
{
    h245::CapabilitySet set;
    set.sequenceNumber = sequenceNumber;
    bool content = false;
    bool h264 = false;
    // The camera's H.264 goes as room systems announce it: an entry per profile, each at
    // its own level, so that a server that opens video only towards a capability exactly
    // like one of its own finds it.  The decoder takes them all.
    const auto cameraEntry = [&](std::uint8_t profile, std::uint8_t formatLevel) {
        h245::H264Parameters parameters = receive;
        parameters.profile = profile;
        parameters.level = std::min(receive.level, formatLevel);
        return parameters;
    };
    bool anyCamera = false;
    for (const auto& format : formats) {
        auto capability = capabilityOfFormat(format);
        if (!capability)
            continue;
        if (capability->type == h245::CapabilityType::H264)
            anyCamera = anyCamera || (capability->h264.profile & receive.profile) != 0;
    }
    for (const auto& format : formats) {
        auto capability = capabilityOfFormat(format);
        if (!capability)
            continue;
        const bool video = capability->type == h245::CapabilityType::H264 ||
                           capability->type == h245::CapabilityType::H239Content;
        std::optional<h245::Capability> main;
        if (capability->type == h245::CapabilityType::H264 && anyCamera) {
            const std::uint8_t profile = capability->h264.profile;
            if (!(profile & receive.profile))
                continue; // a profile the far end is not to send us
            capability->h264 = cameraEntry(profile, capability->h264.level);
            // Main, which the decoder takes too, beside High (no format sends it).
            if (profile == h264ProfileBits("High") && (receive.profile & h264ProfileBits("Main"))) {
                main = *capability;
                main->h264.profile = h264ProfileBits("Main");
            }
        } else if (video) {
            capability->h264 = receive;
        }
        content = content || capability->type == h245::CapabilityType::H239Content;
        h264 = h264 || video;
        set.capabilities.push_back(std::move(*capability));
        if (main)
            set.capabilities.push_back(std::move(*main));
    }
    // The depacketiser takes both modes a sender may choose.
    if (h264)
        set.h264PacketizationModes = {0, 1};
    if (content) {
        h245::Capability control;
        control.type = h245::CapabilityType::H239Control;
        control.direction = h245::CapabilityDirection::ReceiveAndTransmit;
        set.capabilities.push_back(control);
    }
    for (std::string_view input : {f245::basicString, f245::dtmf}) {
        h245::Capability capability;
        capability.type = h245::CapabilityType::UserInput;
        capability.direction = h245::CapabilityDirection::ReceiveAndTransmit;
        capability.userInputName = input;
        set.capabilities.push_back(std::move(capability));
    }
    return set;
}

const MediaFormat* formatOfCapability(const MediaFormatList& formats,
                                      const h245::Capability& capability)
{
    const MediaFormat* sameType = nullptr;
    for (const auto& format : formats) {
        auto ours = capabilityOfFormat(format);
        if (!ours || ours->type != capability.type)
            continue;
        if (capability.type != h245::CapabilityType::H264 &&
            capability.type != h245::CapabilityType::H239Content)
            return &format;
        if (ours->h264.profile & capability.h264.profile)
            return &format;
        if (!sameType)
            sameType = &format;
    }
    return sameType;
}

unsigned sessionOfFormat(const MediaFormat& format)
{
    switch (format.mediaType()) {
    case MediaType::Audio:
        return AudioSessionId;
    case MediaType::Video:
        return isContentFormat(format) ? ContentSessionId : VideoSessionId;
    case MediaType::H224:
        return DataSessionId;
    }
    return AudioSessionId;
}

} // namespace voip::h323
