#pragma once

#include <string>
#include <string_view>

namespace voip::asn {

/// Decodes UTF-8 into code points of the Basic Multilingual Plane (the characters a
/// BMPString can hold), appending them to `out`.  False on malformed UTF-8 or a character
/// beyond U+FFFF; `out` may then hold a prefix.
bool utf8ToBmp(std::string_view s, std::u32string& out);

} // namespace voip::asn
