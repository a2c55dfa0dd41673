#include "voip/nat/stunmessage.h"

#include <algorithm>
#include <random>

#include "voip/base/byteorder.h"

namespace voip::nat {

namespace {

constexpr uint16_t MappedAddress = 0x0001;
constexpr uint16_t ChangeRequest = 0x0003;
constexpr uint16_t ChangedAddress = 0x0005;
constexpr uint16_t ErrorCode = 0x0009;
constexpr uint16_t XorMappedAddress = 0x0020;
constexpr uint16_t ResponseOrigin = 0x802b;
constexpr uint16_t OtherAddress = 0x802c;
constexpr std::size_t HeaderSize = 20;

/// RFC 5389 15.1 / 15.2: family, port and address; with `xorKey` (cookie then
/// transaction ID) the port and address are XORed.
std::optional<asio::ip::udp::endpoint> readAddress(const uint8_t* value, std::size_t length,
                                                   const uint8_t* xorKey)
{
    if (length < 4)
        return std::nullopt;
    const uint8_t family = value[1];
    uint16_t port = read16(value + 2);
    if (xorKey)
        port ^= static_cast<uint16_t>(StunMagicCookie >> 16);
    if (family == 0x01) {
        if (length != 8)
            return std::nullopt;
        asio::ip::address_v4::bytes_type bytes;
        for (std::size_t i = 0; i < 4; ++i)
            bytes[i] = static_cast<uint8_t>(value[4 + i] ^ (xorKey ? xorKey[i] : 0));
        return asio::ip::udp::endpoint(asio::ip::address_v4(bytes), port);
    }
    if (family == 0x02) {
        if (length != 20)
            return std::nullopt;
        asio::ip::address_v6::bytes_type bytes;
        for (std::size_t i = 0; i < 16; ++i)
            bytes[i] = static_cast<uint8_t>(value[4 + i] ^ (xorKey ? xorKey[i] : 0));
        return asio::ip::udp::endpoint(asio::ip::address_v6(bytes), port);
    }
    return std::nullopt;
}

} // namespace

StunTransactionId newTransactionId()
{
    static thread_local std::mt19937_64 generator(std::random_device{}());
    StunTransactionId id;
    for (auto& byte : id)
        byte = static_cast<uint8_t>(generator());
    return id;
}

std::vector<uint8_t> encodeBindingRequest(const StunTransactionId& id, bool changeIp,
                                          bool changePort)
{
    std::vector<uint8_t> out;
    const bool change = changeIp || changePort;
    put16(out, StunBindingRequest);
    put16(out, change ? 8 : 0);
    put32(out, StunMagicCookie);
    out.insert(out.end(), id.begin(), id.end());
    if (change) {
        // RFC 5780 7.2: bit 0x4 change IP, 0x2 change port.
        put16(out, ChangeRequest);
        put16(out, 4);
        put32(out, (changeIp ? 0x4u : 0u) | (changePort ? 0x2u : 0u));
    }
    return out;
}

std::optional<StunMessage> decodeStun(std::span<const uint8_t> datagram)
{
    if (datagram.size() < HeaderSize)
        return std::nullopt;
    const uint8_t* p = datagram.data();
    // RFC 5389 6: the two top bits are zero; the length excludes the header and
    // is a multiple of four.
    if ((p[0] & 0xc0) != 0)
        return std::nullopt;
    const std::size_t length = read16(p + 2);
    if (length % 4 != 0 || length != datagram.size() - HeaderSize)
        return std::nullopt;

    StunMessage message;
    message.type = read16(p);
    message.hasMagicCookie = read32(p + 4) == StunMagicCookie;
    std::copy(p + 8, p + 20, message.transactionId.begin());
    uint8_t xorKey[16];
    std::copy(p + 4, p + 20, xorKey);

    std::size_t pos = HeaderSize;
    while (pos < datagram.size()) {
        if (datagram.size() - pos < 4)
            return std::nullopt;
        const uint16_t type = read16(p + pos);
        const std::size_t valueLength = read16(p + pos + 2);
        const std::size_t padded = (valueLength + 3) & ~std::size_t{3};
        if (padded > datagram.size() - pos - 4)
            return std::nullopt;
        const uint8_t* value = p + pos + 4;
        auto address = [&](const uint8_t* key, std::optional<asio::ip::udp::endpoint>& field) {
            field = readAddress(value, valueLength, key);
            return field.has_value();
        };
        switch (type) {
        case MappedAddress:
            if (!address(nullptr, message.mappedAddress))
                return std::nullopt;
            break;
        case XorMappedAddress:
            if (!message.hasMagicCookie || !address(xorKey, message.xorMappedAddress))
                return std::nullopt;
            break;
        case ChangedAddress:
        case OtherAddress:
            if (!address(nullptr, message.otherAddress))
                return std::nullopt;
            break;
        case ResponseOrigin:
            if (!address(nullptr, message.responseOrigin))
                return std::nullopt;
            break;
        case ErrorCode:
            if (valueLength < 4)
                return std::nullopt;
            message.errorCode = static_cast<uint16_t>((value[2] & 0x7) * 100 + value[3]);
            break;
        default:
            break;
        }
        pos += 4 + padded;
    }
    return message;
}

} // namespace voip::nat
