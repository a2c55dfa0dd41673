#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace voip {

/// What a media format carries.  H224 is the far-end camera control data channel
/// (H.224 over RTP, RFC 4573).
enum class MediaType
{
    Audio,
    Video,
    H224,
};

/// "audio", "video" or "H.224".
std::string_view mediaTypeName(MediaType type);

/// Names of the options that formats carry.  Frame time is in RTP clock units; bit
/// rates are in bit/s; the content role is the H.239 role (1 = presentation, 2 = live).
namespace option {
inline constexpr std::string_view FrameWidth = "Frame Width";
inline constexpr std::string_view FrameHeight = "Frame Height";
inline constexpr std::string_view TargetBitRate = "Target Bit Rate";
inline constexpr std::string_view MaxBitRate = "Max Bit Rate";
inline constexpr std::string_view FrameTime = "Frame Time";
inline constexpr std::string_view Profile = "Profile";
inline constexpr std::string_view Level = "Level";
inline constexpr std::string_view ContentRole = "Content Role";
inline constexpr std::string_view PacketizationMode = "Packetization Mode";
/// H.224: "HDLC" (frames as an HDLC bit stream) or "bare" (the frame's octets alone).
inline constexpr std::string_view H224Framing = "H.224 Framing";
} // namespace option

/// Clock rate assumed for a format that gives none.
inline constexpr unsigned DefaultClockRate = 8000;

/// RTP payload types are 7 bits (RFC 3550 5.1); 96-127 are the dynamic range (RFC 3551 3).
inline constexpr int MaxPayloadType = 127;
inline constexpr int FirstDynamicPayloadType = 96;

/// One media format: a name, what it carries, its RTP clock rate and payload type and a
/// set of typed options.
///
/// A value type with copy-on-write: copies share their data until one of them changes,
/// and a change never shows in other copies.  Each object has its own mutex, so that one
/// MediaFormat object may be read and changed from several threads; every setter takes it,
/// makes the data unique and changes it.  `change` runs several changes under one hold of
/// the lock.
class MediaFormat
{
public:
    using OptionValue = std::variant<std::int64_t, std::string>;

    /// An invalid format (empty name); isValid() is false.
    MediaFormat();
    MediaFormat(std::string name, MediaType type, unsigned clockRate, int payloadType,
                std::string encodingName = {});
    MediaFormat(const MediaFormat& other);
    MediaFormat& operator=(const MediaFormat& other);
    MediaFormat(MediaFormat&& other) noexcept;
    MediaFormat& operator=(MediaFormat&& other) noexcept;
    ~MediaFormat();

    bool isValid() const;
    std::string name() const;
    MediaType mediaType() const;
    /// The RTP clock rate; DefaultClockRate when the format gives none.
    unsigned clockRate() const;
    int payloadType() const;
    /// The RTP encoding name (RFC 3551), e.g. "PCMA", "H264"; may be empty.
    std::string encodingName() const;
    /// What a person reads: H.264 by the profile it carries ("H.264 High", "H.239 H.264
    /// Baseline" for content), whatever the format is called; other formats by name.
    std::string displayName() const;

    /// Fails (and changes nothing) outside 0..127.
    bool setPayloadType(int payloadType);

    bool hasOption(std::string_view name) const;
    std::optional<std::string> stringOption(std::string_view name) const;
    std::optional<std::int64_t> integerOption(std::string_view name) const;
    std::string stringOption(std::string_view name, std::string_view fallback) const;
    std::int64_t integerOption(std::string_view name, std::int64_t fallback) const;
    /// Sets an option.  Fails when the option exists with the other type, or when an
    /// integer option that is a size, time or rate would become negative.
    bool setStringOption(std::string_view name, std::string value);
    bool setIntegerOption(std::string_view name, std::int64_t value);
    std::vector<std::string> optionNames() const;

    /// The editable view handed to `change`.  Its setters validate like MediaFormat's.
    class Editor
    {
    public:
        bool setPayloadType(int payloadType);
        bool setStringOption(std::string_view name, std::string value);
        bool setIntegerOption(std::string_view name, std::int64_t value);
        const MediaFormat& format() const { return format_; }

    private:
        friend class MediaFormat;
        explicit Editor(MediaFormat& format)
            : format_(format)
        {}
        MediaFormat& format_;
    };

    /// Runs `edit` once under this format's lock on an unshared copy of its data.  Calls
    /// of this object's other members from inside `edit` deadlock: use the editor.
    void change(const std::function<void(Editor&)>& edit);

    /// Same name, type, clock, payload type, encoding and options.
    bool operator==(const MediaFormat& other) const;

    /// True while this object still shares its data with another copy (for tests).
    bool sharesDataWith(const MediaFormat& other) const;

private:
    struct Data;
    std::shared_ptr<const Data> snapshot() const;
    Data& uniqueData(); // mutex_ held
    bool setPayloadTypeLocked(int payloadType);
    bool setOptionLocked(std::string_view name, OptionValue value);

    mutable std::mutex mutex_; // guards data_ and unique_
    std::shared_ptr<const Data> data_;
    mutable bool unique_ = false; // no reference to *data_ has left this object
};

using MediaFormatList = std::vector<MediaFormat>;

/// Matches a format name against an order or mask pattern: a pattern ending in "*"
/// matches every name that begins with the text before it, any other pattern matches the
/// whole name.  Letters compare without regard to case.  An empty pattern matches
/// nothing.
bool matchesFormatPattern(std::string_view pattern, std::string_view name);

/// True when any pattern of the list matches the name.
bool matchesAnyPattern(const std::vector<std::string>& patterns, std::string_view name);

/// Puts the formats that match the order patterns first, pattern by pattern in the
/// order given (formats that match one pattern keep their list order), then the rest in
/// their list order; then removes every format that matches a mask pattern.
MediaFormatList applyOrderAndMask(MediaFormatList formats, const std::vector<std::string>& order,
                                  const std::vector<std::string>& mask);

/// The first format of the list with this exact name, or nullptr.
const MediaFormat* findFormat(const MediaFormatList& formats, std::string_view name);

} // namespace voip
