#pragma once

#include <asio.hpp>

#include "voip/h225/address.h"

/// The RAS client's conversions between its socket's addresses and those of the messages.
namespace voip::h323::ras {

h225::IpAddressPort toIpAddressPort(const asio::ip::udp::endpoint& endpoint);
asio::ip::udp::endpoint toEndpoint(const h225::IpAddressPort& address);

} // namespace voip::h323::ras
