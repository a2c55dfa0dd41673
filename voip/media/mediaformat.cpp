#include "voip/media/mediaformat.h"

#include <algorithm>
#include <array>
#include <cctype>

namespace voip {

struct MediaFormat::Data
{
    std::string name;
    MediaType type = MediaType::Audio;
    unsigned clockRate = 0;
    int payloadType = 0;
    std::string encodingName;
    std::map<std::string, OptionValue, std::less<>> options;

    bool operator==(const Data&) const = default;
};

namespace {

// Options whose value is a size, a time or a rate: never negative.
constexpr std::array<std::string_view, 6> NonNegativeOptions = {
    option::FrameWidth, option::FrameHeight, option::TargetBitRate,
    option::MaxBitRate, option::FrameTime,   option::ContentRole,
};

bool isNonNegativeOption(std::string_view name)
{
    return std::find(NonNegativeOptions.begin(), NonNegativeOptions.end(), name) !=
           NonNegativeOptions.end();
}

bool equalsNoCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

} // namespace

std::string_view mediaTypeName(MediaType type)
{
    switch (type) {
    case MediaType::Audio:
        return "audio";
    case MediaType::Video:
        return "video";
    case MediaType::H224:
        return "H.224";
    }
    return "unknown";
}

MediaFormat::MediaFormat() = default;

MediaFormat::MediaFormat(std::string name, MediaType type, unsigned clockRate, int payloadType,
                         std::string encodingName)
{
    auto data = std::make_shared<Data>();
    data->name = std::move(name);
    data->type = type;
    data->clockRate = clockRate;
    data->payloadType = std::clamp(payloadType, 0, MaxPayloadType);
    data->encodingName = std::move(encodingName);
    data_ = std::move(data);
    unique_ = true;
}

MediaFormat::MediaFormat(const MediaFormat& other)
    : data_(other.snapshot())
{}

MediaFormat& MediaFormat::operator=(const MediaFormat& other)
{
    if (this != &other) {
        auto data = other.snapshot();
        std::lock_guard lock(mutex_);
        data_ = std::move(data);
        unique_ = false;
    }
    return *this;
}

MediaFormat::MediaFormat(MediaFormat&& other) noexcept
{
    std::lock_guard lock(other.mutex_);
    data_ = std::move(other.data_);
    unique_ = other.unique_;
    other.unique_ = false;
}

MediaFormat& MediaFormat::operator=(MediaFormat&& other) noexcept
{
    if (this != &other) {
        std::scoped_lock lock(mutex_, other.mutex_);
        data_ = std::move(other.data_);
        unique_ = other.unique_;
        other.unique_ = false;
    }
    return *this;
}

MediaFormat::~MediaFormat() = default;

std::shared_ptr<const MediaFormat::Data> MediaFormat::snapshot() const
{
    std::lock_guard lock(mutex_);
    // The caller reads the data without our lock: from now on a change must copy.
    unique_ = false;
    return data_;
}

MediaFormat::Data& MediaFormat::uniqueData()
{
    // The data is changed in place only while no reference to it has left this object
    // since this object made it (use_count() would need an acquire that it lacks).
    if (!data_) {
        data_ = std::make_shared<Data>();
    } else if (!unique_) {
        data_ = std::make_shared<Data>(*data_);
    }
    unique_ = true;
    return const_cast<Data&>(*data_);
}

bool MediaFormat::isValid() const
{
    auto data = snapshot();
    return data && !data->name.empty();
}

std::string MediaFormat::name() const
{
    auto data = snapshot();
    return data ? data->name : std::string();
}

MediaType MediaFormat::mediaType() const
{
    auto data = snapshot();
    return data ? data->type : MediaType::Audio;
}

unsigned MediaFormat::clockRate() const
{
    auto data = snapshot();
    return data && data->clockRate != 0 ? data->clockRate : DefaultClockRate;
}

int MediaFormat::payloadType() const
{
    auto data = snapshot();
    return data ? data->payloadType : 0;
}

std::string MediaFormat::encodingName() const
{
    auto data = snapshot();
    return data ? data->encodingName : std::string();
}

std::string MediaFormat::displayName() const
{
    if (encodingName() != "H264" || !hasOption(option::Profile))
        return name();
    return std::string(hasOption(option::ContentRole) ? "H.239 H.264 " : "H.264 ") +
           stringOption(option::Profile, "Baseline");
}

bool MediaFormat::setPayloadTypeLocked(int payloadType)
{
    if (payloadType < 0 || payloadType > MaxPayloadType) {
        return false;
    }
    uniqueData().payloadType = payloadType;
    return true;
}

bool MediaFormat::setOptionLocked(std::string_view name, OptionValue value)
{
    if (name.empty()) {
        return false;
    }
    if (auto* number = std::get_if<std::int64_t>(&value);
        number && *number < 0 && isNonNegativeOption(name)) {
        return false;
    }
    if (data_) {
        auto found = data_->options.find(name);
        if (found != data_->options.end() && found->second.index() != value.index()) {
            return false;
        }
    }
    uniqueData().options.insert_or_assign(std::string(name), std::move(value));
    return true;
}

bool MediaFormat::setPayloadType(int payloadType)
{
    std::lock_guard lock(mutex_);
    return setPayloadTypeLocked(payloadType);
}

bool MediaFormat::hasOption(std::string_view name) const
{
    auto data = snapshot();
    return data && data->options.find(name) != data->options.end();
}

std::optional<std::string> MediaFormat::stringOption(std::string_view name) const
{
    auto data = snapshot();
    if (!data) {
        return std::nullopt;
    }
    auto found = data->options.find(name);
    if (found == data->options.end()) {
        return std::nullopt;
    }
    if (const auto* text = std::get_if<std::string>(&found->second)) {
        return *text;
    }
    return std::nullopt;
}

std::optional<std::int64_t> MediaFormat::integerOption(std::string_view name) const
{
    auto data = snapshot();
    if (!data) {
        return std::nullopt;
    }
    auto found = data->options.find(name);
    if (found == data->options.end()) {
        return std::nullopt;
    }
    if (const auto* number = std::get_if<std::int64_t>(&found->second)) {
        return *number;
    }
    return std::nullopt;
}

std::string MediaFormat::stringOption(std::string_view name, std::string_view fallback) const
{
    auto value = stringOption(name);
    return value ? *value : std::string(fallback);
}

std::int64_t MediaFormat::integerOption(std::string_view name, std::int64_t fallback) const
{
    return integerOption(name).value_or(fallback);
}

bool MediaFormat::setStringOption(std::string_view name, std::string value)
{
    std::lock_guard lock(mutex_);
    return setOptionLocked(name, std::move(value));
}

bool MediaFormat::setIntegerOption(std::string_view name, std::int64_t value)
{
    std::lock_guard lock(mutex_);
    return setOptionLocked(name, value);
}

std::vector<std::string> MediaFormat::optionNames() const
{
    std::vector<std::string> names;
    if (auto data = snapshot()) {
        for (const auto& entry : data->options) {
            names.push_back(entry.first);
        }
    }
    return names;
}

bool MediaFormat::Editor::setPayloadType(int payloadType)
{
    return format_.setPayloadTypeLocked(payloadType);
}

bool MediaFormat::Editor::setStringOption(std::string_view name, std::string value)
{
    return format_.setOptionLocked(name, std::move(value));
}

bool MediaFormat::Editor::setIntegerOption(std::string_view name, std::int64_t value)
{
    return format_.setOptionLocked(name, value);
}

void MediaFormat::change(const std::function<void(Editor&)>& edit)
{
    std::lock_guard lock(mutex_);
    Editor editor(*this);
    edit(editor);
}

bool MediaFormat::operator==(const MediaFormat& other) const
{
    auto mine = snapshot();
    auto theirs = other.snapshot();
    if (mine == theirs) {
        return true;
    }
    if (!mine || !theirs) {
        return false;
    }
    return *mine == *theirs;
}

bool MediaFormat::sharesDataWith(const MediaFormat& other) const
{
    auto mine = snapshot();
    return mine && mine == other.snapshot();
}

bool matchesFormatPattern(std::string_view pattern, std::string_view name)
{
    if (pattern.empty()) {
        return false;
    }
    if (pattern.back() == '*') {
        auto prefix = pattern.substr(0, pattern.size() - 1);
        return name.size() >= prefix.size() && equalsNoCase(name.substr(0, prefix.size()), prefix);
    }
    return equalsNoCase(pattern, name);
}

bool matchesAnyPattern(const std::vector<std::string>& patterns, std::string_view name)
{
    return std::any_of(patterns.begin(), patterns.end(), [&](const std::string& pattern) {
        return matchesFormatPattern(pattern, name);
    });
}

MediaFormatList applyOrderAndMask(MediaFormatList formats, const std::vector<std::string>& order,
                                  const std::vector<std::string>& mask)
{
    MediaFormatList result;
    result.reserve(formats.size());
    std::vector<bool> taken(formats.size(), false);
    for (const auto& pattern : order) {
        for (std::size_t i = 0; i < formats.size(); ++i) {
            if (!taken[i] && matchesFormatPattern(pattern, formats[i].name())) {
                taken[i] = true;
                result.push_back(std::move(formats[i]));
            }
        }
    }
    for (std::size_t i = 0; i < formats.size(); ++i) {
        if (!taken[i]) {
            result.push_back(std::move(formats[i]));
        }
    }
    std::erase_if(
        result, [&](const MediaFormat& format) { return matchesAnyPattern(mask, format.name()); });
    return result;
}

const MediaFormat* findFormat(const MediaFormatList& formats, std::string_view name)
{
    for (const auto& format : formats) {
        if (format.name() == name) {
            return &format;
        }
    }
    return nullptr;
}

} // namespace voip
