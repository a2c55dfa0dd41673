#pragma once

#include <string>
#include <utility>

namespace voip {

/// Outcome of an engine operation that can fail: success, or a failure with a readable
/// message.  Converts to bool (true on success).
class Status
{
public:
    Status() = default;
    static Status failure(std::string message) { return Status(std::move(message)); }

    bool ok() const { return !failed_; }
    explicit operator bool() const { return ok(); }
    const std::string& message() const { return message_; }

private:
    explicit Status(std::string message)
        : failed_(true)
        , message_(std::move(message))
    {}
    bool failed_ = false;
    std::string message_;
};

} // namespace voip
