#pragma once

#include <optional>
#include <utility>
#include <variant>

namespace voip::base {

/// A value, or the error `E` that prevented it.  Errors are values in the engine: no failure
/// throws, and callers check ok() before they read the value.  Each layer names its
/// own error (what it knows of where things went wrong) and uses this with it.
template <class T, class E> class Result
{
public:
    Result(T value)
        : state_(std::in_place_index<0>, std::move(value))
    {}
    Result(E error)
        : state_(std::in_place_index<1>, std::move(error))
    {}

    bool ok() const { return state_.index() == 0; }
    explicit operator bool() const { return ok(); }

    /// The value; only when ok() (throws std::bad_variant_access otherwise).
    T& value() & { return std::get<0>(state_); }
    const T& value() const& { return std::get<0>(state_); }
    T&& value() && { return std::get<0>(std::move(state_)); }
    /// Moves the value out; only when ok().
    T take() { return std::move(value()); }
    T* operator->() { return std::get_if<0>(&state_); }
    const T* operator->() const { return std::get_if<0>(&state_); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }

    /// The error; only when !ok() (asking a success for its error is a fault of the caller,
    /// and throws std::bad_variant_access rather than reading what is not there).
    const E& error() const { return std::get<1>(state_); }

private:
    std::variant<T, E> state_;
};

/// Success, or the error `E` of an operation that gives nothing else.
template <class E> class Status
{
public:
    Status() = default;
    Status(E error)
        : error_(std::move(error))
    {}

    bool ok() const { return !error_; }
    explicit operator bool() const { return ok(); }
    /// The error; only when !ok() (throws std::bad_optional_access otherwise).
    const E& error() const { return error_.value(); }

private:
    std::optional<E> error_;
};

} // namespace voip::base
