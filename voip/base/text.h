#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace voip {

/// The most characters of a name from the far end that the engine keeps.
inline constexpr std::size_t MaxNameCharacters = 128;

/// Text a far end sent (a display name, an alias, a product name) made fit to show and
/// store: malformed UTF-8 (also surrogates and overlong forms) becomes U+FFFD, one per bad
/// sequence; control characters (NUL padding included) go; runs of white space become one
/// space and none is left at either end; at most `maxCharacters` characters remain.
std::string displayableText(std::string_view raw, std::size_t maxCharacters = MaxNameCharacters);

} // namespace voip
