#pragma once

#include <cstdint>
#include <vector>

#include "voip/h235/keyagreement.h"

struct evp_cipher_ctx_st;

namespace voip::h235 {

/// The cipher of one encrypted channel's RTP: AES-128-CBC over the payload only, a fresh
/// chain per packet whose IV is the packet's sequence number and timestamp (header octets
/// 2-7) repeated over 16 octets.  The header stays in clear; there is no authentication
/// tag.  A payload that is not a whole number of blocks is padded before encryption with
/// RTP padding (each added octet holds the count, the P bit set), so the count is read
/// after decryption.  One thread uses a cipher at a time.
class MediaCipher
{
public:
    explicit MediaCipher(const Key& key);
    ~MediaCipher();
    MediaCipher(const MediaCipher&) = delete;
    MediaCipher& operator=(const MediaCipher&) = delete;

    /// Encrypts the payload of the RTP packet in place.  False, the packet unchanged, for
    /// a header that runs past the packet or a packet already padded.
    bool encrypt(std::vector<std::uint8_t>& packet);
    /// Decrypts the payload in place and removes its padding.  False, the packet
    /// unchanged, for a header that runs past the packet, a payload that is not a whole
    /// number of blocks, or a padding count the decrypted payload cannot hold (what a
    /// padded packet under the wrong key mostly gives).
    bool decrypt(std::vector<std::uint8_t>& packet);

    static constexpr std::size_t BlockSize = 16;

private:
    bool run(std::uint8_t* data, std::size_t size, const std::uint8_t* header, bool encrypt);

    Key key_;
    evp_cipher_ctx_st* context_ = nullptr;
};

/// The length of an RTP packet's header (fixed part, CSRCs and extension), or 0 when the
/// packet is not RTP version 2 or its header runs past it.
std::size_t rtpHeaderLength(const std::vector<std::uint8_t>& packet);

} // namespace voip::h235
