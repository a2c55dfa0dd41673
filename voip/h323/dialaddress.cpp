#include "voip/h323/dialaddress.h"

#include <algorithm>
#include <cctype>
#include <charconv>

#include "voip/h225/address.h"
#include "voip/nat/natmethod.h"
#include "voip/h323/fields.h"

namespace voip::h323 {

namespace {

constexpr std::string_view Prefix = "h323:";
constexpr std::string_view TransportPrefix = "ip$";

bool startsWith(std::string_view text, std::string_view prefix)
{
    if (text.size() < prefix.size())
        return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i])
            return false;
    }
    return true;
}

bool startsWithPrefix(std::string_view text)
{
    return startsWith(text, Prefix);
}

std::optional<std::uint16_t> parsePort(std::string_view text)
{
    if (text.empty() || text.size() > 5)
        return std::nullopt;
    unsigned value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value == 0 || value > 65535)
        return std::nullopt;
    return static_cast<std::uint16_t>(value);
}

bool isHostCharacter(char c)
{
    return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '_';
}

bool isIpv6Character(char c)
{
    return std::isxdigit(static_cast<unsigned char>(c)) || c == ':' || c == '.' || c == '%';
}

asio::ip::address unmapped(const asio::ip::address& address)
{
    if (address.is_v6() && address.to_v6().is_v4_mapped())
        return asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6());
    return address;
}

/// The IP as a dial address holds it: an IPv6 scope as its number ("fe80::1%3"), which
/// parses back, rather than an interface name.
std::string hostText(const asio::ip::address& address)
{
    if (!address.is_v6() || address.to_v6().scope_id() == 0)
        return address.to_string();
    auto v6 = address.to_v6();
    const auto scope = v6.scope_id();
    v6.scope_id(0);
    return v6.to_string() + "%" + std::to_string(scope);
}

/// Equal IPs, whatever IPv6 scope each carries (a Setup carries none).
bool sameIp(const asio::ip::address& a, const asio::ip::address& b)
{
    if (a.is_v6() && b.is_v6())
        return a.to_v6().to_bytes() == b.to_v6().to_bytes();
    return a == b;
}

} // namespace

std::string DialAddress::toString() const
{
    std::string text;
    if (!alias.empty())
        text = alias + "@";
    text += ipv6Literal ? "[" + host + "]" : host;
    text += ":" + std::to_string(port);
    return text;
}

std::string DialAddress::partyText() const
{
    std::string text;
    if (!alias.empty())
        text = alias + "@";
    if (port == DefaultSignallingPort)
        return text + host;
    if (ipv6Literal)
        text += TransportPrefix;
    return text + host + ":" + std::to_string(port);
}

std::optional<DialAddress> parseDialAddress(std::string_view text)
{
    if (startsWithPrefix(text))
        text.remove_prefix(Prefix.size());
    DialAddress address;
    // The last "@" separates the alias: an alias may itself hold "@" (an e-mail or URL
    // alias), a host never does.
    if (auto at = text.rfind('@'); at != std::string_view::npos) {
        address.alias = std::string(text.substr(0, at));
        text.remove_prefix(at + 1);
    }
    if (text.empty())
        return std::nullopt;
    const bool transportForm = startsWith(text, TransportPrefix);
    if (transportForm)
        text.remove_prefix(TransportPrefix.size());
    if (text.empty())
        return std::nullopt;
    if (transportForm && text.front() != '[' && std::count(text.begin(), text.end(), ':') > 1) {
        // "ip$2001:db8::1:1721": the port always follows the last colon.
        const auto colon = text.rfind(':');
        address.host = std::string(text.substr(0, colon));
        address.ipv6Literal = true;
        if (std::count(address.host.begin(), address.host.end(), ':') < 2)
            return std::nullopt; // "ip$::1" lacks its port
        auto port = parsePort(text.substr(colon + 1));
        if (!port)
            return std::nullopt;
        address.port = *port;
    } else if (text.front() == '[') {
        auto close = text.find(']');
        if (close == std::string_view::npos || close == 1)
            return std::nullopt;
        address.host = std::string(text.substr(1, close - 1));
        address.ipv6Literal = true;
        std::string_view rest = text.substr(close + 1);
        if (!rest.empty()) {
            if (rest.front() != ':')
                return std::nullopt;
            auto port = parsePort(rest.substr(1));
            if (!port)
                return std::nullopt;
            address.port = *port;
        }
    } else if (std::count(text.begin(), text.end(), ':') > 1) {
        // A bare IPv6 literal: no port can follow without brackets.
        address.host = std::string(text);
        address.ipv6Literal = true;
    } else {
        auto colon = text.find(':');
        address.host = std::string(text.substr(0, colon));
        if (colon != std::string_view::npos) {
            auto port = parsePort(text.substr(colon + 1));
            if (!port)
                return std::nullopt;
            address.port = *port;
        }
    }
    if (address.host.empty() || address.host.size() > MaxHostLength)
        return std::nullopt;
    const bool charactersOk =
        address.ipv6Literal
            ? std::all_of(address.host.begin(), address.host.end(), isIpv6Character)
            : std::all_of(address.host.begin(), address.host.end(), isHostCharacter);
    if (!charactersOk)
        return std::nullopt;
    return address;
}

DialAddress callerDialAddress(const asio::ip::tcp::endpoint& peer,
                              const std::optional<asio::ip::tcp::endpoint>& announced)
{
    const auto peerIp = unmapped(peer.address());
    DialAddress caller;
    caller.host = hostText(peerIp);
    caller.ipv6Literal = peerIp.is_v6();
    if (!announced || announced->port() == 0)
        return caller;
    const auto announcedIp = unmapped(announced->address());
    const bool behindNat = nat::isLocalAddress(announcedIp) && !nat::isLocalAddress(peerIp);
    if (sameIp(announcedIp, peerIp) || behindNat)
        caller.port = announced->port();
    return caller;
}

std::string forwardTarget(std::string_view alias, std::string_view host)
{
    std::string target;
    if (alias.find('@') != std::string_view::npos)
        target = std::string(alias);
    else if (!alias.empty() && !host.empty())
        target = std::string(alias) + "@" + std::string(host);
    else if (!host.empty())
        target = std::string(host);
    else
        target = std::string(alias);
    if (startsWithPrefix(target))
        target.erase(0, Prefix.size());
    return target;
}

std::string facilityForwardTarget(const asn::Value& facility)
{
    std::string alias;
    std::string host;
    if (facility.has(f225::alternativeAliasAddress) &&
        facility[f225::alternativeAliasAddress].size() > 0)
        alias = h225::aliasToText(facility[f225::alternativeAliasAddress].at(0));
    if (facility.has(f225::alternativeAddress)) {
        if (auto address = h225::transportAddressOf(facility[f225::alternativeAddress]))
            host = address->port == DefaultSignallingPort || address->port == 0
                       ? address->addressText()
                       : address->toString();
    }
    return forwardTarget(alias, host);
}

bool facilityForwardsCall(int reasonIndex)
{
    constexpr int RouteCallToGatekeeper = 0;
    constexpr int CallForwarded = 1;
    constexpr int RouteCallToMC = 2;
    constexpr int ForwardedElements = 9;
    return reasonIndex == RouteCallToGatekeeper || reasonIndex == CallForwarded ||
           reasonIndex == RouteCallToMC || reasonIndex == ForwardedElements;
}

std::string_view withoutScheme(std::string_view text)
{
    if (text.size() >= 5 && (text.substr(0, 5) == "h323:" || text.substr(0, 5) == "H323:"))
        text.remove_prefix(5);
    return text;
}

bool isGatekeeperAlias(std::string_view text)
{
    text = withoutScheme(text);
    if (text.empty() || text.size() > 128 ||
        text.find_first_of(".:[]@$/ ") != std::string_view::npos)
        return false;
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    return lower != "localhost";
}

} // namespace voip::h323
