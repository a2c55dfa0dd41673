#include "voip/media/mediaformatregistry.h"

#include <algorithm>

namespace voip {

namespace {

constexpr unsigned VideoClockRate = 90000; // RFC 3551 5: every video encoding uses 90 kHz
constexpr unsigned H224ClockRate = 4800;   // RFC 4573 3

// Default numbers in the dynamic range; the H.323 layer maps them per call as negotiated.
constexpr int H264HighPayloadType = 96;
constexpr int H264Mode0PayloadType = 97;
constexpr int H264Mode1PayloadType = 98;
constexpr int H239H264PayloadType = 99;
constexpr int FeccPayloadType = 100;

// H.239 role labels (H.239 Table 11): presentation content.
constexpr std::int64_t PresentationRole = 1;

MediaFormat audioFormat(std::string_view name, int payloadType, std::string encoding)
{
    // G.722 samples at 16 kHz but RTP counts it at 8 kHz (RFC 3551 4.5.2).
    MediaFormat format(std::string(name), MediaType::Audio, 8000, payloadType, std::move(encoding));
    format.change([](MediaFormat::Editor& edit) {
        edit.setIntegerOption(option::MaxBitRate, 64000);
        edit.setIntegerOption(option::TargetBitRate, 64000);
        edit.setIntegerOption(option::FrameTime, 160); // 20 ms at 8 kHz
    });
    return format;
}

MediaFormat h264Format(std::string_view name, int payloadType, std::string profile,
                       std::string level, std::int64_t packetizationMode)
{
    MediaFormat format(std::string(name), MediaType::Video, VideoClockRate, payloadType, "H264");
    format.change([&](MediaFormat::Editor& edit) {
        edit.setStringOption(option::Profile, std::move(profile));
        edit.setStringOption(option::Level, std::move(level));
        edit.setIntegerOption(option::FrameWidth, 352);
        edit.setIntegerOption(option::FrameHeight, 288);
        edit.setIntegerOption(option::FrameTime, VideoClockRate / 25);
        edit.setIntegerOption(option::TargetBitRate, 768000);
        edit.setIntegerOption(option::MaxBitRate, 768000);
        edit.setIntegerOption(option::PacketizationMode, packetizationMode);
    });
    return format;
}

} // namespace

MediaFormatList standardMediaFormats()
{
    MediaFormatList formats;
    formats.push_back(audioFormat(format::G722, 9, "G722"));
    formats.push_back(audioFormat(format::G711ALaw, 8, "PCMA"));
    formats.push_back(audioFormat(format::G711uLaw, 0, "PCMU"));
    formats.push_back(h264Format(format::H264High, H264HighPayloadType, "High", "4", 1));
    formats.push_back(h264Format(format::H264Mode0, H264Mode0PayloadType, "Baseline", "3.1", 0));
    formats.push_back(h264Format(format::H264Mode1, H264Mode1PayloadType, "Baseline", "3.1", 1));

    MediaFormat content = h264Format(format::H239H264, H239H264PayloadType, "Baseline", "3.1", 1);
    content.setIntegerOption(option::ContentRole, PresentationRole);
    formats.push_back(std::move(content));

    formats.emplace_back(std::string(format::Fecc), MediaType::H224, H224ClockRate, FeccPayloadType,
                         "H224");
    return formats;
}

MediaFormatRegistry& MediaFormatRegistry::global()
{
    static MediaFormatRegistry* registry = [] {
        auto* created = new MediaFormatRegistry; // lives to the end of the process
        created->registerStandardFormats();
        return created;
    }();
    return *registry;
}

void MediaFormatRegistry::registerStandardFormats()
{
    for (const auto& format : standardMediaFormats()) {
        registerFormat(format); // a name already taken keeps its registered entry
    }
}

RegistryStatus MediaFormatRegistry::registerFormat(const MediaFormat& format)
{
    if (!format.isValid()) {
        return RegistryStatus::InvalidFormat;
    }
    const auto name = format.name();
    std::lock_guard lock(mutex_);
    if (findFormat(formats_, name)) {
        return RegistryStatus::DuplicateName;
    }
    formats_.push_back(format);
    return RegistryStatus::Ok;
}

RegistryStatus MediaFormatRegistry::writeBack(const MediaFormat& format)
{
    if (!format.isValid()) {
        return RegistryStatus::InvalidFormat;
    }
    const auto name = format.name();
    std::lock_guard lock(mutex_);
    auto found = std::find_if(formats_.begin(), formats_.end(),
                              [&](const MediaFormat& entry) { return entry.name() == name; });
    if (found == formats_.end()) {
        return RegistryStatus::UnknownName;
    }
    if (found->mediaType() != format.mediaType()) {
        return RegistryStatus::TypeMismatch;
    }
    *found = format;
    return RegistryStatus::Ok;
}

bool MediaFormatRegistry::unregisterFormat(std::string_view name)
{
    std::lock_guard lock(mutex_);
    return std::erase_if(formats_, [&](const MediaFormat& entry) { return entry.name() == name; }) >
           0;
}

MediaFormatList MediaFormatRegistry::all() const
{
    std::lock_guard lock(mutex_);
    return formats_;
}

std::optional<MediaFormat> MediaFormatRegistry::find(std::string_view name) const
{
    std::lock_guard lock(mutex_);
    if (const auto* format = findFormat(formats_, name)) {
        return *format;
    }
    return std::nullopt;
}

std::size_t MediaFormatRegistry::size() const
{
    std::lock_guard lock(mutex_);
    return formats_.size();
}

} // namespace voip
