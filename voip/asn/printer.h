#pragma once

#include <string>

#include "voip/asn/value.h"

namespace voip::asn {

/// Readable text of a value with the standard's field names, one "name = value" line per
/// scalar and an indented block per constructed value, e.g.
///
///     h323-uu-pdu
///       h323-message-body = setup
///         setup
///           protocolIdentifier = 0.0.8.2250.0.4
///
/// `name` labels the top line (e.g. the type name); `indent` is the starting depth.
std::string toText(const Value& value, std::string_view name = {}, int indent = 0);

} // namespace voip::asn
