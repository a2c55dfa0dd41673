#pragma once

#include <cstdint>

#include <asio.hpp>

#include "voip/h225/address.h"

namespace voip::h323 {

/// A socket's address as the messages carry it: an IPv4-mapped IPv6 address as IPv4.
h225::IpAddressPort toIpAddressPort(const asio::ip::address& address, std::uint16_t port);
inline h225::IpAddressPort toIpAddressPort(const asio::ip::tcp::endpoint& endpoint)
{
    return toIpAddressPort(endpoint.address(), endpoint.port());
}
inline h225::IpAddressPort toIpAddressPort(const asio::ip::udp::endpoint& endpoint)
{
    return toIpAddressPort(endpoint.address(), endpoint.port());
}
/// The IP address a message carries.
asio::ip::address toAddress(const h225::IpAddressPort& address);

} // namespace voip::h323
