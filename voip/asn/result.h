#pragma once

#include <cstddef>
#include <string>

#include "voip/base/result.h"

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

/// A value or the error that prevented it.
template <class T> using Result = base::Result<T, Error>;
/// Success, or the error of an operation that produces nothing else.
using Status = base::Status<Error>;

} // namespace voip::asn
