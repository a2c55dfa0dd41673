#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <variant>

namespace voip::q931 {

/// Why a message or frame could not be read or written: a readable message and the
/// octet offset in the input where the problem was found.
struct Error
{
    std::string message;
    std::size_t offset = 0;

    std::string toString() const;
};

/// A value or an Error.  Errors are values in the call engine: nothing here throws.
template <typename T> class Result
{
public:
    Result(T value)
        : state_(std::move(value))
    {}
    Result(Error error)
        : state_(std::move(error))
    {}

    bool ok() const { return std::holds_alternative<T>(state_); }
    explicit operator bool() const { return ok(); }

    /// The value; only valid when ok().
    T& value() { return std::get<T>(state_); }
    const T& value() const { return std::get<T>(state_); }
    T& operator*() { return value(); }
    const T& operator*() const { return value(); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }

    /// The error; only valid when !ok().
    const Error& error() const { return std::get<Error>(state_); }

private:
    std::variant<T, Error> state_;
};

inline Error makeError(std::string message, std::size_t offset = 0)
{
    return Error{std::move(message), offset};
}

} // namespace voip::q931
