#pragma once

#include <memory>
#include <string_view>

#include "voip/asn/result.h"
#include "voip/asn/schema.h"

namespace voip::h245 {

/// The text of schema module "h245" (kxs notation), compiled into the library.
std::string_view moduleText();

/// The loaded module "h245": parsed once on first use, thread-safe, shared by every user.
/// Holds the error when the compiled-in text does not load (a build fault, never input).
const asn::Result<std::shared_ptr<const asn::Schema>>& loadSchema();

/// The loaded module, or null when it failed to load (see loadSchema()).
std::shared_ptr<const asn::Schema> schema();

/// A type of module h245 by name ("TerminalCapabilitySet"), or null.
const asn::Type* findType(std::string_view name);

/// MultimediaSystemControlMessage, the type of every PDU on an H.245 channel.
/// Null only when the module failed to load.
const asn::Type* messageType();

} // namespace voip::h245
