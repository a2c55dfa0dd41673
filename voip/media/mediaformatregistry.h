#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "voip/media/mediaformat.h"

namespace voip {

/// Names of the formats the engine registers by itself.
namespace format {
inline constexpr std::string_view G722 = "G.722-64k";
inline constexpr std::string_view G711ALaw = "G.711-ALaw-64k";
inline constexpr std::string_view G711uLaw = "G.711-uLaw-64k";
inline constexpr std::string_view H264High = "H.264-High";
inline constexpr std::string_view H264Mode0 = "H.264-0";
inline constexpr std::string_view H264Mode1 = "H.264-1";
inline constexpr std::string_view Fecc = "FECC-RTP";
inline constexpr std::string_view H239H264 = "H.239-H.264";
} // namespace format

/// Outcome of registering or writing back a format.
enum class RegistryStatus
{
    Ok,
    InvalidFormat, // empty name or payload type out of range
    DuplicateName, // register: the name is taken
    UnknownName,   // write back: no format of that name
    TypeMismatch,  // write back: the media type differs from the registered one
};

/// The set of known media formats, keyed by name.  Thread-safe: every member takes the
/// registry's mutex; formats go in and out as copies (copy-on-write, so cheap).
class MediaFormatRegistry
{
public:
    /// An empty registry (tests); the engine uses global().
    MediaFormatRegistry() = default;

    /// The process-wide registry, created on first use holding the standard formats.
    static MediaFormatRegistry& global();

    /// Adds the standard formats that are not there yet.
    void registerStandardFormats();

    RegistryStatus registerFormat(const MediaFormat& format);
    /// Replaces the registered format of the same name (and media type) with this one.
    RegistryStatus writeBack(const MediaFormat& format);
    bool unregisterFormat(std::string_view name);

    /// Copies of every registered format, in registration order.
    MediaFormatList all() const;
    std::optional<MediaFormat> find(std::string_view name) const;
    std::size_t size() const;

private:
    mutable std::mutex mutex_; // guards formats_
    MediaFormatList formats_;
};

/// The engine's standard formats (audio G.722 and G.711, H.264 variants, far-end camera
/// control, H.239 content) with their default options.
MediaFormatList standardMediaFormats();

} // namespace voip
