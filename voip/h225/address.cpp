#include "voip/h225/address.h"
#include "voip/h225/field.h"

#include <arpa/inet.h>

#include <charconv>

namespace voip::h225 {

namespace {

constexpr std::string_view kDialledDigits = "0123456789#*,";

// Counts UTF-8 characters; nullopt when not valid UTF-8 of the Basic Multilingual Plane.
std::optional<std::size_t> bmpLength(std::string_view s)
{
    std::size_t count = 0;
    for (std::size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        std::size_t n = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : 0;
        if (n == 0 || i + n > s.size()) {
            return std::nullopt;
        }
        for (std::size_t k = 1; k < n; ++k) {
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) {
                return std::nullopt;
            }
        }
        i += n;
        ++count;
    }
    return count;
}

bool isIa5(std::string_view s)
{
    for (char c : s) {
        if (static_cast<unsigned char>(c) >= 0x80) {
            return false;
        }
    }
    return true;
}

} // namespace

std::string IpAddressPort::addressText() const
{
    char buf[INET6_ADDRSTRLEN] = {};
    inet_ntop(ipv6 ? AF_INET6 : AF_INET, address.data(), buf, sizeof buf);
    return buf;
}

std::string IpAddressPort::toString() const
{
    const std::string a = addressText();
    return (ipv6 ? "[" + a + "]" : a) + ":" + std::to_string(port);
}

std::optional<IpAddressPort> IpAddressPort::parse(std::string_view text, std::uint16_t defaultPort)
{
    IpAddressPort result;
    result.port = defaultPort;
    std::string host;
    std::string_view portText;
    if (!text.empty() && text.front() == '[') {
        const std::size_t close = text.find(']');
        if (close == std::string_view::npos) {
            return std::nullopt;
        }
        host = std::string(text.substr(1, close - 1));
        const std::string_view rest = text.substr(close + 1);
        if (!rest.empty()) {
            if (rest.front() != ':') {
                return std::nullopt;
            }
            portText = rest.substr(1);
        }
        result.ipv6 = true;
    } else if (text.find(':') != text.rfind(':')) {
        host = std::string(text); // bare IPv6 address, no port
        result.ipv6 = true;
    } else {
        const std::size_t colon = text.find(':');
        host = std::string(text.substr(0, colon));
        if (colon != std::string_view::npos) {
            portText = text.substr(colon + 1);
        }
    }
    if (inet_pton(result.ipv6 ? AF_INET6 : AF_INET, host.c_str(), result.address.data()) != 1) {
        return std::nullopt;
    }
    if (!portText.empty() || (text.size() > 0 && text.back() == ':')) {
        unsigned port = 0;
        const auto [end, ec] =
            std::from_chars(portText.data(), portText.data() + portText.size(), port);
        if (ec != std::errc() || end != portText.data() + portText.size() || port > 65535) {
            return std::nullopt;
        }
        result.port = static_cast<std::uint16_t>(port);
    }
    return result;
}

std::optional<IpAddressPort> transportAddressOf(const asn::Value& transportAddress)
{
    const std::string_view alt = transportAddress.choiceName();
    const asn::Value& v = transportAddress.chosen();
    IpAddressPort result;
    std::size_t size = 4;
    if (alt == "ip6Address") {
        result.ipv6 = true;
        size = 16;
    } else if (alt != "ipAddress" && alt != "ipSourceRoute") {
        return std::nullopt;
    }
    const auto ip = v[field::ip].octets();
    const asn::Value& port = v[field::port];
    if (ip.size() != size || !port.present() || port.integer() < 0 || port.integer() > 65535) {
        return std::nullopt;
    }
    std::copy(ip.begin(), ip.end(), result.address.begin());
    result.port = static_cast<std::uint16_t>(port.integer());
    return result;
}

void setTransportAddress(asn::Value& transportAddress, const IpAddressPort& address)
{
    asn::Value& v = transportAddress.choose(address.ipv6 ? field::ip6Address : field::ipAddress);
    v.field(field::ip).setOctets(
        std::span<const std::uint8_t>(address.address.data(), address.ipv6 ? 16 : 4));
    v.field(field::port).setInteger(address.port);
}

AliasKind aliasKind(const asn::Value& alias)
{
    const std::string_view alt = alias.choiceName();
    if (alt == "dialledDigits") {
        return AliasKind::DialledDigits;
    }
    if (alt == "h323-ID") {
        return AliasKind::H323Id;
    }
    if (alt == "url-ID") {
        return AliasKind::Url;
    }
    if (alt == "email-ID") {
        return AliasKind::Email;
    }
    if (alt == "transportID") {
        return AliasKind::Transport;
    }
    if (alt == "partyNumber") {
        return AliasKind::PartyNumber;
    }
    return AliasKind::Other;
}

std::string aliasToText(const asn::Value& alias)
{
    switch (aliasKind(alias)) {
    case AliasKind::DialledDigits:
    case AliasKind::H323Id:
    case AliasKind::Url:
    case AliasKind::Email:
        return std::string(alias.chosen().text());
    case AliasKind::Transport: {
        const auto address = transportAddressOf(alias.chosen());
        return address ? address->toString() : std::string();
    }
    case AliasKind::PartyNumber: {
        // A public or a private number, or digits alone.
        const asn::Value& number = alias.chosen().chosen();
        if (const auto& digits = number.find(field::publicNumberDigits); digits.present()) {
            return std::string(digits.text());
        }
        if (const auto& digits = number.find(field::privateNumberDigits); digits.present()) {
            return std::string(digits.text());
        }
        return std::string(number.text()); // NumberDigits alternatives
    }
    case AliasKind::Other:
        break;
    }
    return {};
}

bool setAlias(asn::Value& alias, std::string_view text)
{
    const bool digits =
        !text.empty() && text.find_first_not_of(kDialledDigits) == std::string_view::npos;
    return setAlias(alias, text, digits ? AliasKind::DialledDigits : AliasKind::H323Id);
}

bool setAlias(asn::Value& alias, std::string_view text, AliasKind kind)
{
    if (text.empty()) {
        return false;
    }
    switch (kind) {
    case AliasKind::DialledDigits:
        if (text.size() > 128 || text.find_first_not_of(kDialledDigits) != std::string_view::npos) {
            return false;
        }
        alias.choose(field::dialledDigits).setText(text);
        return true;
    case AliasKind::H323Id: {
        const auto length = bmpLength(text);
        if (!length || *length > 256) {
            return false;
        }
        alias.choose(field::h323_ID).setText(text);
        return true;
    }
    case AliasKind::Url:
    case AliasKind::Email:
        if (text.size() > 512 || !isIa5(text)) {
            return false;
        }
        alias.choose(kind == AliasKind::Url ? field::url_ID : field::email_ID).setText(text);
        return true;
    case AliasKind::Transport: {
        const auto address = IpAddressPort::parse(text);
        if (!address) {
            return false;
        }
        setTransportAddress(alias.choose(field::transportID), *address);
        return true;
    }
    default:
        return false;
    }
}

} // namespace voip::h225
