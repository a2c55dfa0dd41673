#pragma once

#include <cstddef>
#include <string>
#include <utility>

#include "voip/base/result.h"

namespace voip::q931 {

/// Why a message or frame could not be read or written: a readable message and the
/// octet offset in the input where the problem was found.
struct Error
{
    std::string message;
    std::size_t offset = 0;

    std::string toString() const;
};

/// A value or an Error.
template <typename T> using Result = base::Result<T, Error>;

inline Error makeError(std::string message, std::size_t offset = 0)
{
    return Error{std::move(message), offset};
}

} // namespace voip::q931
