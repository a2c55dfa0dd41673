#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <asio.hpp>

#include "voip/asn/value.h"

namespace voip::h323 {

/// The standard H.225.0 call signalling port (H.225.0 Annex D / H.323 Table 2).
inline constexpr std::uint16_t DefaultSignallingPort = 1720;

/// A dialled H.323 address taken apart: "h323:alias@host:port", "host", "host:port",
/// "alias@host", "[2001:db8::1]:1721", "10.0.0.5", and the transport form
/// "ip$2001:db8::1:1721" (also "ip$10.0.0.5:1721"), where the port follows the last
/// colon.  The "h323:" prefix is dropped.
struct DialAddress
{
    std::string alias; ///< empty when the address names only a host
    std::string host;  ///< IP literal (IPv6 without brackets) or DNS name
    std::uint16_t port = DefaultSignallingPort;
    bool ipv6Literal = false;

    /// "alias@host:port" again (brackets around an IPv6 host), for logs and party texts.
    std::string toString() const;
    /// The address as a party text shows it between its brackets ("name [address]"), so
    /// it must hold no brackets itself and must dial back: "alias@host" or
    /// "alias@host:port" for other hosts; an IPv6 literal bare ("2001:db8::1") or in the
    /// transport form ("ip$2001:db8::1:1721").  The default port is always left out.
    std::string partyText() const;
};

/// True when `text` names no host: an alias or a number on its own ("bob", "1002",
/// "h323:room-3"), which only a gatekeeper can find.  Host names are dialled with their
/// domain (or as "localhost"), addresses with their dots or colons.
bool isGatekeeperAlias(std::string_view text);
/// `text` without its "h323:" prefix.
std::string_view withoutScheme(std::string_view text);

/// Longest host name accepted (RFC 1035 2.3.4 gives 255 octets).
inline constexpr std::size_t MaxHostLength = 255;

/// Parses a dialled address; nothing when it has no host, a bad port (0, not a number,
/// above 65535), unbalanced IPv6 brackets, characters no host name may hold, or an
/// over-long host.
std::optional<DialAddress> parseDialAddress(std::string_view text);

/// Where the caller of an incoming call takes calls, for dialling it back: `peer` is the
/// far end of the call's TCP connection (a temporary source port), `announced` the
/// sourceCallSignalAddress of its Setup, if any.  The announced port is taken when the
/// announced IP is the peer's, or when it is a local-network address while the peer is
/// outside (the caller is behind a NAT that forwards its listener: the peer's IP with the
/// announced port).  Otherwise the peer's IP on the default port.  IPv4-mapped IPv6
/// addresses count as IPv4.
DialAddress callerDialAddress(const asio::ip::tcp::endpoint& peer,
                              const std::optional<asio::ip::tcp::endpoint>& announced);

/// The forwarding target of a received Facility: the alias when it already holds "@",
/// else "alias@host" when both are known, else the host, else the alias (maybe empty).
/// A leading "h323:" is removed.
std::string forwardTarget(std::string_view alias, std::string_view host);

/// The forwarding target a received Facility names (its first alternativeAliasAddress and
/// its alternativeAddress, combined as forwardTarget does); the usual port 1720, or none,
/// is left out of the host. Empty when it names neither.
std::string facilityForwardTarget(const asn::Value& facility);

/// True for the FacilityReason choices that send the call elsewhere: routeCallToGatekeeper
/// (0), callForwarded (1), routeCallToMC (2) and forwardedElements (9).
bool facilityForwardsCall(int reasonIndex);

} // namespace voip::h323
