#pragma once

#include <memory>
#include <string_view>

#include "voip/asn/result.h"
#include "voip/asn/schema.h"

namespace voip::h225 {

/// The texts of schema modules "h225" and "h235" (kxs notation), compiled into the library.
std::string_view moduleText();
std::string_view h235ModuleText();

/// Modules "h235" and "h225" loaded on top of module "h245" (for the H.245 types H.225.0
/// imports): parsed once on first use, thread-safe. Holds the error when the compiled-in
/// texts do not load (a build fault, never input).
const asn::Result<std::shared_ptr<const asn::Schema>>& loadSchema();

/// The loaded modules, or null when they failed to load.
std::shared_ptr<const asn::Schema> schema();

/// A type of module h225 by name ("Setup-UUIE"), or null.
const asn::Type* findType(std::string_view name);

/// H323-UserInformation: the User-user information of every call signalling message.
const asn::Type* userInformationType();
/// RasMessage: every PDU on the RAS channel.
const asn::Type* rasMessageType();

} // namespace voip::h225
