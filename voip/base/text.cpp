#include "voip/base/text.h"

#include <algorithm>

namespace voip {

namespace {

constexpr std::string_view Replacement = "\xEF\xBF\xBD"; // U+FFFD

/// Length of the well-formed UTF-8 sequence at `at` and its code point; 0 when malformed
/// (RFC 3629 4: no overlong forms, no surrogates, nothing above U+10FFFF).
std::size_t sequenceAt(std::string_view s, std::size_t at, char32_t& cp)
{
    const auto lead = static_cast<unsigned char>(s[at]);
    std::size_t length = 0;
    char32_t min = 0;
    if (lead < 0x80) {
        cp = lead;
        return 1;
    } else if ((lead & 0xE0) == 0xC0) {
        length = 2, cp = lead & 0x1F, min = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, cp = lead & 0x0F, min = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, cp = lead & 0x07, min = 0x10000;
    } else {
        return 0;
    }
    if (s.size() - at < length)
        return 0;
    for (std::size_t k = 1; k < length; ++k) {
        const auto next = static_cast<unsigned char>(s[at + k]);
        if ((next & 0xC0) != 0x80)
            return 0;
        cp = (cp << 6) | (next & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    return length;
}

bool isControl(char32_t cp)
{
    return cp < 0x20 || (cp >= 0x7F && cp < 0xA0);
}

bool isSpace(char32_t cp)
{
    return cp == ' ' || cp == '\t' || cp == '\n' || cp == '\r' || cp == 0xA0;
}

} // namespace

std::string displayableText(std::string_view raw, std::size_t maxCharacters)
{
    std::string out;
    out.reserve(std::min(raw.size(), maxCharacters * 4));
    std::size_t characters = 0;
    bool pendingSpace = false;
    auto append = [&](std::string_view piece) {
        const bool space = pendingSpace && !out.empty();
        pendingSpace = false;
        // A space with nothing after it would be left at the end: the text stops before it.
        if (characters + (space ? 2 : 1) > maxCharacters) {
            characters = maxCharacters;
            return;
        }
        if (space) {
            out.push_back(' ');
            ++characters;
        }
        out.append(piece);
        ++characters;
    };
    for (std::size_t at = 0; at < raw.size() && characters < maxCharacters;) {
        char32_t cp = 0;
        const std::size_t length = sequenceAt(raw, at, cp);
        if (length == 0) {
            append(Replacement);
            // Skip the lead octet and any continuation octets that belong to it.
            ++at;
            while (at < raw.size() && (static_cast<unsigned char>(raw[at]) & 0xC0) == 0x80)
                ++at;
            continue;
        }
        if (isSpace(cp))
            pendingSpace = true;
        else if (!isControl(cp))
            append(raw.substr(at, length));
        at += length;
    }
    return out;
}

} // namespace voip
