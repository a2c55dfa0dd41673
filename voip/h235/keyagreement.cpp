#include "voip/h235/keyagreement.h"

#include <algorithm>
#include <memory>

#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

namespace voip::h235 {

namespace {

using Bignum = std::unique_ptr<BIGNUM, decltype(&BN_clear_free)>;
using BnContext = std::unique_ptr<BN_CTX, decltype(&BN_CTX_free)>;

Bignum bignum(std::span<const std::uint8_t> octets)
{
    return Bignum(BN_bin2bn(octets.data(), int(octets.size()), nullptr), &BN_clear_free);
}

GroupNumber octetsOf(const BIGNUM* number)
{
    GroupNumber out{};
    BN_bn2binpad(number, out.data(), int(out.size()));
    return out;
}

GroupNumber makePrime()
{
    // 2^1024 - 2^960 - 1 + 2^64 * (floor(2^894 pi) + 129093), written out.
    static constexpr char hex[] =
        "FFFFFFFFFFFFFFFFC90FDAA22168C234C4C6628B80DC1CD129024E088A67CC74"
        "020BBEA63B139B22514A08798E3404DDEF9519B3CD3A431B302B0A6DF25F1437"
        "4FE1356D6D51C245E485B576625E7EC6F44C42E9A637ED6B0BFF5CB6F406B7ED"
        "EE386BFB5A899FA5AE9F24117C4B1FE649286651ECE65381FFFFFFFFFFFFFFFF";
    BIGNUM* raw = nullptr;
    BN_hex2bn(&raw, hex);
    Bignum prime(raw, &BN_clear_free);
    return octetsOf(prime.get());
}

/// AES-128 of one block, without chaining or padding.
Key aesBlock(const Key& key, const Key& block, bool encrypt)
{
    Key out{};
    std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> context(EVP_CIPHER_CTX_new(),
                                                                            &EVP_CIPHER_CTX_free);
    int length = 0;
    if (context &&
        EVP_CipherInit_ex(context.get(), EVP_aes_128_ecb(), nullptr, key.data(), nullptr,
                          encrypt ? 1 : 0) == 1 &&
        EVP_CIPHER_CTX_set_padding(context.get(), 0) == 1)
        EVP_CipherUpdate(context.get(), out.data(), &length, block.data(), int(block.size()));
    return out;
}

} // namespace

const GroupNumber& groupPrime()
{
    static const GroupNumber prime = makePrime();
    return prime;
}

const GroupNumber& groupGenerator()
{
    static const GroupNumber generator = [] {
        GroupNumber g{};
        g.back() = 2;
        return g;
    }();
    return generator;
}

std::optional<KeyAgreement> KeyAgreement::generate()
{
    // A 1022-bit exponent, as the other stacks use: far beyond what the group's strength
    // needs, and below p - 1.
    std::vector<std::uint8_t> exponent(GroupOctets);
    if (RAND_bytes(exponent.data(), int(exponent.size())) != 1)
        return std::nullopt;
    exponent[0] = std::uint8_t((exponent[0] & 0x3F) | 0x20);
    return fromPrivate(exponent);
}

std::optional<KeyAgreement> KeyAgreement::fromPrivate(std::span<const std::uint8_t> exponent)
{
    if (exponent.empty() || exponent.size() > GroupOctets)
        return std::nullopt;
    BnContext context(BN_CTX_new(), &BN_CTX_free);
    Bignum x = bignum(exponent);
    Bignum p = bignum(groupPrime());
    Bignum g = bignum(groupGenerator());
    Bignum y(BN_new(), &BN_clear_free);
    if (!context || !x || !p || !g || !y || BN_is_zero(x.get()) ||
        BN_mod_exp(y.get(), g.get(), x.get(), p.get(), context.get()) != 1)
        return std::nullopt;
    KeyAgreement agreement;
    agreement.exponent_.assign(exponent.begin(), exponent.end());
    agreement.halfKey_ = octetsOf(y.get());
    return agreement;
}

std::optional<GroupNumber> KeyAgreement::secret(std::span<const std::uint8_t> theirHalfKey) const
{
    if (theirHalfKey.empty() || theirHalfKey.size() > GroupOctets)
        return std::nullopt;
    BnContext context(BN_CTX_new(), &BN_CTX_free);
    Bignum y = bignum(theirHalfKey);
    Bignum x = bignum(exponent_);
    Bignum p = bignum(groupPrime());
    Bignum highest(BN_dup(p.get()), &BN_clear_free);
    Bignum s(BN_new(), &BN_clear_free);
    if (!context || !y || !x || !p || !highest || !s || BN_sub_word(highest.get(), 2) != 1)
        return std::nullopt;
    // 0, 1 and p - 1 (and anything at or past p) would fix the secret whatever our exponent.
    if (BN_cmp(y.get(), BN_value_one()) <= 0 || BN_cmp(y.get(), highest.get()) > 0)
        return std::nullopt;
    if (BN_mod_exp(s.get(), y.get(), x.get(), p.get(), context.get()) != 1)
        return std::nullopt;
    return octetsOf(s.get());
}

Key wrappingKey(const GroupNumber& secret)
{
    Key key{};
    std::copy(secret.end() - std::ptrdiff_t(key.size()), secret.end(), key.begin());
    return key;
}

Key wrapKey(const Key& wrapping, const Key& mediaKey)
{
    return aesBlock(wrapping, mediaKey, true);
}

Key unwrapKey(const Key& wrapping, const Key& wrapped)
{
    return aesBlock(wrapping, wrapped, false);
}

std::optional<Key> newMediaKey()
{
    Key key{};
    if (RAND_bytes(key.data(), int(key.size())) != 1)
        return std::nullopt;
    return key;
}

} // namespace voip::h235
