#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace voip::asn {

/// What went wrong while loading a schema, decoding or encoding a value.
struct Error
{
    std::string message;
    /// Bits from the start of the buffer where decoding stopped (0 for load and encode errors).
    std::size_t bitOffset = 0;
    /// Dotted path of field names, e.g. "h323-uu-pdu.h323-message-body.setup.fastStart[2]".
    std::string path;

    /// "message at bit N in path" in one line, for logs and tools.
    std::string toString() const;
};

/// A value or the error that prevented it. Never throws on access misuse in release code:
/// callers check ok() first.
template <class T> class Result
{
public:
    Result(T value)
        : state_(std::in_place_index<0>, std::move(value))
    {}
    Result(Error error)
        : state_(std::in_place_index<1>, std::move(error))
    {}

    bool ok() const { return state_.index() == 0; }
    explicit operator bool() const { return ok(); }

    T& value() & { return *std::get_if<0>(&state_); }
    const T& value() const& { return *std::get_if<0>(&state_); }
    T&& value() && { return std::move(*std::get_if<0>(&state_)); }
    T* operator->() { return std::get_if<0>(&state_); }
    const T* operator->() const { return std::get_if<0>(&state_); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }

    const Error& error() const { return *std::get_if<1>(&state_); }

private:
    std::variant<T, Error> state_;
};

/// Success, or the error of an operation that produces nothing else.
class Status
{
public:
    Status() = default;
    Status(Error error)
        : error_(std::move(error))
    {}
    bool ok() const { return !error_; }
    explicit operator bool() const { return ok(); }
    const Error& error() const { return *error_; }

private:
    std::optional<Error> error_;
};

} // namespace voip::asn
