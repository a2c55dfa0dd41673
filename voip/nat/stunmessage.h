#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include <asio/ip/udp.hpp>

namespace voip::nat {

/// RFC 5389 6: the magic cookie that follows the message length.
constexpr uint32_t StunMagicCookie = 0x2112A442;
constexpr uint16_t StunBindingRequest = 0x0001;
constexpr uint16_t StunBindingSuccess = 0x0101;
constexpr uint16_t StunBindingError = 0x0111;

/// The 96-bit transaction ID of RFC 5389 (RFC 3489 used 128 bits, the first 32
/// of which sit where the cookie is now).
using StunTransactionId = std::array<uint8_t, 12>;

StunTransactionId newTransactionId();

/// A Binding request, with an RFC 5780 / RFC 3489 CHANGE-REQUEST attribute when
/// either flag is set.
std::vector<uint8_t> encodeBindingRequest(const StunTransactionId& id, bool changeIp,
                                          bool changePort);

/// What we read from a Binding response.
struct StunMessage
{
    uint16_t type = 0;
    bool hasMagicCookie = false;
    StunTransactionId transactionId{};
    std::optional<asio::ip::udp::endpoint> xorMappedAddress;
    std::optional<asio::ip::udp::endpoint> mappedAddress;
    /// RFC 3489 CHANGED-ADDRESS or RFC 5780 OTHER-ADDRESS.
    std::optional<asio::ip::udp::endpoint> otherAddress;
    std::optional<asio::ip::udp::endpoint> responseOrigin;
    uint16_t errorCode = 0;

    /// XOR-MAPPED-ADDRESS when present, else MAPPED-ADDRESS.
    std::optional<asio::ip::udp::endpoint> mapped() const
    {
        return xorMappedAddress ? xorMappedAddress : mappedAddress;
    }
};

/// Parses a STUN message.  Every length is checked against the datagram: a
/// message whose length field, attribute lengths or address attributes do not
/// fit is rejected whole (nothing).  Unknown attributes are skipped.
std::optional<StunMessage> decodeStun(std::span<const uint8_t> datagram);

} // namespace voip::nat
