#include "voip/h235/mediacipher.h"

#include <array>

#include <openssl/evp.h>

namespace voip::h235 {

namespace {

constexpr std::uint8_t PaddingBit = 0x20;

} // namespace

std::size_t rtpHeaderLength(const std::vector<std::uint8_t>& packet)
{
    if (packet.size() < 12 || (packet[0] >> 6) != 2)
        return 0;
    std::size_t length = 12 + 4 * std::size_t(packet[0] & 0x0F);
    if (packet[0] & 0x10) {
        if (packet.size() < length + 4)
            return 0;
        length += 4 + 4 * (std::size_t(packet[length + 2]) << 8 | packet[length + 3]);
    }
    return length <= packet.size() ? length : 0;
}

MediaCipher::MediaCipher(const Key& key)
    : key_(key)
    , context_(EVP_CIPHER_CTX_new())
{}

MediaCipher::~MediaCipher()
{
    EVP_CIPHER_CTX_free(context_);
}

bool MediaCipher::run(std::uint8_t* data, std::size_t size, const std::uint8_t* header,
                      bool encrypt)
{
    std::array<std::uint8_t, BlockSize> iv{};
    for (std::size_t i = 0; i < iv.size(); ++i)
        iv[i] = header[2 + i % 6];
    int length = 0;
    return context_ &&
           EVP_CipherInit_ex(context_, EVP_aes_128_cbc(), nullptr, key_.data(), iv.data(),
                             encrypt ? 1 : 0) == 1 &&
           EVP_CIPHER_CTX_set_padding(context_, 0) == 1 &&
           EVP_CipherUpdate(context_, data, &length, data, int(size)) == 1 &&
           std::size_t(length) == size;
}

bool MediaCipher::encrypt(std::vector<std::uint8_t>& packet)
{
    const std::size_t header = rtpHeaderLength(packet);
    if (header == 0 || (packet[0] & PaddingBit))
        return false;
    const std::size_t payload = packet.size() - header;
    const std::size_t padding = (BlockSize - payload % BlockSize) % BlockSize;
    std::vector<std::uint8_t> out = packet;
    out.insert(out.end(), padding, std::uint8_t(padding));
    if (padding)
        out[0] |= PaddingBit;
    if (!run(out.data() + header, out.size() - header, out.data(), true))
        return false;
    packet = std::move(out);
    return true;
}

bool MediaCipher::decrypt(std::vector<std::uint8_t>& packet)
{
    const std::size_t header = rtpHeaderLength(packet);
    if (header == 0)
        return false;
    const std::size_t payload = packet.size() - header;
    if (payload % BlockSize != 0)
        return false;
    std::vector<std::uint8_t> out = packet;
    if (!run(out.data() + header, payload, out.data(), false))
        return false;
    if (out[0] & PaddingBit) {
        const std::size_t count = payload ? out.back() : 0;
        if (count == 0 || count > payload)
            return false;
        out.resize(out.size() - count);
        out[0] &= std::uint8_t(~PaddingBit);
    }
    packet = std::move(out);
    return true;
}

} // namespace voip::h235
