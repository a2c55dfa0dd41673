#include "voip/h323/ipaddress.h"

#include <algorithm>

namespace voip::h323 {

h225::IpAddressPort toIpAddressPort(const asio::ip::address& address, std::uint16_t port)
{
    h225::IpAddressPort result;
    result.port = port;
    if (address.is_v6() && !address.to_v6().is_v4_mapped()) {
        result.ipv6 = true;
        const auto bytes = address.to_v6().to_bytes();
        std::copy(bytes.begin(), bytes.end(), result.address.begin());
    } else {
        const auto v4 = address.is_v6()
                            ? asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6())
                            : address.to_v4();
        const auto bytes = v4.to_bytes();
        std::copy(bytes.begin(), bytes.end(), result.address.begin());
    }
    return result;
}

asio::ip::address toAddress(const h225::IpAddressPort& address)
{
    if (address.ipv6) {
        asio::ip::address_v6::bytes_type bytes;
        std::copy_n(address.address.begin(), bytes.size(), bytes.begin());
        return asio::ip::address_v6(bytes);
    }
    asio::ip::address_v4::bytes_type bytes;
    std::copy_n(address.address.begin(), bytes.size(), bytes.begin());
    return asio::ip::address_v4(bytes);
}

} // namespace voip::h323
