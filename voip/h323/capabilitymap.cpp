#include "voip/h323/capabilitymap.h"

#include <array>
#include <utility>

#include "voip/media/mediaformatregistry.h"
#include "voip/media/mediastream.h"

namespace voip::h323 {

namespace {

constexpr unsigned ContentSessionId = 32;

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

bool isContent(const MediaFormat& format)
{
    return format.mediaType() == MediaType::Video && format.hasOption(option::ContentRole);
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

std::uint8_t h264LevelNumber(std::string_view level)
{
    static constexpr std::array<std::pair<std::string_view, std::uint8_t>, 16> levels{{
        {"1", 15},
        {"1b", 19},
        {"1.1", 22},
        {"1.2", 29},
        {"1.3", 36},
        {"2", 43},
        {"2.1", 50},
        {"2.2", 57},
        {"3", 64},
        {"3.1", 71},
        {"3.2", 78},
        {"4", 85},
        {"4.1", 92},
        {"4.2", 99},
        {"5", 106},
        {"5.1", 113},
    }};
    for (const auto& [text, number] : levels) {
        if (text == level)
            return number;
    }
    return 71;
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
        isContent(format) ? h245::CapabilityType::H239Content : h245::CapabilityType::H264;
    capability.h264.profile = h264ProfileBits(format.stringOption(option::Profile, "Baseline"));
    capability.h264.level = h264LevelNumber(format.stringOption(option::Level, "3.1"));
    capability.maxBitRate = bitRateUnits(format, 20480); // 2 Mbit/s when the format says nothing
    if (isContent(format))
        capability.h239Role = static_cast<std::uint8_t>(
            format.integerOption(option::ContentRole, h245::h239RolePresentation));
    return capability;
}

h245::CapabilitySet capabilitySetOfFormats(const MediaFormatList& formats,
                                           std::uint8_t sequenceNumber)
{
    h245::CapabilitySet set;
    set.sequenceNumber = sequenceNumber;
    bool content = false;
    for (const auto& format : formats) {
        auto capability = capabilityOfFormat(format);
        if (!capability)
            continue;
        content = content || capability->type == h245::CapabilityType::H239Content;
        set.capabilities.push_back(std::move(*capability));
    }
    if (content) {
        h245::Capability control;
        control.type = h245::CapabilityType::H239Control;
        control.direction = h245::CapabilityDirection::ReceiveAndTransmit;
        set.capabilities.push_back(control);
    }
    for (const char* input : {"basicString", "dtmf"}) {
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
        return isContent(format) ? ContentSessionId : VideoSessionId;
    case MediaType::H224:
        return DataSessionId;
    }
    return AudioSessionId;
}

} // namespace voip::h323
