#pragma once

#include <string>

#include "voip/base/result.h"

namespace voip {

/// Why a media or sound-device operation failed.
enum class MediaError
{
    InvalidArgument,
    Unsupported,
    NotFound,
    NotOpen,
    Closed,      ///< the channel or stream was closed while the caller waited
    EndOfStream, ///< a file-backed source reached its end
    DeviceFailure,
    BadData,
};

/// A failure of the media and device layers: its kind, and a message fit for a log line.
struct MediaFailure
{
    MediaError kind = MediaError::InvalidArgument;
    std::string message;
};

/// Success, or the failure that prevented it.
using MediaStatus = base::Status<MediaFailure>;
/// A value, or the failure that explains why there is none.
template <typename T> using MediaResult = base::Result<T, MediaFailure>;

} // namespace voip
