#pragma once

#include <optional>
#include <string>
#include <utility>

namespace voip {

/// Why a media or sound-device operation failed.
enum class MediaError
{
    None,
    InvalidArgument,
    Unsupported,
    NotFound,
    NotOpen,
    Closed,      ///< the channel or stream was closed while the caller waited
    EndOfStream, ///< a file-backed source reached its end
    DeviceFailure,
    BadData,
};

/// Outcome of an operation of the media and device layers: success, or an error kind
/// with a message fit for a log line.
class MediaStatus
{
public:
    MediaStatus() = default;
    static MediaStatus success() { return {}; }
    static MediaStatus failure(MediaError error, std::string message)
    {
        MediaStatus status;
        status.error_ = error;
        status.message_ = std::move(message);
        return status;
    }

    bool ok() const { return error_ == MediaError::None; }
    explicit operator bool() const { return ok(); }
    MediaError error() const { return error_; }
    const std::string& message() const { return message_; }

private:
    MediaError error_ = MediaError::None;
    std::string message_;
};

/// A value or the status that explains why there is none.
template <typename T> class MediaResult
{
public:
    MediaResult(T value)
        : value_(std::move(value))
    {}
    MediaResult(MediaStatus status)
        : status_(std::move(status))
    {
        if (status_.ok())
            status_ = MediaStatus::failure(MediaError::InvalidArgument, "result without a value");
    }

    bool ok() const { return value_.has_value(); }
    explicit operator bool() const { return ok(); }
    const MediaStatus& status() const { return status_; }
    T& value() { return *value_; }
    const T& value() const { return *value_; }
    T take() { return std::move(*value_); }

private:
    std::optional<T> value_;
    MediaStatus status_;
};

} // namespace voip
