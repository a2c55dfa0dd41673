#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "voip/status.h"

namespace voip {

/// One routing rule: a regular expression (ECMAScript, case-insensitive, matched against
/// the whole text) on "prefix:address", and the destination to use when it matches.
struct RouteEntry
{
    std::string pattern;
    std::string destination;
};

/// The manager's routing table: "pattern = destination" rules tried in the order they
/// were added; the first match wins.
///
/// A call is routed by the text "<prefix of the originating endpoint>:<dialled address>",
/// e.g. "h323:room1" for a call arriving over H.323 for "room1", or "pc:10.0.0.5" for a
/// call placed from the sound endpoint to "10.0.0.5".  In the destination, "<da>" is
/// replaced by the dialled address.  Thread-safe (one mutex over the rules).
class RouteTable
{
public:
    /// Longest pattern accepted, and longest text routed (longer texts match nothing):
    /// bounds the work of the regular expression engine on hostile input.
    static constexpr std::size_t MaxPatternLength = 256;
    static constexpr std::size_t MaxRoutedLength = 1024;

    /// Adds "pattern = destination" (blanks around "=" and at both ends are ignored).
    Status add(std::string_view rule);
    Status add(std::string_view pattern, std::string_view destination);
    void clear();
    std::vector<RouteEntry> entries() const;

    /// The destination for a call from the endpoint `sourcePrefix` to `dialled`, with
    /// "<da>" replaced, or nothing when no rule matches.
    std::optional<std::string> route(std::string_view sourcePrefix, std::string_view dialled) const;

private:
    struct CompiledPattern; // the regular expression, kept out of this header
    struct Rule
    {
        RouteEntry entry;
        std::shared_ptr<const CompiledPattern> pattern;
    };
    mutable std::mutex mutex_; // guards rules_
    std::vector<Rule> rules_;
};

/// Splits "prefix:rest" where the prefix is one of `knownPrefixes`; returns the prefix
/// and the rest, or nothing when the text starts with no known prefix.  Used so that
/// "10.0.0.5:1720" is an address, not a call to the endpoint "10.0.0.5".
std::optional<std::pair<std::string, std::string>>
splitPrefix(std::string_view party, const std::vector<std::string>& knownPrefixes);

} // namespace voip
